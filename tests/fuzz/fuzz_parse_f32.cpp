// parse_f32 against an independent reading: a hand-written matcher for the
// grammar, and exact rational arithmetic (GMP) for the rounding to the
// nearest binary32, ties to even, with overflow to infinity and gradual
// underflow.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <gmp.h>

#include "text_grammar.hpp"

namespace {

using paywheel::batch::FloatErrorKind;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool same_word(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// Rounds the exact positive value num/den to binary32, nearest, ties to even.
std::uint32_t round_to_binary32(const mpz_t num, const mpz_t den) {
    // e with 2^e <= num/den < 2^(e+1).
    long e = static_cast<long>(mpz_sizeinbase(num, 2)) - static_cast<long>(mpz_sizeinbase(den, 2));
    mpz_t a, b, q, r;
    mpz_inits(a, b, q, r, nullptr);
    auto scaled = [&](long shift) {  // a/b = (num/den) * 2^shift
        mpz_set(a, num);
        mpz_set(b, den);
        if (shift >= 0) mpz_mul_2exp(a, a, static_cast<mp_bitcnt_t>(shift));
        else mpz_mul_2exp(b, b, static_cast<mp_bitcnt_t>(-shift));
    };
    scaled(-e);
    if (mpz_cmp(a, b) < 0) --e;  // below 2^e: one lower
    std::uint32_t bits;
    if (e >= 128) {
        bits = 0x7f800000u;
    } else {
        // Quantum: 2^(e-23) for normal numbers, 2^-149 below the normal range.
        const long quantum_exp = e < -126 ? -149 : e - 23;
        scaled(-quantum_exp);
        mpz_fdiv_qr(q, r, a, b);
        mpz_mul_2exp(r, r, 1);
        const int c = mpz_cmp(r, b);
        if (c > 0 || (c == 0 && mpz_odd_p(q))) mpz_add_ui(q, q, 1);
        // q <= 2^24, exact in a float; ldexpf scales exactly or overflows.
        const float v = std::ldexp(static_cast<float>(mpz_get_ui(q)), static_cast<int>(quantum_exp));
        bits = std::bit_cast<std::uint32_t>(v);
    }
    mpz_clears(a, b, q, r, nullptr);
    return bits;
}

struct Expected {
    bool ok;
    std::uint32_t bits;
    FloatErrorKind kind;
};

Expected reference(std::string_view s) {
    if (s.empty()) return {false, 0, FloatErrorKind::Empty};
    const Expected invalid{false, 0, FloatErrorKind::Invalid};
    std::uint32_t sign = 0;
    if (s[0] == '+' || s[0] == '-') {
        sign = s[0] == '-' ? 0x80000000u : 0;
        s.remove_prefix(1);
    }
    if (same_word(s, "inf") || same_word(s, "infinity")) return {true, sign | 0x7f800000u, FloatErrorKind::Empty};
    if (same_word(s, "nan")) return {true, sign | 0x7fc00000u, FloatErrorKind::Empty};

    std::string digits;  // every mantissa digit, the point dropped
    long fraction_digits = 0;
    std::size_t i = 0;
    while (i < s.size() && is_digit(s[i])) digits += s[i++];
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) digits += s[i++], ++fraction_digits;
    }
    if (digits.empty()) return invalid;
    long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
        const std::size_t first = i;
        while (i < s.size() && is_digit(s[i])) {
            if (exponent < 1000000000) exponent = exponent * 10 + (s[i] - '0');
            ++i;
        }
        if (i == first) return invalid;
        if (negative) exponent = -exponent;
    }
    if (i != s.size()) return invalid;

    // Strip leading zeros; value = M * 10^(exponent - fraction_digits).
    const std::size_t nz = digits.find_first_not_of('0');
    if (nz == std::string::npos) return {true, sign, FloatErrorKind::Empty};
    digits.erase(0, nz);
    const long e10 = exponent - fraction_digits;
    const long magnitude = e10 + static_cast<long>(digits.size());  // 10^(magnitude-1) <= value < 10^magnitude
    if (magnitude > 40) return {true, sign | 0x7f800000u, FloatErrorKind::Empty};  // >= 1e39
    if (magnitude < -46) return {true, sign, FloatErrorKind::Empty};               // < 1e-46, under half of 2^-149

    mpz_t num, den, p;
    mpz_inits(num, den, p, nullptr);
    mpz_set_str(num, digits.c_str(), 10);
    mpz_set_ui(den, 1);
    mpz_ui_pow_ui(p, 10, static_cast<unsigned long>(e10 < 0 ? -e10 : e10));
    if (e10 >= 0) mpz_mul(num, num, p);
    else mpz_set(den, p);
    const std::uint32_t bits = round_to_binary32(num, den);
    mpz_clears(num, den, p, nullptr);
    return {true, sign | bits, FloatErrorKind::Empty};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const paywheel::batch::ParsedF32 got = paywheel::batch::parse_f32(text);
    const Expected want = reference(text);
    if (got.ok != want.ok) std::abort();
    if (want.ok ? std::bit_cast<std::uint32_t>(got.value) != want.bits : got.kind != want.kind) std::abort();
    return 0;
}
