// Differential tests: the fast engine (paywheel::*) against the literal
// reference (paywheel::reference::*), bit for bit. Both must return the same
// columns (same lengths, same bits; a NaN matches any NaN, +0.0 differs from
// -0.0) or both must abort with the same message.
//
// Compared for every case: build_schedule (all five columns), and
// capital_schedule and interest_schedule on their own; for terms whose
// columns are small, also period_axis, payment_marks (with both
// frequencies), principal_profile and block_sums of the reference profile.
//
// Inputs: 100,000 random LoanTerms from fixed-seed generators (eight shards
// of 12,500, so that ctest can run them in parallel), a hand-picked
// adversarial list, and families aimed at the residue pass of the capital
// schedule and at the magnitude selection of the interest schedule.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/numeric.hpp"
#include "paywheel/core/power.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace {

using paywheel::LoanTerms;
using paywheel::Schedule;
using paywheel::Series;

using paywheel::testing::kInf;
using paywheel::testing::kMax;
using paywheel::testing::kMin;
using paywheel::testing::kNaN;
using paywheel::testing::terms;

// Above this pers the per-component comparisons are skipped (they would
// allocate a column of pers + 1 entries); the random and family inputs stay
// far below it, and the hand-picked huge ones are handled by the rules below.
constexpr std::int32_t kComponentLimit = 100000;

std::string hex(float x) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.9g (0x%08x)", double(x), unsigned(paywheel::num::bits(x)));
    return buf;
}

std::string describe(const LoanTerms& t) {
    return "amt " + hex(t.amt) + ", rate " + hex(t.rate) + ", pers " + std::to_string(t.pers) + ", int_freq " +
           std::to_string(t.int_freq) + ", cap_freq " + std::to_string(t.cap_freq);
}

// Every abort writes a report to standard error; a run of this size would
// write hundreds of thousands of them. The guard sends fd 2 to /dev/null for
// its lifetime (gtest's own failure output goes to standard output).
class QuietStderr {
public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = ::dup(2);
        const int null_fd = ::open("/dev/null", O_WRONLY);
        if (saved_ >= 0 && null_fd >= 0) ::dup2(null_fd, 2);
        if (null_fd >= 0) ::close(null_fd);
    }
    ~QuietStderr() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, 2);
            ::close(saved_);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_ = -1;
};

// ------------------------------------------------------------------ outcomes

template <class T>
struct Outcome {
    std::optional<std::string> abort;
    T value{};
};

template <class Fn>
auto outcome(Fn&& fn) {
    Outcome<std::decay_t<decltype(fn())>> o;
    try {
        o.value = fn();
    } catch (const paywheel::Abort& a) {
        o.abort = std::string(a.message());
    }
    return o;
}

bool same_value(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return paywheel::num::same_bits(a, b);
}

// "" when equal, otherwise where and how they differ.
std::string compare_values(const std::vector<float>& fast, const std::vector<float>& ref, std::string_view what) {
    if (fast.size() != ref.size())
        return std::string(what) + ": length fast " + std::to_string(fast.size()) + ", reference " +
               std::to_string(ref.size());
    std::size_t mismatches = 0, first = 0;
    for (std::size_t i = 0; i < fast.size(); ++i) {
        if (!same_value(fast[i], ref[i])) {
            if (mismatches == 0) first = i;
            ++mismatches;
        }
    }
    if (mismatches == 0) return {};
    return std::string(what) + ": index " + std::to_string(first) + " of " + std::to_string(fast.size()) + ": fast " +
           hex(fast[first]) + ", reference " + hex(ref[first]) + " (" + std::to_string(mismatches) +
           " differing entries)";
}

template <class T, class Compare>
std::string compare_outcomes(const Outcome<T>& fast, const Outcome<T>& ref, std::string_view what, Compare compare) {
    if (fast.abort || ref.abort) {
        if (fast.abort && ref.abort) {
            if (*fast.abort == *ref.abort) return {};
            return std::string(what) + ": fast aborts \"" + *fast.abort + "\", reference aborts \"" + *ref.abort + "\"";
        }
        if (fast.abort) return std::string(what) + ": fast aborts \"" + *fast.abort + "\", reference returns";
        return std::string(what) + ": fast returns, reference aborts \"" + *ref.abort + "\"";
    }
    return compare(fast.value, ref.value, what);
}

std::string compare_series(const Outcome<Series>& fast, const Outcome<Series>& ref, std::string_view what) {
    return compare_outcomes(fast, ref, what, compare_values);
}

std::string compare_schedules(const Schedule& fast, const Schedule& ref, std::string_view what) {
    std::string out;
    std::size_t visited = 0;
    for (const auto& c : fast) {
        ++visited;
        if (Schedule::kNames.end() == std::find(Schedule::kNames.begin(), Schedule::kNames.end(), c.name))
            out += std::string(what) + ": unexpected column \"" + std::string(c.name) + "\"; ";
    }
    if (visited != 5) out += std::string(what) + ": " + std::to_string(visited) + " columns; ";
    for (std::string_view name : Schedule::kNames) {
        const Series* f = fast.find(name);
        const Series* r = ref.find(name);
        if (f == nullptr || r == nullptr) {
            out += std::string(what) + ": column " + std::string(name) + " missing; ";
            continue;
        }
        const std::string d = compare_values(*f, *r, std::string(what) + " column " + std::string(name));
        if (!d.empty()) out += d + "; ";
    }
    return out;
}

std::string compare_schedule_outcomes(const Outcome<Schedule>& fast, const Outcome<Schedule>& ref,
                                      std::string_view what) {
    return compare_outcomes(fast, ref, what, compare_schedules);
}

// ------------------------------------------------------------------ checker

// fill_schedule into storage that holds garbage must write every entry of
// every column, and nothing past them: build_schedule hands it zeroed
// columns, which would hide an entry it forgot.
std::string check_fill_writes_everything(const LoanTerms& t, const Schedule& built) {
    constexpr std::uint32_t kPoison = 0xff8badf0u;  // a NaN payload the engine never makes
    constexpr std::size_t kGuard = 5;
    const paywheel::ScheduleShape shape = paywheel::schedule_shape(t.pers);
    const std::size_t lengths[5] = {shape.per, shape.rest, shape.rest, shape.rest, shape.rest};
    std::vector<std::uint32_t> store[5];
    for (int c = 0; c < 5; ++c) store[c].assign(lengths[c] + kGuard, kPoison);
    auto col = [&](int c) { return reinterpret_cast<float*>(store[c].data()); };
    paywheel::fill_schedule(t, paywheel::ScheduleOut{col(0), col(1), col(2), col(3), col(4), lengths[0], lengths[1]});
    std::string out;
    for (int c = 0; c < 5; ++c) {
        const Series& expected = *built.find(Schedule::kNames[c]);
        if (expected.size() != lengths[c]) {
            out += "fill_schedule: schedule_shape disagrees with column " + std::string(Schedule::kNames[c]) + "; ";
            continue;
        }
        for (std::size_t k = 0; k < lengths[c]; ++k)
            if (store[c][k] != paywheel::num::bits(expected[k])) {
                out += "fill_schedule: column " + std::string(Schedule::kNames[c]) + " entry " + std::to_string(k) +
                       " is " + hex(std::bit_cast<float>(store[c][k])) + ", build_schedule has " + hex(expected[k]) +
                       "; ";
                break;
            }
        for (std::size_t k = lengths[c]; k < lengths[c] + kGuard; ++k)
            if (store[c][k] != kPoison) {
                out += "fill_schedule: wrote past column " + std::string(Schedule::kNames[c]) + "; ";
                break;
            }
    }
    return out;
}

class Checker {
public:
    explicit Checker(const char* family) : family_(family) {}
    ~Checker() {
        std::cout << "[ differential ] " << family_ << ": " << cases_ << " cases, " << aborting_
                  << " aborting in build_schedule, " << failing_ << " with disagreements" << std::endl;
        for (const auto& [message, count] : abort_counts_)
            std::cout << "[ differential ]     " << count << " x \"" << message << "\"" << std::endl;
        EXPECT_EQ(failing_, 0u) << family_ << ": " << failing_ << " of " << cases_
                                << " cases disagree (the first ones are reported above)";
    }

    std::size_t cases() const { return cases_; }

    // Full comparison. With literal_build the reference's own build_schedule
    // is run as well and must match the schedule composed from its parts.
    void check(const LoanTerms& t, bool literal_build = false) {
        ++cases_;
        std::string diffs;
        auto note = [&](const std::string& d) {
            if (!d.empty()) diffs += "\n    " + d;
        };

        // Reference: the parts once, composed in build_schedule's order.
        const Outcome<Series> ref_per = outcome([&] { return paywheel::reference::period_axis(t.pers); });
        const Outcome<Series> ref_cap = outcome([&] { return paywheel::reference::capital_schedule(t); });
        const Outcome<Series> ref_int = outcome([&] { return paywheel::reference::interest_schedule(t); });
        Outcome<Schedule> ref_build;
        if (ref_cap.abort) {
            ref_build.abort = ref_cap.abort;
        } else if (ref_int.abort) {
            ref_build.abort = ref_int.abort;
        } else {
            ref_build.value = paywheel::reference::assemble_schedule(t, ref_per.value, ref_cap.value, ref_int.value);
        }
        if (ref_build.abort) {
            ++aborting_;
            ++abort_counts_[*ref_build.abort];
        }
        if (literal_build) {
            const Outcome<Schedule> literal = outcome([&] { return paywheel::reference::build_schedule(t); });
            note(compare_schedule_outcomes(literal, ref_build, "REFERENCE SELF-CHECK build_schedule"));
        }

        // Fast engine.
        const Outcome<Schedule> fast_build = outcome([&] { return paywheel::build_schedule(t); });
        note(compare_schedule_outcomes(fast_build, ref_build, "build_schedule"));
        if (!fast_build.abort && t.pers <= kComponentLimit) note(check_fill_writes_everything(t, fast_build.value));
        note(compare_series(outcome([&] { return paywheel::capital_schedule(t); }), ref_cap, "capital_schedule"));
        note(compare_series(outcome([&] { return paywheel::interest_schedule(t); }), ref_int, "interest_schedule"));

        if (t.pers <= kComponentLimit) {
            note(compare_series(outcome([&] { return paywheel::period_axis(t.pers); }), ref_per, "period_axis"));
            for (std::int32_t freq : {t.cap_freq, t.int_freq}) {
                const std::string what = "payment_marks(pers, " + std::to_string(freq) + ")";
                note(compare_series(outcome([&] { return paywheel::payment_marks(t.pers, freq); }),
                                    outcome([&] { return paywheel::reference::payment_marks(t.pers, freq); }), what));
            }
            const Series ref_profile = paywheel::reference::principal_profile(t);
            note(compare_series(outcome([&] { return paywheel::principal_profile(t); }),
                                Outcome<Series>{std::nullopt, ref_profile}, "principal_profile"));
            for (std::int32_t freq : {t.cap_freq, t.int_freq}) {
                if (freq == 0) continue;  // never reached through the engine; behaviour left open
                const std::string what = "block_sums(reference profile, " + std::to_string(freq) + ")";
                note(compare_series(outcome([&] { return paywheel::block_sums(ref_profile, freq); }),
                                    outcome([&] { return paywheel::reference::block_sums(ref_profile, freq); }), what));
            }
        }

        if (!diffs.empty()) {
            ++failing_;
            if (failing_ <= kReported)
                ADD_FAILURE() << family_ << " case " << cases_ << ": " << describe(t) << diffs;
        }
    }

    // For pers = 2147483646 (and other huge pers) only the operations that
    // must abort in payment_marks before allocating anything are compared.
    void check_huge_with_zero_freq(const LoanTerms& t) {
        ++cases_;
        std::string diffs;
        auto note = [&](const std::string& d) {
            if (!d.empty()) diffs += "\n    " + d;
        };
        if (t.cap_freq == 0) {
            note(compare_schedule_outcomes(outcome([&] { return paywheel::build_schedule(t); }),
                                           outcome([&] { return paywheel::reference::build_schedule(t); }),
                                           "build_schedule"));
            note(compare_series(outcome([&] { return paywheel::capital_schedule(t); }),
                                outcome([&] { return paywheel::reference::capital_schedule(t); }), "capital_schedule"));
        }
        if (t.int_freq == 0)
            note(compare_series(outcome([&] { return paywheel::interest_schedule(t); }),
                                outcome([&] { return paywheel::reference::interest_schedule(t); }),
                                "interest_schedule"));
        note(compare_series(outcome([&] { return paywheel::period_axis(t.pers); }),
                            outcome([&] { return paywheel::reference::period_axis(t.pers); }), "period_axis"));
        if (!diffs.empty()) {
            ++failing_;
            if (failing_ <= kReported)
                ADD_FAILURE() << family_ << " case " << cases_ << ": " << describe(t) << diffs;
        }
    }

private:
    static constexpr std::size_t kReported = 25;
    const char* family_;
    std::size_t cases_ = 0;
    std::size_t aborting_ = 0;
    std::size_t failing_ = 0;
    std::map<std::string, std::size_t> abort_counts_;
};

// ------------------------------------------------------------------ random

// mt19937_64's output sequence is fixed by the standard; the mapping to
// values below uses only integer arithmetic and <cmath> on exact inputs,
// so the case list is the same on every run.
class Gen {
public:
    explicit Gen(std::uint64_t seed) : g_(seed) {}

    std::uint64_t bits() { return g_(); }
    // Uniform in [0, n).
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : bits() % n; }
    std::int64_t between(std::int64_t lo, std::int64_t hi) { return lo + std::int64_t(below(std::uint64_t(hi - lo + 1))); }
    double unit() { return double(bits() >> 11) * 0x1.0p-53; }
    template <class T>
    T pick(std::initializer_list<T> values) {
        return *(values.begin() + below(values.size()));
    }
    float random_bits_float() {
        const std::uint32_t u = std::uint32_t(bits());
        float f;
        std::memcpy(&f, &u, sizeof f);
        return f;
    }

    float amount() {
        const std::uint64_t r = below(100);
        if (r < 40) return ordinary_amount();
        if (r < 55) return -ordinary_amount();
        if (r < 65) return float(between(-20, 20));
        if (r < 72) return pick<float>({1000.0f, 15.0f, 1.0f, 100000.0f, -1000.0f, 250000.0f});
        if (r < 80) return pick<float>({kNaN, kInf, -kInf, 0.0f, -0.0f, 1e-40f, -1e-40f, 3.0e38f, -3.0e38f, 1e30f,
                                        1e-30f, std::numeric_limits<float>::max(), std::numeric_limits<float>::min()});
        if (r < 86) return random_bits_float();
        return ordinary_amount();
    }

    float rate() {
        const std::uint64_t r = below(100);
        if (r < 38) return float(0.0001 + unit() * 0.3);
        if (r < 48) return float(-unit());  // between -1 and 0
        if (r < 53) return pick<float>({-1.0f, -1.5f, -2.0f, -3.0f, -10.0f, float(-1.0 - unit() * 4)});
        if (r < 62)
            return pick<float>({1e-8f, 6e-8f, std::ldexp(1.0f, -24), -std::ldexp(1.0f, -25), std::ldexp(1.0f, -23),
                                -std::ldexp(1.0f, -24), 1.2e-7f, -6e-8f, 3e-8f, std::ldexp(1.0f, -25),
                                -std::ldexp(1.0f, -26), 1e-6f, -1e-6f, 1e-5f});
        if (r < 68) return pick<float>({0.0f, -0.0f});
        if (r < 73) return pick<float>({kNaN, kInf, -kInf});
        if (r < 80) return pick<float>({1.0f, 0.5f, 0.25f, 2.0f, 3.0f, -0.5f, 0.125f, -0.25f, 0.75f});
        if (r < 85) return float(1.0 + unit() * 99);
        if (r < 89) return random_bits_float();
        return float(0.001 + unit() * 0.1);
    }

    std::int32_t pers() {
        const std::uint64_t r = below(1000);
        if (r < 540) return std::int32_t(between(0, 40));
        if (r < 800) return std::int32_t(between(0, 150));
        if (r < 930) return std::int32_t(between(0, 400));
        if (r < 931) return std::int32_t(between(401, 3000));
        return pick<std::int32_t>({-1, -2, -3, -100, kMin, kMin + 1, kMax, 0, 1, 1, 2, 2, 3});
    }

    std::int32_t freq(std::int32_t pers) {
        const std::uint64_t r = below(100);
        if (r < 66) return std::int32_t(between(1, 13));
        if (r < 74) return std::int32_t(between(-13, -1));
        if (r < 79 && pers >= 0 && pers < kMax - 64) return std::int32_t(pers + between(1, 40));  // larger than pers
        if (r < 84 && pers > 0) return r % 2 ? pers : -pers;
        if (r < 87) return 0;
        if (r < 91) return pick<std::int32_t>({kMin, kMax, kMin + 1, -1, 1});
        return std::int32_t(between(14, 60));
    }

    LoanTerms loan() {
        LoanTerms t;
        t.id = "random";
        t.amt = amount();
        t.rate = rate();
        t.pers = pers();
        t.int_freq = freq(t.pers);
        t.cap_freq = freq(t.pers);
        return t;
    }

private:
    float ordinary_amount() {
        const double magnitude = std::pow(10.0, unit() * 6.0);  // 1 .. 1e6
        switch (below(3)) {
            case 0: return float(std::round(magnitude));
            case 1: return float(std::round(magnitude * 100.0) / 100.0);
            default: return float(magnitude);
        }
    }

    std::mt19937_64 g_;
};

constexpr int kShards = 8;
constexpr int kCasesPerShard = 12500;  // 8 x 12,500 = 100,000 random cases

class RandomTerms : public ::testing::TestWithParam<int> {};

TEST_P(RandomTerms, FastMatchesReference) {
    Gen gen(0x9E3779B97F4A7C15ull * std::uint64_t(GetParam() + 1) + 0x5EED);
    Checker checker("random shard");
    QuietStderr quiet;
    for (int i = 0; i < kCasesPerShard; ++i) checker.check(gen.loan(), /*literal_build=*/i % 16 == 0);
    EXPECT_EQ(checker.cases(), std::size_t(kCasesPerShard));
}

INSTANTIATE_TEST_SUITE_P(Shards, RandomTerms, ::testing::Range(0, kShards));

// The reproducible mode: the engine switched to the correctly rounded power
// and the reference given the same function, so the comparison is again
// like for like. Two shards' worth of random terms plus the adversarial list.
class ReproducibleMode : public ::testing::Test {
protected:
    void SetUp() override {
        paywheel::set_power_mode(paywheel::PowerMode::CorrectlyRounded);
        paywheel::reference::reference_powf = paywheel::correctly_rounded_powf;
    }
    void TearDown() override {
        paywheel::set_power_mode(paywheel::PowerMode::Platform);
        paywheel::reference::reference_powf = ::powf;
    }
};

TEST_F(ReproducibleMode, FastMatchesReference) {
    Gen gen(0xC0FFEE);
    Checker checker("reproducible mode, random");
    QuietStderr quiet;
    for (int i = 0; i < 2 * kCasesPerShard; ++i) checker.check(gen.loan(), /*literal_build=*/i % 16 == 0);
}

// ------------------------------------------------------------------ hand-picked

TEST(EngineDifferential, AdversarialTerms) {
    Checker checker("adversarial");
    QuietStderr quiet;

    // Every frequency pair on the exactly representable loan (amt 15, rate 1).
    for (std::int32_t pers : {0, 1, 2, 3, 4, 5, 8})
        for (std::int32_t f = -6; f <= 6; ++f)
            for (std::int32_t g = -6; g <= 6; ++g) checker.check(terms(15, 1.0f, pers, f, g), true);

    // Extreme and empty pers, with extreme frequencies: abort or empty, fast.
    const std::int32_t extreme_pers[] = {kMax, kMin, kMin + 1, -1, -2, 0, 1, 2};
    const std::int32_t extreme_freq[] = {0, 1, -1, 2, kMin, kMax, kMin + 1, kMax - 1};
    for (std::int32_t pers : extreme_pers)
        for (std::int32_t f : extreme_freq)
            for (std::int32_t g : extreme_freq)
                for (float rate : {0.05f, 0.0f, kNaN}) checker.check(terms(1000, rate, pers, f, g), true);

    // pers 2147483646: payment_marks fails before any allocation when the frequency is 0.
    for (std::int32_t pers : {kMax - 1, kMax - 2, 2147483584, 16777217})
        for (auto [f, g] : {std::pair{0, 0}, std::pair{1, 0}, std::pair{0, 1}})
            checker.check_huge_with_zero_freq(terms(1000, 0.05f, pers, f, g));

    // Non-finite and signed-zero amounts and rates.
    const float specials[] = {kNaN, -kNaN, kInf, -kInf, 0.0f, -0.0f, 1e-45f, -1e-45f, 3.4e38f, -3.4e38f};
    for (float amt : specials)
        for (float rate : {0.05f, -0.5f, 1.0f, 1e-8f})
            for (std::int32_t pers : {1, 2, 3, 4, 6, 7})
                for (std::int32_t f : {1, 2, 3, -1, 7})
                    checker.check(terms(amt, rate, pers, f, f == 1 ? 2 : 1), true);
    for (float rate : specials)
        for (float amt : {1000.0f, -1000.0f, 0.0f})
            for (std::int32_t pers : {1, 2, 3, 4, 6, 7})
                for (std::int32_t f : {1, 2, 3, -1, 7}) {
                    checker.check(terms(amt, rate, pers, f, 1), true);
                    checker.check(terms(amt, rate, pers, 1, f), true);
                }

    // Rates near the 1 + rate == 1 boundary, with every small pers and frequency.
    const float tiny[] = {1e-8f, 6e-8f, std::ldexp(1.0f, -24), std::nextafter(std::ldexp(1.0f, -24), 1.0f),
                          -std::ldexp(1.0f, -25), -std::nextafter(std::ldexp(1.0f, -25), 1.0f), std::ldexp(1.0f, -23),
                          -std::ldexp(1.0f, -24), 1.2e-7f, -6e-8f};
    for (float rate : tiny)
        for (std::int32_t pers : {1, 2, 3, 4, 5, 6, 9, 10, 50})
            for (std::int32_t cap : {1, 2, 3, 5, -2})
                for (std::int32_t in : {1, 2, 3, -1}) checker.check(terms(1000, rate, pers, in, cap), true);

    // Frequencies larger than pers, and the magnitude of a negative one around pers.
    for (std::int32_t pers : {1, 2, 5, 10, 37})
        for (std::int32_t d : {-1, 0, 1, 2, 100})
            for (std::int32_t sign : {1, -1}) {
                const std::int32_t f = sign * (pers + d);
                if (f == 0) continue;
                checker.check(terms(1000, 0.05f, pers, f, 1), true);
                checker.check(terms(1000, 0.05f, pers, 1, f), true);
                checker.check(terms(1000, 0.05f, pers, f, f), true);
            }
}

// ------------------------------------------------------------------ families

// The residue pass of the capital schedule and the pool it is fed from: ties
// between equal largest entries, decreasing sums, residues landing on entry 0.
TEST(EngineDifferential, CapitalResidueFamilies) {
    Checker checker("capital residue");
    QuietStderr quiet;

    // The worked tie: amt 1000, rate 0.2, cap_freq 3, pers 3k+1 (and neighbours).
    for (std::int32_t k = 0; k <= 200; ++k)
        for (std::int32_t off : {0, 1, 2}) checker.check(terms(1000, 0.2f, 3 * k + off, 3, 3), k % 20 == 0);

    // Decreasing block sums: amt -1000, rate 0.05, cap_freq 2, pers up to 3000.
    for (std::int32_t pers = 1; pers <= 200; ++pers) checker.check(terms(-1000, 0.05f, pers, 2, 2), pers % 25 == 0);
    for (std::int32_t pers = 201; pers <= 3000; pers += 97) checker.check(terms(-1000, 0.05f, pers, 1, 2));
    for (std::int32_t pers : {2999, 3000, 2001, 1501}) checker.check(terms(-1000, 0.05f, pers, 3, 2));

    // Random negative amounts.
    Gen gen(0xCA91A1);
    for (int i = 0; i < 400; ++i) {
        const float amt = -float(std::round(std::pow(10.0, 1 + gen.unit() * 5) * 100.0) / 100.0);
        const float rate = float(0.001 + gen.unit() * 0.3);
        const auto pers = std::int32_t(gen.between(1, 400));
        checker.check(terms(amt, rate, pers, std::int32_t(gen.between(1, 13)), std::int32_t(gen.between(1, 13))),
                      i % 16 == 0);
    }

    // Negative amounts put the residue on entry 0's +0.0, and the next zero
    // then becomes the largest: chains of rewrites, each needing a fresh total.
    for (int i = 0; i < 3000; ++i) {
        const float amt = -float(std::pow(10.0, gen.unit() * 7) * (0.5 + gen.unit()));
        const float rate = gen.pick<float>({float(gen.unit() * 0.3), float(-gen.unit() * 0.9), 6e-8f, 1.2e-7f,
                                            -1e-6f, 3.0f, float(gen.unit() * 60)});
        const auto pers = std::int32_t(gen.between(2, 250));
        const auto cap = std::int32_t(gen.between(2, 40));
        checker.check(terms(amt, rate, pers, std::int32_t(gen.between(1, 13)), pers % cap == 0 ? cap + 1 : cap));
    }

    // Rates between -1 and 0 (decreasing profile) with positive amounts.
    for (float rate : {-0.01f, -0.05f, -0.2f, -0.5f, -0.9f, -0.999f})
        for (std::int32_t pers = 1; pers <= 40; ++pers)
            for (std::int32_t cap : {1, 2, 3, 4, 7}) checker.check(terms(1000, rate, pers, 1, cap));

    // A near-constant profile (1 + rate rounds to 1.00000012): many equal sums.
    for (float rate : {6e-8f, 1.2e-7f, -6e-8f})
        for (std::int32_t pers = 1; pers <= 120; ++pers)
            for (std::int32_t cap : {1, 2, 3, 4, 7, -1}) checker.check(terms(1000, rate, pers, 2, cap));

    // base -1 (rate -2): a profile of alternating sign; base 0 (rate -1).
    for (float rate : {-2.0f, -1.0f, -3.0f})
        for (float amt : {7.0f, -7.0f, 1000.0f})
            for (std::int32_t pers = 1; pers <= 30; ++pers)
                for (std::int32_t cap : {1, 2, 3, 5}) checker.check(terms(amt, rate, pers, cap, cap));

    // Exact powers of two (rate 1), and large rates whose profiles overflow.
    for (float rate : {1.0f, 3.0f, 10.0f, 100.0f})
        for (std::int32_t pers = 1; pers <= 140; pers += (pers < 30 ? 1 : 11))
            for (std::int32_t cap : {1, 2, 3, 6}) checker.check(terms(15, rate, pers, 1, cap));

    // Amounts whose magnitude swamps the profile's rounding.
    for (float amt : {1e-30f, 1e30f, 3e38f, -3e38f, 16777216.0f, 0.1f})
        for (std::int32_t pers : {3, 10, 31, 100, 250})
            for (std::int32_t cap : {1, 2, 3, 9}) checker.check(terms(amt, 0.05f, pers, 1, cap));
}

// The interest schedule's per-period selection: magnitude ties of either sign,
// negative frequencies, long pending lists.
TEST(EngineDifferential, InterestSelectionFamilies) {
    Checker checker("interest selection");
    QuietStderr quiet;

    for (float rate : {-2.0f, -3.0f, -1.5f, 1.0f, -0.5f, -1.0f})
        for (float amt : {1.0f, -1.0f, 15.0f, 3.0f})
            for (std::int32_t pers = 1; pers <= 24; ++pers)
                for (std::int32_t f : {1, 2, 3, 4, -1, -2, -5}) checker.check(terms(amt, rate, pers, f, 1));

    // Long int_freq 1 runs: pending holds pers sums at the first payment.
    for (std::int32_t pers : {400, 777, 1500, 2500})
        for (float rate : {0.05f, -0.05f, 0.0001f}) checker.check(terms(250000, rate, pers, 1, 7));
}

}  // namespace

namespace {

// Above 2^24 a multiple of int_freq whose binary32 form is inexact is not a
// payment period. The reference's interest schedule is linear when int_freq
// is large, so it can be run on columns of 2^24 + 5 entries.
TEST(EngineDifferential, InterestAbove2To24) {
    QuietStderr quiet;
    struct Case {
        float amt, rate;
        std::int32_t pers, int_freq;
    };
    // 16777217: its only multiple is stored as 16777216, so nothing is due.
    // 5592407: due at 5592407 and 11184814 (exact), not at 16777221 (inexact).
    for (const Case& c : {Case{1000, 1e-6f, 16777217, 16777217}, Case{1000, 1e-6f, 16777221, 5592407},
                          Case{-1000, 1e-6f, 16777221, -5592407}}) {
        const LoanTerms t = terms(c.amt, c.rate, c.pers, c.int_freq, 1);
        const Outcome<Series> fast = outcome([&] { return paywheel::interest_schedule(t); });
        const Outcome<Series> ref = outcome([&] { return paywheel::reference::interest_schedule(t); });
        const std::string d = compare_series(fast, ref, "interest_schedule");
        EXPECT_TRUE(d.empty()) << describe(t) << "\n    " << d;
        EXPECT_FALSE(ref.abort.has_value()) << describe(t) << ": " << ref.abort.value_or("");
    }
}

}  // namespace
