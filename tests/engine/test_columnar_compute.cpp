// The columnar machinery without an interpreter: row decoding by the dict
// operations' rules, the two-pass fill against build_schedule, failures as
// data, and cash-flow sums that do not depend on how chunks are scheduled.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "paywheel/batch/text_record.hpp"
#include "paywheel/core/messages.hpp"
#include "paywheel/columnar/compute.hpp"
#include "paywheel/core/abort.hpp"
#include "test_support.hpp"

namespace paywheel::columnar {
namespace {

using paywheel::testing::kInf;
using paywheel::testing::kNaN;

ColumnView typed(Kind k, const void* data, std::int64_t stride) {
    ColumnView v;
    v.kind = k;
    v.data = data;
    v.stride = stride;
    return v;
}

// A book held in plain vectors.
struct Book {
    std::vector<double> amt, rate;
    std::vector<std::int64_t> pers, int_freq, cap_freq;
    InputBatch batch() const {
        InputBatch b;
        b.rows = static_cast<std::int64_t>(amt.size());
        b.columns[int(Field::Amt)] = typed(Kind::F64, amt.data(), 8);
        b.columns[int(Field::Rate)] = typed(Kind::F64, rate.data(), 8);
        b.columns[int(Field::Pers)] = typed(Kind::I64, pers.data(), 8);
        b.columns[int(Field::IntFreq)] = typed(Kind::I64, int_freq.data(), 8);
        b.columns[int(Field::CapFreq)] = typed(Kind::I64, cap_freq.data(), 8);
        return b;
    }
};

Book random_book(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> amt(1.0, 1e6), rate(1e-4, 0.1);
    std::uniform_int_distribution<int> pers(1, 90), freq(1, 4), pick(0, 19);
    Book b;
    for (std::size_t i = 0; i < n; ++i) {
        b.amt.push_back(amt(rng));
        b.rate.push_back(rate(rng));
        b.pers.push_back(pers(rng));
        b.int_freq.push_back(freq(rng));
        b.cap_freq.push_back(1);
        switch (pick(rng)) {  // about one row in five fails or is an edge
            case 0: b.pers.back() = 0; break;
            case 1: b.rate.back() = 0.0; break;
            case 2: b.amt.back() = std::nan(""); break;
            case 3: b.cap_freq.back() = b.pers.back(); break;
            default: break;
        }
    }
    return b;
}

// Runs chunks in reverse order on the calling thread: results must not
// depend on the order in which chunks complete.
void reverse_runner(std::size_t count, const std::function<void(std::size_t)>& work) {
    for (std::size_t c = count; c-- > 0;) work(c);
}

void threaded_runner(std::size_t count, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 3; ++t)
        ts.emplace_back([&] {
            for (std::size_t c = next++; c < count; c = next++) work(c);
        });
    for (auto& t : ts) t.join();
}

void forward_runner(std::size_t count, const std::function<void(std::size_t)>& work) {
    for (std::size_t c = 0; c < count; ++c) work(c);
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(ColumnarDecode, NumbersFollowTheDictOperationsRules) {
    const double amt[] = {0x1.ffffffp+127, -1e300, 0.1, 16777217.0};
    const std::int64_t big[] = {(std::int64_t{1} << 53) + 1, 2147483648LL, -2147483649LL, 7};
    const std::uint64_t huge[] = {std::uint64_t{1} << 63};
    InputBatch b;
    b.rows = 1;
    b.columns[int(Field::Rate)] = typed(Kind::F64, amt + 2, 8);
    b.columns[int(Field::IntFreq)] = typed(Kind::I64, big + 3, 8);
    b.columns[int(Field::CapFreq)] = typed(Kind::I64, big + 3, 8);
    Terms t;
    DecodeFailure why;

    b.columns[int(Field::Pers)] = typed(Kind::I64, big + 3, 8);
    b.columns[int(Field::Amt)] = typed(Kind::F64, amt, 8);
    ASSERT_TRUE(decode_row(b, 0, t, why));
    EXPECT_EQ(t.amt, kInf);  // past the largest float: an infinity, not FLT_MAX
    b.columns[int(Field::Amt)] = typed(Kind::F64, amt + 1, 8);
    ASSERT_TRUE(decode_row(b, 0, t, why));
    EXPECT_EQ(t.amt, -kInf);
    // an integer amount rounds to double, then to float: 2^53 + 1 -> 2^53 -> 2^53
    b.columns[int(Field::Amt)] = typed(Kind::I64, big, 8);
    ASSERT_TRUE(decode_row(b, 0, t, why));
    EXPECT_EQ(t.amt, 9007199254740992.0f);

    b.columns[int(Field::Amt)] = typed(Kind::F64, amt + 2, 8);
    b.columns[int(Field::Pers)] = typed(Kind::I64, big + 1, 8);
    // out of the 32-bit range: the field and the value as read
    const struct {
        ColumnView column;
        const char* value;
    } out_of_range[] = {{typed(Kind::I64, big + 1, 8), "2147483648"},
                        {typed(Kind::I64, big + 2, 8), "-2147483649"},
                        {typed(Kind::U64, huge, 8), "9223372036854775808"}};
    for (const auto& c : out_of_range) {
        b.columns[int(Field::Pers)] = c.column;
        EXPECT_FALSE(decode_row(b, 0, t, why));
        EXPECT_EQ(why.code, FailureCode::IntOutOfRange);
        EXPECT_EQ(why.field, Field::Pers);
        EXPECT_EQ(why.value, c.value);
    }
    EXPECT_NE(std::strstr(why.reason, "too large to convert to C long"), nullptr);

    // Arrow booleans: bits with an offset
    const std::uint8_t packed[] = {0b0000'0100};
    ColumnView bits_view;
    bits_view.kind = Kind::BoolBits;
    bits_view.data = packed;
    bits_view.bit_offset = 2;
    b.columns[int(Field::Pers)] = bits_view;
    ASSERT_TRUE(decode_row(b, 0, t, why));
    EXPECT_EQ(t.pers, 1);
}

TEST(ColumnarDecode, TextColumnsOfEveryKindGiveTheGrammarsFailures) {
    const std::string chars = "12.5" "x" "" "0.05" "this one is longer than twelve" "7";
    const std::int32_t off32[] = {0, 4, 5, 5, 9, 39, 40};
    const std::int64_t off64[] = {0, 4, 5, 5, 9, 39, 40};
    ColumnView u;
    u.kind = Kind::Utf8;
    u.data = off32;
    u.chars = chars.data();
    ColumnView U = u;
    U.kind = Kind::LargeUtf8;
    U.data = off64;
    for (const ColumnView& v : {u, U}) {
        EXPECT_EQ(v.text(0), "12.5");
        EXPECT_EQ(v.text(2), "");
        EXPECT_EQ(v.text(4), "this one is longer than twelve");
    }
    // string views: one inlined, one in a variadic buffer
    const char* buffers[] = {chars.data()};
    unsigned char views[32] = {};
    const std::int32_t short_len = 4, long_len = 30, buf = 0, at = 9;
    std::memcpy(views, &short_len, 4);
    std::memcpy(views + 4, "12.5", 4);
    std::memcpy(views + 16, &long_len, 4);
    std::memcpy(views + 20, chars.data() + 9, 4);
    std::memcpy(views + 24, &buf, 4);
    std::memcpy(views + 28, &at, 4);
    ColumnView vu;
    vu.kind = Kind::Utf8View;
    vu.data = views;
    vu.view_buffers = buffers;
    EXPECT_EQ(vu.text(0), "12.5");
    EXPECT_EQ(vu.text(1), "this one is longer than twelve");

    InputBatch b;
    b.rows = 6;
    const std::int32_t ones[] = {1, 1, 1, 1, 1, 1};
    for (Field f : {Field::Pers, Field::IntFreq, Field::CapFreq}) b.columns[int(f)] = typed(Kind::I32, ones, 4);
    b.columns[int(Field::Amt)] = u;
    b.columns[int(Field::Rate)] = U;
    Terms t;
    DecodeFailure why;
    EXPECT_FALSE(decode_row(b, 1, t, why));  // amt "x"
    EXPECT_STREQ(why.reason, paywheel::messages::kFloatInvalid);
    EXPECT_EQ(why.code, FailureCode::ParseFloat);
    EXPECT_EQ(why.value, "x");
    EXPECT_FALSE(decode_row(b, 2, t, why));  // amt ""
    EXPECT_STREQ(why.reason, paywheel::messages::kFloatEmpty);
    b.columns[int(Field::Pers)] = u;
    b.columns[int(Field::Amt)] = U;
    EXPECT_FALSE(decode_row(b, 0, t, why));  // amt fine, rate fine, pers "12.5"
    EXPECT_STREQ(why.reason, paywheel::messages::kIntInvalidDigit);
    EXPECT_EQ(why.code, FailureCode::ParseInt);
    EXPECT_EQ(why.field, Field::Pers);
    EXPECT_EQ(why.value, "12.5");
    b.columns[int(Field::Amt)] = typed(Kind::I32, ones, 4);
    b.columns[int(Field::Rate)] = typed(Kind::I32, ones, 4);
    EXPECT_TRUE(decode_row(b, 5, t, why));
    EXPECT_EQ(t.pers, 7);
}

// Arrow buffers that crossed a process boundary need not be aligned to their
// type; text offsets are read from any address (UBSan checks the loads).
TEST(ColumnarDecode, TextOffsetsAtAnyAlignment) {
    const char chars[] = "12.5250";
    const std::int64_t large[3] = {0, 4, 7};
    const std::int32_t small[3] = {0, 4, 7};
    alignas(8) unsigned char storage[64];
    for (std::size_t shift = 1; shift < 8; ++shift) {
        paywheel::columnar::ColumnView v;
        v.chars = chars;
        v.kind = paywheel::columnar::Kind::LargeUtf8;
        std::memcpy(storage + shift, large, sizeof large);
        v.data = storage + shift;
        EXPECT_EQ(v.text(0), "12.5");
        EXPECT_EQ(v.text(1), "250");
        v.kind = paywheel::columnar::Kind::Utf8;
        std::memcpy(storage + shift, small, sizeof small);
        EXPECT_EQ(v.text(0), "12.5");
        EXPECT_EQ(v.text(1), "250");
    }
}

TEST(ColumnarCompute, LongLayoutEqualsBuildScheduleWhateverTheChunkOrder) {
    const Book book = random_book(3000, 1);
    const std::vector<InputBatch> batches = {book.batch()};
    std::atomic<bool> stop{false};
    ComputeOptions opt;
    opt.on_error = OnError::Skip;
    for (const ChunkRunner& run : {ChunkRunner(forward_runner), ChunkRunner(reverse_runner), ChunkRunner(threaded_runner)}) {
        ScheduleResult r = compute_schedules(batches, opt, run, stop);
        const std::int64_t* off = r.offsets.as<std::int64_t>();
        std::size_t failures = 0;
        QuietAborts quiet;
        for (std::int64_t i = 0; i < r.rows; ++i) {
            LoanTerms t = paywheel::testing::terms(static_cast<float>(book.amt[i]), static_cast<float>(book.rate[i]),
                                                    static_cast<std::int32_t>(book.pers[i]),
                                                    static_cast<std::int32_t>(book.int_freq[i]),
                                                    static_cast<std::int32_t>(book.cap_freq[i]));
            Schedule s;
            try {
                s = build_schedule(t);
            } catch (const Abort& a) {
                ASSERT_LT(failures, r.failures.size());
                EXPECT_EQ(r.failures[failures].index, i);
                EXPECT_EQ(r.failures[failures].reason, a.message());
                EXPECT_EQ(off[i + 1], off[i]);
                ++failures;
                continue;
            }
            // A schedule holding NaN is a failure of its own.
            bool nan = false;
            for (const auto& c : s)
                for (const float v : c.values) nan = nan || v != v;
            if (nan) {
                ASSERT_LT(failures, r.failures.size());
                EXPECT_EQ(r.failures[failures].index, i);
                EXPECT_EQ(r.failures[failures].code, FailureCode::NanSchedule);
                EXPECT_EQ(off[i + 1], off[i]);
                ++failures;
                continue;
            }
            ASSERT_EQ(off[i + 1] - off[i], static_cast<std::int64_t>(s.find("Bal")->size()));
            for (std::size_t k = 0; k < kColumns; ++k) {
                const Series& ref = *s.find(kColumnNames[k]);
                const float* got = r.columns[k].as<float>() + off[i];
                for (std::size_t j = 0; j < ref.size(); ++j) ASSERT_EQ(bits(got[j]), bits(ref[j])) << i << " " << k;
            }
            for (std::int64_t j = off[i]; j < off[i + 1]; ++j) ASSERT_EQ(r.loan.as<std::int32_t>()[j], i);
        }
        EXPECT_EQ(failures, r.failures.size());
        EXPECT_GT(failures, 300u);
        EXPECT_EQ(r.values, off[r.rows]);
    }
}

TEST(ColumnarCompute, RaiseReportsTheEarliestFailureEvenWhenLaterChunksRunFirst) {
    Book book = random_book(5000, 2);
    for (auto& p : book.pers) p = std::max<std::int64_t>(p, 3);
    std::fill(book.amt.begin(), book.amt.end(), 1000.0);
    std::fill(book.rate.begin(), book.rate.end(), 0.01);
    std::fill(book.cap_freq.begin(), book.cap_freq.end(), 1);
    book.pers[4900] = 0;      // engine failure, last chunk
    book.int_freq[1200] = 0;  // engine failure, earlier
    book.pers[1300] = -1LL << 40;  // decode failure, found in the first pass
    std::atomic<bool> stop{false};
    ComputeOptions opt;
    ScheduleResult r = compute_schedules({book.batch()}, opt, reverse_runner, stop);
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0].index, 1200);
    EXPECT_TRUE(r.failures[0].has_terms);
    EXPECT_EQ(r.columns[0].data(), nullptr);  // no result is kept
}

TEST(ColumnarCompute, ListLayoutMarksFailedRowsNullAndSkipsUnevenColumns) {
    Book book;
    for (std::int64_t p : {12, 0, 12, (1 << 24) + 1, 5}) {
        book.amt.push_back(100.0);
        book.rate.push_back(0.01);
        book.pers.push_back(p);
        book.int_freq.push_back(1);
        book.cap_freq.push_back(1);
    }
    std::atomic<bool> stop{false};
    ComputeOptions opt;
    opt.layout = Layout::List;
    opt.on_error = OnError::Skip;
    ScheduleResult r = compute_schedules({book.batch()}, opt, forward_runner, stop);
    ASSERT_EQ(r.failures.size(), 2u);
    EXPECT_EQ(r.failures[1].index, 3);
    EXPECT_STREQ(r.failures[1].reason.c_str(), paywheel::messages::kUnevenColumns);
    EXPECT_EQ(r.failures[1].code, FailureCode::TooLarge);
    EXPECT_EQ(r.failures[1].value, "16777217");
    EXPECT_EQ(r.null_count, 2);
    const std::uint8_t valid = r.validity.as<std::uint8_t>()[0];
    EXPECT_EQ(valid, 0b10101);
    const std::int64_t* off = r.offsets.as<std::int64_t>();
    EXPECT_EQ(std::vector<std::int64_t>(off, off + 6), (std::vector<std::int64_t>{0, 13, 13, 26, 26, 32}));
    EXPECT_EQ(r.loan.data(), nullptr);
    // the kept rows moved down intact: the last loan's balance starts at 100
    EXPECT_EQ(r.columns[4].as<float>()[26], 100.0f);
}

TEST(ColumnarCompute, StopAndSizeLimitAreHonoured) {
    const Book book = random_book(2000, 3);
    std::atomic<bool> stop{true};
    ComputeOptions opt;
    EXPECT_THROW(compute_schedules({book.batch()}, opt, forward_runner, stop), Cancelled);
    EXPECT_THROW(compute_cashflows({book.batch()}, OnError::Skip, forward_runner, stop), Cancelled);
    stop = false;
    Book huge;
    for (int i = 0; i < 4; ++i) {
        huge.amt.push_back(100.0);
        huge.rate.push_back(0.01);
        huge.pers.push_back(std::int64_t{1} << 30);
        huge.int_freq.push_back(1);
        huge.cap_freq.push_back(1);
    }
    EXPECT_THROW(compute_schedules({huge.batch()}, opt, forward_runner, stop), TooLarge);
}

TEST(ColumnarCashflows, SameBitsForAnyChunkScheduleAndEqualToTheScheduleSums) {
    const Book book = random_book(4000, 4);
    std::atomic<bool> stop{false};
    const CashflowTotals a = compute_cashflows({book.batch()}, OnError::Skip, forward_runner, stop);
    const CashflowTotals b = compute_cashflows({book.batch()}, OnError::Skip, reverse_runner, stop);
    const CashflowTotals c = compute_cashflows({book.batch()}, OnError::Skip, threaded_runner, stop);
    for (const CashflowTotals* x : {&b, &c}) {
        ASSERT_EQ(x->cap.size(), a.cap.size());
        for (std::size_t k = 0; k < a.cap.size(); ++k) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(x->cap[k]), std::bit_cast<std::uint64_t>(a.cap[k]));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(x->bal[k]), std::bit_cast<std::uint64_t>(a.bal[k]));
            EXPECT_EQ(x->loans[k], a.loans[k]);
        }
        EXPECT_EQ(x->failures.size(), a.failures.size());
    }
    // against the schedules, summed block by block in row order
    ComputeOptions opt;
    opt.on_error = OnError::Skip;
    ScheduleResult r = compute_schedules({book.batch()}, opt, forward_runner, stop);
    const std::int64_t* off = r.offsets.as<std::int64_t>();
    std::vector<double> total(a.cap.size(), 0.0);
    for (std::int64_t start = 0; start < r.rows; start += 512) {
        std::vector<double> block(a.cap.size(), 0.0);
        std::vector<bool> touched(a.cap.size(), false);
        for (std::int64_t i = start; i < std::min(r.rows, start + 512); ++i)
            for (std::int64_t j = off[i]; j < off[i + 1]; ++j) {
                block[static_cast<std::size_t>(j - off[i])] += static_cast<double>(r.columns[1].as<float>()[j]);
                touched[static_cast<std::size_t>(j - off[i])] = true;
            }
        for (std::size_t k = 0; k < block.size(); ++k)
            if (touched[k]) total[k] += block[k];
    }
    for (std::size_t k = 0; k < total.size(); ++k)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(total[k]), std::bit_cast<std::uint64_t>(a.cap[k])) << k;
    EXPECT_EQ(a.failures.size(), r.failures.size());
}

}  // namespace
}  // namespace paywheel::columnar
