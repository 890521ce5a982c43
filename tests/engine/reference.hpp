// A literal reference implementation of the schedule engine, written as the
// literal step-by-step procedure, quadratic wherever that procedure is
// quadratic. It shares no code with the fast engine in src/paywheel/core:
// only the declared types (engine.hpp), the abort entry point (abort.hpp),
// the failure texts (messages.hpp)
// and the integer/conversion helpers (numeric.hpp). The differential tests
// compare the two bit for bit.
//
// One deliberate deviation from the literal procedure, applied here and
// expected from the fast engine: in the interest schedule, a payment period
// that finds pending empty writes 0.0 instead of keeping its mark.
#pragma once

#include <cstdint>
#include <vector>

#include "paywheel/core/engine.hpp"

namespace paywheel::reference {

// The power function the reference calls for every power it takes: the
// platform powf unless a test selects another (the correctly rounded one,
// to compare with an engine running in that mode).
using PowerFunction = float (*)(float, float);
extern PowerFunction reference_powf;

// Period axis, payment marks and block sums.
Series period_axis(std::int32_t pers);
Series payment_marks(std::int32_t pers, std::int32_t freq);
std::vector<float> block_sums(const Series& column, std::int32_t freq);

// Principal profile.
Series principal_profile(const LoanTerms& terms);

// Capital schedule.
Series capital_schedule(const LoanTerms& terms);

// Interest schedule.
Series interest_schedule(const LoanTerms& terms);

// The final assembly: "Pmt" and "Bal" from already computed columns, and
// the five-column Schedule. build_schedule computes "Per", "Cap" and "Int"
// and then does this; it is exposed so that a test that already holds the
// reference "Cap" and "Int" columns need not compute them twice.
Schedule assemble_schedule(const LoanTerms& terms, Series per, Series cap, Series interest);

// The full schedule.
Schedule build_schedule(const LoanTerms& terms);

}  // namespace paywheel::reference
