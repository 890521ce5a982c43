// A book given as a mapping of columns: Python sequences and buffers (lists,
// NumPy arrays, anything with the buffer protocol) read into the columns the
// engine decodes, each column checked for its field's kinds.
#include "bindings/columnar/mapping_input.hpp"

#include <cstring>
#include <limits>
#include <string>

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

namespace {


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

}  // namespace

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

}  // namespace quill::columnar
