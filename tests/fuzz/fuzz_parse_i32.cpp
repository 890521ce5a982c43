// parse_i32 against a plain left-to-right reading in 64-bit arithmetic.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "text_grammar.hpp"

namespace {

using paywheel::batch::IntErrorKind;

struct Expected {
    bool ok;
    std::int64_t value;
    IntErrorKind kind;
};

Expected reference(std::string_view s) {
    if (s.empty()) return {false, 0, IntErrorKind::Empty};
    std::size_t i = 0;
    bool negative = false;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) return {false, 0, IntErrorKind::InvalidDigit};
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return {false, 0, IntErrorKind::InvalidDigit};
        v = v * 10 + (negative ? -(s[i] - '0') : (s[i] - '0'));
        if (v > INT32_MAX) return {false, 0, IntErrorKind::PosOverflow};
        if (v < INT32_MIN) return {false, 0, IntErrorKind::NegOverflow};
    }
    return {true, v, IntErrorKind::Empty};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const paywheel::batch::ParsedI32 got = paywheel::batch::parse_i32(text);
    const Expected want = reference(text);
    if (got.ok != want.ok) std::abort();
    if (want.ok ? got.value != want.value : (got.kind != want.kind || got.value != 0)) std::abort();
    return 0;
}
