// A projection's intake of rows: each row decoded and checked (its age,
// current balance and fee) with the refusal it earns, and the engine run on
// it with failures as data.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "paywheel/columnar/projection.hpp"
#include "paywheel/columnar/schedule_scratch.hpp"
#include "paywheel/core/failure_code.hpp"

namespace paywheel::columnar::proj {

// A loan's servicing fee over the rate in force, by entry of its schedule:
// servicing is a strip of the balance the interest is charged on, so each
// period's is its interest times fee / the rate in force then. `first` up
// to the entry of the first step, each step's from its entry on.
struct FeeRatio {
    double first = 0.0;
    std::vector<std::pair<std::int64_t, double>> steps;  // (entry, ratio), in entry order
    bool none() const noexcept { return first == 0.0 && steps.empty(); }
    double at(std::int64_t entry) const noexcept {
        double r = first;
        for (const auto& s : steps) {
            if (entry < s.first) break;
            r = s.second;
        }
        return r;
    }
};

// What a row brings besides its engine terms: its servicing fee, and whether
// its schedule starts at its current balance (entry 0 is then period 0)
// rather than at origination (entry `age` is period 0).
struct Standing {
    FeeRatio fee;
    bool rebased = false;
};

// The engine on one loan of the row r of `batch` into `schedule` (its five
// columns of `len` entries), failures as data: the code and field by the
// loan's shape, the value quoted as read. Sets `oom` when memory ran out.
// In cent mode the cent engine fills the float64 columns.
bool run_engine(const InputBatch& batch, std::int64_t r, const Terms& terms, ScheduleScratch& schedule,
                std::size_t& len, RowFailure& failure, std::atomic<bool>& oom, ShapeScratch& shapes);

// Fills `failure` with a refusal that quotes `value` and carries the row's
// terms; returns false.
bool refuse_row(RowFailure& failure, FailureCode code, Field field, const char* reason, double value,
                const Terms& terms);

// The current balance and the fee of row g, checked; a row with a balance
// gets the terms of its remaining schedule.
// In cent mode (InputBatch::cents) the balance is read to its nearest cent
// and the fee compared with the float64 rates.
bool read_standing(const InputBatch& batch, std::int64_t r, const ProjectionInput& in, std::int64_t g,
                   std::int64_t age, Terms& terms, Standing& st, RowFailure& failure);

// Decodes row r (row g of the book) and checks its age, balance and fee; on
// false `failure` says why. ages[g] == kNotAnAge: a value that is not an
// integer at all, which the caller quotes.
bool decode_with_age(const InputBatch& batch, std::int64_t r, std::int64_t g, const ProjectionInput& in, Terms& terms,
                     std::int64_t& age, Standing& st, RowFailure& failure);

// The entry of a row's schedule that is its period 0.
inline std::int64_t start_of(std::int64_t age, const Standing& st) noexcept { return st.rebased ? 0 : age; }

// A rebased loan's amount is its balance: the engine's refusal of that
// amount blames the balance.
void blame_rebased(RowFailure& failure, const Standing& st, const ProjectionInput& in, std::int64_t g);

}  // namespace paywheel::columnar::proj
