// Engine throughput against the floor it cannot beat: the pers + 1 powf
// calls every loan needs for its principal profile.
//
//   cmake -S . -B build/bench -DQH_BUILD_BENCH=ON && cmake --build build/bench -j2
//   ./build/bench/bench/engine_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
//
// The correctly rounded power against the platform powf, per call, and the
// engine in both power modes against the platform floor:
//   ./build/bench/bench/engine_bench --benchmark_filter=CorrectlyRounded --benchmark_repetitions=10
//   ./build/bench/bench/engine_bench --benchmark_filter=EngineOverFloor --benchmark_repetitions=10
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/power.hpp"

namespace {

// On a shared, noisy machine the fastest repetition is the best estimate of
// the cost itself; everything else only adds time.
double fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

paywheel::LoanTerms loan(float rate, std::int32_t pers, std::int32_t freq) {
    return paywheel::LoanTerms{"bench", 250000.0f, rate, pers, freq, freq};
}

void BM_Loan360(benchmark::State& state) {
    const paywheel::LoanTerms t = loan(0.004f, 360, static_cast<std::int32_t>(state.range(0)));
    for (auto _ : state) {
        paywheel::Schedule s = paywheel::build_schedule(t);
        benchmark::DoNotOptimize(s);
    }
    state.counters["loans/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Loan360)->ArgName("freq")->Arg(1)->Arg(3)->Arg(6)->Arg(12)->ComputeStatistics("min", fastest);

// The engine itself: the five columns written into one block the caller
// keeps, as the batch drivers use it.
struct Block {
    std::vector<float> data;
    paywheel::ScheduleOut out;
    explicit Block(std::int32_t pers) : data(5 * paywheel::schedule_shape(pers).rest) {
        const std::size_t n = paywheel::schedule_shape(pers).rest;
        float* p = data.data();
        out = paywheel::ScheduleOut{p, p + n, p + 2 * n, p + 3 * n, p + 4 * n, n, n};
    }
};

void BM_Fill360(benchmark::State& state) {
    const paywheel::LoanTerms t = loan(0.004f, 360, static_cast<std::int32_t>(state.range(0)));
    Block block(t.pers);
    for (auto _ : state) {
        paywheel::fill_schedule(t, block.out);
        benchmark::DoNotOptimize(block.data.data());
        benchmark::ClobberMemory();
    }
    state.counters["loans/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Fill360)->ArgName("freq")->Arg(1)->Arg(3)->Arg(12)->ComputeStatistics("min", fastest);

// The floor: the same powers the engine computes for one loan of 360
// periods, stored like the engine stores them.
void BM_PowfFloor360(benchmark::State& state) {
    const float base = 1.0f + 0.004f;
    std::vector<float> out(361);
    for (auto _ : state) {
        benchmark::DoNotOptimize(base);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = ::powf(base, static_cast<float>(i));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PowfFloor360)->ComputeStatistics("min", fastest);

// The engine into caller storage and the floor, alternated in small batches
// within one run, so that the machine's noise falls on both alike; "ratio"
// is engine time over floor time for the same loans. With mode 1 the engine
// runs in the reproducible mode (the correctly rounded power) against the
// same platform floor.
void BM_EngineOverFloor360(benchmark::State& state) {
    const paywheel::LoanTerms t = loan(0.004f, 360, static_cast<std::int32_t>(state.range(0)));
    const paywheel::PowerMode mode =
        state.range(1) != 0 ? paywheel::PowerMode::CorrectlyRounded : paywheel::PowerMode::Platform;
    const paywheel::PowerMode saved = paywheel::power_mode();
    paywheel::set_power_mode(mode);
    std::vector<float> out(361);
    Block block(t.pers);
    using clock = std::chrono::steady_clock;
    clock::duration engine{}, floor{};
    for (auto _ : state) {
        const auto a = clock::now();
        for (int k = 0; k < 20; ++k) {
            paywheel::fill_schedule(t, block.out);
            benchmark::DoNotOptimize(block.data.data());
            benchmark::ClobberMemory();
        }
        const auto b = clock::now();
        for (int k = 0; k < 20; ++k) {
            const float base = 1.0f + t.rate;
            benchmark::DoNotOptimize(base);
            for (std::size_t i = 0; i < out.size(); ++i) out[i] = ::powf(base, static_cast<float>(i));
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
        floor += clock::now() - b;
        engine += b - a;
    }
    paywheel::set_power_mode(saved);
    state.counters["ratio"] = std::chrono::duration<double>(engine).count() / std::chrono::duration<double>(floor).count();
}
BENCHMARK(BM_EngineOverFloor360)
    ->ArgNames({"freq", "correctly_rounded"})
    ->ArgsProduct({{1, 3, 12}, {0, 1}})
    ->ComputeStatistics("min", fastest);

// A million periods at frequency 1. Such loans end in an abort for most
// rates (the powers overflow, or rate 0 makes every sum NaN), which costs
// the whole computation up to that point; the abort report is silenced.
void BM_Pers1M(benchmark::State& state) {
    static const float rates[] = {0.004f, 0.000001f, 0.0f};
    const paywheel::LoanTerms t = loan(rates[state.range(0)], 1000000, 1);
    const int saved = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);
    std::size_t aborted = 0;
    for (auto _ : state) {
        try {
            paywheel::Schedule s = paywheel::build_schedule(t);
            benchmark::DoNotOptimize(s);
        } catch (const paywheel::Abort&) {
            ++aborted;
        }
    }
    ::dup2(saved, STDERR_FILENO);
    ::close(null);
    ::close(saved);
    state.counters["aborted"] = static_cast<double>(aborted) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Pers1M)
    ->ArgName("rate_0.004|1e-6|0")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);

}  // namespace

BENCHMARK_MAIN();

// The correctly rounded power against the platform powf on the exponents the
// engine passes (0..360, and the negative ones of the level payment), for a
// few realistic bases, alternated in small batches; "ratio" is correctly
// rounded time over platform time per call.
template <float (*Power)(float, float)>
void powers_of(const std::vector<float>& bases, const std::vector<float>& exps, std::vector<float>& out) {
    std::size_t k = 0;
    for (const float base : bases) {
        for (const float e : exps) out[k++] = Power(base, e);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
}

float platform_powf(float x, float y) { return ::powf(x, y); }

void BM_CorrectlyRoundedOverPlatformPowf(benchmark::State& state) {
    const bool negative = state.range(0) != 0;
    std::vector<float> bases;
    for (const float rate : {0.004f, 0.0001f, 0.0125f, 0.03f}) bases.push_back(1.0f + rate);
    std::vector<float> exps;
    for (int i = 0; i <= 360; ++i) exps.push_back(static_cast<float>(negative ? -i : i));
    std::vector<float> out(bases.size() * exps.size());
    using clock = std::chrono::steady_clock;
    clock::duration correct{}, platform{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(bases.data());
        const auto a = clock::now();
        for (int k = 0; k < 5; ++k) powers_of<paywheel::correctly_rounded_powf>(bases, exps, out);
        const auto b = clock::now();
        for (int k = 0; k < 5; ++k) powers_of<platform_powf>(bases, exps, out);
        platform += clock::now() - b;
        correct += b - a;
    }
    const double calls = static_cast<double>(state.iterations()) * 5.0 * static_cast<double>(out.size());
    state.counters["ratio"] = std::chrono::duration<double>(correct).count() / std::chrono::duration<double>(platform).count();
    state.counters["cr_ns"] = std::chrono::duration<double, std::nano>(correct).count() / calls;
    state.counters["platform_ns"] = std::chrono::duration<double, std::nano>(platform).count() / calls;
}
BENCHMARK(BM_CorrectlyRoundedOverPlatformPowf)->ArgName("negative")->Arg(0)->Arg(1)->ComputeStatistics("min", fastest);
