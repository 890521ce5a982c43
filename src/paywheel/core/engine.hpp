// The schedule engine: pure single-precision computation of one loan's
// repayment table. It knows nothing of Python; every failure is an Abort
// (abort.hpp) and every allocation failure is std::bad_alloc.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace paywheel {

using Series = std::vector<float>;

struct LoanTerms {
    std::string id;
    float amt = 0.0f;
    float rate = 0.0f;
    std::int32_t pers = 0;
    std::int32_t int_freq = 0;
    std::int32_t cap_freq = 0;
};

// Five named columns. Iteration order is fixed ("Per", "Cap", "Int", "Pmt",
// "Bal") only because that is deterministic and free; it is not part of the
// contract and callers look columns up by name.
class Schedule {
public:
    struct Column {
        std::string_view name;
        Series values;
    };
    static constexpr std::array<std::string_view, 5> kNames = {"Per", "Cap", "Int", "Pmt", "Bal"};

    Schedule() {
        for (std::size_t i = 0; i < kNames.size(); ++i) columns_[i].name = kNames[i];
    }

    // The columns by position, so that a lookup the code makes is checked
    // when it is compiled rather than when it runs.
    enum Index : std::size_t { kPer, kCap, kInt, kPmt, kBal };
    Series& operator[](Index i) noexcept { return columns_[i].values; }
    const Series& operator[](Index i) const noexcept { return columns_[i].values; }

    // nullptr when no column has that name.
    const Series* find(std::string_view name) const noexcept {
        for (const Column& c : columns_)
            if (c.name == name) return &c.values;
        return nullptr;
    }
    Series* find(std::string_view name) noexcept {
        return const_cast<Series*>(static_cast<const Schedule*>(this)->find(name));
    }

    auto begin() noexcept { return columns_.begin(); }
    auto end() noexcept { return columns_.end(); }
    auto begin() const noexcept { return columns_.begin(); }
    auto end() const noexcept { return columns_.end(); }
    static constexpr std::size_t size() noexcept { return kNames.size(); }

private:
    std::array<Column, 5> columns_;
};

// Entries of each column of one loan: "Per" has `per`, the other four have
// `rest` (pers + 1). They differ only past 2^24 periods, where the period
// count goes through binary32 on its way to the axis.
struct ScheduleShape {
    std::size_t per;
    std::size_t rest;
};
ScheduleShape schedule_shape(std::int32_t pers) noexcept;

// Storage that the caller owns for one loan's five columns: "Per" has room
// for per_room entries, the other four for room entries each. The engine
// writes every entry of the loan's shape (schedule_shape) and allocates no
// column of its own; a shape longer than the room aborts before anything is
// written (messages::kStorageTooShort), so the engine never writes past the
// storage whatever terms it is given. On an abort the contents are
// unspecified.
struct ScheduleOut {
    float* per;
    float* cap;
    float* interest;
    float* pmt;
    float* bal;
    std::size_t per_room;
    std::size_t room;
};

// The engine's one entry point: fills the five columns of `terms` into out,
// or aborts (abort.hpp) with the first failure in column order.
void fill_schedule(const LoanTerms& terms, const ScheduleOut& out);

// Rows 0..rows of fill_schedule(terms, ...) into out, without the periods
// after them, for a head shorter than the loan (rows < pers): true once the
// rows are proved to be those the whole schedule gives (an ordinary loan
// whose head ends on a date of both schedules; see schedule_head.cpp).
// false when that cannot be shown, out's contents then unspecified. Never
// aborts; may throw std::bad_alloc.
bool fill_schedule_head(const LoanTerms& terms, std::size_t rows, const ScheduleOut& out);

Series period_axis(std::int32_t pers);
Series payment_marks(std::int32_t pers, std::int32_t freq);
std::vector<float> block_sums(const Series& column, std::int32_t freq);
Series principal_profile(const LoanTerms& terms);
Series capital_schedule(const LoanTerms& terms);
Series interest_schedule(const LoanTerms& terms);
// fill_schedule into freshly allocated columns.
Schedule build_schedule(const LoanTerms& terms);

}  // namespace paywheel
