#include "bindings/columnar/input.hpp"

#include <pthread.h>

#include <cstring>
#include <limits>
#include <mutex>

#include "bindings/columnar/edge.hpp"
#include "paywheel/columnar/failure.hpp"
#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"

namespace quill::columnar {

namespace pc = paywheel::columnar;
using pc::ColumnView;
using pc::Field;
using pc::InputBatch;
using pc::Kind;
using pc::kFieldCount;
using pc::kFieldNames;

void throw_problem(const pc::ImportProblem& why) { throw pc::ColumnarError(why.kind, why.message); }

HeldBuffer HeldBuffer::of(PyObject* obj, const char* what, std::size_t itemsize, std::string_view formats,
                      std::int64_t count) {
    HeldBuffer b;
    if (obj == Py_None) return b;
    if (PyObject_GetBuffer(obj, &b.view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        throw pc::ColumnarError(pc::CallFailure::BadType, paywheel::messages::text(paywheel::messages::kNotContiguous, what));
    }
    b.held_ = true;
    std::string_view f = b.view_.format != nullptr ? b.view_.format : "B";
    if (!f.empty() && (f[0] == '<' || f[0] == '=' || f[0] == '@')) f.remove_prefix(1);
    if (b.view_.itemsize != static_cast<Py_ssize_t>(itemsize) || f.size() != 1 ||
        formats.find(f[0]) == std::string_view::npos)
        throw pc::ColumnarError(pc::CallFailure::BadType, paywheel::messages::text(paywheel::messages::kWrongItemType, what));
    if (count >= 0 && b.view_.len / b.view_.itemsize != count)
        throw pc::ColumnarError(pc::CallFailure::BadInput, paywheel::messages::text(paywheel::messages::kNotOnePerLoan, what));
    return b;
}

namespace {

[[noreturn]] void fail(pc::CallFailure kind, std::string message) { throw pc::ColumnarError(kind, std::move(message)); }

namespace m = paywheel::messages;

long long row_of(Py_ssize_t i) { return static_cast<long long>(i); }

void check_kind(int f, Kind k, const std::string& found) {
    pc::ImportProblem why;
    if (!pc::check_kind(static_cast<Field>(f), k, found, why)) throw_problem(why);
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
// objects. The items are taken into a tuple of references first: a
// conversion below runs the item's own __float__ or __index__, which may
// change the list, and must not find the array it is read from freed. Numbers
// go through the same C-API calls as paywheel_fn's, so they read the same;
// None is a null.
void column_from_sequence(Book& book, int f, PyObject* obj, ColumnView& out, std::int64_t& length) {
    PyRef items_ref = PyRef::steal(PySequence_Tuple(obj));
    if (!items_ref) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            fail(pc::CallFailure::BadType, m::text(m::kNotAColumn, kFieldNames[f], Py_TYPE(obj)->tp_name));
        }
        throw PythonErrorSet{};
    }
    PyObject* items_tuple = items_ref.get();
    const Py_ssize_t n = PyTuple_GET_SIZE(items_tuple);
    const auto item = [items_tuple](Py_ssize_t i) { return PyTuple_GET_ITEM(items_tuple, i); };
    length = n;
    Py_ssize_t first = 0;
    while (first < n && item(first) == Py_None) ++first;
    const bool text = first < n && PyUnicode_Check(item(first));
    // The optional whole numbers read a list holding a float as floats, each
    // value then read as a whole number (NaN a null); the engine's terms
    // keep paywheel_fn's refusal of a float.
    const bool is_int_field = static_cast<Field>(f) != Field::Id && !pc::is_number_field(static_cast<Field>(f)) &&
                              !(pc::is_optional_whole(static_cast<Field>(f)) && [&] {
                                  for (Py_ssize_t i = 0; i < n; ++i)
                                      if (PyFloat_Check(item(i))) return true;
                                  return false;
                              }());
    if (static_cast<Field>(f) == Field::Id && !text && first < n)
        fail(pc::CallFailure::BadType, m::text(m::kListNotStrings, kFieldNames[f], row_of(first), Py_TYPE(item(first))->tp_name));

    // Validity bits, only when there is a None.
    if (first > 0 || [&] {
            for (Py_ssize_t i = 0; i < n; ++i)
                if (item(i) == Py_None) return true;
            return false;
        }()) {
        std::vector<char> bits((static_cast<std::size_t>(n) + 7) / 8, 0);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (item(i) != Py_None) bits[static_cast<std::size_t>(i) >> 3] |= static_cast<char>(1u << (i & 7));
        book.owned.push_back(std::move(bits));
        out.validity = reinterpret_cast<const std::uint8_t*>(book.owned.back().data());
        out.bit_offset = 0;
    }

    if (text || first == n) {
        std::vector<char> blob((static_cast<std::size_t>(n) + 1) * sizeof(std::int64_t));
        std::size_t pos = 0;
        std::vector<char> chars;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const std::int64_t off = static_cast<std::int64_t>(pos);
            std::memcpy(blob.data() + static_cast<std::size_t>(i) * 8, &off, 8);
            PyObject* v = item(i);
            if (v == Py_None) continue;
            if (!PyUnicode_Check(v))
                fail(pc::CallFailure::BadType, m::text(m::kListMixesStrings, kFieldNames[f], row_of(i), Py_TYPE(v)->tp_name));
            Py_ssize_t len = 0;
            const char* s = PyUnicode_AsUTF8AndSize(v, &len);
            if (s == nullptr) {
                PyErr_Clear();
                fail(pc::CallFailure::BadInput, m::text(m::kListNotUtf8, kFieldNames[f], row_of(i)));
            }
            chars.insert(chars.end(), s, s + len);
            pos += static_cast<std::size_t>(len);
        }
        const std::int64_t end = static_cast<std::int64_t>(pos);
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
        PyObject* v = item(i);
        if (v == Py_None) continue;
        if (PyUnicode_Check(v))
            fail(pc::CallFailure::BadType, m::text(m::kListMixesNumbers, kFieldNames[f], row_of(i)));
        // The conversions paywheel_fn applies: __index__ for the integer
        // fields (a float is refused), __float__ for the amount, rate and balance.
        if (is_int_field) {
            if (PyFloat_Check(v))
                fail(pc::CallFailure::BadType,
                     m::text(m::kListFloatForInteger, kFieldNames[f], row_of(i), Py_TYPE(v)->tp_name));
            PyRef index = PyRef::steal(PyNumber_Index(v));
            if (!index) {
                PyErr_Clear();
                fail(pc::CallFailure::BadType, m::text(m::kListNotInteger, kFieldNames[f], row_of(i), Py_TYPE(v)->tp_name));
            }
            int overflow = 0;
            const long long w = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (overflow != 0 || (w == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                fail(pc::CallFailure::BadInput, m::text(m::kListPast64Bits, kFieldNames[f], row_of(i)));
            }
            const std::int64_t x = w;
            std::memcpy(blob.data() + static_cast<std::size_t>(i) * 8, &x, 8);
        } else {
            const double d = PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred()) {
                const bool type_error = PyErr_ExceptionMatches(PyExc_TypeError);
                PyErr_Clear();
                fail(type_error ? pc::CallFailure::BadType : pc::CallFailure::BadInput,
                     m::text(m::kListNotNumber, kFieldNames[f], row_of(i), Py_TYPE(v)->tp_name));
            }
            std::memcpy(blob.data() + static_cast<std::size_t>(i) * 8, &d, 8);
        }
    }
    book.owned.push_back(std::move(blob));
    out.kind = is_int_field ? Kind::I64 : Kind::F64;
    out.data = book.owned.back().data();
    out.stride = 8;
}

// A rate_steps column from Python: per row None or a sequence of steps,
// each a (per, rate) pair or a mapping with 'per' and 'rate'. Converted into
// owned int64 offsets and per/rate columns (None for either is a null step
// value), read as the integer and float columns are.
void steps_from_sequence(Book& book, PyObject* obj, pc::StepsView& out, std::int64_t& length) {
    PyRef rows_ref = PyRef::steal(PySequence_Tuple(obj));
    if (!rows_ref) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            fail(pc::CallFailure::BadType, m::text(m::kNotAColumn, "rate_steps", Py_TYPE(obj)->tp_name));
        }
        throw PythonErrorSet{};
    }
    PyObject* rows = rows_ref.get();
    const Py_ssize_t n = PyTuple_GET_SIZE(rows);
    length = n;
    std::vector<std::int64_t> offsets(static_cast<std::size_t>(n) + 1, 0);
    std::vector<char> valid((static_cast<std::size_t>(n) + 7) / 8, 0);
    std::vector<std::int64_t> pers;
    std::vector<double> rates;
    std::vector<char> per_valid, rate_valid;
    bool null_rows = false, null_values = false;
    // Items are held while they are read: a conversion may run Python code.
    const auto value = [&](PyObject* step, const char* key, Py_ssize_t index) -> PyRef {
        PyRef v = PyDict_Check(step) ? PyRef::borrow(PyDict_GetItemString(step, key))
                : PyMapping_Check(step) && !PySequence_Check(step)
                    ? PyRef::steal(PyMapping_GetItemString(step, key))
                    : PyRef::steal(PySequence_GetItem(step, index));
        if (!v) PyErr_Clear();
        return v;
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef cell = PyRef::borrow(PyTuple_GET_ITEM(rows, i));
        offsets[static_cast<std::size_t>(i) + 1] = offsets[static_cast<std::size_t>(i)];
        if (cell.get() == Py_None) {
            null_rows = true;
            continue;
        }
        valid[static_cast<std::size_t>(i) >> 3] |= static_cast<char>(1u << (i & 7));
        PyRef steps = PyRef::steal(PyUnicode_Check(cell.get()) ? nullptr : PySequence_Tuple(cell.get()));
        if (!steps) {
            PyErr_Clear();
            fail(pc::CallFailure::BadType, m::text(m::kListStepsNotList, row_of(i), Py_TYPE(cell.get())->tp_name));
        }
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(steps.get()); ++j) {
            PyObject* step = PyTuple_GET_ITEM(steps.get(), j);
            const bool pair = !PyDict_Check(step) && PySequence_Check(step) && !PyUnicode_Check(step) &&
                              PySequence_Size(step) == 2;
            if (!pair && !PyMapping_Check(step)) {
                PyErr_Clear();
                fail(pc::CallFailure::BadType, m::text(m::kListStepShape, row_of(i)));
            }
            PyRef per = value(step, "per", 0);
            PyRef rate = value(step, "rate", 1);
            if (!per || !rate) fail(pc::CallFailure::BadType, m::text(m::kListStepShape, row_of(i)));
            std::int64_t p = 0;
            double r = 0.0;
            const bool per_null = per.get() == Py_None, rate_null = rate.get() == Py_None;
            if (!per_null) {
                if (PyFloat_Check(per.get()))
                    fail(pc::CallFailure::BadType,
                         m::text(m::kListFloatForInteger, "rate_steps", row_of(i), Py_TYPE(per.get())->tp_name));
                PyRef index = PyRef::steal(PyNumber_Index(per.get()));
                if (!index) {
                    PyErr_Clear();
                    fail(pc::CallFailure::BadType,
                         m::text(m::kListNotInteger, "rate_steps", row_of(i), Py_TYPE(per.get())->tp_name));
                }
                int overflow = 0;
                const long long w = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
                if (overflow != 0 || (w == -1 && PyErr_Occurred())) {
                    PyErr_Clear();
                    fail(pc::CallFailure::BadInput, m::text(m::kListPast64Bits, "rate_steps", row_of(i)));
                }
                p = w;
            }
            if (!rate_null) {
                r = PyFloat_AsDouble(rate.get());
                if (r == -1.0 && PyErr_Occurred()) {
                    const bool type_error = PyErr_ExceptionMatches(PyExc_TypeError);
                    PyErr_Clear();
                    fail(type_error ? pc::CallFailure::BadType : pc::CallFailure::BadInput,
                         m::text(m::kListNotNumber, "rate_steps", row_of(i), Py_TYPE(rate.get())->tp_name));
                }
            }
            const std::size_t k = pers.size();
            if (k % 8 == 0) {
                per_valid.push_back(0);
                rate_valid.push_back(0);
            }
            if (!per_null) per_valid[k >> 3] |= static_cast<char>(1u << (k & 7));
            if (!rate_null) rate_valid[k >> 3] |= static_cast<char>(1u << (k & 7));
            null_values = null_values || per_null || rate_null;
            pers.push_back(p);
            rates.push_back(r);
            offsets[static_cast<std::size_t>(i) + 1] += 1;
        }
    }
    const auto keep = [&](const void* data, std::size_t bytes) -> const char* {
        std::vector<char> blob(bytes == 0 ? 1 : bytes);
        if (bytes > 0) std::memcpy(blob.data(), data, bytes);
        book.owned.push_back(std::move(blob));
        return book.owned.back().data();
    };
    out = pc::StepsView();
    out.kind = pc::StepsView::Offsets::I64;
    out.offsets = keep(offsets.data(), offsets.size() * sizeof(std::int64_t));
    if (null_rows) out.validity = reinterpret_cast<const std::uint8_t*>(keep(valid.data(), valid.size()));
    out.per.kind = Kind::I64;
    out.per.stride = 8;
    out.per.data = keep(pers.data(), pers.size() * sizeof(std::int64_t));
    out.rate.kind = Kind::F64;
    out.rate.stride = 8;
    out.rate.data = keep(rates.data(), rates.size() * sizeof(double));
    if (null_values) {
        out.per.validity = reinterpret_cast<const std::uint8_t*>(keep(per_valid.data(), per_valid.size()));
        out.rate.validity = reinterpret_cast<const std::uint8_t*>(keep(rate_valid.data(), rate_valid.size()));
    }
}

// A buffer view released on every way out unless kept.
struct ViewGuard {
    Py_buffer view{};
    bool held = false;
    ~ViewGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

void column_from_object(Book& book, int f, PyObject* obj, ColumnView& out, std::int64_t& length) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj))
        fail(pc::CallFailure::BadType, m::text(m::kNotAColumn, kFieldNames[f], Py_TYPE(obj)->tp_name));
    if (PyObject_CheckBuffer(obj)) {
        ViewGuard g;
        if (PyObject_GetBuffer(obj, &g.view, PyBUF_RECORDS_RO) == 0) {
            g.held = true;
            const Py_buffer& view = g.view;
            bool wrong_order = false;
            const Kind k = kind_of_format(view.format, view.itemsize, wrong_order);
            const bool strings = view.format != nullptr && (std::strchr(view.format, 'O') || std::strchr(view.format, 'w') ||
                                                            std::strchr(view.format, 's'));
            if (k == Kind::Absent && strings) {
                PyBuffer_Release(&g.view);
                g.held = false;
                column_from_sequence(book, f, obj, out, length);
                check_kind(f, out.kind, m::kTextFound);
                return;
            }
            if (view.ndim != 1)
                fail(pc::CallFailure::BadType, m::text(m::kBufferNot1D, kFieldNames[f], view.ndim));
            if (k == Kind::Absent) {
                const std::string fmt = view.format ? view.format : "B";
                fail(pc::CallFailure::BadType,
                     m::text(m::kBufferFormat, kFieldNames[f], fmt.c_str(), wrong_order ? m::kNonNativeOrder : ""));
            }
            check_kind(f, k, m::text(m::kBufferFormatFound, view.format ? view.format : "B"));
            out.kind = k;
            out.data = view.buf;
            out.stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
            length = view.shape != nullptr ? view.shape[0] : view.len / view.itemsize;
            book.views.push_back(view);
            g.held = false;
            return;
        }
        PyErr_Clear();
    }
    column_from_sequence(book, f, obj, out, length);
    check_kind(f, out.kind, m::kTextFound);
}

// Buffer views whose owner went away on a thread without the interpreter
// lock (a stream released by a consumer's own thread). Taking the lock
// there could deadlock against a thread that holds it while waiting for the
// consumer, so the views wait here until the next call into the module.
// Never destroyed: a thread still unwinding out of a call while the process
// exits (a daemon thread at interpreter exit) may reach it after static
// destructors have run.
std::mutex& g_pending_mutex = *new std::mutex;
std::vector<Py_buffer>& g_pending = *new std::vector<Py_buffer>;

// True once the interpreter is being torn down: views are then left to the
// process's end.
bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// A child forked while another thread held the lock would wait for it for
// ever at its first call: the lock is taken around fork.
[[maybe_unused]] const bool g_pending_fork_safe =
    ::pthread_atfork([] { g_pending_mutex.lock(); }, [] { g_pending_mutex.unlock(); },
                     [] { g_pending_mutex.unlock(); }) == 0;

std::unique_ptr<Book> book_from_mapping(PyObject* mapping) {
    auto book = std::make_unique<Book>();
    InputBatch batch;
    std::int64_t length = -1;
    int length_field = -1;
    for (int f = 0; f < kFieldCount; ++f) {
        PyObject* obj = PyDict_GetItemString(mapping, kFieldNames[f]);  // borrowed
        if (obj == nullptr) {
            if (static_cast<Field>(f) == Field::Id) continue;
            fail(pc::CallFailure::BadInput, m::text(m::kMissingColumn, kFieldNames[f]));
        }
        // Held: reading the column may run Python code that changes the dict.
        PyRef column = PyRef::borrow(obj);
        std::int64_t n = 0;
        column_from_object(*book, f, column.get(), batch.columns[f], n);
        if (length >= 0 && n != length)
            fail(pc::CallFailure::BadInput,
                 m::text(m::kLengthMismatch, kFieldNames[f], static_cast<long long>(n), kFieldNames[length_field],
                         static_cast<long long>(length), static_cast<long long>(std::min(n, length))));
        length = n;
        length_field = f;
    }
    // The shape's optional columns: absent, or None, is no shape.
    const auto check_length = [&](const char* name, std::int64_t n) {
        if (n != length)
            fail(pc::CallFailure::BadInput,
                 m::text(m::kLengthMismatch, name, static_cast<long long>(n), kFieldNames[length_field],
                         static_cast<long long>(length), static_cast<long long>(std::min(n, length))));
    };
    const Field shape_fields[3] = {Field::IoPers, Field::AmortPers, Field::PaymentsPerYear};
    pc::ColumnView* const shape_views[3] = {&batch.shape.io_pers, &batch.shape.amort_pers,
                                            &batch.shape.payments_per_year};
    for (int s = 0; s < 3; ++s) {
        const int f = static_cast<int>(shape_fields[s]);
        PyObject* obj = PyDict_GetItemString(mapping, kFieldNames[f]);
        if (obj == nullptr || obj == Py_None) continue;
        PyRef column = PyRef::borrow(obj);
        std::int64_t n = 0;
        column_from_object(*book, f, column.get(), *shape_views[s], n);
        check_length(kFieldNames[f], n);
    }
    // The book as it stands, for the calls that read it from the batch.
    const std::pair<Field, pc::ColumnView*> standing[2] = {{Field::Age, &batch.age}, {Field::Balance, &batch.balance}};
    for (const auto& [field, view] : standing) {
        const int f = static_cast<int>(field);
        PyObject* obj = PyDict_GetItemString(mapping, kFieldNames[f]);
        if (obj == nullptr || obj == Py_None) continue;
        PyRef column = PyRef::borrow(obj);
        std::int64_t n = 0;
        column_from_object(*book, f, column.get(), *view, n);
        check_length(kFieldNames[f], n);
    }
    if (PyObject* obj = PyDict_GetItemString(mapping, "rate_steps"); obj != nullptr && obj != Py_None) {
        PyRef column = PyRef::borrow(obj);
        std::int64_t n = 0;
        steps_from_sequence(*book, column.get(), batch.shape.rate_steps, n);
        check_length("rate_steps", n);
    }
    batch.rows = length;
    book->has_id = batch.column(Field::Id).kind != Kind::Absent;
    book->batches.push_back(batch);
    return book;
}

// ------------------------------------------------------------ Arrow

// The layout's payments_per_year column (the third of its shape columns).
bool own_periods(const pc::ArrowLayout& layout) noexcept { return layout.shape_child[2] >= 0; }

pc::ArrowLayout layout_of(const ArrowSchema& schema) {
    pc::ArrowLayout layout;
    pc::ImportProblem why;
    if (!pc::layout_from_schema(schema, layout, why)) throw_problem(why);
    return layout;
}

InputBatch batch_of(const pc::ArrowLayout& layout, const ArrowArray& arr) {
    InputBatch b;
    pc::ImportProblem why;
    if (!pc::batch_from_arrow(layout, arr, 0, arr.length, b, why)) throw_problem(why);
    return b;
}

ArrowArrayStream* stream_pointer(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, "arrow_array_stream"))
        fail(pc::CallFailure::BadType, m::kNoStreamCapsule);
    auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (s == nullptr || s->release == nullptr) fail(pc::CallFailure::BadInput, m::kStreamTaken);
    return s;
}

// Takes the stream out of its capsule (whose destructor then sees a released
// stream) and reads its layout.
std::unique_ptr<pc::ArrowStreamHandle> take_stream(PyObject* capsule, pc::ArrowLayout& layout, bool& has_id) {
    ArrowArrayStream* src = stream_pointer(capsule);
    auto handle = std::make_unique<pc::ArrowStreamHandle>(*src);
    src->release = nullptr;
    pc::ArrowSchemaHandle schema;
    ArrowArrayStream* s = handle->get();
    const int rc = s->get_schema(s, schema.get());
    if (rc != 0) fail(pc::CallFailure::Upstream, pc::stream_failure_text(s, rc));
    layout = layout_of(*schema.get());
    has_id = layout.child[0] >= 0;
    return handle;
}

// Moves the array out of an "arrow_array" capsule into a handle we own.
std::unique_ptr<pc::ArrowArrayHandle> take_array(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, "arrow_array"))
        fail(pc::CallFailure::BadType, m::kNoArrayCapsule);
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array->release == nullptr) fail(pc::CallFailure::BadInput, m::kArrayTaken);
    auto a = std::make_unique<pc::ArrowArrayHandle>();
    *a->get() = *array;
    array->release = nullptr;
    return a;
}

// The schema capsule's struct, checked.
const ArrowSchema& schema_of(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, "arrow_schema"))
        fail(pc::CallFailure::BadType, m::text(m::kNoSchemaCapsule, "__arrow_c_array__"));
    return *static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
}

std::unique_ptr<Book> book_from_stream_capsule(PyObject* capsule) {
    auto book = std::make_unique<Book>();
    pc::ArrowLayout layout;
    book->stream = take_stream(capsule, layout, book->has_id);
    ArrowArrayStream* s = book->stream->get();
    for (;;) {
        auto a = std::make_unique<pc::ArrowArrayHandle>();
        int rc = 0;
        // Some producers compute while producing; let other threads run.
        without_lock([&] { rc = s->get_next(s, a->get()); });
        if (rc != 0) fail(pc::CallFailure::Upstream, pc::stream_failure_text(s, rc));
        if (a->get()->release == nullptr) break;
        const ArrowArray& arr = *a->get();
        if (arr.length > 0) book->batches.push_back(batch_of(layout, arr));
        book->arrays.push_back(std::move(a));
    }
    return book;
}

std::unique_ptr<Book> book_from_array_capsules(PyObject* schema_capsule, PyObject* array_capsule) {
    const ArrowSchema& schema = schema_of(schema_capsule);
    const pc::ArrowLayout layout = layout_of(schema);
    auto book = std::make_unique<Book>();
    book->arrays.push_back(take_array(array_capsule));
    book->has_id = layout.child[0] >= 0;
    const ArrowArray& arr = *book->arrays.back()->get();
    if (arr.length > 0) book->batches.push_back(batch_of(layout, arr));
    return book;
}

// A reader whose batches come from Python code (pyarrow.RecordBatchReader
// over a generator, say): pulled through its own read_next_batch, so that
// whatever its producer raises reaches the caller as it was raised.
class PythonReader {
public:
    explicit PythonReader(PyObject* reader) : reader_(PyRef::borrow(reader)) {
        PyRef schema = PyRef::steal(PyObject_GetAttrString(reader, "schema"));
        if (!schema) throw PythonFailure::fetch();
        PyRef capsule = PyRef::steal(PyObject_CallMethod(schema.get(), "__arrow_c_schema__", nullptr));
        if (!capsule) throw PythonFailure::fetch();
        if (!PyCapsule_IsValid(capsule.get(), "arrow_schema"))
            fail(pc::CallFailure::BadType, m::text(m::kNoSchemaCapsule, "__arrow_c_schema__"));
        layout_ = layout_of(*static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule.get(), "arrow_schema")));
    }
    bool has_id() const noexcept { return layout_.child[0] >= 0; }
    bool has_own_periods() const noexcept { return own_periods(layout_); }
    const pc::ArrowLayout& layout() const noexcept { return layout_; }

    // The next array, or null at the end. Needs the lock. A producer's
    // exception comes out as PythonFailure.
    std::unique_ptr<pc::ArrowArrayHandle> next() {
        PyRef batch = PyRef::steal(PyObject_CallMethod(reader_.get(), "read_next_batch", nullptr));
        if (!batch) {
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyErr_Clear();
                return nullptr;
            }
            throw PythonFailure::fetch();
        }
        PyRef pair = PyRef::steal(PyObject_CallMethod(batch.get(), "__arrow_c_array__", nullptr));
        if (!pair) throw PythonFailure::fetch();
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
            fail(pc::CallFailure::BadType, m::kNotAPair);
        (void)schema_of(PyTuple_GET_ITEM(pair.get(), 0));
        return take_array(PyTuple_GET_ITEM(pair.get(), 1));
    }

private:
    PyRef reader_;
    pc::ArrowLayout layout_;
};

std::unique_ptr<Book> book_from_reader(PyObject* source) {
    PythonReader reader(source);
    auto book = std::make_unique<Book>();
    book->has_id = reader.has_id();
    while (std::unique_ptr<pc::ArrowArrayHandle> a = reader.next()) {
        const ArrowArray& arr = *a->get();
        if (arr.length > 0) book->batches.push_back(batch_of(reader.layout(), arr));
        book->arrays.push_back(std::move(a));
    }
    return book;
}

bool is_python_reader(PyObject* source) {
    return PyObject_HasAttrString(source, "read_next_batch") && PyObject_HasAttrString(source, "schema");
}

// ------------------------------------------------------------ stream sources

class WholeBookSource : public BatchSource {
public:
    explicit WholeBookSource(std::unique_ptr<Book> book) : book_(std::move(book)) {}
    bool has_id() const noexcept override { return book_->has_id; }
    bool has_own_periods() const noexcept override {
        for (const InputBatch& b : book_->batches)
            if (b.shape.payments_per_year.kind != Kind::Absent) return true;
        return false;
    }
    bool next(InputBatch& out) override {
        if (done_ || book_->batches.empty()) return false;
        done_ = true;
        out = book_->batches.front();
        return true;
    }

private:
    std::unique_ptr<Book> book_;
    bool done_ = false;
};

class ArrowStreamSource : public BatchSource {
public:
    explicit ArrowStreamSource(PyObject* capsule) { upstream_ = take_stream(capsule, layout_, has_id_); }
    bool has_id() const noexcept override { return has_id_; }
    bool has_own_periods() const noexcept override { return own_periods(layout_); }
    bool next(InputBatch& out) override {
        current_.reset();
        auto a = std::make_unique<pc::ArrowArrayHandle>();
        ArrowArrayStream* s = upstream_->get();
        const int rc = s->get_next(s, a->get());
        if (rc != 0) fail(pc::CallFailure::Upstream, pc::stream_failure_text(s, rc));
        if (a->get()->release == nullptr) return false;
        current_ = std::move(a);
        out = batch_of(layout_, *current_->get());
        return true;
    }

private:
    std::unique_ptr<pc::ArrowStreamHandle> upstream_;
    std::unique_ptr<pc::ArrowArrayHandle> current_;
    pc::ArrowLayout layout_;
    bool has_id_ = false;
};

// The reader's references are dropped with the lock, on whatever thread
// the stream ends.
class PythonReaderSource : public BatchSource {
public:
    explicit PythonReaderSource(PyObject* source) : reader_(new PythonReader(source)) {}
    ~PythonReaderSource() override {
        if (!Py_IsInitialized() || finalizing()) {
            (void)reader_.release();  // the interpreter is gone: nothing left to release
            return;
        }
        with_lock([&] { reader_.reset(); });
    }
    bool has_id() const noexcept override { return reader_->has_id(); }
    bool has_own_periods() const noexcept override { return reader_->has_own_periods(); }
    bool next(InputBatch& out) override {
        current_.reset();
        std::string failure;
        bool interrupt = false;
        with_lock([&] {
            try {
                current_ = reader_->next();
            } catch (PythonFailure& f) {
                failure = describe(f);
                interrupt = redeliver_interrupt(f);
                f = PythonFailure{};
            }
        });
        if (interrupt) throw StreamInterrupted{};
        if (!failure.empty()) fail(pc::CallFailure::Upstream, m::text(m::kPythonSourceRaised, failure.c_str()));
        if (!current_) return false;
        out = batch_of(reader_->layout(), *current_->get());
        return true;
    }

private:
    static std::string describe(const PythonFailure& f) {
        std::string text = f.type ? reinterpret_cast<PyTypeObject*>(f.type.get())->tp_name : "an exception";
        if (f.value) {
            PyRef s = PyRef::steal(PyObject_Str(f.value.get()));
            const char* u = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
            if (u != nullptr && *u != '\0') text += std::string(": ") + u;
            PyErr_Clear();
        }
        return text;
    }
    // A stream's consumer sees only an error code; an interrupt the producer
    // raised is raised again in this thread's Python code once the consumer
    // returns, so that Ctrl-C still stops the program.
    static bool redeliver_interrupt(const PythonFailure& f) {
        if (!f.type || !PyErr_GivenExceptionMatches(f.type.get(), PyExc_KeyboardInterrupt)) return false;
        PyThreadState_SetAsyncExc(PyThread_get_thread_ident(), PyExc_KeyboardInterrupt);
        return true;
    }

    std::unique_ptr<PythonReader> reader_;
    std::unique_ptr<pc::ArrowArrayHandle> current_;
};

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
    if (!views.empty() && Py_IsInitialized() && !finalizing()) {
        if (Py_IsInitialized() && PyGILState_Check()) {
            for (Py_buffer& v : views) PyBuffer_Release(&v);
        } else {
            {
                std::lock_guard<std::mutex> lock(g_pending_mutex);
                for (Py_buffer& v : views) g_pending.push_back(v);
            }
            // Released by the main thread as soon as it runs Python code
            // again (a pending call needs no lock to be scheduled), or else
            // by the next call into the module.
            if (Py_IsInitialized()) (void)Py_AddPendingCall([](void*) -> int {
                release_pending_views();
                return 0;
            }, nullptr);
        }
    }
    if (finalizing()) {
        // The producers' releases may need the interpreter, which is going
        // away with the process: their memory goes with it.
        for (auto& a : arrays) a->forget();
        if (stream) stream->forget();
    }
    arrays.clear();
    stream.reset();
}

std::int64_t Book::rows() const noexcept {
    std::int64_t n = 0;
    for (const InputBatch& b : batches) n += b.rows;
    return n;
}

namespace {

std::unique_ptr<Book> read_any_book(PyObject* source) {
    if (PyDict_Check(source)) return book_from_mapping(source);
    if (PyCapsule_CheckExact(source)) return book_from_stream_capsule(source);
    if (PyTuple_Check(source) && PyTuple_GET_SIZE(source) == 2)
        return book_from_array_capsules(PyTuple_GET_ITEM(source, 0), PyTuple_GET_ITEM(source, 1));
    if (is_python_reader(source)) return book_from_reader(source);
    fail(pc::CallFailure::BadType, m::kUnsupportedSource);
}

}  // namespace

void check_periods_per_year(long long periods_per_year) {
    if (periods_per_year < 1 || periods_per_year > 366)
        throw pc::ColumnarError(pc::CallFailure::BadInput, paywheel::messages::kPeriodsPerYearRange);
}

std::unique_ptr<Book> read_book(PyObject* source, bool strict, bool cents, long long periods_per_year) {
    check_periods_per_year(periods_per_year);
    std::unique_ptr<Book> book = read_any_book(source);
    for (InputBatch& b : book->batches) {
        b.strict = strict;
        b.cents = cents;
        b.periods_per_year = static_cast<std::int32_t>(periods_per_year);
    }
    return book;
}

std::unique_ptr<BatchSource> batch_source(PyObject* source) {
    if (PyDict_Check(source)) return std::make_unique<WholeBookSource>(book_from_mapping(source));
    if (PyCapsule_CheckExact(source)) return std::make_unique<ArrowStreamSource>(source);
    if (is_python_reader(source)) return std::make_unique<PythonReaderSource>(source);
    fail(pc::CallFailure::BadType, m::kUnsupportedSource);
}

}  // namespace quill::columnar
