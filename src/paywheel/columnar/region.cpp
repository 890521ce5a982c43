#include "paywheel/columnar/region.hpp"

#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "paywheel/core/memory_bound.hpp"

namespace paywheel::columnar {

namespace {

// Rounded up to whole pages; SIZE_MAX when that overflows.
std::size_t pages_for(std::size_t bytes) noexcept {
    const std::size_t page = page_size();
    const std::size_t want = bytes == 0 ? 1 : bytes;
    if (want > SIZE_MAX - page) return SIZE_MAX;
    return (want + page - 1) / page * page;
}

// Released regions kept mapped for the next call. Faulting in fresh pages
// costs far more than filling them (several microseconds a page on the
// machines this was measured on, against a third of a microsecond to write
// one), and a book's result is a few pages per loan: reusing the pages of
// the result the caller has just dropped, or of the stream batch the
// consumer has just written out, takes that cost off every call after the
// first. The cache holds at most a bounded share of memory and gives it back
// beyond that. Regions may be released on any thread, without the
// interpreter, so it has its own lock, which a fork must not find taken.
class RegionCache {
public:
    RegionCache() {
        // A child forked while another thread held the lock would wait for
        // it for ever: the lock is taken around fork, and released on both
        // sides.
        ::pthread_atfork([] { region_cache_lock(); }, [] { region_cache_unlock(); },
                         [] { region_cache_unlock(); });
    }

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

    static void region_cache_lock() noexcept;
    static void region_cache_unlock() noexcept;

private:
    static constexpr std::size_t kMaxEntries = 64;
    // Built on first use, always under the cache's lock, which a fork waits
    // for: no child sees it half-built. (Built at load, it could run before
    // the memory bound it reads.)
    static std::size_t cap() noexcept {
        static const std::size_t c = std::min<std::size_t>(std::size_t{1} << 30, memory_bound() / 16);
        return c;
    }
    std::mutex mutex_;
    std::vector<std::pair<void*, std::size_t>> entries_;
    std::size_t held_ = 0;
};

// Built when the library is loaded, before any thread can call in: a
// function-local static half-built by another thread at a fork would leave
// the child waiting on its guard for ever. Never destroyed: regions may be released by threads still running
// at exit.
RegionCache& g_region_cache = *new RegionCache;

RegionCache& region_cache() noexcept { return g_region_cache; }

void RegionCache::region_cache_lock() noexcept { region_cache().mutex_.lock(); }
void RegionCache::region_cache_unlock() noexcept { region_cache().mutex_.unlock(); }

}  // namespace

void return_large_buffers() noexcept {
#if defined(__GLIBC__)
    // glibc raises its mapping threshold to the size of each large block
    // freed, up to 32 MiB, so that a long loan's scratch, asked for again,
    // comes from a thread's heap, whose top malloc_trim never gives back:
    // the pool's threads would keep it after every call. A fixed threshold
    // keeps such buffers mapped, returned when freed, and the heaps trimmed
    // past their default.
    ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kMappedBytes));
#endif
}

void give_back_free_pages(std::size_t freed) noexcept {
#if defined(__GLIBC__)
    if (freed >= kTrimBytes) ::malloc_trim(0);
#else
    (void)freed;
#endif
}

Region Region::allocate_for_overwrite(std::size_t bytes) {
    const std::size_t mapped = pages_for(bytes);
    if (mapped == SIZE_MAX) throw std::bad_alloc();
    const auto [data, size] = region_cache().take(mapped);
    if (data == nullptr) return allocate(bytes);
    Region r;
    r.data_ = data;
    r.bytes_ = bytes;
    r.mapped_ = size;
    return r;
}

Region Region::allocate(std::size_t bytes) {
    // An empty column still gets a real (one page) buffer: Arrow consumers
    // may dereference a data pointer even for zero values.
    const std::size_t mapped = pages_for(bytes);
    if (mapped == SIZE_MAX) throw std::bad_alloc();
    void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    Region r;
    r.data_ = p;
    r.bytes_ = bytes;
    r.mapped_ = mapped;
    return r;
}

void Region::shrink_to(std::size_t bytes) noexcept {
    if (data_ == nullptr || bytes >= bytes_) return;
    const std::size_t keep = pages_for(bytes);
    if (keep < mapped_) {
        ::munmap(static_cast<char*>(data_) + keep, mapped_ - keep);
        mapped_ = keep;
    }
    bytes_ = bytes;
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

}  // namespace paywheel::columnar
