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
    if (f == Field::Amt || f == Field::Rate) {
        if (!is_float(k) && !is_integral(k) && !is_text(k))
            return problem(why, CallFailure::BadType, m::text(m::kMustHoldNumbers, name(f), found.c_str()));
        return true;
    }
    if (is_float(k))
        return problem(why, CallFailure::BadType, m::text(m::kMustHoldIntegersNotFloat, name(f), found.c_str()));
    if (!is_integral(k) && !is_text(k))
        return problem(why, CallFailure::BadType, m::text(m::kMustHoldIntegers, name(f), found.c_str()));
    return true;
}

bool layout_from_schema(const ArrowSchema& schema, ArrowLayout& layout, ImportProblem& why) {
    if (schema.format == nullptr || std::string_view(schema.format) != "+s")
        return problem(why, CallFailure::BadType, m::text(m::kNotAStruct, schema.format ? schema.format : ""));
    for (int f = 0; f < kFieldCount; ++f) {
        layout.child[f] = -1;
        layout.kind[f] = Kind::Absent;
    }
    if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr))
        return problem(why, CallFailure::BadInput, m::kSchemaMalformed);
    for (std::int64_t i = 0; i < schema.n_children; ++i) {
        const ArrowSchema* c = schema.children[i];
        if (c == nullptr || c->name == nullptr || c->format == nullptr) continue;
        for (int f = 0; f < kFieldCount; ++f) {
            if (std::strcmp(c->name, kFieldNames[f]) != 0) continue;
            const Field field = static_cast<Field>(f);
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
        const char* label = kFieldNames[f];
        if (layout.child[f] >= array.n_children) return malformed(m::text(m::kChildNotThere, label));
        const ArrowArray* cp = array.children[layout.child[f]];
        if (cp == nullptr) return malformed(m::text(m::kChildMissing, label));
        const ArrowArray& c = *cp;
        ColumnView& v = b.columns[f];
        v.kind = layout.kind[f];
        if (c.offset < 0 || c.length < array.offset + start + rows)
            return malformed(m::text(m::kChildShort, label));
        if (c.n_buffers < buffers_needed(v.kind) || (c.n_buffers > 0 && c.buffers == nullptr))
            return malformed(m::text(m::kChildFewBuffers, label));
        if (v.kind == Kind::Null) continue;
        const std::int64_t off = array.offset + c.offset + start;
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

std::string stream_failure_text(ArrowArrayStream* s, int code) {
    const char* e = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
    return m::text(m::kStreamError, code, e ? ": " : "", e ? e : "");
}

}  // namespace paywheel::columnar
