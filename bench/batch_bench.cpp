// The evaluation phase of a parallel call (decode every text record, fill
// every schedule into the batch's storage) with one worker against two.
//
//   cmake -S . -B build/bench -DQH_BUILD_BENCH=ON && cmake --build build/bench -j2
//   ./build/bench/bench/batch_bench --benchmark_repetitions=5
//
// BM_TwoWorkersOverOne alternates the two inside every iteration, so both
// see the same machine at the same moment; its "ratio" counter is the wall
// time with two workers over the wall time with one (target: <= 0.65).
// The pool gets two workers unless RAYON_NUM_THREADS says otherwise.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "paywheel/batch/evaluate.hpp"
#include "paywheel/batch/pool.hpp"

namespace {

using paywheel::batch::TextBatch;

// 20,000 loans of 360 periods, amounts and rates varied so that no two loans
// are the same; monthly payments.
const TextBatch& book() {
    static const TextBatch batch = [] {
        TextBatch b;
        b.reserve(20000);
        for (int i = 0; i < 20000; ++i) {
            std::string id = std::to_string(i);
            id.insert(0, 1, 'L');
            b.push_back({{"id", std::move(id)},
                         {"amt", std::to_string(50000 + 37 * i)},
                         {"rate", std::to_string(0.002 + 0.00001 * (i % 300))},
                         {"pers", "360"},
                         {"int_freq", "1"},
                         {"cap_freq", "1"}});
        }
        return b;
    }();
    return batch;
}

// CPU seconds used so far by every thread of the process.
double process_cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

struct Timing {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds, all threads: grows with contention even when the machine is busy
};

// One evaluation on at most `workers` pool threads; the result is dropped
// outside the timed region.
Timing evaluate(std::size_t workers) {
    const double cpu0 = process_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    paywheel::batch::BatchOutcome out = paywheel::batch::evaluate_batch(book(), workers);
    const auto stop = std::chrono::steady_clock::now();
    const double cpu1 = process_cpu_seconds();
    if (out.failure) std::abort();  // every loan of the book is valid
    benchmark::DoNotOptimize(out);
    return Timing{std::chrono::duration<double>(stop - start).count(), cpu1 - cpu0};
}

void BM_Evaluate(benchmark::State& state) {
    const std::size_t workers = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) state.SetIterationTime(evaluate(workers).wall);
    state.counters["loans/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 20000, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Evaluate)->ArgName("workers")->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_TwoWorkersOverOne(benchmark::State& state) {
    Timing one, two;
    auto add = [](Timing& total, Timing t) {
        total.wall += t.wall;
        total.cpu += t.cpu;
    };
    bool one_first = true;
    for (auto _ : state) {
        // Alternate which goes first, so neither always meets the other's
        // leftovers (freed pages, a warm cache).
        if (one_first) {
            add(one, evaluate(1));
            add(two, evaluate(2));
        } else {
            add(two, evaluate(2));
            add(one, evaluate(1));
        }
        one_first = !one_first;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["one_ms"] = one.wall / n * 1e3;
    state.counters["two_ms"] = two.wall / n * 1e3;
    state.counters["ratio"] = two.wall / one.wall;
    state.counters["one_cpu_ms"] = one.cpu / n * 1e3;
    state.counters["two_cpu_ms"] = two.cpu / n * 1e3;
    state.counters["cpu_ratio"] = two.cpu / one.cpu;
}
BENCHMARK(BM_TwoWorkersOverOne)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("RAYON_NUM_THREADS", "2", 0);
    const std::size_t threads = paywheel::batch::ensure_pool();
    benchmark::AddCustomContext("pool_threads", std::to_string(threads));
    (void)book();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
