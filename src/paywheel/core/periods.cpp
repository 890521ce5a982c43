#include <cstdint>

#include "paywheel/core/detail.hpp"

namespace paywheel {

Series period_axis(std::int32_t pers) {
    // The period count goes through binary32 and back: above 2^24 the axis
    // follows the float's rounding, not pers itself (schedule_shape).
    Series out(schedule_shape(pers).per);
    detail::period_axis_into(out.data(), out.size());
    return out;
}

Series payment_marks(std::int32_t pers, std::int32_t freq) {
    const std::size_t len = num::column_length(pers);
    if (len == 0) return {};  // the loop never runs, so even freq 0 passes
    // Which of a loan's frequencies this is, only the caller knows.
    if (freq == 0) raise_abort(Blame{FailureCode::ZeroFrequency, Field::None}, messages::kRemainderByZero);
    Series out(len, 0.0f);
    // Stepping by |freq| instead of taking a remainder per entry.
    const std::int64_t step = detail::DuePeriods(len, freq).step;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(len); i += step)
        out[static_cast<std::size_t>(i)] = static_cast<float>(static_cast<std::int32_t>(i));
    return out;
}

std::vector<float> block_sums(const Series& column, std::int32_t freq) {
    if (column.empty()) raise_abort(detail::kNoPeriods, messages::kSliceStart);
    // Callers always run payment_marks with the same frequency first, which
    // rejects 0; a zero block size would otherwise never advance.
    if (freq == 0) raise_abort(Blame{FailureCode::ZeroFrequency, Field::None}, messages::kChunkSizeZero);
    const float* data = column.data();
    return detail::sum_blocks(column.size(), freq, [data](std::size_t k) { return data[k]; });
}

}  // namespace paywheel
