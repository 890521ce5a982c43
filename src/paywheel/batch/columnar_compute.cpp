#include "paywheel/batch/columnar_compute.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>

#include "paywheel/core/abort.hpp"

namespace paywheel::columnar {

const char* const kUnevenColumnsReason =
    "pers above 2^24 that is not a binary32 value: the engine's Per column would be shorter than the "
    "other four, and the columnar layouts give every column of a loan the same length";

// ---------------------------------------------------------------- Region

namespace {

// Released regions kept mapped for the next call. Faulting in fresh pages
// costs far more than filling them (several microseconds a page on the
// machines this was measured on, against a third of a microsecond to write
// one), and a book's result is a few pages per loan: reusing the pages of
// the result the caller has just dropped, or of the stream batch the
// consumer has just written out, takes that cost off every call after the
// first. The cache holds at most a bounded share of memory and gives it back
// beyond that. Regions may be released on any thread, without the
// interpreter, so it has its own lock.
class RegionCache {
public:
    // A cached mapping of at least `mapped` bytes and not wastefully
    // larger, or {nullptr, 0}.
    std::pair<void*, std::size_t> take(std::size_t mapped) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t best = entries_.size();
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const std::size_t size = entries_[i].second;
            if (size >= mapped && size <= 2 * mapped + (std::size_t{64} << 10) &&
                (best == entries_.size() || size < entries_[best].second))
                best = i;
        }
        if (best == entries_.size()) return {nullptr, 0};
        const auto e = entries_[best];
        entries_[best] = entries_.back();
        entries_.pop_back();
        held_ -= e.second;
        return e;
    }

    // Keeps the mapping, giving back the oldest ones to stay under the cap:
    // the region just released is the likeliest to fit the next call.
    void give(void* data, std::size_t mapped) noexcept {
        std::pair<void*, std::size_t> victims[kMaxEntries + 1];
        std::size_t count = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (mapped <= cap()) {
                while (!entries_.empty() && (held_ + mapped > cap() || entries_.size() >= kMaxEntries)) {
                    victims[count++] = entries_.front();
                    held_ -= entries_.front().second;
                    entries_.erase(entries_.begin());
                }
                try {
                    entries_.emplace_back(data, mapped);
                    held_ += mapped;
                    data = nullptr;
                } catch (...) {
                    // No room to note it: unmapped below, like the others.
                }
            }
        }
        for (std::size_t i = 0; i < count; ++i) ::munmap(victims[i].first, victims[i].second);
        if (data != nullptr) ::munmap(data, mapped);
    }

private:
    static constexpr std::size_t kMaxEntries = 64;
    static std::size_t cap() noexcept {
        static const std::size_t c = std::min<std::size_t>(std::size_t{1} << 30, physical_memory_bytes() / 16);
        return c;
    }
    std::mutex mutex_;
    std::vector<std::pair<void*, std::size_t>> entries_;
    std::size_t held_ = 0;
};

RegionCache& region_cache() noexcept {
    // Never destroyed: regions may be released by threads still running at exit.
    static RegionCache* cache = new RegionCache;
    return *cache;
}

}  // namespace

Region Region::allocate_for_overwrite(std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t want = bytes == 0 ? 1 : bytes;
    if (want > SIZE_MAX - page) throw std::bad_alloc();
    const std::size_t mapped = (want + page - 1) / page * page;
    const auto [data, size] = region_cache().take(mapped);
    if (data == nullptr) return allocate(bytes);
    Region r;
    r.data_ = data;
    r.bytes_ = bytes;
    r.mapped_ = size;
    return r;
}

Region Region::allocate(std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    // An empty column still gets a real (one page) buffer: Arrow consumers
    // may dereference a data pointer even for zero values.
    const std::size_t want = bytes == 0 ? 1 : bytes;
    if (want > SIZE_MAX - page) throw std::bad_alloc();
    const std::size_t mapped = (want + page - 1) / page * page;
    void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    Region r;
    r.data_ = p;
    r.bytes_ = bytes;
    r.mapped_ = mapped;
    return r;
}

Region::Region(Region&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)), bytes_(std::exchange(o.bytes_, 0)), mapped_(std::exchange(o.mapped_, 0)) {}

Region& Region::operator=(Region&& o) noexcept {
    if (this != &o) {
        if (data_ != nullptr) region_cache().give(data_, mapped_);
        data_ = std::exchange(o.data_, nullptr);
        bytes_ = std::exchange(o.bytes_, 0);
        mapped_ = std::exchange(o.mapped_, 0);
    }
    return *this;
}

Region::~Region() {
    if (data_ != nullptr) region_cache().give(data_, mapped_);
}

std::size_t physical_memory_bytes() noexcept {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return SIZE_MAX;
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
}

namespace {

// Rows per chunk of the cash-flow sums: their blocks. It depends on the
// input's batches only, never on the thread count.
constexpr std::int64_t kChunkRows = 512;

// Rows per chunk of a schedule fill, where the chunking does not change the
// result: small batches (a stream's) still spread over the workers.
std::int64_t fill_chunk_rows(std::int64_t rows) noexcept { return std::clamp<std::int64_t>(rows / 16, 8, kChunkRows); }

struct Chunk {
    std::size_t batch;
    std::int64_t begin, end;  // rows within the batch
    std::int64_t global;      // row number (from 0) of `begin` in the book
};

std::vector<Chunk> make_chunks(const std::vector<InputBatch>& batches, std::int64_t& rows, std::int64_t chunk_rows) {
    std::vector<Chunk> chunks;
    rows = 0;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        for (std::int64_t r = 0; r < batches[b].rows; r += chunk_rows)
            chunks.push_back(Chunk{b, r, std::min(batches[b].rows, r + chunk_rows), rows + r});
        rows += batches[b].rows;
    }
    return chunks;
}

// Failures from any worker; rare, so one lock is enough.
class FailureLog {
public:
    void add(RowFailure f) {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.push_back(std::move(f));
    }
    std::vector<RowFailure> take_sorted() {
        std::sort(failures_.begin(), failures_.end(),
                  [](const RowFailure& a, const RowFailure& b) { return a.index < b.index; });
        return std::move(failures_);
    }

private:
    std::mutex mutex_;
    std::vector<RowFailure> failures_;
};

void lower_to(std::atomic<std::int64_t>& target, std::int64_t value) noexcept {
    std::int64_t cur = target.load(std::memory_order_relaxed);
    while (value < cur && !target.compare_exchange_weak(cur, value, std::memory_order_relaxed)) {
    }
}

enum : std::uint8_t { kPending = 0, kFailed = 1 };

// The engine on one loan, failures as data. Returns false and fills `failure`
// when the engine refuses the loan; sets `oom` when memory ran out.
bool run_engine(const LoanTerms& terms, const ScheduleOut& out, RowFailure& failure, std::atomic<bool>& oom) noexcept {
    try {
        fill_schedule(terms, out);
        return true;
    } catch (const Abort& a) {
        failure.reason = a.message();
    } catch (const std::bad_alloc&) {
        oom.store(true);
        failure.reason = "out of memory";
    } catch (const std::length_error&) {
        oom.store(true);
        failure.reason = "out of memory";
    } catch (const std::exception& e) {
        try {
            failure.reason = std::string("unexpected native failure: ") + e.what();
        } catch (...) {
            oom.store(true);
        }
    }
    failure.has_terms = true;
    failure.terms = terms;
    return false;
}

std::size_t checked_mul(std::size_t a, std::size_t b) {
    if (a != 0 && b > SIZE_MAX / a) return SIZE_MAX;
    return a * b;
}
std::size_t checked_add(std::size_t a, std::size_t b) { return b > SIZE_MAX - a ? SIZE_MAX : a + b; }

}  // namespace

ScheduleResult compute_schedules(const std::vector<InputBatch>& batches, const ComputeOptions& opt,
                                 const ChunkRunner& run, const std::atomic<bool>& stop) {
    ScheduleResult res;
    std::int64_t total_rows = 0;
    for (const InputBatch& b : batches) total_rows += b.rows;
    std::int64_t rows = 0;
    const std::vector<Chunk> chunks = make_chunks(batches, rows, fill_chunk_rows(total_rows));
    res.rows = rows;
    const bool raise = opt.on_error == OnError::Raise;

    res.offsets = Region::allocate(static_cast<std::size_t>(rows + 1) * sizeof(std::int64_t));
    std::int64_t* offsets = res.offsets.as<std::int64_t>();
    offsets[0] = 0;
    std::vector<std::uint8_t> status(static_cast<std::size_t>(rows), kPending);
    FailureLog log;
    std::atomic<std::int64_t> first_failure{std::numeric_limits<std::int64_t>::max()};
    std::atomic<bool> oom{false};

    // Pass 1: each row's length, from the fields up to "pers" only.
    run(chunks.size(), [&](std::size_t c) {
        if (stop.load(std::memory_order_relaxed)) return;
        const Chunk& ch = chunks[c];
        const InputBatch& batch = batches[ch.batch];
        for (std::int64_t r = ch.begin; r < ch.end; ++r) {
            const std::int64_t g = ch.global + (r - ch.begin);
            std::int32_t pers = 0;
            DecodeFailure why{nullptr};
            std::int64_t len = 0;
            const char* reason = nullptr;
            if (!decode_pers(batch, r, pers, why)) {
                reason = why.reason;
            } else {
                const ScheduleShape shape = schedule_shape(pers);
                if (shape.per != shape.rest)
                    reason = kUnevenColumnsReason;
                else
                    len = static_cast<std::int64_t>(shape.rest);
            }
            if (reason != nullptr) {
                status[static_cast<std::size_t>(g)] = kFailed;
                try {
                    log.add(RowFailure{opt.row_base + g, reason, false, {}});
                } catch (const std::bad_alloc&) {
                    oom.store(true);
                }
                lower_to(first_failure, g);
            }
            offsets[g + 1] = len;
        }
    });
    if (stop.load()) throw Cancelled{};
    if (oom.load()) throw std::bad_alloc();
    for (std::int64_t i = 0; i < rows; ++i) offsets[i + 1] += offsets[i];

    const std::size_t values = static_cast<std::size_t>(offsets[rows]);
    std::size_t per_value = kColumns * sizeof(float) + (opt.layout == Layout::Long ? sizeof(std::int32_t) : 0);
    std::size_t need = checked_add(checked_mul(values, per_value), static_cast<std::size_t>(rows) * 9);
    if (need > opt.memory_limit) throw TooLarge{need, opt.memory_limit};
    // Every value of a kept row is written below, and a failed row's span
    // is closed up or the result dropped, so these need no zero fill.
    for (std::size_t k = 0; k < kColumns; ++k) res.columns[k] = Region::allocate_for_overwrite(values * sizeof(float));
    if (opt.layout == Layout::Long) res.loan = Region::allocate_for_overwrite(values * sizeof(std::int32_t));

    // Pass 2: decode the rest and fill, each worker writing (and so faulting
    // in) the pages of its own rows.
    run(chunks.size(), [&](std::size_t c) {
        if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
        const Chunk& ch = chunks[c];
        if (raise && ch.global > first_failure.load(std::memory_order_relaxed)) return;
        const InputBatch& batch = batches[ch.batch];
        QuietAborts quiet;
        float* cols[kColumns];
        for (std::size_t k = 0; k < kColumns; ++k) cols[k] = res.columns[k].as<float>();
        std::int32_t* loan = res.loan.as<std::int32_t>();
        for (std::int64_t r = ch.begin; r < ch.end; ++r) {
            const std::int64_t g = ch.global + (r - ch.begin);
            if (raise && g > first_failure.load(std::memory_order_relaxed)) return;
            if (status[static_cast<std::size_t>(g)] == kFailed) {
                if (raise) return;
                continue;
            }
            LoanTerms terms;
            DecodeFailure why{nullptr};
            RowFailure failure{opt.row_base + g, {}, false, {}};
            bool ok;
            if (!decode_row(batch, r, terms, why)) {
                failure.reason = why.reason;
                ok = false;
            } else {
                const std::int64_t off = offsets[g];
                const ScheduleOut out{cols[0] + off, cols[1] + off, cols[2] + off, cols[3] + off, cols[4] + off};
                ok = run_engine(terms, out, failure, oom);
                if (ok && loan != nullptr) {
                    const std::int32_t v = static_cast<std::int32_t>(opt.loan_is_global_row ? opt.row_base + g : r);
                    std::fill(loan + off, loan + offsets[g + 1], v);
                }
            }
            if (!ok) {
                if (oom.load(std::memory_order_relaxed)) return;
                status[static_cast<std::size_t>(g)] = kFailed;
                try {
                    log.add(std::move(failure));
                } catch (const std::bad_alloc&) {
                    oom.store(true);
                    return;
                }
                lower_to(first_failure, g);
                if (raise) return;
            }
        }
    });
    if (stop.load()) throw Cancelled{};
    if (oom.load()) throw std::bad_alloc();

    res.failures = log.take_sorted();
    if (raise) {
        if (!res.failures.empty()) {
            res.failures.resize(1);
            for (Region& r : res.columns) r = Region();
            res.loan = Region();
        }
        res.values = static_cast<std::int64_t>(values);
        return res;
    }
    if (res.failures.empty()) {
        res.values = static_cast<std::int64_t>(values);
        return res;
    }

    // Skip: close the gaps the failed rows leave, so that every column holds
    // the kept rows only and a failed row's span is empty.
    std::int64_t w = 0;
    for (std::int64_t i = 0; i < rows; ++i) {
        const std::int64_t start = offsets[i];
        const std::int64_t len = offsets[i + 1] - start;
        offsets[i] = w;
        if (status[static_cast<std::size_t>(i)] == kFailed) continue;
        if (start != w && len > 0) {
            for (Region& col : res.columns)
                std::memmove(col.as<float>() + w, col.as<float>() + start, static_cast<std::size_t>(len) * sizeof(float));
            if (res.loan.data() != nullptr)
                std::memmove(res.loan.as<std::int32_t>() + w, res.loan.as<std::int32_t>() + start,
                             static_cast<std::size_t>(len) * sizeof(std::int32_t));
        }
        w += len;
    }
    offsets[rows] = w;
    res.values = w;
    if (opt.layout == Layout::List) {
        res.validity = Region::allocate(static_cast<std::size_t>((rows + 7) / 8));
        std::uint8_t* bits = res.validity.as<std::uint8_t>();
        for (std::int64_t i = 0; i < rows; ++i)
            if (status[static_cast<std::size_t>(i)] != kFailed) bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
        res.null_count = static_cast<std::int64_t>(res.failures.size());
    }
    return res;
}

// ---------------------------------------------------------------- cash flows

namespace {

struct BlockSums {
    std::vector<double> cap, interest, pmt, bal;
    std::vector<std::int64_t> loans;
    std::vector<RowFailure> failures;

    void grow(std::size_t n) {
        if (cap.size() >= n) return;
        cap.resize(n, 0.0);
        interest.resize(n, 0.0);
        pmt.resize(n, 0.0);
        bal.resize(n, 0.0);
        loans.resize(n, 0);
    }
};

}  // namespace

CashflowTotals compute_cashflows(const std::vector<InputBatch>& batches, OnError on_error, const ChunkRunner& run,
                                 const std::atomic<bool>& stop) {
    CashflowTotals tot;
    std::int64_t rows = 0;
    const std::vector<Chunk> chunks = make_chunks(batches, rows, kChunkRows);
    tot.rows = rows;
    const bool raise = on_error == OnError::Raise;
    std::atomic<bool> oom{false};
    // Blocks computed at once; the result does not depend on it (blocks are
    // folded in order), only the memory does.
    constexpr std::size_t kWave = 8;
    std::vector<BlockSums> wave(kWave);

    for (std::size_t start = 0; start < chunks.size(); start += kWave) {
        const std::size_t n = std::min(kWave, chunks.size() - start);
        for (std::size_t j = 0; j < n; ++j) wave[j] = BlockSums();
        run(n, [&](std::size_t j) {
            if (stop.load(std::memory_order_relaxed) || oom.load(std::memory_order_relaxed)) return;
            const Chunk& ch = chunks[start + j];
            const InputBatch& batch = batches[ch.batch];
            BlockSums& sums = wave[j];
            QuietAborts quiet;
            thread_local std::vector<float> scratch;
            try {
                for (std::int64_t r = ch.begin; r < ch.end; ++r) {
                    const std::int64_t g = ch.global + (r - ch.begin);
                    LoanTerms terms;
                    DecodeFailure why{nullptr};
                    RowFailure failure{g, {}, false, {}};
                    bool ok = decode_row(batch, r, terms, why);
                    std::size_t len = 0;
                    if (!ok) {
                        failure.reason = why.reason;
                    } else {
                        const ScheduleShape shape = schedule_shape(terms.pers);
                        if (shape.per != shape.rest) {
                            failure.reason = kUnevenColumnsReason;
                            ok = false;
                        } else {
                            len = shape.rest;
                            if (scratch.size() < len * kColumns) scratch.resize(len * kColumns);
                            float* s = scratch.data();
                            ok = run_engine(terms, ScheduleOut{s, s + len, s + 2 * len, s + 3 * len, s + 4 * len},
                                            failure, oom);
                            if (oom.load(std::memory_order_relaxed)) return;
                        }
                    }
                    if (!ok) {
                        sums.failures.push_back(std::move(failure));
                        if (raise) return;
                        continue;
                    }
                    sums.grow(len);
                    const float* s = scratch.data();
                    for (std::size_t k = 0; k < len; ++k) {
                        sums.cap[k] += static_cast<double>(s[len + k]);
                        sums.interest[k] += static_cast<double>(s[2 * len + k]);
                        sums.pmt[k] += static_cast<double>(s[3 * len + k]);
                        sums.bal[k] += static_cast<double>(s[4 * len + k]);
                        sums.loans[k] += 1;
                    }
                }
            } catch (const std::bad_alloc&) {
                oom.store(true);
            } catch (const std::length_error&) {
                oom.store(true);
            }
        });
        if (stop.load()) throw Cancelled{};
        if (oom.load()) throw std::bad_alloc();
        for (std::size_t j = 0; j < n; ++j) {
            BlockSums& b = wave[j];
            for (RowFailure& f : b.failures) tot.failures.push_back(std::move(f));
            if (raise && !tot.failures.empty()) {
                tot.failures.resize(1);
                return tot;
            }
            const std::size_t len = b.cap.size();
            if (tot.cap.size() < len) {
                tot.cap.resize(len, 0.0);
                tot.interest.resize(len, 0.0);
                tot.pmt.resize(len, 0.0);
                tot.bal.resize(len, 0.0);
                tot.loans.resize(len, 0);
            }
            for (std::size_t k = 0; k < len; ++k) {
                if (b.loans[k] == 0) continue;
                tot.cap[k] += b.cap[k];
                tot.interest[k] += b.interest[k];
                tot.pmt[k] += b.pmt[k];
                tot.bal[k] += b.bal[k];
                tot.loans[k] += b.loans[k];
            }
            b = BlockSums();
        }
    }
    return tot;
}

}  // namespace paywheel::columnar
