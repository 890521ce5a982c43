// Every kind of row failure the system reports, as one enum. A failure
// travels as a code, the field it blames and the row, all set where it is
// raised (an engine abort carries them, abort.hpp); its text comes from
// messages.hpp, and the Python layer reads the code's name, never the text.
// Plain enums only: including this needs nothing else.
#pragma once

#include <cstdint>

namespace paywheel {

struct LoanTerms;

enum class FailureCode : std::uint8_t {
    // Decoding a row.
    ParseFloat,      // a text amount or rate that is not a number
    ParseInt,        // a text integer field that is not an integer
    IntOutOfRange,   // an integer outside the signed 32-bit range
    Null,            // a missing value (a null field, or a null row)
    // The engine refusing a loan, by its shape.
    SingleCapitalBlock,
    ZeroRate,
    VanishingRate,
    DecreasingBlocks,
    NonFinite,
    ZeroFrequency,
    NoPeriods,
    GrowthOverflow,
    TooLarge,        // a loan too long for the layout asked for
    // Loan tapes and projections.
    BadFrequency,      // a frequency word whose payments a year do not divide the periods of a year
    BadRate,
    BadAge,
    UnknownFrequency,  // a frequency text that is neither a whole number nor a frequency word
    BadDate,           // a date text in none of the forms a tape's dates are read in
    // Loan shapes.
    BadShape,        // interest-only periods, amortization term or rate steps breaking a rule
    NanSchedule,     // a schedule that would hold NaN
    // The book as it stands, and its value.
    BadBalance,      // a current balance that is not positive and finite
    BadFee,          // a servicing fee that is negative or above the rate
    NoYield,         // no yield (or spread) gives the price asked for
    // Records of a loan-level history file.
    BadFieldCount,   // a record with more or fewer fields than its layout has
    UnknownCode,     // a code field (delinquency, zero balance) holding no code of its layout
    NoOrigination,   // a performance record whose loan has no origination record
    // Cent mode.
    UnequalFrequencies,  // int_freq and cap_freq differ: no payment period of its own
};

inline constexpr int kFailureCodeCount = 27;

// The names callers read, in enum order.
inline constexpr const char* kFailureCodeNames[kFailureCodeCount] = {
    "parse_float",    "parse_int",    "int_out_of_range", "null",          "single_capital_block", "zero_rate",
    "vanishing_rate", "decreasing_blocks", "non_finite",  "zero_frequency", "no_periods",          "growth_overflow",
    "too_large",      "bad_frequency", "bad_rate",        "bad_age",       "unknown_frequency",    "bad_date",
    "bad_shape",      "nan_schedule",
    "bad_balance",    "bad_fee",      "no_yield",
    "bad_field_count", "unknown_code", "no_origination",
    "unequal_frequencies",
};

inline const char* name_of(FailureCode c) noexcept { return kFailureCodeNames[static_cast<int>(c)]; }

// The field of a loan a failure blames. None: no single field is to blame
// (a null row, say).
enum class Field : std::int8_t { None = -1, Id = 0, Amt, Rate, Pers, IntFreq, CapFreq, Age, IoPers, AmortPers, RateSteps,
                                 Balance, Fee, PaymentsPerYear };

inline constexpr int kLoanFieldCount = 6;  // id .. cap_freq: the fields of a loan row
inline constexpr const char* kFieldNames[] = {"id",       "amt",     "rate",       "pers",       "int_freq", "cap_freq",
                                              "age",      "io_pers", "amort_pers", "rate_steps", "balance",  "fee",
                                              "payments_per_year"};

// nullptr for Field::None.
inline const char* name_of(Field f) noexcept {
    return f == Field::None ? nullptr : kFieldNames[static_cast<int>(f)];
}

struct Blame {
    FailureCode code;
    Field field;
};

// The field behind a schedule that came out holding NaN: a non-finite
// amount, or else the rate (zero, or too small to compound).
Field blame_nan(const LoanTerms& terms) noexcept;

}  // namespace paywheel
