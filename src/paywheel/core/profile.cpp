#include <cmath>

#include "paywheel/core/engine.hpp"
#include "paywheel/core/numeric.hpp"

namespace paywheel {

Series principal_profile(const LoanTerms& terms) {
    const std::size_t count = num::column_length(terms.pers);
    if (count == 0) return {};
    const float base = 1.0f + terms.rate;
    const float g = ::powf(base, static_cast<float>(terms.pers));
    // Reciprocal and numerator are rounded separately and every power is
    // divided by their product, then scaled: folding the rate into the
    // numerator, or amt into the divisor, would round differently.
    const float factor = (1.0f / terms.rate) * (g - 1.0f);
    Series out(count);
    out[0] = 0.0f;
    for (std::size_t i = 1; i < count; ++i)
        out[i] = ::powf(base, static_cast<float>(static_cast<std::int32_t>(i)) - 1.0f);
    // Separate passes keep the powers back to back; each entry is still
    // rounded after the division and again after the product.
    for (float& v : out) v = (v / factor) * terms.amt;
    return out;
}

}  // namespace paywheel
