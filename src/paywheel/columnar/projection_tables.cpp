#include "paywheel/columnar/projection_tables.hpp"

#include <utility>

namespace paywheel::columnar {

namespace {

// `values` taken over by the table, as an Arrow column of `arrow_format`
// and a flat buffer of struct-module `format`.
template <typename T>
void add_column(TableData& t, const char* name, const char* arrow_format, const char* format,
                std::vector<T>&& values) {
    const std::int64_t len = static_cast<std::int64_t>(values.size());
    const T* d = t.adopt(std::move(values));
    t.columns.push_back(fixed_column(name, arrow_format, len, d));
    t.named.push_back(NamedBuffer{name, d, len, format, static_cast<std::int64_t>(sizeof(T))});
}

// The same for columns the caller keeps: the table takes a copy.
template <typename T>
void add_column(TableData& t, const char* name, const char* arrow_format, const char* format,
                const std::vector<T>& values) {
    add_column(t, name, arrow_format, format, std::vector<T>(values));
}

void add_measures(TableData& t, std::vector<double> (&columns)[kMeasureCount]) {
    t.rows = static_cast<std::int64_t>(columns[0].size());
    for (std::size_t k = 0; k < kMeasureCount; ++k) add_column(t, kMeasureNames[k], "g", "d", std::move(columns[k]));
}

void add_values(TableData& t, const std::vector<double> (&columns)[kValueColumnCount]) {
    for (std::size_t k = 0; k < kValueColumnCount; ++k) add_column(t, kValueColumnNames[k], "g", "d", columns[k]);
    t.rows = static_cast<std::int64_t>(columns[0].size());
}

}  // namespace

TablePtr projection_table(ProjectionTotals&& tot) {
    auto t = std::make_shared<TableData>();
    add_measures(*t, tot.columns);
    return t;
}

TablePtr loan_projection_table(LoanProjection&& res) {
    auto t = std::make_shared<TableData>();
    add_column(*t, "loan", "l", "q", std::move(res.loan));
    add_column(*t, "scenario", "i", "i", std::move(res.scenario));
    add_column(*t, "period", "i", "i", std::move(res.period));
    add_measures(*t, res.columns);
    return t;
}

TablePtr loan_values_table(const LoanValues& res) {
    auto t = std::make_shared<TableData>();
    add_column(*t, "loan", "l", "q", res.loan);
    add_column(*t, "scenario", "i", "i", res.scenario);
    add_column(*t, "price_index", "i", "i", res.price);
    add_values(*t, res.columns);
    return t;
}

TablePtr run_values_table(const RunValues& res) {
    auto t = std::make_shared<TableData>();
    add_column(*t, "run", "i", "i", res.run);
    add_column(*t, "price_index", "i", "i", res.price);
    add_column(*t, "solved", "C", "B", res.solved);
    add_values(*t, res.columns);
    return t;
}

}  // namespace paywheel::columnar
