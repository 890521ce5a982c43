// The fast engine against the literal reference: the same five columns bit
// for bit, or the same abort message. Terms come straight from the input's
// bytes, so NaN, infinities, signed zeros, subnormals and every frequency
// sign are all reachable; pers is folded into a small range to keep the
// quadratic reference fast. A byte after the terms with its low bit set runs
// both in the reproducible mode (the correctly rounded power).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "paywheel/core/abort.hpp"
#include "paywheel/core/engine.hpp"
#include "paywheel/core/power.hpp"
#include "reference.hpp"

namespace {

constexpr std::int32_t kPersCap = 400;

struct Outcome {
    std::optional<paywheel::Schedule> schedule;
    std::string abort_message;
};

template <class Build>
Outcome run(Build build, const paywheel::LoanTerms& terms) {
    Outcome out;
    try {
        out.schedule = build(terms);
    } catch (const paywheel::Abort& a) {
        out.abort_message = a.message();
    }
    return out;
}

// Frequencies: mostly small, either sign; sometimes any 32-bit value.
std::int32_t frequency(std::uint32_t raw) {
    if (raw & 0x80000000u) return static_cast<std::int32_t>(raw << 1 | (raw & 1));
    return static_cast<std::int32_t>(raw % 41) - 8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint32_t words[5] = {};
    std::memcpy(words, data, size < sizeof words ? size : sizeof words);
    paywheel::LoanTerms terms;
    terms.id = "fuzz";
    std::memcpy(&terms.amt, &words[0], sizeof(float));
    std::memcpy(&terms.rate, &words[1], sizeof(float));
    terms.pers = static_cast<std::int32_t>(words[2] % (2 * kPersCap + 1)) - kPersCap;
    terms.int_freq = frequency(words[3]);
    terms.cap_freq = frequency(words[4]);
    const bool reproducible = size > sizeof words && (data[sizeof words] & 1u) != 0;
    paywheel::set_power_mode(reproducible ? paywheel::PowerMode::CorrectlyRounded : paywheel::PowerMode::Platform);
    paywheel::reference::reference_powf = reproducible ? paywheel::correctly_rounded_powf : ::powf;

    // Aborts are expected here and compared; their standard-error reports
    // would only slow the run down.
    paywheel::QuietAborts quiet;
    const Outcome fast = run([](const paywheel::LoanTerms& t) { return paywheel::build_schedule(t); }, terms);
    const Outcome literal = run([](const paywheel::LoanTerms& t) { return paywheel::reference::build_schedule(t); }, terms);

    if (fast.schedule.has_value() != literal.schedule.has_value()) std::abort();
    if (!fast.schedule) {
        if (fast.abort_message != literal.abort_message) std::abort();
        return 0;
    }
    for (const auto& column : *literal.schedule) {
        const paywheel::Series* mine = fast.schedule->find(column.name);
        if (mine == nullptr || mine->size() != column.values.size()) std::abort();
        if (std::memcmp(mine->data(), column.values.data(), mine->size() * sizeof(float)) != 0) std::abort();
    }
    return 0;
}
