#include "paywheel/core/power_setting.hpp"

#include <cstdlib>

#include "paywheel/core/power.hpp"

namespace paywheel {

bool apply_power_setting_once() noexcept {
    static const bool accepted = [] {
        PowerMode mode = PowerMode::Platform;
        if (!power_mode_from_env(std::getenv(kPowerModeVariable), mode)) return false;
        set_power_mode(mode);
        return true;
    }();
    return accepted;
}

}  // namespace paywheel
