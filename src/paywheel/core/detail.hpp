// Engine internals shared between translation units: the capital and interest
// schedules take their marks and the principal profile from the caller so
// that build_schedule computes the profile once per loan.
#pragma once

#include "paywheel/core/engine.hpp"

namespace paywheel::detail {

Series capital_from(const LoanTerms& terms, Series marks, const Series& profile);
Series interest_from(const LoanTerms& terms, Series marks, const Series& profile);

}  // namespace paywheel::detail
