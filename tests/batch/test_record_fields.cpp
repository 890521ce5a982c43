// The reader of chosen fields of delimited records: its number grammars
// against strtod and plain 64-bit arithmetic, which blocks are clean, and
// the same columns for any thread count.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "paywheel/batch/record_fields.hpp"

namespace {

namespace pb = paywheel::batch;
using pb::FieldKind;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(RecordFields, NumberGrammars) {
    double f = -1;
    for (const char* t : {"0", "-0", "+1.5", "1.", ".5", "1e5", "1E+05", "-2.5e-3", "00012.50", "0.1e-320",
                          "123456789012345678901234567890"}) {
        ASSERT_TRUE(pb::read_float64(t, f)) << t;
        EXPECT_EQ(bits(f), bits(std::strtod(t, nullptr))) << t;
    }
    for (const char* t : {"", ".", "1e", "e5", " 1", "1 ", "inf", "nan", "0x10", "1e400", "--1", "1.2.3"})
        EXPECT_FALSE(pb::read_float64(t, f)) << t;
    std::int32_t i = -1;
    for (const char* t : {"0", "-0", "007", "2147483647", "-2147483648"}) {
        ASSERT_TRUE(pb::read_int32(t, i)) << t;
        EXPECT_EQ(i, std::strtoll(t, nullptr, 10)) << t;
    }
    for (const char* t : {"2147483648", "-2147483649", "99999999999999999999", "+5", "-", "", "1.0", " 5"})
        EXPECT_FALSE(pb::read_int32(t, i)) << t;
}

// Random decimals of every length and exponent: every one that reads is
// strtod's nearest double, bit for bit (the short fast path included).
TEST(RecordFields, FloatsAreCorrectlyRounded) {
    std::mt19937_64 rng(29);
    for (int n = 0; n < 200000; ++n) {
        std::string t = (rng() & 1) ? "-" : "";
        const int whole = static_cast<int>(rng() % 20), frac = static_cast<int>(rng() % 20);
        for (int i = 0; i < whole; ++i) t += static_cast<char>('0' + rng() % 10);
        if (frac > 0 || whole == 0) t += '.';
        for (int i = 0; i < frac || (whole == 0 && i == 0); ++i) t += static_cast<char>('0' + rng() % 10);
        if (rng() % 3 == 0) t.append("e").append(std::to_string(static_cast<int>(rng() % 80) - 40));
        double got = 0;
        ASSERT_TRUE(pb::read_float64(t, got)) << t;
        EXPECT_EQ(bits(got), bits(std::strtod(t.c_str(), nullptr))) << t;
    }
}

const std::vector<pb::WantedField> kWanted = {{0, FieldKind::Text}, {1, FieldKind::Float64}, {3, FieldKind::Int32}};

TEST(RecordFields, OnlyCleanBlocksRead) {
    const struct {
        const char* block;
        bool clean;
        std::size_t lines;
    } cases[] = {
        {"a|1.5|x|7\nb||y|-3\n", true, 2},
        {"a|1.5|x|7\r\nb|2|y|3", true, 2},  // '\r\n' and a last line without '\n'
        {"a||||\n", false, 1},              // five fields
        {"a|1|x\n", false, 1},              // three
        {"a|1|x|2\n\nb|1|x|2\n", false, 3},  // an empty line
        {"a|1|x|2\rb|1|x|2\n", false, 1},   // a lone '\r'
        {"a|1|x|2\n\r\n", false, 2},         // a line of only '\r'
        {"a|1 |x|2\n", false, 1},            // a float with a space
        {"a|1|x|+2\n", false, 1},            // an int with '+'
        {"a|1|x|2147483648\n", false, 1},    // past int32
        {"a|1e999|x|2\n", false, 1},         // a float out of range
        {"\xc3\xa9|1|x|2\n", false, 1},      // text past ASCII
        {"a|1|\xc3\xa9|2\n", true, 1},       // ... in a field not wanted
    };
    for (const auto& c : cases) {
        const pb::RecordFields r = pb::read_record_fields(c.block, '|', 4, kWanted, 0);
        EXPECT_EQ(r.clean, c.clean) << c.block;
        EXPECT_EQ(r.lines, c.lines) << c.block;
    }
    for (std::size_t fields : {23, 24, 25}) {  // past the last wanted field the delimiters are only counted
        const std::string line = "a|2.5" + std::string(fields - 2, '|') + "\n";
        const pb::RecordFields r = pb::read_record_fields(line + line, '|', 24, {{1, FieldKind::Float64}}, 0);
        EXPECT_EQ(r.clean, fields == 24) << fields;
        EXPECT_TRUE(!r.clean || r.fields[0].floats == (std::vector<double>{2.5, 2.5}));
    }
    const pb::RecordFields r = pb::read_record_fields("a|1.5|x|7\r\n||y|-3\nccc|-2e3||0", '|', 4, kWanted, 0);
    ASSERT_TRUE(r.clean);
    const pb::FieldValues& id = r.fields[0];
    EXPECT_EQ(id.offsets, (std::vector<std::int32_t>{0, 1, 1, 4}));
    EXPECT_EQ(std::string(id.chars.begin(), id.chars.end()), "accc");
    EXPECT_TRUE(id.valid[0] == 0b101 && id.nulls == 1);
    EXPECT_TRUE(r.fields[1].floats == (std::vector<double>{1.5, 0.0, -2000.0}) && r.fields[1].valid[0] == 0b101);
    EXPECT_TRUE(r.fields[2].ints == (std::vector<std::int32_t>{7, -3, 0}) && r.fields[2].nulls == 0);
}

// A block of many runs of lines, with nulls scattered: one worker and all
// of them give the same columns; a bad line in the last run spoils it all.
TEST(RecordFields, SameForAnyThreadCount) {
    std::mt19937_64 rng(7);
    std::string block;
    for (int i = 0; i < 20000; ++i) {
        if (i == 0 || rng() % 7) block.append("id").append(std::to_string(i));
        block.append("|");
        if (rng() % 5) block.append(std::to_string(rng() % 100000)).append(".25");
        block.append("|z|");
        if (rng() % 9) block.append(std::to_string(static_cast<int>(rng() % 2000) - 1000));
        block.append("\n");
    }
    const pb::RecordFields one = pb::read_record_fields(block, '|', 4, kWanted, 1);
    const pb::RecordFields all = pb::read_record_fields(block, '|', 4, kWanted, 0);
    ASSERT_TRUE(one.clean && all.clean);
    ASSERT_EQ(one.lines, 20000u);
    for (std::size_t w = 0; w < kWanted.size(); ++w) {
        const pb::FieldValues &a = one.fields[w], &b = all.fields[w];
        EXPECT_TRUE(a.floats == b.floats && a.ints == b.ints && a.offsets == b.offsets && a.chars == b.chars &&
                    a.valid == b.valid && a.nulls == b.nulls) << w;
    }
    EXPECT_EQ(std::string(all.fields[0].chars.begin(), all.fields[0].chars.begin() + 3), block.substr(0, 3));
    EXPECT_FALSE(pb::read_record_fields(block + "x|1|z|2|3\n", '|', 4, kWanted, 0).clean);
}

}  // namespace
