// Page-aligned anonymous memory for result columns, and the cache of
// released pages that the next call reuses.
#pragma once

#include <cstddef>

namespace paywheel::columnar {

// What a call or a table must have freed through the allocator before its
// free pages are worth handing back (give_back_free_pages).
inline constexpr std::size_t kTrimBytes = std::size_t{64} << 20;

// Hands the allocator's free pages back to the system once at least
// kTrimBytes were freed. Buffers below the size the allocator maps on its
// own (tens of MiB) come from its heaps, which keep freed pages resident:
// scratch, block sums and results of that size would otherwise stay with
// the process after the call or the table that held them.
void give_back_free_pages(std::size_t freed) noexcept;

// Buffers from this size up are mapped on their own by the allocator, so
// that freeing one returns its pages (return_large_buffers).
inline constexpr std::size_t kMappedBytes = std::size_t{4} << 20;

// Once a process, before its first call: the allocator keeps buffers of
// kMappedBytes and more mapped on their own whatever was freed before.
void return_large_buffers() noexcept;

// Page-aligned anonymous memory, untouched until first written, so that the
// worker that first writes a page is the one that faults it in.
class Region {
public:
    Region() noexcept = default;
    // Zero-filled fresh pages. Throws std::bad_alloc when the mapping fails.
    static Region allocate(std::size_t bytes);
    // Pages whose contents are unspecified, for buffers the caller writes in
    // full: preferably the already faulted-in pages of a released region
    // (see the cache in region.cpp), else fresh ones.
    static Region allocate_for_overwrite(std::size_t bytes);
    Region(Region&& o) noexcept;
    Region& operator=(Region&& o) noexcept;
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;
    ~Region();

    // Keeps the first `bytes` and gives the whole pages past them back to
    // the system at once (not to the cache): for a result that turned out
    // smaller than it was sized for.
    void shrink_to(std::size_t bytes) noexcept;

    void* data() const noexcept { return data_; }
    std::size_t bytes() const noexcept { return bytes_; }
    template <typename T>
    T* as() const noexcept {
        return static_cast<T*>(data_);
    }

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;  // logical size
    std::size_t mapped_ = 0;
};

}  // namespace paywheel::columnar
