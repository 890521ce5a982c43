#include "lib/columnar/input.hpp"

#include <cstring>
#include <limits>
#include <mutex>

namespace quill::columnar {

using paywheel::columnar::ColumnView;
using paywheel::columnar::Field;
using paywheel::columnar::InputBatch;
using paywheel::columnar::Kind;
using paywheel::columnar::kFieldCount;
using paywheel::columnar::kFieldNames;

namespace {

[[noreturn]] void fail(PyObject* type, std::string message) { throw PyFailure{type, std::move(message)}; }

std::string column_label(int f) { return std::string("column '") + kFieldNames[f] + "'"; }

// Which kinds each field accepts; the message says what was found.
void check_kind(int f, Kind k, const std::string& found) {
    using paywheel::columnar::is_float;
    using paywheel::columnar::is_integral;
    using paywheel::columnar::is_text;
    const Field field = static_cast<Field>(f);
    if (field == Field::Id) {
        if (!is_text(k)) fail(PyExc_TypeError, column_label(f) + " must hold strings, not " + found);
        return;
    }
    if (field == Field::Amt || field == Field::Rate) {
        if (!is_float(k) && !is_integral(k) && !is_text(k))
            fail(PyExc_TypeError, column_label(f) + " must hold numbers or strings, not " + found);
        return;
    }
    if (is_float(k))
        fail(PyExc_TypeError, column_label(f) + " must hold integers (a float is refused, as paywheel_fn refuses it), not " +
                                  found);
    if (!is_integral(k) && !is_text(k)) fail(PyExc_TypeError, column_label(f) + " must hold integers or strings, not " + found);
}

void check_nulls(const InputBatch& b, std::int64_t row_base) {
    for (int f = 0; f < kFieldCount; ++f) {
        const std::int64_t r = paywheel::columnar::first_null(b.columns[f], b.rows);
        if (r >= 0)
            fail(PyExc_ValueError, column_label(f) + " has a null at row " + std::to_string(row_base + r) +
                                       "; every field of a loan is required");
    }
}

// ------------------------------------------------------------ buffers

// Kind of a struct-module format string of one item, or Absent.
Kind kind_of_format(const char* format, Py_ssize_t itemsize, bool& wrong_order) {
    wrong_order = false;
    if (format == nullptr) format = "B";
    const char* p = format;
    if (*p == '@' || *p == '=' || *p == '<') {
        ++p;
    } else if (*p == '>' || *p == '!') {
        wrong_order = true;
        return Kind::Absent;
    }
    if (p[0] == '\0' || p[1] != '\0') return Kind::Absent;
    switch (p[0]) {
        case 'd': return itemsize == 8 ? Kind::F64 : Kind::Absent;
        case 'f': return itemsize == 4 ? Kind::F32 : Kind::Absent;
        case 'b': return Kind::I8;
        case 'B': return Kind::U8;
        case 'h': return Kind::I16;
        case 'H': return Kind::U16;
        case 'i': return itemsize == 4 ? Kind::I32 : Kind::Absent;
        case 'I': return itemsize == 4 ? Kind::U32 : Kind::Absent;
        case 'l':
        case 'q': return itemsize == 8 ? Kind::I64 : (itemsize == 4 ? Kind::I32 : Kind::Absent);
        case 'L':
        case 'Q': return itemsize == 8 ? Kind::U64 : (itemsize == 4 ? Kind::U32 : Kind::Absent);
        case '?': return itemsize == 1 ? Kind::BoolBytes : Kind::Absent;
        default: return Kind::Absent;
    }
}

// Python objects converted into owned arrays: lists, tuples and arrays of
// objects. Numbers go through the same C-API calls as paywheel_fn's, so
// they read the same.
void column_from_sequence(Book& book, int f, PyObject* obj, ColumnView& out, std::int64_t& length) {
    PyRef seq = PyRef::steal(PySequence_Fast(obj, "not a sequence"));
    if (!seq) {
        PyErr_Clear();
        fail(PyExc_TypeError, column_label(f) + " must be a 1-D array, a buffer or a list, not " +
                                  Py_TYPE(obj)->tp_name);
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    length = n;
    bool text = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (items[i] == Py_None)
            fail(PyExc_ValueError, column_label(f) + " has a null at row " + std::to_string(i) +
                                       "; every field of a loan is required");
    }
    if (n > 0) text = PyUnicode_Check(items[0]);
    const bool is_int_field = f >= static_cast<int>(Field::Pers);
    if (static_cast<Field>(f) == Field::Id && !text && n > 0)
        fail(PyExc_TypeError, column_label(f) + " must hold strings; row 0 is " + Py_TYPE(items[0])->tp_name);

    if (text || n == 0) {
        std::vector<char> blob((static_cast<std::size_t>(n) + 1) * sizeof(std::int64_t));
        std::size_t pos = 0;
        std::vector<char> chars;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!PyUnicode_Check(items[i]))
                fail(PyExc_TypeError, column_label(f) + " mixes strings and other values; row " + std::to_string(i) +
                                          " is " + Py_TYPE(items[i])->tp_name);
            Py_ssize_t len = 0;
            const char* s = PyUnicode_AsUTF8AndSize(items[i], &len);
            if (s == nullptr) {
                PyErr_Clear();
                fail(PyExc_ValueError, column_label(f) + " row " + std::to_string(i) + " is not valid UTF-8 text");
            }
            std::int64_t off = static_cast<std::int64_t>(pos);
            std::memcpy(blob.data() + static_cast<std::size_t>(i) * 8, &off, 8);
            chars.insert(chars.end(), s, s + len);
            pos += static_cast<std::size_t>(len);
        }
        std::int64_t end = static_cast<std::int64_t>(pos);
        std::memcpy(blob.data() + static_cast<std::size_t>(n) * 8, &end, 8);
        book.owned.push_back(std::move(blob));
        const char* offsets = book.owned.back().data();
        chars.push_back('\0');  // never empty, so data() is a real address
        book.owned.push_back(std::move(chars));
        out.kind = Kind::LargeUtf8;
        out.data = offsets;
        out.chars = book.owned.back().data();
        return;
    }
    std::vector<char> blob(static_cast<std::size_t>(n) * 8);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (PyUnicode_Check(item))
            fail(PyExc_TypeError, column_label(f) + " mixes numbers and strings; row " + std::to_string(i) + " is str");
        // The conversions paywheel_fn applies: __index__ for the integer
        // fields (a float is refused), __float__ for the amount and rate.
        if (is_int_field) {
            if (PyFloat_Check(item))
                fail(PyExc_TypeError, column_label(f) + " must hold integers (a float is refused, as paywheel_fn refuses it); row " +
                                          std::to_string(i) + " is " + Py_TYPE(item)->tp_name);
            PyRef index = PyRef::steal(PyNumber_Index(item));
            if (!index) {
                PyErr_Clear();
                fail(PyExc_TypeError, column_label(f) + " must hold integers; row " + std::to_string(i) + " is " +
                                          Py_TYPE(item)->tp_name);
            }
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                fail(PyExc_ValueError, column_label(f) + " row " + std::to_string(i) + " is outside the signed 64-bit range");
            }
            const std::int64_t w = v;
            std::memcpy(blob.data() + static_cast<std::size_t>(i) * 8, &w, 8);
        } else {
            const double d = PyFloat_AsDouble(item);
            if (d == -1.0 && PyErr_Occurred()) {
                const bool type_error = PyErr_ExceptionMatches(PyExc_TypeError);
                PyErr_Clear();
                fail(type_error ? PyExc_TypeError : PyExc_ValueError,
                     column_label(f) + " must hold numbers; row " + std::to_string(i) + " (" + Py_TYPE(item)->tp_name +
                         ") does not convert to a float");
            }
            std::memcpy(blob.data() + static_cast<std::size_t>(i) * 8, &d, 8);
        }
    }
    book.owned.push_back(std::move(blob));
    out.kind = is_int_field ? Kind::I64 : Kind::F64;
    out.data = book.owned.back().data();
    out.stride = 8;
}

void column_from_object(Book& book, int f, PyObject* obj, ColumnView& out, std::int64_t& length) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj))
        fail(PyExc_TypeError, column_label(f) + " must be a 1-D array, a buffer or a list, not " + Py_TYPE(obj)->tp_name);
    if (PyObject_CheckBuffer(obj)) {
        Py_buffer view;
        if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) == 0) {
            bool wrong_order = false;
            const Kind k = kind_of_format(view.format, view.itemsize, wrong_order);
            const bool strings = view.format != nullptr && (std::strchr(view.format, 'O') || std::strchr(view.format, 'w') ||
                                                            std::strchr(view.format, 's'));
            if (k == Kind::Absent && strings) {
                PyBuffer_Release(&view);
                column_from_sequence(book, f, obj, out, length);
                return;
            }
            if (view.ndim != 1) {
                PyBuffer_Release(&view);
                fail(PyExc_TypeError, column_label(f) + " must be 1-D, not " + std::to_string(view.ndim) + "-D");
            }
            if (k == Kind::Absent) {
                const std::string fmt = view.format ? view.format : "B";
                PyBuffer_Release(&view);
                fail(PyExc_TypeError, column_label(f) + " has items of format '" + fmt + "'" +
                                          (wrong_order ? " (non-native byte order)" : "") +
                                          "; it must be float64/float32, a signed or unsigned integer, bool or text");
            }
            try {
                check_kind(f, k, std::string("items of format '") + (view.format ? view.format : "B") + "'");
            } catch (...) {
                PyBuffer_Release(&view);
                throw;
            }
            out.kind = k;
            out.data = view.buf;
            out.stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
            length = view.shape != nullptr ? view.shape[0] : view.len / view.itemsize;
            book.views.push_back(view);
            return;
        }
        PyErr_Clear();
    }
    column_from_sequence(book, f, obj, out, length);
    check_kind(f, out.kind, "text");
}

// ------------------------------------------------------------ Arrow

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

}  // namespace

// ------------------------------------------------------------ Book

namespace {

// Buffer views whose owner went away on a thread without the interpreter
// lock (a stream released by a consumer's own thread). Taking the lock
// there could deadlock against a thread that holds it while waiting for the
// consumer, so the views wait here until the next call into the module.
std::mutex g_pending_mutex;
std::vector<Py_buffer> g_pending;

}  // namespace

void release_pending_views() {
    std::vector<Py_buffer> views;
    {
        std::lock_guard<std::mutex> lock(g_pending_mutex);
        views.swap(g_pending);
    }
    for (Py_buffer& v : views) PyBuffer_Release(&v);
}

Book::~Book() {
    if (!views.empty()) {
        if (PyGILState_Check()) {
            for (Py_buffer& v : views) PyBuffer_Release(&v);
        } else {
            std::lock_guard<std::mutex> lock(g_pending_mutex);
            for (Py_buffer& v : views) g_pending.push_back(v);
        }
    }
    arrays.clear();
    stream.reset();
    if (schema && schema->release != nullptr) schema->release(schema.get());
}

std::int64_t Book::rows() const noexcept {
    std::int64_t n = 0;
    for (const InputBatch& b : batches) n += b.rows;
    return n;
}

std::string_view Book::id(std::int64_t row) const noexcept {
    if (!has_id) return {};
    for (const InputBatch& b : batches) {
        if (row < b.rows) return b.column(Field::Id).text(row);
        row -= b.rows;
    }
    return {};
}

std::unique_ptr<Book> book_from_mapping(PyObject* mapping) {
    auto book = std::make_unique<Book>();
    InputBatch batch;
    std::int64_t length = -1;
    int length_field = -1;
    for (int f = 0; f < kFieldCount; ++f) {
        PyObject* obj = PyDict_GetItemString(mapping, kFieldNames[f]);  // borrowed
        if (obj == nullptr) {
            if (static_cast<Field>(f) == Field::Id) continue;
            fail(PyExc_ValueError, std::string("loans has no column '") + kFieldNames[f] +
                                       "'; the columns are amt, rate, pers, int_freq, cap_freq and an optional id");
        }
        std::int64_t n = 0;
        column_from_object(*book, f, obj, batch.columns[f], n);
        if (length >= 0 && n != length)
            fail(PyExc_ValueError, column_label(f) + " has " + std::to_string(n) + " rows but column '" +
                                       kFieldNames[length_field] + "' has " + std::to_string(length) +
                                       "; the first row past the shorter is row " + std::to_string(std::min(n, length)));
        length = n;
        length_field = f;
    }
    batch.rows = length;
    book->has_id = batch.column(Field::Id).kind != Kind::Absent;
    book->batches.push_back(batch);
    return book;
}

ArrowLayout layout_from_schema(const ArrowSchema& schema) {
    if (std::string_view(schema.format) != "+s")
        fail(PyExc_TypeError, std::string("an Arrow source of loans must be a table or struct, not format '") +
                                  schema.format + "'");
    ArrowLayout layout;
    for (int f = 0; f < kFieldCount; ++f) {
        layout.child[f] = -1;
        layout.kind[f] = Kind::Absent;
    }
    for (std::int64_t i = 0; i < schema.n_children; ++i) {
        const ArrowSchema* c = schema.children[i];
        if (c->name == nullptr) continue;
        for (int f = 0; f < kFieldCount; ++f) {
            if (std::strcmp(c->name, kFieldNames[f]) != 0) continue;
            if (c->dictionary != nullptr)
                fail(PyExc_TypeError, column_label(f) + " is dictionary-encoded (categorical); decode it to plain values first");
            const Kind k = kind_of_arrow(c->format);
            if (k == Kind::Absent)
                fail(PyExc_TypeError, column_label(f) + " has Arrow type '" + c->format +
                                          "'; it must be float64/float32, a signed or unsigned integer, bool or a string");
            check_kind(f, k, std::string("Arrow type '") + c->format + "'");
            layout.child[f] = static_cast<int>(i);
            layout.kind[f] = k;
        }
    }
    for (int f = 1; f < kFieldCount; ++f)
        if (layout.child[f] < 0)
            fail(PyExc_ValueError, std::string("loans has no column '") + kFieldNames[f] +
                                       "'; the columns are amt, rate, pers, int_freq, cap_freq and an optional id");
    return layout;
}

InputBatch batch_from_arrow(const ArrowLayout& layout, const ArrowArray& array, std::int64_t start, std::int64_t rows,
                            std::int64_t row_base) {
    InputBatch b;
    b.rows = rows;
    for (int f = 0; f < kFieldCount; ++f) {
        if (layout.child[f] < 0) continue;
        const ArrowArray& c = *array.children[layout.child[f]];
        const std::int64_t off = array.offset + c.offset + start;
        ColumnView& v = b.columns[f];
        v.kind = layout.kind[f];
        v.bit_offset = off;
        if (c.null_count != 0 && c.n_buffers > 0 && c.buffers[0] != nullptr)
            v.validity = static_cast<const std::uint8_t*>(c.buffers[0]);
        switch (v.kind) {
            case Kind::BoolBits: v.data = c.buffers[1]; break;
            case Kind::Utf8:
                v.data = static_cast<const char*>(c.buffers[1]) + off * 4;
                v.chars = static_cast<const char*>(c.buffers[2]);
                break;
            case Kind::LargeUtf8:
                v.data = static_cast<const char*>(c.buffers[1]) + off * 8;
                v.chars = static_cast<const char*>(c.buffers[2]);
                break;
            case Kind::Utf8View:
                v.data = static_cast<const char*>(c.buffers[1]) + off * 16;
                v.view_buffers = reinterpret_cast<const char* const*>(c.buffers + 2);
                break;
            default:
                v.stride = item_size(v.kind);
                v.data = static_cast<const char*>(c.buffers[1]) + off * v.stride;
                break;
        }
    }
    check_nulls(b, row_base);
    return b;
}

namespace {

ArrowArrayStream* stream_pointer(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, "arrow_array_stream"))
        fail(PyExc_TypeError, "__arrow_c_stream__ did not return a PyCapsule named 'arrow_array_stream'");
    auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (s == nullptr || s->release == nullptr) fail(PyExc_ValueError, "the Arrow stream was already consumed");
    return s;
}

std::string stream_error(ArrowArrayStream* s, int code) {
    const char* e = s->get_last_error != nullptr ? s->get_last_error(s) : nullptr;
    return std::string("the Arrow stream of loans failed (error ") + std::to_string(code) + ")" + (e ? ": " : "") +
           (e ? e : "");
}

}  // namespace

std::unique_ptr<ArrowStreamHandle> take_stream(PyObject* capsule, ArrowLayout& layout, bool& has_id) {
    ArrowArrayStream* src = stream_pointer(capsule);
    // Moved out: the capsule's destructor sees a released stream.
    auto handle = std::make_unique<ArrowStreamHandle>(*src);
    src->release = nullptr;
    ArrowSchema schema;
    schema.release = nullptr;
    ArrowArrayStream* s = handle->get();
    const int rc = s->get_schema(s, &schema);
    if (rc != 0) fail(PyExc_RuntimeError, stream_error(s, rc));
    try {
        layout = layout_from_schema(schema);
    } catch (...) {
        if (schema.release != nullptr) schema.release(&schema);
        throw;
    }
    if (schema.release != nullptr) schema.release(&schema);
    has_id = layout.child[0] >= 0;
    return handle;
}

std::unique_ptr<Book> book_from_stream_capsule(PyObject* capsule) {
    auto book = std::make_unique<Book>();
    ArrowLayout layout;
    book->stream = take_stream(capsule, layout, book->has_id);
    ArrowArrayStream* s = book->stream->get();
    std::int64_t base = 0;
    for (;;) {
        auto a = std::make_unique<ArrowArrayHandle>();
        int rc;
        {
            // Some producers compute while producing; let other threads run.
            PyThreadState* ts = PyEval_SaveThread();
            rc = s->get_next(s, a->get());
            PyEval_RestoreThread(ts);
        }
        if (rc != 0) fail(PyExc_RuntimeError, stream_error(s, rc));
        if (a->get()->release == nullptr) break;
        const ArrowArray& arr = *a->get();
        if (arr.length > 0) {
            book->batches.push_back(batch_from_arrow(layout, arr, 0, arr.length, base));
            base += arr.length;
        }
        book->arrays.push_back(std::move(a));
    }
    return book;
}

std::unique_ptr<Book> book_from_array_capsules(PyObject* schema_capsule, PyObject* array_capsule) {
    if (!PyCapsule_IsValid(schema_capsule, "arrow_schema") || !PyCapsule_IsValid(array_capsule, "arrow_array"))
        fail(PyExc_TypeError, "__arrow_c_array__ did not return PyCapsules named 'arrow_schema' and 'arrow_array'");
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
    if (array->release == nullptr) fail(PyExc_ValueError, "the Arrow array was already consumed");
    const ArrowLayout layout = layout_from_schema(*schema);
    auto book = std::make_unique<Book>();
    auto a = std::make_unique<ArrowArrayHandle>();
    *a->get() = *array;
    array->release = nullptr;  // ours now
    book->has_id = layout.child[0] >= 0;
    const ArrowArray& arr = *a->get();
    book->arrays.push_back(std::move(a));
    if (arr.length > 0) book->batches.push_back(batch_from_arrow(layout, arr, 0, arr.length, 0));
    return book;
}

}  // namespace quill::columnar
