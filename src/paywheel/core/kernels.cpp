// The engine's element-wise passes, each built twice: for AVX2 and for the
// x86-64 baseline, the loader picking one per process. Every element is
// still one IEEE binary32 operation (no contraction, no reassociation), so
// both builds give the same bits.
#include <cmath>
#include <cstdint>

#include "paywheel/core/detail.hpp"

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define QH_VECTOR_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define QH_VECTOR_CLONES
#endif

namespace paywheel::detail {

QH_VECTOR_CLONES bool strictly_rising(const float* x, std::size_t n) noexcept {
    unsigned bad = 0;
    for (std::size_t k = 1; k < n; ++k) bad |= !(x[k - 1] < x[k]);
    return bad == 0;
}

QH_VECTOR_CLONES bool strictly_shrinking_in_magnitude(const float* x, std::size_t n) noexcept {
    unsigned bad = 0;
    for (std::size_t k = 1; k < n; ++k) bad |= !(std::fabs(x[k - 1]) > std::fabs(x[k]));
    return bad == 0;
}

QH_VECTOR_CLONES void add_columns(float* out, const float* a, const float* b, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; ++k) out[k] = a[k] + b[k];
}

QH_VECTOR_CLONES void scale_profile(float* __restrict prof, float* __restrict cap, float* __restrict interest,
                                    std::size_t n, float factor, float amt, float pmt) noexcept {
    if (cap != nullptr && interest != nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            const float v = (prof[i] / factor) * amt;
            prof[i] = v;
            cap[i] = 0.0f + v;
            interest[i] = 0.0f + (pmt - v);
        }
    } else if (cap != nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            const float v = (prof[i] / factor) * amt;
            prof[i] = v;
            cap[i] = 0.0f + v;
        }
    } else if (interest != nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            const float v = (prof[i] / factor) * amt;
            prof[i] = v;
            interest[i] = 0.0f + (pmt - v);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) prof[i] = (prof[i] / factor) * amt;
    }
}

// Counted in int32, which converts to float in one vector instruction; the
// count never exceeds INT32_MAX.
QH_VECTOR_CLONES void period_axis_into(float* out, std::size_t count) noexcept {
    const auto n = static_cast<std::int32_t>(count);
    for (std::int32_t i = 0; i < n; ++i) out[i] = static_cast<float>(i);
}

// Both block totals of one frequency at once (see detail.hpp). Built here
// for the strided reads: the AVX2 build gathers eight blocks' entries per
// step where the baseline gathers four.
QH_VECTOR_CLONES void sum_both_blocks(std::size_t n, std::int32_t freq, const float* prof, float pmt,
                                      float* __restrict pool, float* __restrict sums) noexcept {
    if (n < 2) return;  // no blocks
    const auto [block, blocks] = blocks_of(n, freq);
    const std::size_t full = (n - 1) / block;
    for (std::size_t b = 0; b < full; ++b) pool[b] = sums[b] = 0.0f;
    for (std::size_t j = 0; j < block; ++j)
        for (std::size_t b = 0; b < full; ++b) {
            const float x = prof[b * block + j + 1];
            pool[b] = pool[b] + x;
            sums[b] = sums[b] + (pmt - x);
        }
    if (full < blocks) {
        float c = 0.0f;
        float i = 0.0f;
        for (std::size_t k = full * block + 1; k < n; ++k) {
            c = c + prof[k];
            i = i + (pmt - prof[k]);
        }
        pool[full] = c;
        sums[full] = i;
    }
}

}  // namespace paywheel::detail
