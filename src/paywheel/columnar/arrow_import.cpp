#include "paywheel/columnar/arrow_import.hpp"

#include <cstring>
#include <string_view>

#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"

namespace paywheel::columnar {

namespace {

namespace m = paywheel::messages;

const char* name(Field f) { return kFieldNames[static_cast<int>(f)]; }

bool problem(ImportProblem& why, CallFailure kind, std::string message) {
    why.kind = kind;
    why.message = std::move(message);
    return false;
}

Kind kind_of_arrow(const char* fmt) {
    const std::string_view s(fmt);
    if (s == "g") return Kind::F64;
    if (s == "f") return Kind::F32;
    if (s == "c") return Kind::I8;
    if (s == "s") return Kind::I16;
    if (s == "i") return Kind::I32;
    if (s == "l") return Kind::I64;
    if (s == "C") return Kind::U8;
    if (s == "S") return Kind::U16;
    if (s == "I") return Kind::U32;
    if (s == "L") return Kind::U64;
    if (s == "b") return Kind::BoolBits;
    if (s == "u") return Kind::Utf8;
    if (s == "U") return Kind::LargeUtf8;
    if (s == "vu") return Kind::Utf8View;
    if (s == "n") return Kind::Null;
    return Kind::Absent;
}

std::int64_t item_size(Kind k) {
    switch (k) {
        case Kind::F64:
        case Kind::I64:
        case Kind::U64: return 8;
        case Kind::F32:
        case Kind::I32:
        case Kind::U32: return 4;
        case Kind::I16:
        case Kind::U16: return 2;
        case Kind::I8:
        case Kind::U8:
        case Kind::BoolBytes: return 1;
        default: return 0;
    }
}

// Buffers an array of the kind must have: validity, then the values.
std::int64_t buffers_needed(Kind k) {
    switch (k) {
        case Kind::Null: return 0;
        case Kind::Utf8:
        case Kind::LargeUtf8: return 3;
        case Kind::Utf8View: return 3;  // views, then at least the sizes of the variadic buffers
        default: return 2;
    }
}

template <typename Offset>
bool offsets_rise(const void* data, std::int64_t first, std::int64_t count) {
    Offset prev;
    std::memcpy(&prev, static_cast<const char*>(data) + first * static_cast<std::int64_t>(sizeof(Offset)), sizeof prev);
    if (prev < 0) return false;
    for (std::int64_t i = 1; i <= count; ++i) {
        Offset cur;
        std::memcpy(&cur, static_cast<const char*>(data) + (first + i) * static_cast<std::int64_t>(sizeof(Offset)),
                    sizeof cur);
        if (cur < prev) return false;
        prev = cur;
    }
    return true;
}

bool views_in_range(const void* data, std::int64_t first, std::int64_t count, std::int64_t n_variadic) {
    for (std::int64_t i = 0; i < count; ++i) {
        const char* v = static_cast<const char*>(data) + (first + i) * 16;
        std::int32_t len;
        std::memcpy(&len, v, 4);
        if (len < 0) return false;
        if (len <= 12) continue;
        std::int32_t buf, off;
        std::memcpy(&buf, v + 8, 4);
        std::memcpy(&off, v + 12, 4);
        if (buf < 0 || buf >= n_variadic || off < 0) return false;
    }
    return true;
}

}  // namespace

bool check_kind(Field f, Kind k, const std::string& found, ImportProblem& why) {
    if (k == Kind::Null) return true;  // every value null: each row's null failure
    if (f == Field::Id) {
        if (!is_text(k)) return problem(why, CallFailure::BadType, m::text(m::kMustHoldStrings, name(f), found.c_str()));
        return true;
    }
    if (is_number_field(f)) {
        if (!is_float(k) && !is_integral(k) && !is_text(k))
            return problem(why, CallFailure::BadType, m::text(m::kMustHoldNumbers, name(f), found.c_str()));
        return true;
    }
    if (is_float(k) && is_optional_whole(f)) return true;  // whole values, or NaN for a null, row by row
    if (is_float(k))
        return problem(why, CallFailure::BadType, m::text(m::kMustHoldIntegersNotFloat, name(f), found.c_str()));
    if (!is_integral(k) && !is_text(k))
        return problem(why, CallFailure::BadType, m::text(m::kMustHoldIntegers, name(f), found.c_str()));
    return true;
}

namespace {

constexpr Field kShapeFields[3] = {Field::IoPers, Field::AmortPers, Field::PaymentsPerYear};

// The rate_steps column's type: a list or large list of structs with an
// integer per and a numeric rate (or the null type: no steps anywhere).
bool steps_layout(const ArrowSchema& c, ArrowLayout& layout, ImportProblem& why) {
    const std::string_view fmt(c.format);
    const auto refused = [&] { return problem(why, CallFailure::BadType, m::text(m::kStepsType, c.format)); };
    if (fmt == "n") {
        layout.steps_null = true;
        return true;
    }
    if (fmt != "+l" && fmt != "+L") return refused();
    if (c.n_children != 1 || c.children == nullptr || c.children[0] == nullptr || c.children[0]->format == nullptr)
        return refused();
    const ArrowSchema& item = *c.children[0];
    if (std::string_view(item.format) != "+s" || item.n_children < 0 || (item.n_children > 0 && item.children == nullptr))
        return refused();
    layout.steps_large = fmt == "+L";
    for (std::int64_t i = 0; i < item.n_children; ++i) {
        const ArrowSchema* f = item.children[i];
        if (f == nullptr || f->name == nullptr || f->format == nullptr) continue;
        const std::string_view name(f->name);
        const bool is_per = name == "per";
        if (!is_per && name != "rate") continue;
        if ((is_per ? layout.steps_per : layout.steps_rate) >= 0)
            return problem(why, CallFailure::BadInput, m::text(m::kDuplicateColumn, is_per ? "rate_steps.per" : "rate_steps.rate"));
        const Kind k = kind_of_arrow(f->format);
        const bool ok = f->dictionary == nullptr &&
                        (k == Kind::Null || is_integral(k) || (!is_per && is_float(k)));
        if (!ok) return refused();
        (is_per ? layout.steps_per : layout.steps_rate) = static_cast<int>(i);
        (is_per ? layout.per_kind : layout.rate_kind) = k;
    }
    if (layout.steps_per < 0) return problem(why, CallFailure::BadType, m::text(m::kStepsFields, "per"));
    if (layout.steps_rate < 0) return problem(why, CallFailure::BadType, m::text(m::kStepsFields, "rate"));
    return true;
}

// The shape columns among a struct's children (child i, named `name`).
bool shape_layout(const ArrowSchema& c, int i, ArrowLayout& layout, ImportProblem& why) {
    for (int s = 0; s < 3; ++s) {
        const Field field = kShapeFields[s];
        if (std::strcmp(c.name, name(field)) != 0) continue;
        if (layout.shape_child[s] >= 0)
            return problem(why, CallFailure::BadInput, m::text(m::kDuplicateColumn, name(field)));
        if (c.dictionary != nullptr) return problem(why, CallFailure::BadType, m::text(m::kDictionaryColumn, name(field)));
        const Kind k = kind_of_arrow(c.format);
        if (k == Kind::Absent) return problem(why, CallFailure::BadType, m::text(m::kArrowTypeRefused, name(field), c.format));
        if (!check_kind(field, k, m::text(m::kArrowTypeFound, c.format), why)) return false;
        layout.shape_child[s] = i;
        layout.shape_kind[s] = k;
    }
    if (std::strcmp(c.name, name(Field::RateSteps)) == 0) {
        if (layout.steps_child >= 0)
            return problem(why, CallFailure::BadInput, m::text(m::kDuplicateColumn, name(Field::RateSteps)));
        if (!steps_layout(c, layout, why)) return false;
        layout.steps_child = i;
    }
    return true;
}

}  // namespace

bool layout_from_schema(const ArrowSchema& schema, ArrowLayout& layout, ImportProblem& why) {
    if (schema.format == nullptr || std::string_view(schema.format) != "+s")
        return problem(why, CallFailure::BadType, m::text(m::kNotAStruct, schema.format ? schema.format : ""));
    layout = ArrowLayout();
    for (int f = 0; f < kFieldCount; ++f) {
        layout.child[f] = -1;
        layout.kind[f] = Kind::Absent;
    }
    if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr))
        return problem(why, CallFailure::BadInput, m::kSchemaMalformed);
    for (std::int64_t i = 0; i < schema.n_children; ++i) {
        const ArrowSchema* c = schema.children[i];
        if (c == nullptr || c->name == nullptr || c->format == nullptr) continue;
        if (!shape_layout(*c, static_cast<int>(i), layout, why)) return false;
        // Lenient: a column of another type is left to the caller's own reading.
        const Kind k = c->dictionary == nullptr ? kind_of_arrow(c->format) : Kind::Absent;
        if (std::strcmp(c->name, name(Field::Age)) == 0 && layout.age_child < 0 &&
            (is_integral(k) || is_float(k) || is_text(k))) {
            layout.age_child = static_cast<int>(i);
            layout.age_kind = k;
        }
        if (std::strcmp(c->name, name(Field::Balance)) == 0 && layout.balance_child < 0 &&
            (is_float(k) || is_integral(k) || is_text(k))) {
            layout.balance_child = static_cast<int>(i);
            layout.balance_kind = k;
        }
        for (int f = 0; f < kFieldCount; ++f) {
            if (std::strcmp(c->name, kFieldNames[f]) != 0) continue;
            const Field field = static_cast<Field>(f);
            // A second column of the name would otherwise win silently.
            if (layout.child[f] >= 0) return problem(why, CallFailure::BadInput, m::text(m::kDuplicateColumn, name(field)));
            if (c->dictionary != nullptr)
                return problem(why, CallFailure::BadType, m::text(m::kDictionaryColumn, name(field)));
            const Kind k = kind_of_arrow(c->format);
            if (k == Kind::Absent)
                return problem(why, CallFailure::BadType, m::text(m::kArrowTypeRefused, name(field), c->format));
            if (!check_kind(field, k, m::text(m::kArrowTypeFound, c->format), why)) return false;
            layout.child[f] = static_cast<int>(i);
            layout.kind[f] = k;
        }
    }
    for (int f = 1; f < kFieldCount; ++f)
        if (layout.child[f] < 0)
            return problem(why, CallFailure::BadInput, m::text(m::kMissingColumn, kFieldNames[f]));
    return true;
}

namespace {

// Child `index` of `array`, checked to hold `rows` values from `first` (its
// own offset added), as a view of kind `kind`.
bool column_from_arrow(const ArrowArray& array, int index, Kind kind, const char* label, std::int64_t first,
                       std::int64_t rows, ColumnView& v, ImportProblem& why) {
    const auto malformed = [&](const std::string& what) {
        return problem(why, CallFailure::BadInput, m::text(m::kArrayMalformed, what.c_str()));
    };
    {
        if (index >= array.n_children) return malformed(m::text(m::kChildNotThere, label));
        const ArrowArray* cp = array.children[index];
        if (cp == nullptr) return malformed(m::text(m::kChildMissing, label));
        const ArrowArray& c = *cp;
        v = ColumnView();
        v.kind = kind;
        if (c.offset < 0 || c.length < first + rows)
            return malformed(m::text(m::kChildShort, label));
        if (c.n_buffers < buffers_needed(v.kind) || (c.n_buffers > 0 && c.buffers == nullptr))
            return malformed(m::text(m::kChildFewBuffers, label));
        if (v.kind == Kind::Null) return true;
        const std::int64_t off = c.offset + first;
        v.bit_offset = off;
        if (c.null_count != 0 && c.buffers[0] != nullptr) v.validity = static_cast<const std::uint8_t*>(c.buffers[0]);
        if (rows > 0 && c.buffers[1] == nullptr) return malformed(m::text(m::kChildNoValues, label));
        switch (v.kind) {
            case Kind::BoolBits: v.data = c.buffers[1]; break;
            case Kind::Utf8:
                if (rows > 0 && (c.buffers[2] == nullptr || !offsets_rise<std::int32_t>(c.buffers[1], off, rows)))
                    return malformed(m::text(m::kChildOffsetsFall, label));
                v.data = static_cast<const char*>(c.buffers[1]) + off * 4;
                v.chars = static_cast<const char*>(c.buffers[2]);
                break;
            case Kind::LargeUtf8:
                if (rows > 0 && (c.buffers[2] == nullptr || !offsets_rise<std::int64_t>(c.buffers[1], off, rows)))
                    return malformed(m::text(m::kChildOffsetsFall, label));
                v.data = static_cast<const char*>(c.buffers[1]) + off * 8;
                v.chars = static_cast<const char*>(c.buffers[2]);
                break;
            case Kind::Utf8View:
                // buffers: validity, views, the variadic character buffers, their sizes
                if (rows > 0 && !views_in_range(c.buffers[1], off, rows, c.n_buffers - 3))
                    return malformed(m::text(m::kChildViewsOutside, label));
                v.data = static_cast<const char*>(c.buffers[1]) + off * 16;
                v.view_buffers = reinterpret_cast<const char* const*>(c.buffers + 2);
                break;
            default:
                v.stride = item_size(v.kind);
                v.data = static_cast<const char*>(c.buffers[1]) + off * v.stride;
                break;
        }
    }
    return true;
}

template <typename Offset>
Offset offset_at(const void* data, std::int64_t i) noexcept {
    Offset o;
    std::memcpy(&o, static_cast<const char*>(data) + i * static_cast<std::int64_t>(sizeof(Offset)), sizeof o);
    return o;
}

// The rate_steps child: its offsets over rows [first, first + rows) must
// rise and stay within the items, whose per and rate are then viewed by
// item index.
bool steps_from_arrow(const ArrowArray& array, const ArrowLayout& layout, std::int64_t first, std::int64_t rows,
                      StepsView& v, ImportProblem& why) {
    const char* label = "rate_steps";
    const auto malformed = [&](const std::string& what) {
        return problem(why, CallFailure::BadInput, m::text(m::kArrayMalformed, what.c_str()));
    };
    v = StepsView();
    if (layout.steps_child >= array.n_children) return malformed(m::text(m::kChildNotThere, label));
    const ArrowArray* cp = array.children[layout.steps_child];
    if (cp == nullptr) return malformed(m::text(m::kChildMissing, label));
    const ArrowArray& c = *cp;
    if (c.offset < 0 || c.length < first + rows) return malformed(m::text(m::kChildShort, label));
    if (layout.steps_null) {
        v.kind = StepsView::Offsets::Null;
        return true;
    }
    if (c.n_buffers < 2 || c.buffers == nullptr || c.n_children != 1 || c.children == nullptr || c.children[0] == nullptr)
        return malformed(m::text(m::kChildFewBuffers, label));
    const std::int64_t off = c.offset + first;
    if (c.null_count != 0 && c.buffers[0] != nullptr) {
        v.validity = static_cast<const std::uint8_t*>(c.buffers[0]);
        v.bit_offset = off;
    }
    v.kind = layout.steps_large ? StepsView::Offsets::I64 : StepsView::Offsets::I32;
    const ArrowArray& items = *c.children[0];
    if (items.offset < 0 || items.length < 0 || items.n_children < 0 ||
        (items.n_children > 0 && items.children == nullptr) || items.n_buffers < 0 ||
        (items.n_buffers > 0 && items.buffers == nullptr))
        return malformed(m::text(m::kChildFewBuffers, label));
    std::int64_t hi = 0;
    if (rows > 0) {
        if (c.buffers[1] == nullptr) return malformed(m::text(m::kChildNoValues, label));
        const bool rise = layout.steps_large ? offsets_rise<std::int64_t>(c.buffers[1], off, rows)
                                             : offsets_rise<std::int32_t>(c.buffers[1], off, rows);
        if (!rise) return malformed(m::text(m::kChildOffsetsFall, label));
        hi = layout.steps_large ? offset_at<std::int64_t>(c.buffers[1], off + rows)
                                : offset_at<std::int32_t>(c.buffers[1], off + rows);
        if (hi > items.length) return malformed(m::text(m::kChildShort, label));
        v.offsets = static_cast<const char*>(c.buffers[1]) + off * (layout.steps_large ? 8 : 4);
    }
    if (items.null_count != 0 && items.n_buffers > 0 && items.buffers[0] != nullptr) {
        v.item_validity = static_cast<const std::uint8_t*>(items.buffers[0]);
        v.item_bit_offset = items.offset;
    }
    // The fields are viewed from item 0, so that an item index reads them.
    if (!column_from_arrow(items, layout.steps_per, layout.per_kind, "rate_steps.per", items.offset, hi, v.per, why) ||
        !column_from_arrow(items, layout.steps_rate, layout.rate_kind, "rate_steps.rate", items.offset, hi, v.rate, why))
        return false;
    return true;
}

}  // namespace

bool batch_from_arrow(const ArrowLayout& layout, const ArrowArray& array, std::int64_t start, std::int64_t rows,
                      InputBatch& b, ImportProblem& why) {
    const auto malformed = [&](const std::string& what) {
        return problem(why, CallFailure::BadInput, m::text(m::kArrayMalformed, what.c_str()));
    };
    if (array.length < 0 || array.offset < 0 || start < 0 || rows < 0 || start + rows > array.length)
        return malformed(m::kArrayBadLength);
    if (array.n_children < 0 || (array.n_children > 0 && array.children == nullptr) || array.n_buffers < 0 ||
        (array.n_buffers > 0 && array.buffers == nullptr))
        return malformed(m::kArrayNoChildren);
    b = InputBatch();
    b.rows = rows;
    if (array.null_count != 0 && array.n_buffers > 0 && array.buffers[0] != nullptr) {
        b.row_validity = static_cast<const std::uint8_t*>(array.buffers[0]);
        b.row_bit_offset = array.offset + start;
    }
    for (int f = 0; f < kFieldCount; ++f) {
        if (layout.child[f] < 0) continue;
        if (!column_from_arrow(array, layout.child[f], layout.kind[f], kFieldNames[f], array.offset + start, rows,
                               b.columns[f], why))
            return false;
    }
    ColumnView* const shape[3] = {&b.shape.io_pers, &b.shape.amort_pers, &b.shape.payments_per_year};
    for (int s = 0; s < 3; ++s) {
        if (layout.shape_child[s] < 0) continue;
        if (!column_from_arrow(array, layout.shape_child[s], layout.shape_kind[s], name(kShapeFields[s]),
                               array.offset + start, rows, *shape[s], why))
            return false;
    }
    if (layout.steps_child >= 0 && !steps_from_arrow(array, layout, array.offset + start, rows, b.shape.rate_steps, why))
        return false;
    if (layout.age_child >= 0 && !column_from_arrow(array, layout.age_child, layout.age_kind, name(Field::Age),
                                                    array.offset + start, rows, b.age, why))
        return false;
    if (layout.balance_child >= 0 &&
        !column_from_arrow(array, layout.balance_child, layout.balance_kind, name(Field::Balance), array.offset + start,
                           rows, b.balance, why))
        return false;
    return true;
}

std::string stream_failure_text(ArrowArrayStream* s, int code) {
    const char* e = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
    return m::text(m::kStreamError, code, e ? ": " : "", e ? e : "");
}

}  // namespace paywheel::columnar
