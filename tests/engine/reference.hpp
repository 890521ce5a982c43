// A literal reference implementation of the schedule engine (Parts 1.1 to
// 1.5 of the design document), written step by step as the document states
// them, quadratic where the document is quadratic. It shares no code with the
// fast engine in src/paywheel/core: only the declared types (engine.hpp), the
// abort entry point (abort.hpp) and the integer/conversion helpers
// (numeric.hpp). The differential tests compare the two bit for bit.
//
// One decided deviation from the document text, applied here and expected
// from the fast engine: in the interest schedule, step 8.2 (a payment period
// that finds pending empty) writes 0.0 instead of keeping its mark.
#pragma once

#include <cstdint>
#include <vector>

#include "paywheel/core/engine.hpp"

namespace paywheel::reference {

// Part 1.1
Series period_axis(std::int32_t pers);
Series payment_marks(std::int32_t pers, std::int32_t freq);
std::vector<float> block_sums(const Series& column, std::int32_t freq);

// Part 1.2
Series principal_profile(const LoanTerms& terms);

// Part 1.3
Series capital_schedule(const LoanTerms& terms);

// Part 1.4
Series interest_schedule(const LoanTerms& terms);

// Part 1.5, steps 4 to 6: "Pmt" and "Bal" from already computed columns,
// and the five-column Schedule. build_schedule is steps 1 to 3 followed by
// this; it is exposed so that a test that already holds the reference
// "Cap" and "Int" columns need not compute them twice.
Schedule assemble_schedule(const LoanTerms& terms, Series per, Series cap, Series interest);

// Part 1.5
Schedule build_schedule(const LoanTerms& terms);

}  // namespace paywheel::reference
