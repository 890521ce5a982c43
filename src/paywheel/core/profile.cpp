#include <cmath>
#include <memory>
#include <vector>

#include "paywheel/core/detail.hpp"
#include "paywheel/core/power.hpp"

namespace paywheel::detail {

namespace {

// With Fold, the loop also runs the two running sums of the capital column
// an every-period loan gets in the ordinary case (each period repays its own
// profile entry, +0.0 added): its left-to-right total and the balance. Both
// are dependency chains of one addition per period; here they hide behind
// the powers instead of costing a pass of their own.
template <bool Fold>
Running profile(const LoanTerms& terms, float* out, float* bal, std::size_t count, PowFn pow) {
    const float base = 1.0f + terms.rate;
    const float factor = profile_factor(terms, pow);
    const float amt = terms.amt;
    out[0] = (0.0f / factor) * amt;
    float total = 0.0f + 0.0f;
    float b = amt;
    if constexpr (Fold) bal[0] = b;
    // Powers in short runs, each run then scaled (and folded) with no call
    // in the way: the running sums stay in registers, and the out-of-order
    // core overlaps a run's dependent additions with the next run's powers.
    constexpr std::size_t kRun = kPowerRun;
    const bool ahead = powers_ahead(pow, base, count, out);
    for (std::size_t from = 1; from < count; from += kRun) {
        const std::size_t to = count - from > kRun ? from + kRun : count;
        if (!ahead) powers_into(pow, base, from, to, out);
        for (std::size_t i = from; i < to; ++i) {
            const float v = (out[i] / factor) * amt;
            out[i] = v;
            if constexpr (Fold) {
                const float c = 0.0f + v;
                total = total + c;
                b = balance_after_sum(b, c);
                bal[i] = b;
            }
        }
    }
    return Running{total, b};
}

// Per-thread reusable storage; see Scratch.
struct ScratchPool {
    std::vector<float> buffer;
    bool busy = false;
};
thread_local ScratchPool t_scratch;

// Buffers above this many floats go back to the allocator after the loan.
constexpr std::size_t kKeptScratch = std::size_t{1} << 16;

}  // namespace

PowFn power_function() noexcept {
    return power_mode() == PowerMode::CorrectlyRounded ? &correctly_rounded_powf : &::powf;
}

Scratch::Scratch(std::size_t floats) : data_(nullptr), nested_(t_scratch.busy) {
    if (nested_) {
        data_ = new float[floats == 0 ? 1 : floats];
        return;
    }
    if (t_scratch.buffer.size() < floats) t_scratch.buffer.resize(floats);
    t_scratch.busy = true;
    data_ = t_scratch.buffer.data();
}

Scratch::~Scratch() {
    if (nested_) {
        delete[] data_;
        return;
    }
    t_scratch.busy = false;
    if (t_scratch.buffer.size() > kKeptScratch) std::vector<float>().swap(t_scratch.buffer);
}

void profile_into(const LoanTerms& terms, float* prof, std::size_t n, PowFn pow) {
    if (n != 0) (void)profile<false>(terms, prof, nullptr, n, pow);
}

Running profile_folded_into(const LoanTerms& terms, float* prof, float* bal, std::size_t n, PowFn pow) {
    if (n == 0) return Running{0.0f, terms.amt};
    return profile<true>(terms, prof, bal, n, pow);
}

}  // namespace paywheel::detail

namespace paywheel {

Series principal_profile(const LoanTerms& terms) {
    Series out(num::column_length(terms.pers));
    detail::profile_into(terms, out.data(), out.size(), detail::power_function());
    return out;
}

}  // namespace paywheel
