// The power setting of the process: QUILL_HARBOR_POWF, read once however
// many extensions load the engine, so that every module computes in one
// mode even if the variable changes between their imports.
#pragma once

namespace paywheel {

// Reads the variable on the first call in the process and sets the power
// mode from it; every later call returns the first call's verdict without
// reading it again. False: the value was refused (kPowerModeError), and the
// caller refuses its import. Call with the interpreter lock held, which
// every change of os.environ also holds.
bool apply_power_setting_once() noexcept;

}  // namespace paywheel
