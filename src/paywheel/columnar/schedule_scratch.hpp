// One loan's engine columns as a projection or a value reads them: binary32,
// or float64 in cent mode (InputBatch::cents), five columns of `len`
// entries one after another.
#pragma once

#include <cstddef>
#include <vector>

namespace paywheel::columnar::proj {

// Exactly one of the two is set.
struct ScheduleView {
    const float* f32 = nullptr;
    const double* f64 = nullptr;
    double at(std::size_t i) const noexcept { return f64 != nullptr ? f64[i] : static_cast<double>(f32[i]); }
};

// A worker's storage for the schedule of the loan at hand.
struct ScheduleScratch {
    std::vector<float> f32;
    std::vector<double> f64;
    bool cents = false;  // which one the last fill wrote
    ScheduleView data() const noexcept {
        return cents ? ScheduleView{nullptr, f64.data()} : ScheduleView{f32.data(), nullptr};
    }
};

}  // namespace paywheel::columnar::proj
