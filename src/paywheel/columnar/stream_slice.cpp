#include "paywheel/columnar/stream_slice.hpp"

#include <algorithm>

#include "paywheel/columnar/compute.hpp"

namespace paywheel::columnar {

namespace {

ColumnView slice(ColumnView v, std::int64_t pos) noexcept {
    switch (v.kind) {
        case Kind::Absent:
        case Kind::Null: return v;
        case Kind::BoolBits: v.bit_offset += pos; break;
        case Kind::Utf8: v.data = static_cast<const char*>(v.data) + pos * 4; break;
        case Kind::LargeUtf8: v.data = static_cast<const char*>(v.data) + pos * 8; break;
        case Kind::Utf8View: v.data = static_cast<const char*>(v.data) + pos * 16; break;
        default: v.data = static_cast<const char*>(v.data) + pos * v.stride; break;
    }
    if (v.kind != Kind::BoolBits && v.validity != nullptr) v.bit_offset += pos;
    return v;
}

StepsView slice(StepsView v, std::int64_t pos) noexcept {
    if (v.kind == StepsView::Offsets::I32 || v.kind == StepsView::Offsets::I64)
        v.offsets = static_cast<const char*>(v.offsets) + pos * (v.kind == StepsView::Offsets::I64 ? 8 : 4);
    v.bit_offset += pos;  // the items keep their own indices
    return v;
}

}  // namespace

InputBatch slice_batch(const InputBatch& whole, std::int64_t pos, std::int64_t rows) noexcept {
    InputBatch out;
    out.rows = rows;
    for (int f = 0; f < kFieldCount; ++f) out.columns[f] = slice(whole.columns[f], pos);
    out.row_validity = whole.row_validity;
    out.row_bit_offset = whole.row_bit_offset + pos;
    out.shape.io_pers = slice(whole.shape.io_pers, pos);
    out.shape.amort_pers = slice(whole.shape.amort_pers, pos);
    out.shape.rate_steps = slice(whole.shape.rate_steps, pos);
    out.shape.payments_per_year = slice(whole.shape.payments_per_year, pos);
    out.age = slice(whole.age, pos);
    out.balance = slice(whole.balance, pos);
    out.strict = whole.strict;
    out.periods_per_year = whole.periods_per_year;
    out.cents = whole.cents;
    return out;
}

std::int64_t rows_for_batch(const InputBatch& whole, std::int64_t pos, const SliceLimits& limits) noexcept {
    const std::int64_t remaining = whole.rows - pos;
    const ColumnView& ids = whole.column(Field::Id);
    const bool has_ids = is_text(ids.kind);
    std::int64_t n = 0, total = 0, id_bytes = 0;
    while (n < remaining) {
        if (limits.list && n >= limits.batch_rows) break;
        std::int64_t len = 0;
        if (!limits.list) {
            Terms terms;
            DecodeFailure why;
            if (decode_row(whole, pos + n, terms, why)) len = std::max<std::int64_t>(0, row_length(terms.pers));
        }
        const std::int64_t id_len = has_ids ? static_cast<std::int64_t>(ids.text(pos + n).size()) : 0;
        if (n > 0 && (total + len > limits.batch_rows || id_bytes + id_len > limits.max_id_bytes)) break;
        total += len;
        id_bytes += id_len;
        ++n;
    }
    return n;
}

}  // namespace paywheel::columnar
