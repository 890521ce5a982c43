// Loans past 2^24 periods, where a period number no longer survives the trip
// through binary32 and the due test really decides. Too long for the literal
// reference, so the expected columns are built from the engine's own block
// sums, which the differential suite checks on smaller loans.
#include <gtest/gtest.h>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/messages.hpp"

namespace {

using paywheel::LoanTerms;

constexpr std::int32_t kPast = 16777218;  // even, so exact in binary32

LoanTerms long_loan(std::int32_t cap_freq) { return LoanTerms{"long", 1000.0f, 1e-7f, kPast, 1, cap_freq}; }

TEST(EngineLarge, DuePeriodPastTwoToThe24GetsItsBlock) {
    const LoanTerms t = long_loan(kPast / 2);
    const paywheel::Series profile = paywheel::principal_profile(t);
    const std::vector<float> blocks = paywheel::block_sums(profile, t.cap_freq);
    ASSERT_EQ(blocks.size(), 2u);
    ASSERT_LT(blocks[0], blocks[1]);

    const paywheel::Series cap = paywheel::capital_schedule(t);
    ASSERT_EQ(cap.size(), static_cast<std::size_t>(kPast) + 1);
    // Two due periods, 2^23 + 1 and 2^24 + 2; the residue lands on the later,
    // larger one.
    const float total = (0.0f + blocks[0]) + blocks[1];
    EXPECT_EQ(cap[kPast / 2], blocks[0]);
    EXPECT_EQ(cap[kPast], (t.amt - total) + blocks[1]);
    std::size_t nonzero = 0;
    for (float v : cap) nonzero += v != 0.0f;
    EXPECT_EQ(nonzero, 2u);
}

TEST(EngineLarge, LoneBlockDueOnlyPastTwoToThe24StillRunsOut) {
    try {
        (void)paywheel::capital_schedule(long_loan(kPast));
        FAIL() << "expected an abort";
    } catch (const paywheel::Abort& a) {
        EXPECT_STREQ(a.message(), paywheel::messages::kRemovalIndex);
    }
}

}  // namespace
