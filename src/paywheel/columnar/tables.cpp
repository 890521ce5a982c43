#include "paywheel/columnar/tables.hpp"

#include <cstring>
#include <memory>

namespace paywheel::columnar {

std::vector<FailureRow> with_ids(std::vector<RowFailure>& failures, const std::vector<InputBatch>& batches,
                                 bool has_id, std::int64_t row_base) {
    std::vector<FailureRow> rows;
    rows.reserve(failures.size());
    for (RowFailure& f : failures) {
        FailureRow row;
        row.has_id = has_id;
        if (has_id) {
            std::int64_t r = f.index - row_base;
            for (const InputBatch& b : batches) {
                if (r < b.rows) {
                    const ColumnView& ids = b.column(Field::Id);
                    if (ids.is_null(r) || b.row_is_null(r))
                        row.has_id = false;
                    else
                        row.id = std::string(ids.text(r));
                    break;
                }
                r -= b.rows;
            }
        }
        row.failure = std::move(f);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string_view> ids_of(const std::vector<InputBatch>& batches, bool has_id) {
    std::vector<std::string_view> ids;
    if (!has_id) return ids;
    std::size_t n = 0;
    for (const InputBatch& b : batches) n += static_cast<std::size_t>(b.rows);
    ids.reserve(n);
    for (const InputBatch& b : batches)
        for (std::int64_t r = 0; r < b.rows; ++r) ids.push_back(b.column(Field::Id).text(r));
    return ids;
}

namespace {

// A column without data. Built from std::string values: assigning short
// literals to the members trips a false -Wrestrict in g++ 12.
ArrowColumn shape_column(std::string format, std::string name) {
    ArrowColumn c;
    c.format = std::move(format);
    c.name = std::move(name);
    return c;
}

}  // namespace

std::vector<ArrowColumn> schedule_columns_shape(bool list, bool has_id, bool large_lists, bool cents, bool calendar) {
    const std::string value_format = cents ? "g" : "f";
    std::vector<ArrowColumn> cols;
    ArrowColumn loan = shape_column(std::string(list && has_id ? "u" : "i"), std::string("loan"));
    if (!list && has_id) loan.dictionary = std::make_shared<ArrowColumn>(shape_column(std::string("u"), std::string()));
    cols.push_back(std::move(loan));
    for (const char* name : kColumnNames) {
        if (list) {
            ArrowColumn c = shape_column(std::string(large_lists ? "+L" : "+l"), std::string(name));
            c.children.push_back(shape_column(value_format, std::string("item")));
            cols.push_back(std::move(c));
        } else {
            cols.push_back(shape_column(value_format, std::string(name)));
        }
    }
    if (calendar && list) {
        ArrowColumn c = shape_column(std::string(large_lists ? "+L" : "+l"), std::string("period"));
        c.children.push_back(shape_column(std::string("i"), std::string("item")));
        cols.push_back(std::move(c));
    } else if (calendar) {
        cols.push_back(shape_column(std::string("i"), std::string("period")));
    }
    return cols;
}

namespace {

// The distinct ids in order of first appearance, and per row the index of
// its id among them; `same` when every id is distinct (then the index is the
// row and no mapping is needed).
struct DistinctIds {
    std::vector<std::string_view> values;
    std::vector<std::int32_t> index_of_row;
    bool same = true;
};

// 64-bit FNV-1a: ids are short, and this is one multiply a byte.
std::uint64_t hash_of(std::string_view s) noexcept {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h ^ (h >> 29);
}

// One open-addressed table of row numbers over the ids (no allocation per
// id, which a node-based map spends most of its time on): measured against
// the call's whole fill, a node map doubled a million-loan long-layout call
// with ids; this adds a small share.
DistinctIds distinct(const std::vector<std::string_view>& ids) {
    DistinctIds d;
    std::size_t slots = 16;
    while (slots < 2 * ids.size()) slots *= 2;
    std::vector<std::int32_t> table(slots, -1);  // index into d.values
    d.index_of_row.reserve(ids.size());
    for (std::string_view id : ids) {
        std::size_t at = static_cast<std::size_t>(hash_of(id)) & (slots - 1);
        for (;;) {
            const std::int32_t v = table[at];
            if (v < 0) {
                table[at] = static_cast<std::int32_t>(d.values.size());
                d.index_of_row.push_back(table[at]);
                d.values.push_back(id);
                break;
            }
            if (d.values[static_cast<std::size_t>(v)] == id) {
                d.index_of_row.push_back(v);
                break;
            }
            at = (at + 1) & (slots - 1);
        }
    }
    d.same = d.values.size() == ids.size();
    if (d.same) d.index_of_row.clear();
    return d;
}

}  // namespace

TablePtr schedule_table(ScheduleResult& res, const std::vector<std::string_view>& ids, const TableShape& shape) {
    auto t = std::make_shared<TableData>();
    // float32 columns, or float64 ones in cent mode.
    void* cols[kColumns];
    for (std::size_t k = 0; k < kColumns; ++k) cols[k] = t->keep<void>(std::move(res.columns[k]));
    const char* format = res.cents ? "g" : "f";
    const char* named_format = res.cents ? "d" : "f";
    const int width = res.cents ? 8 : 4;
    std::int64_t* offsets64 = t->keep<std::int64_t>(std::move(res.offsets));
    // A book with loans in their own periods: each row's calendar period.
    const std::int32_t* calendar =
        res.calendar.data() != nullptr ? t->keep<std::int32_t>(std::move(res.calendar)) : nullptr;
    const std::int64_t rows = res.rows;
    const std::int64_t values = res.values;
    const TextWidth id_width = shape.stream ? TextWidth::Utf8 : TextWidth::Auto;

    if (!shape.list) {
        std::int32_t* loan = t->keep<std::int32_t>(std::move(res.loan));
        const std::int32_t* keys = loan;
        ArrowColumn dictionary;
        if (shape.has_id) {
            DistinctIds d = distinct(ids);
            if (!d.same) {
                // The Arrow column points into the distinct ids; the flat
                // buffer keeps the rows.
                std::int32_t* mapped =
                    t->keep<std::int32_t>(Region::allocate_for_overwrite(static_cast<std::size_t>(values) * 4));
                for (std::int64_t i = 0; i < values; ++i) mapped[i] = d.index_of_row[static_cast<std::size_t>(loan[i])];
                keys = mapped;
            }
            dictionary = text_column(*t, "", d.values, {}, id_width);
        }
        ArrowColumn lc = fixed_column("loan", "i", values, keys);
        if (shape.has_id) lc.dictionary = std::make_shared<ArrowColumn>(std::move(dictionary));
        t->columns.push_back(std::move(lc));
        for (std::size_t k = 0; k < kColumns; ++k) t->columns.push_back(fixed_column(kColumnNames[k], format, values, cols[k]));
        if (calendar != nullptr) t->columns.push_back(fixed_column("period", "i", values, calendar));
        t->rows = values;
        t->named.push_back(NamedBuffer{"loan", loan, values, "i", 4});
        t->named.push_back(NamedBuffer{"offsets", offsets64, rows + 1, "q", 8});
    } else {
        const void* validity = res.validity.data() != nullptr ? t->keep<void>(std::move(res.validity)) : nullptr;
        if (shape.has_id) {
            t->columns.push_back(text_column(*t, "loan", ids, {}, id_width));
        } else {
            std::int32_t* idx = t->keep<std::int32_t>(Region::allocate(static_cast<std::size_t>(rows) * 4));
            for (std::int64_t i = 0; i < rows; ++i) idx[i] = static_cast<std::int32_t>(i);
            t->columns.push_back(fixed_column("loan", "i", rows, idx));
            t->named.push_back(NamedBuffer{"loan", idx, rows, "i", 4});
        }
        const bool large = shape.stream || values > INT32_MAX;
        const void* offsets = offsets64;
        if (!large) {
            std::int32_t* o32 = t->keep<std::int32_t>(Region::allocate(static_cast<std::size_t>(rows + 1) * 4));
            for (std::int64_t i = 0; i <= rows; ++i) o32[i] = static_cast<std::int32_t>(offsets64[i]);
            offsets = o32;
            t->named.push_back(NamedBuffer{"offsets", o32, rows + 1, "i", 4});
        } else {
            t->named.push_back(NamedBuffer{"offsets", offsets64, rows + 1, "q", 8});
        }
        for (std::size_t k = 0; k < kColumns; ++k) {
            ArrowColumn c = shape_column(std::string(large ? "+L" : "+l"), std::string(kColumnNames[k]));
            c.length = rows;
            c.null_count = res.null_count;
            c.buffers = {validity, offsets};
            c.children.push_back(fixed_column("item", format, values, cols[k]));
            t->columns.push_back(std::move(c));
        }
        if (calendar != nullptr) {
            ArrowColumn c = shape_column(std::string(large ? "+L" : "+l"), "period");
            c.length = rows;
            c.null_count = res.null_count;
            c.buffers = {validity, offsets};
            c.children.push_back(fixed_column("item", "i", values, calendar));
            t->columns.push_back(std::move(c));
        }
        t->rows = rows;
    }
    for (std::size_t k = 0; k < kColumns; ++k) t->named.push_back(NamedBuffer{kColumnNames[k], cols[k], values, named_format, width});
    return t;
}

TablePtr cashflow_table(const CashflowTotals& tot) {
    auto t = std::make_shared<TableData>();
    const std::size_t n = tot.cap.size();
    std::int32_t* period = t->keep<std::int32_t>(Region::allocate(n * 4));
    for (std::size_t i = 0; i < n; ++i) period[i] = static_cast<std::int32_t>(i);
    const std::int64_t len = static_cast<std::int64_t>(n);
    t->columns.push_back(fixed_column("period", "i", len, period));
    t->named.push_back(NamedBuffer{"period", period, len, "i", 4});
    const std::vector<double>* sums[4] = {&tot.cap, &tot.interest, &tot.pmt, &tot.bal};
    const char* names[4] = {"Cap", "Int", "Pmt", "Bal"};
    for (int k = 0; k < 4; ++k) {
        double* d = t->keep<double>(Region::allocate(n * 8));
        if (n != 0) std::memcpy(d, sums[k]->data(), n * 8);
        t->columns.push_back(fixed_column(names[k], "g", len, d));
        t->named.push_back(NamedBuffer{names[k], d, len, "d", 8});
    }
    std::int64_t* loans = t->keep<std::int64_t>(Region::allocate(n * 8));
    if (n != 0) std::memcpy(loans, tot.loans.data(), n * 8);
    t->columns.push_back(fixed_column("loans", "l", len, loans));
    t->named.push_back(NamedBuffer{"loans", loans, len, "q", 8});
    t->rows = len;
    return t;
}

TablePtr errors_table(const std::vector<FailureRow>& rows) {
    auto t = std::make_shared<TableData>();
    const std::size_t n = rows.size();
    std::int64_t* index = t->keep<std::int64_t>(Region::allocate(n * 8));
    std::vector<std::string_view> ids, codes, fields, reasons;
    std::vector<bool> id_present, field_present;
    for (std::size_t i = 0; i < n; ++i) {
        const RowFailure& f = rows[i].failure;
        index[i] = f.index;
        ids.push_back(rows[i].id);
        id_present.push_back(rows[i].has_id);
        codes.push_back(name_of(f.code));
        const char* field = name_of(f.field);
        fields.push_back(field != nullptr ? std::string_view(field) : std::string_view());
        field_present.push_back(field != nullptr);
        reasons.push_back(f.reason);
    }
    const auto len = static_cast<std::int64_t>(n);
    t->columns.push_back(fixed_column("index", "l", len, index));
    t->columns.push_back(text_column(*t, "id", ids, id_present, TextWidth::Utf8));
    t->columns.push_back(text_column(*t, "code", codes, {}, TextWidth::Utf8));
    t->columns.push_back(text_column(*t, "field", fields, field_present, TextWidth::Utf8));
    t->columns.push_back(text_column(*t, "reason", reasons, {}, TextWidth::Utf8));
    t->rows = len;
    t->named.push_back(NamedBuffer{"index", index, len, "q", 8});
    return t;
}

}  // namespace paywheel::columnar
