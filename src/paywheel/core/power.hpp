// A binary32 power function that gives the same bits on every machine: the
// float nearest to the exact x^y, ties to even, with C's special cases.
// The platform powf differs between C libraries and even between CPU
// variants of one library in the last bit, and one bit in one power carries
// into every column of a loan; this function is the reproducible choice.
#pragma once

#include <cstddef>
#include <cstdint>

namespace paywheel {

// The binary32 nearest to x^y (ties to even) for every binary32 x and y.
// Special cases as C's powf: pow(x, +-0) = 1 even for a NaN x, pow(+1, y) = 1
// even for a NaN y, pow(-1, +-inf) = 1, signed zeros and infinities by the
// parity of an integer exponent, NaN for a negative base with a non-integer
// exponent, overflow to +-inf and gradual underflow through the subnormals.
float correctly_rounded_powf(float x, float y) noexcept;

// out[i] = correctly_rounded_powf(base, float(first_exponent + i)) for every
// i < count, the very same bits, with the sum taken exactly (in 64 bits).
// Much cheaper per lane than count calls when the exponents are small
// integers and the base is normal (power_run.cpp).
void correctly_rounded_powf_run(float base, std::int32_t first_exponent, std::size_t count, float* out) noexcept;

// Which power function the engine uses, chosen once per process.
enum class PowerMode : unsigned char { Platform, CorrectlyRounded };

void set_power_mode(PowerMode mode) noexcept;
PowerMode power_mode() noexcept;

// The environment variable that chooses the mode, and its accepted values.
inline constexpr const char* kPowerModeVariable = "QUILL_HARBOR_POWF";
inline constexpr const char* kPowerModePlatform = "platform";
inline constexpr const char* kPowerModeCorrectlyRounded = "correctly-rounded";

// What the caller raises (as ImportError) when power_mode_from_env refuses
// a value.
inline constexpr const char* kPowerModeError =
    "QUILL_HARBOR_POWF must be unset, 'platform' or 'correctly-rounded'";

// Reads the variable's value: unset (nullptr) or "platform" gives Platform,
// "correctly-rounded" gives CorrectlyRounded; anything else (the empty
// string included) returns false and leaves out alone.
bool power_mode_from_env(const char* value, PowerMode& out) noexcept;

}  // namespace paywheel
