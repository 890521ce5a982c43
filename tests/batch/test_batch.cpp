// The batch layer without an interpreter: pool sizing from the environment,
// run_batch's earliest-failure rule and thread limit, the failure classifier,
// and evaluate_batch against the engine's own schedules.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include "paywheel/batch/evaluate.hpp"
#include "paywheel/batch/failure.hpp"
#include "paywheel/batch/pool.hpp"
#include "paywheel/batch/run.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/messages.hpp"

namespace {

using namespace paywheel::batch;
namespace msg = paywheel::messages;

// Four workers whatever the machine, so that pieces really run side by side
// even on two cores. Set before any test can create the pool.
const bool kPoolSized = [] { return ::setenv("RAYON_NUM_THREADS", "4", 1) == 0; }();

// ---------------------------------------------------------------------------
// Pool sizing

std::map<std::string, std::string> g_env;
const char* fake_getenv(const char* name) {
    auto it = g_env.find(name);
    return it == g_env.end() ? nullptr : it->second.c_str();
}

std::size_t size_with(std::map<std::string, std::string> env, std::size_t processors = 6) {
    g_env = std::move(env);
    return pool_size_from(fake_getenv, processors);
}

TEST(PoolSize, NumThreadsWinsAndZeroMeansProcessors) {
    EXPECT_EQ(size_with({}), 6u);
    EXPECT_EQ(size_with({{"RAYON_NUM_THREADS", "3"}}), 3u);
    EXPECT_EQ(size_with({{"RAYON_NUM_THREADS", "+12"}}), 12u);
    EXPECT_EQ(size_with({{"RAYON_NUM_THREADS", "3"}, {"RAYON_RS_NUM_CPUS", "5"}}), 3u);
    // 0 asks for the processor count; it does not fall through to the second variable.
    EXPECT_EQ(size_with({{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "5"}}), 6u);
}

TEST(PoolSize, SecondVariableOnlyWhenFirstIsUnusable) {
    EXPECT_EQ(size_with({{"RAYON_RS_NUM_CPUS", "5"}}), 5u);
    EXPECT_EQ(size_with({{"RAYON_NUM_THREADS", "four"}, {"RAYON_RS_NUM_CPUS", "5"}}), 5u);
    // A zero here is ignored rather than meaning "all processors".
    EXPECT_EQ(size_with({{"RAYON_RS_NUM_CPUS", "0"}}, 7), 7u);
}

TEST(PoolSize, JunkIsIgnored) {
    for (const char* junk : {"", "+", "-1", " 3", "3 ", "3x", "0x10", "1e3", "++3", "99999999999999999999999"}) {
        SCOPED_TRACE(junk);
        EXPECT_EQ(size_with({{"RAYON_NUM_THREADS", junk}}), 6u);
        EXPECT_EQ(size_with({{"RAYON_RS_NUM_CPUS", junk}}), 6u);
    }
    // The largest value that fits is still a plain number.
    EXPECT_EQ(size_with({{"RAYON_NUM_THREADS", "18446744073709551615"}}), 18446744073709551615u);
}

TEST(PoolSize, ConfiguredSizeReadsTheProcessEnvironment) {
    ASSERT_TRUE(kPoolSized);
    EXPECT_EQ(configured_pool_size(), 4u);
    EXPECT_EQ(ensure_pool(), 4u);
}

// ---------------------------------------------------------------------------
// run_batch

// Throws the failure that index i is set up to have, if any.
struct Failing {
    std::map<std::size_t, int> kind;  // 0 abort, 1 bad_alloc, 2 length_error, 3 runtime_error, 4 int
    void operator()(std::size_t i) const {
        auto it = kind.find(i);
        if (it == kind.end()) return;
        paywheel::QuietAborts quiet;
        switch (it->second) {
            case 0: paywheel::raise_abort("record " + std::to_string(i));
            case 1: throw std::bad_alloc();
            case 2: throw std::length_error("too long");
            case 3: throw std::runtime_error("odd " + std::to_string(i));
            default: throw 42;
        }
    }
};

TEST(RunBatch, EmptyAndSingleBatchesRunOnTheCallingThread) {
    std::atomic<int> calls{0};
    EXPECT_FALSE(run_batch(0, 0, [&](std::size_t) { ++calls; }));
    EXPECT_EQ(calls.load(), 0);

    std::thread::id ran_on;
    EXPECT_FALSE(run_batch(1, 0, [&](std::size_t i) {
        EXPECT_EQ(i, 0u);
        ran_on = std::this_thread::get_id();
    }));
    EXPECT_EQ(ran_on, std::this_thread::get_id());

    std::optional<IndexedFailure> f = run_batch(1, 0, Failing{{{0, 1}}});
    ASSERT_TRUE(f);
    EXPECT_EQ(f->index, 0u);
    EXPECT_EQ(kind_of(f->failure), FailureKind::Allocation);
}

TEST(RunBatch, ManyRecordsEachRunOnceOffTheCallingThread) {
    for (std::size_t threads : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(threads);
        constexpr std::size_t kCount = 5000;
        std::vector<std::atomic<int>> seen(kCount);
        std::mutex m;
        std::set<std::thread::id> workers;
        const std::thread::id caller = std::this_thread::get_id();
        EXPECT_FALSE(run_batch(kCount, threads, [&](std::size_t i) {
            seen[i].fetch_add(1);
            if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
            std::lock_guard<std::mutex> lock(m);
            workers.insert(std::this_thread::get_id());
        }));
        for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ(seen[i].load(), 1) << i;
        EXPECT_EQ(workers.count(caller), 0u);
        EXPECT_LE(workers.size(), threads == 0 ? 4u : threads);
    }
}

TEST(RunBatch, EarliestFailureWinsWhateverFinishesFirst) {
    // Index 300 fails late (it waits until a later record has failed), yet
    // it is the one reported; every record before it ran.
    constexpr std::size_t kCount = 2000;
    std::atomic<int> later_failures{0};
    std::vector<std::atomic<bool>> ran(kCount);
    const Failing fails{{{300, 1}, {1100, 3}, {1500, 0}, {1999, 2}}};
    std::optional<IndexedFailure> f = run_batch(kCount, 0, [&](std::size_t i) {
        ran[i] = true;
        if (i == 300) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (later_failures.load() < 1 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else if (fails.kind.count(i)) {
            ++later_failures;
        }
        fails(i);
    });
    ASSERT_TRUE(f);
    EXPECT_EQ(f->index, 300u);
    EXPECT_EQ(kind_of(f->failure), FailureKind::Allocation);
    EXPECT_GE(later_failures.load(), 1);  // a later failure really was offered first
    for (std::size_t i = 0; i < 300; ++i) ASSERT_TRUE(ran[i]) << i;
}

TEST(RunBatch, EarliestFailureIsTheSameOnEveryThreadCount) {
    for (std::size_t threads : {0u, 1u, 2u}) {
        for (int round = 0; round < 20; ++round) {
            std::optional<IndexedFailure> f =
                run_batch(1000, threads, Failing{{{999, 0}, {17 + round, 3}, {500, 1}}});
            ASSERT_TRUE(f);
            EXPECT_EQ(f->index, 17u + round);
            ASSERT_EQ(kind_of(f->failure), FailureKind::Unexpected);
            EXPECT_EQ(std::get<UnexpectedFailure>(f->failure).what, "odd " + std::to_string(17 + round));
        }
    }
}

// Threads of this process, from /proc.
std::size_t process_threads() {
    std::size_t n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
        ::closedir(dir);
    }
    return n;
}

// In a forked child: 0 when its calls ran on pool threads of its own (not
// the caller), all started by the first call; else which check failed.
// The threads that ran pieces of one call of 400 short sleeps.
std::set<std::thread::id> workers_of_one_call() {
    std::mutex m;
    std::set<std::thread::id> workers;
    run_on_pool(400, 0, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard<std::mutex> lock(m);
        workers.insert(std::this_thread::get_id());
    });
    return workers;
}

int child_pool_verdict() {
    ::alarm(60);  // a child waiting for its parent's workers would hang
    const std::thread::id caller = std::this_thread::get_id();
    for (int call = 0; call < 2; ++call) {
        const std::set<std::thread::id> workers = workers_of_one_call();
        if (workers.count(caller) != 0) return 2;
        if (workers.size() < 2) return 3;
        if (process_threads() != 1 + 4) return 4;
    }
    return ensure_pool() == 4 ? 0 : 5;
}

// Whether every worker has started and gone back to waiting: each has run
// a piece of some call. A fork while a worker is still starting can copy a
// lock of the sanitizers' allocator held, and the child's first allocation
// then waits for ever; glibc's malloc takes its locks around fork, so only
// the sanitized run needs this.
bool settle_pool() {
    const std::size_t want = ensure_pool();
    std::set<std::thread::id> seen;
    for (int tries = 0; tries < 200 && seen.size() < want; ++tries) seen.merge(workers_of_one_call());
    return seen.size() == want;
}

int wait_exit_code(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(Pool, ForkedChildAndGrandchildBuildTheirOwnPoolOnce) {
    ASSERT_TRUE(kPoolSized);
    ASSERT_EQ(ensure_pool(), 4u);
    ASSERT_TRUE(settle_pool());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int verdict = child_pool_verdict();
        if (verdict == 0 && !settle_pool()) verdict = 7;
        if (verdict == 0) {
            const pid_t grandchild = ::fork();
            if (grandchild == 0) ::_exit(child_pool_verdict());
            verdict = grandchild < 0 ? 6 : wait_exit_code(grandchild);
        }
        ::_exit(verdict);
    }
    EXPECT_EQ(wait_exit_code(child), 0);
}

// ---------------------------------------------------------------------------
// Classification

Failure classify(int kind) {
    try {
        Failing{{{0, kind}}}(0);
    } catch (...) {
        return classify_current_exception();
    }
    ADD_FAILURE() << "nothing thrown";
    return AllocationFailure{};
}

TEST(Classify, EachExceptionGetsItsKind) {
    Failure abort = classify(0);
    ASSERT_EQ(kind_of(abort), FailureKind::Abort);
    EXPECT_STREQ(std::get<paywheel::Abort>(abort).message(), "record 0");
    EXPECT_NE(std::string(std::get<paywheel::Abort>(abort).site().file).find("test_batch.cpp"), std::string::npos);
    EXPECT_EQ(kind_of(classify(1)), FailureKind::Allocation);
    EXPECT_EQ(kind_of(classify(2)), FailureKind::Allocation);  // length_error: a request too long to make
    Failure odd = classify(3);
    ASSERT_EQ(kind_of(odd), FailureKind::Unexpected);
    EXPECT_EQ(std::get<UnexpectedFailure>(odd).what, "odd 0");
    EXPECT_EQ(kind_of(classify(4)), FailureKind::Unexpected);
}

TEST(Classify, RethrowGivesBackTheOriginalKind) {
    for (int kind : {0, 1, 3}) {
        SCOPED_TRACE(kind);
        const Failure f = classify(kind);
        try {
            rethrow(f);
        } catch (...) {
            const Failure again = classify_current_exception();
            EXPECT_EQ(again.index(), f.index());
            if (kind == 0) {
                EXPECT_STREQ(std::get<paywheel::Abort>(again).message(), "record 0");
            }
            if (kind == 3) {
                EXPECT_EQ(std::get<UnexpectedFailure>(again).what, "odd 0");
            }
        }
    }
}

// ---------------------------------------------------------------------------
// evaluate_batch

TextRecord text_loan(std::string pers, std::string int_freq = "1", std::string cap_freq = "1",
                     std::string amt = "1000", std::string rate = "0.05") {
    return TextRecord{{"id", "x"}, {"amt", amt}, {"rate", rate}, {"pers", pers}, {"int_freq", int_freq},
                      {"cap_freq", cap_freq}};
}

void expect_same_as_engine(const BatchSchedules& got, std::size_t i, const TextRecord& record) {
    const paywheel::Schedule want = paywheel::build_schedule(decode_text_record(record));
    const ScheduleView view = got.view(i);
    std::size_t c = 0;
    for (const paywheel::Schedule::Column& column : want) {
        ASSERT_EQ(view[c].size(), column.values.size()) << "loan " << i << " column " << column.name;
        for (std::size_t k = 0; k < column.values.size(); ++k)
            ASSERT_EQ(std::bit_cast<std::uint32_t>(view[c][k]), std::bit_cast<std::uint32_t>(column.values[k]))
                << "loan " << i << " column " << column.name << " entry " << k;
        ++c;
    }
}

TEST(EvaluateBatch, ZeroOneAndManyLoansMatchTheEngine) {
    for (std::size_t n : {0u, 1u, 2u, 257u}) {
        SCOPED_TRACE(n);
        TextBatch batch;
        for (std::size_t i = 0; i < n; ++i)
            batch.push_back(text_loan(std::to_string(4 + i % 50), "1", "1", std::to_string(100 + i),
                                      i % 2 == 0 ? "0.05" : "0.0001"));
        if (n == 257) batch[100] = text_loan("1000");  // spans pages of the block
        for (std::size_t threads : {0u, 1u}) {
            BatchOutcome out = evaluate_batch(batch, threads);
            ASSERT_FALSE(out.failure);
            ASSERT_EQ(out.schedules.size(), n);
            for (std::size_t i = 0; i < n; ++i) expect_same_as_engine(out.schedules, i, batch[i]);
            // Giving back storage already read leaves the rest intact.
            if (n == 257) {
                out.schedules.release_before(200);
                for (std::size_t i = 200; i < n; ++i) expect_same_as_engine(out.schedules, i, batch[i]);
            }
        }
    }
}

TEST(EvaluateBatch, BlockPastFourMegabytesIsWholeAndReleasable) {
    // 1,200 loans of 1,000 periods: 24 MB of columns, the huge-page path.
    TextBatch batch;
    for (int i = 0; i < 1200; ++i) batch.push_back(text_loan("1000", "1", "1", std::to_string(5000 + i)));
    BatchOutcome out = evaluate_batch(batch, 0);
    ASSERT_FALSE(out.failure);
    ASSERT_EQ(out.schedules.size(), 1200u);
    for (std::size_t i : {0u, 1u, 599u, 1198u, 1199u}) expect_same_as_engine(out.schedules, i, batch[i]);
    out.schedules.release_before(600);
    for (std::size_t i : {600u, 601u, 1199u}) expect_same_as_engine(out.schedules, i, batch[i]);
    out.schedules.release_before(1200);
}

TEST(EvaluateBatch, DecodeAndEngineFailuresCompeteByIndex) {
    paywheel::QuietAborts quiet;  // the single-record cases fail on this thread
    TextBatch batch(8, text_loan("12"));
    // A decode failure at 3 beats an engine failure at 5 ...
    batch[3] = text_loan("12", "1", "1", "x");
    batch[5] = text_loan("12", "1", "0");
    BatchOutcome out = evaluate_batch(batch, 0);
    ASSERT_TRUE(out.failure);
    EXPECT_EQ(out.failure->index, 3u);
    EXPECT_STREQ(std::get<paywheel::Abort>(out.failure->failure).message(), msg::kFloatInvalid);
    // ... and an engine failure at 3 beats a decode failure at 5.
    std::swap(batch[3], batch[5]);
    out = evaluate_batch(batch, 0);
    ASSERT_TRUE(out.failure);
    EXPECT_EQ(out.failure->index, 3u);
    EXPECT_STREQ(std::get<paywheel::Abort>(out.failure->failure).message(), msg::kRemainderByZero);
    // A missing key on the only record, evaluated on the calling thread.
    TextRecord lone = text_loan("4");
    lone.erase("rate");
    out = evaluate_batch(TextBatch{lone}, 0);
    ASSERT_TRUE(out.failure);
    EXPECT_EQ(out.failure->index, 0u);
    EXPECT_STREQ(std::get<paywheel::Abort>(out.failure->failure).message(), msg::kMissingKey);
}

TEST(EvaluateBatch, StorageSizeOverflowIsAnAllocationFailureNotAWrap) {
    EXPECT_FALSE(schedule_floats(paywheel::ScheduleShape{5, static_cast<std::size_t>(-1) / 4}));
    EXPECT_EQ(schedule_floats(paywheel::schedule_shape(4)), 25u);
    EXPECT_EQ(schedule_floats(paywheel::schedule_shape(-1)), 0u);
}

}  // namespace
