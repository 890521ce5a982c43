// Text record decoding: the float and integer grammars, correct rounding
// of decimal text to binary32, and decode_text_record's lookup order and
// abort messages.
#include <gtest/gtest.h>

#include <clocale>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "paywheel/batch/text_record.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/messages.hpp"

namespace {

using paywheel::batch::FloatErrorKind;
using paywheel::batch::IntErrorKind;
using paywheel::LoanTerms;
using paywheel::batch::parse_f32;
using paywheel::batch::parse_i32;
using paywheel::batch::ParsedF32;
using paywheel::batch::ParsedI32;
using paywheel::batch::TextRecord;
namespace msg = paywheel::messages;

std::uint32_t bits_of(float x) { return std::bit_cast<std::uint32_t>(x); }

float float_of(std::uint32_t u) { return std::bit_cast<float>(u); }

std::string hex(std::uint32_t u) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", u);
    return buf;
}

// glibc strtof is correctly rounded; strtof_l with an explicit "C" locale is
// independent of whatever global locale the process has.
locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

float reference_strtof(const std::string& s) { return strtof_l(s.c_str(), nullptr, c_locale()); }

const char* kind_name(FloatErrorKind k) { return k == FloatErrorKind::Empty ? "Empty" : "Invalid"; }

const char* kind_name(IntErrorKind k) {
    switch (k) {
        case IntErrorKind::Empty: return "Empty";
        case IntErrorKind::InvalidDigit: return "InvalidDigit";
        case IntErrorKind::PosOverflow: return "PosOverflow";
        case IntErrorKind::NegOverflow: return "NegOverflow";
    }
    return "?";
}

// Printable form of a test input (control bytes and NULs escaped).
std::string show(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// ---------------------------------------------------------------------------
// Float grammar: accepted texts and their exact bit patterns
// ---------------------------------------------------------------------------

struct FloatOk {
    std::string text;
    std::uint32_t bits;
};

void expect_float_table(const std::vector<FloatOk>& table) {
    for (const FloatOk& c : table) {
        const ParsedF32 p = parse_f32(c.text);
        ASSERT_TRUE(p.ok) << show(c.text) << " kind " << kind_name(p.kind);
        EXPECT_EQ(hex(bits_of(p.value)), hex(c.bits)) << show(c.text);
    }
}

TEST(ParseF32, GrammarEdgeCases) {
    expect_float_table({
        {"1e3", 0x447a0000},
        {"1000", 0x447a0000},
        {"NaN", 0x7fc00000},
        {"inf", 0x7f800000},
        {"-Infinity", 0xff800000},
        {"1e40", 0x7f800000},
        {"1e99999999999", 0x7f800000},
        {"1e-99999999999", 0x00000000},
    });
}

TEST(ParseF32, NumeralShapes) {
    expect_float_table({
        {"5", 0x40a00000},
        {"5.", 0x40a00000},
        {".5", 0x3f000000},
        {"5.e3", 0x459c4000},
        {".5e1", 0x40a00000},
        {"+5", 0x40a00000},
        {"+.5", 0x3f000000},
        {"-.5", 0xbf000000},
        {"-5.", 0xc0a00000},
        {"1E3", 0x447a0000},
        {"1e+3", 0x447a0000},
        {"1E+3", 0x447a0000},
        {"1e-3", 0x3a83126f},
        {"1e03", 0x447a0000},
        {"007", 0x40e00000},
        {"007.500", 0x40f00000},
        {"1e0", 0x3f800000},
        {"1e-0", 0x3f800000},
        {"1.0e0", 0x3f800000},
    });
}

TEST(ParseF32, SignedZeros) {
    expect_float_table({
        {"0", 0x00000000},
        {"+0", 0x00000000},
        {"-0", 0x80000000},
        {"0.0", 0x00000000},
        {"-0.0", 0x80000000},
        {"-.0", 0x80000000},
        {"-0.", 0x80000000},
        {"00000", 0x00000000},
        {"-00000.00000", 0x80000000},
        {"0e-5", 0x00000000},
        {"0e99999999999", 0x00000000},
        {"-0e99999999999", 0x80000000},
        {"-0e-99999999999", 0x80000000},
        {"0.000000000000000000000000000000000000000000000000000000000000e300", 0x00000000},
        // Underflow keeps the numeral's sign.
        {"1e-46", 0x00000000},
        {"-1e-46", 0x80000000},
        {"-1e-99999999999", 0x80000000},
        {"123456789012345678901234567890e-80", 0x00000000},
        {"-123456789012345678901234567890e-80", 0x80000000},
        {"1000000000000000000000000000000000000000000000000e-99999999999", 0x00000000},
    });
}

TEST(ParseF32, InfinityAndNanWordsAnyCase) {
    expect_float_table({
        {"inf", 0x7f800000},
        {"INF", 0x7f800000},
        {"iNf", 0x7f800000},
        {"+inf", 0x7f800000},
        {"-inf", 0xff800000},
        {"infinity", 0x7f800000},
        {"Infinity", 0x7f800000},
        {"INFINITY", 0x7f800000},
        {"InFiNiTy", 0x7f800000},
        {"+Infinity", 0x7f800000},
        {"-infinity", 0xff800000},
        {"nan", 0x7fc00000},
        {"NAN", 0x7fc00000},
        {"nAn", 0x7fc00000},
        {"+nan", 0x7fc00000},
        // "-" applies to NaN: the sign bit is set.
        {"-nan", 0xffc00000},
        {"-NaN", 0xffc00000},
    });
}

TEST(ParseF32, OverflowToInfinity) {
    expect_float_table({
        {"1e39", 0x7f800000},
        {"-1e40", 0xff800000},
        {"-1e99999999999", 0xff800000},
        {"1e+99999999999999999999999999999", 0x7f800000},
        {"3.4028235e38", 0x7f7fffff},
        {"-3.4028235e38", 0xff7fffff},
        {"3.4028236e38", 0x7f800000},
        // Exactly halfway between FLT_MAX and 2^128: ties to even (the odd
        // significand of FLT_MAX loses) gives infinity.
        {"340282356779733661637539395458142568448", 0x7f800000},
        {"340282356779733661637539395458142568447.99999999999999999999", 0x7f7fffff},
        {"340282356779733661637539395458142568447", 0x7f7fffff},
        {"1" + std::string(100, '0'), 0x7f800000},
        {"0.00000000000000000000000000000000000000000000001e+99999999999", 0x7f800000},
    });
}

TEST(ParseF32, Subnormals) {
    expect_float_table({
        {"1e-45", 0x00000001},
        {"1.401298464324817e-45", 0x00000001},
        {"0.8e-45", 0x00000001},
        {"0.7e-45", 0x00000000},
        {"-1e-45", 0x80000001},
        {"1e-40", 0x000116c2},
        {"1.1754942e-38", 0x007fffff},
        {"1.17549435e-38", 0x00800000},
        {"0000000000000000000000001e-45", 0x00000001},
        {"0.000000000000000000000000000000000000000000001", 0x00000001},
        // 2^-150, the midpoint of 0 and the smallest subnormal: ties to 0.
        {"7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015625e-46",
         0x00000000},
        {"7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015626e-46",
         0x00000001},
        {"7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015624e-46",
         0x00000000},
        {"7.006492321624085e-46", 0x00000000},
        {"7.006492321624086e-46", 0x00000001},
        // 3 * 2^-150, the midpoint of subnormals 1 and 2: ties to 2 (even).
        {"2.101947696487225606385594374934874196920392912814773657635602425834686624028790902229957282543182373046875e-45",
         0x00000002},
        {"2.101947696487225606385594374934874196920392912814773657635602425834686624028790902229957282543182373046874e-45",
         0x00000001},
    });
}

TEST(ParseF32, HalfwayAndRounding) {
    expect_float_table({
        {"0.1", 0x3dcccccd},
        {"-0.1", 0xbdcccccd},
        {"16777216", 0x4b800000},
        {"16777217", 0x4b800000},  // halfway: ties to even (down)
        {"16777218", 0x4b800001},
        {"16777219", 0x4b800002},  // halfway: ties to even (up)
        {"16777217.000000000000000000001", 0x4b800001},
        {"16777216.99999999999999999999", 0x4b800000},
        {"16777217e0", 0x4b800000},
        {"1677721.7e1", 0x4b800000},
        {"0.0000000016777217e16", 0x4b800000},
        // 1 + 2^-24 is halfway between 1 and its successor: ties to 1; a
        // single far-away non-zero digit tips it up. Double rounding (to
        // double first) would get the second wrong.
        {"1.000000059604644775390625", 0x3f800000},
        {"1.00000005960464477539062500000000000000000000000001", 0x3f800001},
        {"1.000000059604644775390624999999999999999999999999", 0x3f800000},
        {"1.0000000596046448", 0x3f800001},
        {"3.14159265358979323846264338327950288419716939937510582097494459", 0x40490fdb},
    });
}

TEST(ParseF32, LongDigitStringsAndExponents) {
    expect_float_table({
        {"0." + std::string(60, '0') + "1e61", 0x3f800000},
        {"1" + std::string(60, '0') + "e-60", 0x3f800000},
        {std::string(500, '0') + "1", 0x3f800000},
        {"1." + std::string(500, '0'), 0x3f800000},
        {"1." + std::string(500, '0') + "1", 0x3f800000},
        {"0." + std::string(400, '0') + "1e401", 0x3f800000},
        {"1" + std::string(400, '0') + "e-400", 0x3f800000},
        {"1e0000000000000000000000000000000000005", 0x47c35000},
        {"1e-00000000000000000000000000000000000000001", 0x3dcccccd},
        {"1e+00000000000000000000000000000000000000000", 0x3f800000},
        {"1e" + std::string(1000, '9'), 0x7f800000},
        {"1e-" + std::string(1000, '9'), 0x00000000},
        {"-1e" + std::string(1000, '9'), 0xff800000},
        {"-1e-" + std::string(1000, '9'), 0x80000000},
        // Huge exponents on a numeral whose digits pull the other way still
        // saturate in the exponent's direction.
        {"0." + std::string(300, '0') + "1e" + std::string(30, '9'), 0x7f800000},
        {std::string(300, '9') + "e-" + std::string(30, '9'), 0x00000000},
        {"9" + std::string(200, '9') + "e-200", 0x41200000},  // 9.999...e0 -> 10
        {"9" + std::string(200, '9') + "e-201", 0x3f800000},  // 0.999...e0 -> 1
    });
}

// ---------------------------------------------------------------------------
// Float grammar: refused texts
// ---------------------------------------------------------------------------

struct FloatErr {
    std::string text;
    FloatErrorKind kind;
};

TEST(ParseF32, Refusals) {
    using K = FloatErrorKind;
    const std::vector<FloatErr> table = {
        {"", K::Empty},
        {"+", K::Invalid},
        {"-", K::Invalid},
        {" 1000", K::Invalid},
        {"1000 ", K::Invalid},
        {"\t1", K::Invalid},
        {"1\n", K::Invalid},
        {std::string("1\0", 2), K::Invalid},
        {std::string("\0", 1), K::Invalid},
        {"1_000", K::Invalid},
        {"1,000", K::Invalid},
        {"1,5", K::Invalid},
        {"0x10", K::Invalid},
        {"0X1p3", K::Invalid},
        {"0x1.8p1", K::Invalid},
        {"0b101", K::Invalid},
        {"--1", K::Invalid},
        {"+-1", K::Invalid},
        {"-+1", K::Invalid},
        {"++1", K::Invalid},
        {"1e", K::Invalid},
        {"1E", K::Invalid},
        {"1e+", K::Invalid},
        {"1e-", K::Invalid},
        {"1e+-3", K::Invalid},
        {"1e--3", K::Invalid},
        {"1.5E+-3", K::Invalid},
        {"e5", K::Invalid},
        {"E5", K::Invalid},
        {".", K::Invalid},
        {"-.", K::Invalid},
        {"+.", K::Invalid},
        {".e5", K::Invalid},
        {"..5", K::Invalid},
        {"1..5", K::Invalid},
        {"1.2.3", K::Invalid},
        {"1e5.0", K::Invalid},
        {"1e5e5", K::Invalid},
        {"1e1e1", K::Invalid},
        {"1 e5", K::Invalid},
        {"1e 5", K::Invalid},
        {"1e+5x", K::Invalid},
        {"1f", K::Invalid},
        {"1.0f", K::Invalid},
        {"1d", K::Invalid},
        {"1x", K::Invalid},
        {"x1", K::Invalid},
        {"inf ", K::Invalid},
        {" inf", K::Invalid},
        {"in", K::Invalid},
        {"i", K::Invalid},
        {"n", K::Invalid},
        {"na", K::Invalid},
        {"infin", K::Invalid},
        {"infinit", K::Invalid},
        {"infinityy", K::Invalid},
        {"infinity1", K::Invalid},
        {"inf1", K::Invalid},
        {"nana", K::Invalid},
        {"nan(123)", K::Invalid},
        {"nan()", K::Invalid},
        {"snan", K::Invalid},
        {"--inf", K::Invalid},
        {"+-nan", K::Invalid},
        {"+inf+", K::Invalid},
        {"1inf", K::Invalid},
        {"e", K::Invalid},
        {"\xe2\x88\x9e", K::Invalid},          // U+221E INFINITY
        {"\xef\xbc\x91", K::Invalid},          // U+FF11 FULLWIDTH DIGIT ONE
        {"\xd9\xa1", K::Invalid},              // U+0661 ARABIC-INDIC DIGIT ONE
        {"\xe2\x88\x92" "1", K::Invalid},      // U+2212 MINUS SIGN
        {"1" + std::string(400, '0') + "x", K::Invalid},
        {"1e" + std::string(400, '9') + "x", K::Invalid},
    };
    for (const FloatErr& c : table) {
        const ParsedF32 p = parse_f32(c.text);
        EXPECT_FALSE(p.ok) << show(c.text) << " parsed as " << hex(bits_of(p.value));
        if (!p.ok) {
            EXPECT_STREQ(kind_name(p.kind), kind_name(c.kind)) << show(c.text);
        }
    }
}

// The grammar written out a second way, as the sequence of its parts:
// [+-]? ( inf | infinity | nan  (any case)
//       | (digits [. digits?] | . digits) ([eE] [+-]? digits)? )
bool grammar_accepts(std::string_view s) {
    auto digits = [&](std::size_t& i) {
        const std::size_t from = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        return i > from;
    };
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::string word;
    for (std::size_t k = i; k < s.size(); ++k)
        word += static_cast<char>(s[k] >= 'A' && s[k] <= 'Z' ? s[k] - 'A' + 'a' : s[k]);
    if (word == "inf" || word == "infinity" || word == "nan") return true;
    const bool whole = digits(i);
    bool fraction = false;
    if (i < s.size() && s[i] == '.') {
        ++i;
        fraction = digits(i);
    }
    if (!whole && !fraction) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (!digits(i)) return false;
    }
    return i == s.size();
}

// Random texts over a small alphabet: parse_f32 accepts exactly what an
// independent reading of the grammar accepts, and every accepted
// numeral agrees with strtof bit for bit.
TEST(ParseF32, RandomGrammarAgainstSecondReading) {
    static constexpr char kAlphabet[] = "0123456789012345.eE+-infatyINFATY x_";
    std::mt19937_64 rng(0x5eed0001);
    std::uniform_int_distribution<int> len_dist(0, 10);
    std::uniform_int_distribution<int> ch_dist(0, sizeof kAlphabet - 2);
    int accepted = 0, numerals = 0;
    constexpr int kCases = 200000;
    for (int n = 0; n < kCases; ++n) {
        std::string s;
        const int len = len_dist(rng);
        for (int i = 0; i < len; ++i) s += kAlphabet[ch_dist(rng)];
        const bool want = grammar_accepts(s);
        const ParsedF32 p = parse_f32(s);
        ASSERT_EQ(p.ok, want) << show(s);
        if (!p.ok) {
            ASSERT_EQ(p.kind, s.empty() ? FloatErrorKind::Empty : FloatErrorKind::Invalid) << show(s);
            continue;
        }
        ++accepted;
        const float ref = reference_strtof(s);
        if (std::isnan(ref)) {
            ASSERT_TRUE(std::isnan(p.value)) << show(s);
            ASSERT_EQ(std::signbit(p.value), s[0] == '-') << show(s);
        } else {
            ++numerals;
            ASSERT_EQ(hex(bits_of(p.value)), hex(bits_of(ref))) << show(s);
        }
    }
    RecordProperty("accepted", accepted);
    std::printf("[          ] %d random texts, %d accepted, %d numerals compared\n", kCases, accepted, numerals);
    EXPECT_GT(accepted, 1000);
}

// ---------------------------------------------------------------------------
// Float value: randomized agreement with strtof
// ---------------------------------------------------------------------------

std::string random_digits(std::mt19937_64& rng, int count) {
    std::uniform_int_distribution<int> d(0, 9);
    std::string s;
    s.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) s += static_cast<char>('0' + d(rng));
    return s;
}

// A random decimal numeral in the grammar, of varied length, point position
// and exponent, weighted towards the binary32 range and its edges.
std::string random_numeral(std::mt19937_64& rng) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::string s;
    switch (pick(0, 3)) {
        case 0: s += '-'; break;
        case 1: s += '+'; break;
        default: break;
    }
    int significant;
    switch (pick(0, 9)) {
        case 0: significant = pick(60, 130); break;
        case 1: case 2: significant = pick(18, 40); break;
        default: significant = pick(1, 12); break;
    }
    std::string digits = random_digits(rng, significant);
    if (digits[0] == '0' && pick(0, 3) != 0) digits[0] = static_cast<char>('1' + pick(0, 8));
    const int leading_zeros = pick(0, 5) == 0 ? pick(1, 30) : 0;
    digits.insert(0, static_cast<std::size_t>(leading_zeros), '0');

    // Split the digits into integer and fraction parts.
    const int total = static_cast<int>(digits.size());
    const int point = pick(-1, total);  // -1: no point at all
    int int_len;
    if (point < 0) {
        s += digits;
        int_len = total;
    } else {
        s += digits.substr(0, static_cast<std::size_t>(point));
        s += '.';
        s += digits.substr(static_cast<std::size_t>(point));
        int_len = point;
    }
    // Decimal order of the value without exponent, roughly.
    const int order = int_len - leading_zeros - 1;

    if (pick(0, 4) == 0 && order >= -40 && order <= 35) return s;  // no exponent

    int target;
    switch (pick(0, 9)) {
        case 0: target = pick(-48, -36); break;   // subnormal range and below
        case 1: target = pick(36, 40); break;     // around FLT_MAX
        case 2: target = pick(-400, 400); break;  // far out
        default: target = pick(-38, 38); break;
    }
    long long exponent = static_cast<long long>(target) - order;
    s += pick(0, 1) ? 'e' : 'E';
    if (exponent < 0) {
        s += '-';
        exponent = -exponent;
    } else if (pick(0, 1)) {
        s += '+';
    }
    if (pick(0, 7) == 0) s += std::string(static_cast<std::size_t>(pick(1, 25)), '0');
    s += std::to_string(exponent);
    return s;
}

TEST(ParseF32, RandomAgreesWithStrtof) {
    std::mt19937_64 rng(0x5eed0002);
    constexpr int kCases = 300000;
    int infinities = 0, zeros = 0, subnormals = 0;
    for (int n = 0; n < kCases; ++n) {
        const std::string s = random_numeral(rng);
        const ParsedF32 p = parse_f32(s);
        ASSERT_TRUE(p.ok) << show(s) << " kind " << kind_name(p.kind);
        const float ref = reference_strtof(s);
        ASSERT_EQ(hex(bits_of(p.value)), hex(bits_of(ref))) << show(s);
        if (std::isinf(ref)) ++infinities;
        else if (ref == 0.0f) ++zeros;
        else if (std::fpclassify(ref) == FP_SUBNORMAL) ++subnormals;
    }
    std::printf("[          ] %d random numerals: %d infinities, %d zeros, %d subnormals\n", kCases,
                infinities, zeros, subnormals);
    EXPECT_GT(infinities, 1000);
    EXPECT_GT(zeros, 1000);
    EXPECT_GT(subnormals, 1000);
}

// Exact decimal expansion of a double, as significant digits (no leading or
// trailing zeros) and the decimal exponent of the first digit, so that the
// value is 0.d1d2d3... * 10^(exp10 + 1)... i.e. d1.d2d3... * 10^exp10.
struct Decimal {
    std::string digits;
    int exp10;
};

Decimal exact_decimal(double x) {
    // glibc prints the exact binary value when asked for enough digits; a
    // binary32 midpoint needs at most ~112 significant digits.
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.300e", x);
    const char* e = std::strchr(buf, 'e');
    Decimal d;
    for (const char* p = buf; p != e; ++p)
        if (*p >= '0' && *p <= '9') d.digits += *p;
    while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
    d.exp10 = std::atoi(e + 1);
    return d;
}

// Writes digits d1d2... with value d1.d2... * 10^exp10 in one of several
// equivalent forms, to exercise the point position and leading zeros.
std::string render(const std::string& digits, int exp10, int style) {
    const int n = static_cast<int>(digits.size());
    switch (style) {
        case 0:  // d.ddd e X
            return digits.substr(0, 1) + (n > 1 ? "." + digits.substr(1) : "") + "e" + std::to_string(exp10);
        case 1:  // dddd e X'
            return digits + "e" + std::to_string(exp10 - (n - 1));
        case 2:  // 000.000ddd e X''
            return "000.000" + digits + "e" + std::to_string(exp10 + 4);
        default: {  // positional when the exponent is small, else d.ddd E+X
            if (exp10 >= 0 && exp10 < 45) {
                if (exp10 + 1 >= n) return digits + std::string(static_cast<std::size_t>(exp10 + 1 - n), '0');
                return digits.substr(0, static_cast<std::size_t>(exp10 + 1)) + "." +
                       digits.substr(static_cast<std::size_t>(exp10 + 1));
            }
            if (exp10 < 0 && exp10 > -50)
                return "0." + std::string(static_cast<std::size_t>(-exp10 - 1), '0') + digits;
            return digits.substr(0, 1) + "." + digits.substr(1) + "E+" + std::to_string(exp10);
        }
    }
}

// Adds one unit in the last place of a digit string; returns the carry-out
// exponent shift (1 when 999 became 1000, written as "1").
int increment_digits(std::string& digits) {
    for (std::size_t i = digits.size(); i-- > 0;) {
        if (digits[i] != '9') {
            ++digits[i];
            return 0;
        }
        digits[i] = '0';
    }
    digits.insert(0, "1");
    digits.pop_back();
    return 1;
}

// Texts at and around the exact midpoint between a binary32 and its successor:
// the exact midpoint must round to the even neighbour, anything just above to
// the successor, anything just below to the float itself, whatever the digit
// count. Checked against the known answer and against strtof.
TEST(ParseF32, NearHalfwayPoints) {
    std::mt19937_64 rng(0x5eed0003);
    auto pick_bits = [&]() -> std::uint32_t {
        std::uniform_int_distribution<std::uint32_t> any(0, 0x7f7fffffu);
        std::uniform_int_distribution<std::uint32_t> low(0, 0x00ffffffu);
        std::uniform_int_distribution<std::uint32_t> top(0x7f000000u, 0x7f7fffffu);
        std::uniform_int_distribution<std::uint32_t> small(0, 1000);
        switch (std::uniform_int_distribution<int>(0, 9)(rng)) {
            case 0: return low(rng);                  // subnormals and smallest normals
            case 1: return top(rng);                  // near FLT_MAX
            case 2: return small(rng);                // tiniest subnormals
            case 3: return 0x7f7fffffu - small(rng);  // the very top
            default: return any(rng);
        }
    };
    std::uniform_int_distribution<int> style_dist(0, 3);
    constexpr int kFloats = 60000;
    int checked = 0, strtof_checked = 0;
    for (int n = 0; n < kFloats; ++n) {
        const std::uint32_t b = pick_bits();
        const float f = float_of(b);
        const std::uint32_t next_bits = b + 1;  // successor; 0x7f800000 (inf) after FLT_MAX
        const double next = next_bits == 0x7f800000u ? std::ldexp(1.0, 128) : double(float_of(next_bits));
        const double mid = (double(f) + next) / 2.0;  // exact: 25 significant bits
        const Decimal d = exact_decimal(mid);
        const std::uint32_t even = (b % 2 == 0) ? b : next_bits;

        // Just below: decrement the (non-zero) last digit and append nines.
        std::string below = d.digits;
        below.back() = static_cast<char>(below.back() - 1);
        below += std::string(20, '9');
        // Just above: append a far-away one.
        const std::string above = d.digits + std::string(20, '0') + "1";

        struct Probe {
            std::string digits;
            int exp10;
            std::optional<std::uint32_t> expected;  // nullopt: strtof only
        };
        std::vector<Probe> probes = {
            {d.digits, d.exp10, even},
            {below, d.exp10, b},
            {above, d.exp10, next_bits},
        };
        // Truncations and round-ups at a random shorter length (strtof decides).
        if (d.digits.size() > 2) {
            const std::size_t k = std::uniform_int_distribution<std::size_t>(1, d.digits.size() - 1)(rng);
            std::string trunc = d.digits.substr(0, k);
            probes.push_back({trunc, d.exp10, std::nullopt});
            const int shift = increment_digits(trunc);
            probes.push_back({trunc, d.exp10 + shift, std::nullopt});
        }
        for (const Probe& probe : probes) {
            for (const bool negative : {false, true}) {
                std::string text = negative ? "-" : "";
                text += render(probe.digits, probe.exp10, style_dist(rng));
                const ParsedF32 p = parse_f32(text);
                ASSERT_TRUE(p.ok) << show(text);
                const std::uint32_t got = bits_of(p.value);
                if (probe.expected) {
                    const std::uint32_t want = *probe.expected | (negative ? 0x80000000u : 0u);
                    ASSERT_EQ(hex(got), hex(want)) << show(text) << " float " << hex(b);
                    ++checked;
                }
                ASSERT_EQ(hex(got), hex(bits_of(reference_strtof(text)))) << show(text);
                ++strtof_checked;
            }
        }
    }
    std::printf("[          ] %d floats: %d texts against the known answer, %d against strtof\n", kFloats,
                checked, strtof_checked);
}

// ---------------------------------------------------------------------------
// Integer grammar
// ---------------------------------------------------------------------------

struct IntOk {
    std::string text;
    std::int32_t value;
};

struct IntErr {
    std::string text;
    IntErrorKind kind;
};

TEST(ParseI32, Accepted) {
    const std::vector<IntOk> table = {
        {"0", 0},
        {"-0", 0},
        {"+0", 0},
        {"1", 1},
        {"-1", -1},
        {"+12", 12},
        {"12", 12},
        {"007", 7},
        {"-007", -7},
        {"0000000000000000000000000000042", 42},
        {"2147483647", 2147483647},
        {"+2147483647", 2147483647},
        {"-2147483647", -2147483647},
        {"-2147483648", -2147483647 - 1},
        {"-00000000000000000002147483648", -2147483647 - 1},
        {"00000000000000000000000000002147483647", 2147483647},
        {"1000000000", 1000000000},
        {"-1000000000", -1000000000},
    };
    for (const IntOk& c : table) {
        const ParsedI32 p = parse_i32(c.text);
        ASSERT_TRUE(p.ok) << show(c.text) << " kind " << kind_name(p.kind);
        EXPECT_EQ(p.value, c.value) << show(c.text);
    }
}

TEST(ParseI32, Refusals) {
    using K = IntErrorKind;
    const std::vector<IntErr> table = {
        {"", K::Empty},
        {"+", K::InvalidDigit},
        {"-", K::InvalidDigit},
        {"12.0", K::InvalidDigit},
        {"1e3", K::InvalidDigit},
        {" 12", K::InvalidDigit},
        {"12 ", K::InvalidDigit},
        {"--1", K::InvalidDigit},
        {"+-1", K::InvalidDigit},
        {"-+1", K::InvalidDigit},
        {"++1", K::InvalidDigit},
        {"1-", K::InvalidDigit},
        {"1_000", K::InvalidDigit},
        {"1,000", K::InvalidDigit},
        {"0x10", K::InvalidDigit},
        {"inf", K::InvalidDigit},
        {"\xef\xbc\x91", K::InvalidDigit},  // fullwidth one
        {std::string("\0", 1), K::InvalidDigit},
        {std::string("12\0", 3), K::InvalidDigit},
        {"2147483648", K::PosOverflow},
        {"+2147483648", K::PosOverflow},
        {"21474836470", K::PosOverflow},
        {"4294967296", K::PosOverflow},
        {"4294967297", K::PosOverflow},
        {"18446744073709551617", K::PosOverflow},
        {"99999999999999999999999999999999999999999", K::PosOverflow},
        {"00000000000000000000000000002147483648", K::PosOverflow},
        {"-2147483649", K::NegOverflow},
        {"-21474836480", K::NegOverflow},
        {"-4294967296", K::NegOverflow},
        {"-18446744073709551616", K::NegOverflow},
        {"-00000000000000000002147483649", K::NegOverflow},
        // The first offending character decides.
        {"99999999999x", K::PosOverflow},
        {"9x9999999999", K::InvalidDigit},
        {"-99999999999x", K::NegOverflow},
        {"-9x9999999999", K::InvalidDigit},
        {"2147483648x", K::PosOverflow},
        {"214748364x", K::InvalidDigit},
        {"214748365x", K::InvalidDigit},
        {"2147483647x", K::InvalidDigit},
        {"-2147483648x", K::InvalidDigit},
        {"-2147483649x", K::NegOverflow},
        {"21474836481.5", K::PosOverflow},
        {"2147483647.5", K::InvalidDigit},
    };
    for (const IntErr& c : table) {
        const ParsedI32 p = parse_i32(c.text);
        EXPECT_FALSE(p.ok) << show(c.text) << " parsed as " << p.value;
        if (!p.ok) {
            EXPECT_STREQ(kind_name(p.kind), kind_name(c.kind)) << show(c.text);
        }
    }
}

// Independent reference: the kind comes from comparing the position of the
// first non-digit with the position of the first digit whose prefix value
// leaves the range (the loop stops there, so 64 bits never overflow).
ParsedI32 reference_i32(const std::string& s) {
    if (s.empty()) return {false, 0, IntErrorKind::Empty};
    std::size_t start = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    const bool negative = s[0] == '-';
    if (start == s.size()) return {false, 0, IntErrorKind::InvalidDigit};
    std::size_t first_bad = s.size();
    for (std::size_t i = start; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') {
            first_bad = i;
            break;
        }
    std::size_t first_overflow = s.size();
    long long v = 0;
    for (std::size_t i = start; i < first_bad; ++i) {
        v = v * 10 + (s[i] - '0');
        const long long signed_v = negative ? -v : v;
        if (signed_v > 2147483647 || signed_v < -2147483648LL) {
            first_overflow = i;
            break;
        }
    }
    if (first_bad < first_overflow) return {false, 0, IntErrorKind::InvalidDigit};
    if (first_overflow < s.size())
        return {false, 0, negative ? IntErrorKind::NegOverflow : IntErrorKind::PosOverflow};
    return {true, static_cast<std::int32_t>(negative ? -v : v), IntErrorKind::Empty};
}

TEST(ParseI32, RandomAgainstReference) {
    std::mt19937_64 rng(0x5eed0004);
    static constexpr char kAlphabet[] = "0123456789012345678901234567890123456789+- x.e";
    std::uniform_int_distribution<int> ch_dist(0, sizeof kAlphabet - 2);
    std::uniform_int_distribution<int> len_dist(0, 14);
    std::uniform_int_distribution<std::int64_t> value_dist(-4294967296LL, 4294967296LL);
    constexpr int kCases = 300000;
    int ok_count = 0;
    for (int n = 0; n < kCases; ++n) {
        std::string s;
        if (n % 2 == 0) {
            const int len = len_dist(rng);
            for (int i = 0; i < len; ++i) s += kAlphabet[ch_dist(rng)];
        } else {
            // Numbers near and beyond the range, sometimes with junk appended.
            const std::int64_t v = value_dist(rng);
            s = std::to_string(v);
            if (v >= 0 && n % 3 == 0) s.insert(0, "+");
            if (n % 5 == 0) s.insert(s[0] == '+' || s[0] == '-' ? 1 : 0, "000");
            if (n % 7 == 0) s += kAlphabet[ch_dist(rng)];
        }
        const ParsedI32 want = reference_i32(s);
        const ParsedI32 got = parse_i32(s);
        ASSERT_EQ(got.ok, want.ok) << show(s);
        if (want.ok) {
            ASSERT_EQ(got.value, want.value) << show(s);
            ++ok_count;
        } else {
            ASSERT_STREQ(kind_name(got.kind), kind_name(want.kind)) << show(s);
        }
    }
    std::printf("[          ] %d random integer texts, %d accepted\n", kCases, ok_count);
}

// ---------------------------------------------------------------------------
// decode_text_record
// ---------------------------------------------------------------------------

TextRecord valid_record() {
    return TextRecord{{"id", "L-1"}, {"amt", "1000"}, {"rate", "0.05"},
                      {"pers", "12"}, {"int_freq", "1"}, {"cap_freq", "3"}};
}

std::optional<paywheel::Abort> abort_of(const TextRecord& record) {
    try {
        (void)paywheel::batch::decode_text_record(record);
    } catch (const paywheel::Abort& a) {
        return a;
    }
    return std::nullopt;
}

std::string message_of(const TextRecord& record) {
    const auto a = abort_of(record);
    return a ? std::string(a->message()) : std::string("<no abort>");
}

TEST(DecodeTextRecord, ValidRecord) {
    TextRecord r = valid_record();
    r["extra"] = "ignored";
    r["AMT"] = "not a number";  // keys are case-sensitive; never read
    const LoanTerms t = paywheel::batch::decode_text_record(r);
    EXPECT_EQ(t.id, "L-1");
    EXPECT_EQ(bits_of(t.amt), bits_of(1000.0f));
    EXPECT_EQ(bits_of(t.rate), 0x3d4ccccdu);  // 0.05f
    EXPECT_EQ(t.pers, 12);
    EXPECT_EQ(t.int_freq, 1);
    EXPECT_EQ(t.cap_freq, 3);
}

TEST(DecodeTextRecord, ValueEdgeCases) {
    TextRecord r = valid_record();
    r["id"] = "";
    r["amt"] = "1e3";
    r["rate"] = "NaN";
    r["pers"] = "+12";
    LoanTerms t = paywheel::batch::decode_text_record(r);
    EXPECT_EQ(t.id, "");
    EXPECT_EQ(bits_of(t.amt), bits_of(1000.0f));
    EXPECT_TRUE(std::isnan(t.rate));
    EXPECT_EQ(t.pers, 12);

    r["rate"] = "inf";
    r["amt"] = "1e40";
    r["pers"] = "-2147483648";
    t = paywheel::batch::decode_text_record(r);
    EXPECT_EQ(bits_of(t.rate), 0x7f800000u);
    EXPECT_EQ(bits_of(t.amt), 0x7f800000u);
    EXPECT_EQ(t.pers, -2147483647 - 1);

    r["rate"] = "-Infinity";
    t = paywheel::batch::decode_text_record(r);
    EXPECT_EQ(bits_of(t.rate), 0xff800000u);
}

TEST(DecodeTextRecord, IdCopiedByteForByte) {
    TextRecord r = valid_record();
    const std::string id = std::string("\xc3\xa9t\xc3\xa9\0x", 7) + std::string(100, 'z');
    r["id"] = id;
    const LoanTerms t = paywheel::batch::decode_text_record(r);
    EXPECT_EQ(t.id, id);
    EXPECT_NE(t.id.data(), r["id"].data());
}

TEST(DecodeTextRecord, EveryMessage) {
    struct Case {
        const char* key;
        const char* value;  // nullptr: key removed
        const char* message;
    };
    const std::vector<Case> cases = {
        {"id", nullptr, msg::kMissingKey},
        {"amt", nullptr, msg::kMissingKey},
        {"rate", nullptr, msg::kMissingKey},
        {"pers", nullptr, msg::kMissingKey},
        {"int_freq", nullptr, msg::kMissingKey},
        {"cap_freq", nullptr, msg::kMissingKey},
        {"amt", "", msg::kFloatEmpty},
        {"amt", " 1000", msg::kFloatInvalid},
        {"amt", "-", msg::kFloatInvalid},
        {"rate", "", msg::kFloatEmpty},
        {"rate", "5%", msg::kFloatInvalid},
        {"pers", "", msg::kIntEmpty},
        {"pers", "12.0", msg::kIntInvalidDigit},
        {"pers", "+", msg::kIntInvalidDigit},
        {"pers", "2147483648", msg::kIntPosOverflow},
        {"pers", "-2147483649", msg::kIntNegOverflow},
        {"int_freq", "", msg::kIntEmpty},
        {"int_freq", "x", msg::kIntInvalidDigit},
        {"int_freq", "99999999999", msg::kIntPosOverflow},
        {"int_freq", "-99999999999", msg::kIntNegOverflow},
        {"cap_freq", "", msg::kIntEmpty},
        {"cap_freq", "1e3", msg::kIntInvalidDigit},
        {"cap_freq", "4294967296", msg::kIntPosOverflow},
        {"cap_freq", "-4294967296", msg::kIntNegOverflow},
    };
    for (const Case& c : cases) {
        TextRecord r = valid_record();
        if (c.value == nullptr) r.erase(c.key);
        else r[c.key] = c.value;
        EXPECT_EQ(message_of(r), c.message) << c.key << " = " << (c.value ? show(c.value) : "<absent>");
    }
    // The exact abort texts, once more written out in full.
    TextRecord r = valid_record();
    r["amt"] = "abc";
    EXPECT_EQ(message_of(r), msg::kFloatInvalid);
    r = valid_record();
    r["pers"] = "2147483648";
    EXPECT_EQ(message_of(r), msg::kIntPosOverflow);
    r = valid_record();
    r.erase("id");
    EXPECT_EQ(message_of(r), msg::kMissingKey);
}

TEST(DecodeTextRecord, LookupOrder) {
    // Missing id wins over a bad amt (and over everything else being bad).
    TextRecord r = {{"amt", "not a number"}, {"rate", ""}, {"pers", "x"}};
    EXPECT_EQ(message_of(r), msg::kMissingKey);
    // A bad amt wins over a missing rate.
    r = {{"id", "a"}, {"amt", "1,000"}};
    EXPECT_EQ(message_of(r), msg::kFloatInvalid);
    // A missing amt wins over a bad rate.
    r = {{"id", "a"}, {"rate", "bad"}, {"pers", "bad"}};
    EXPECT_EQ(message_of(r), msg::kMissingKey);

    // Every field broken; fixing them one at a time in lookup order moves the
    // reported failure along the order.
    const std::vector<std::pair<const char*, const char*>> fixes = {
        {"id", "x"}, {"amt", "1"}, {"rate", "0.1"}, {"pers", "3"}, {"int_freq", "1"}, {"cap_freq", "1"}};
    const std::vector<const char*> broken_messages = {
        msg::kMissingKey, msg::kFloatEmpty, msg::kFloatInvalid, msg::kIntPosOverflow, msg::kIntNegOverflow,
        msg::kIntEmpty};
    TextRecord all_bad = {{"amt", ""},
                          {"rate", "1.0.0"},
                          {"pers", "2147483648"},
                          {"int_freq", "-2147483649"},
                          {"cap_freq", ""},
                          {"ID", "wrong case"}};
    for (std::size_t i = 0; i < fixes.size(); ++i) {
        EXPECT_EQ(message_of(all_bad), broken_messages[i]) << "after fixing " << i << " fields";
        all_bad[fixes[i].first] = fixes[i].second;
    }
    EXPECT_FALSE(abort_of(all_bad).has_value());

    // Keys are case-sensitive.
    r = valid_record();
    r.erase("rate");
    r["Rate"] = "0.1";
    EXPECT_EQ(message_of(r), msg::kMissingKey);
}

TEST(DecodeTextRecord, EachLookupAndParseIsItsOwnSite) {
    // Each failing record, and the code and field its abort blames.
    std::vector<std::tuple<TextRecord, const char*, const char*>> failing;
    for (const char* key : {"id", "amt", "rate", "pers", "int_freq", "cap_freq"}) {
        TextRecord r = valid_record();
        r.erase(key);
        failing.emplace_back(r, "null", key);
    }
    for (const char* key : {"amt", "rate", "pers", "int_freq", "cap_freq"}) {
        TextRecord r = valid_record();
        r[key] = "?";
        const bool is_float = std::string_view(key) == "amt" || std::string_view(key) == "rate";
        failing.emplace_back(r, is_float ? "parse_float" : "parse_int", key);
    }
    TextRecord past = valid_record();
    past["pers"] = "2147483648";
    failing.emplace_back(past, "int_out_of_range", "pers");
    std::set<std::uint32_t> lines;
    for (const auto& [r, code, field] : failing) {
        const auto a = abort_of(r);
        ASSERT_TRUE(a.has_value());
        ASSERT_TRUE(a->blame().has_value()) << field;
        EXPECT_STREQ(paywheel::name_of(a->blame()->code), code) << field;
        EXPECT_STREQ(paywheel::name_of(a->blame()->field), field) << field;
        const std::string_view file = a->site().file;
        EXPECT_TRUE(file.ends_with("src/paywheel/batch/text_record.cpp")) << file;
        EXPECT_GT(a->site().line, 0u);
        lines.insert(a->site().line);
    }
    EXPECT_EQ(lines.size(), failing.size() - 1);  // the two parses of pers are one site
}

}  // namespace
