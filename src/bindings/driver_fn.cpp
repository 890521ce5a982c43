// paywheel_fn: typed loan dicts, evaluated one after another on the calling
// thread with the interpreter lock held throughout.
#include <cmath>
#include <cstring>
#include <limits>

#include "bindings/convert.hpp"
#include "bindings/operations.hpp"
#include "paywheel/core/numeric.hpp"

namespace quill {

namespace {

using paywheel::messages::kMissingKey;
using paywheel::messages::kUnwrapErr;

// Borrowed reference (kept alive by the call scope) to dict[key], read from
// the dict's own storage: a subclass's __getitem__ or __missing__ is never
// consulted and an error while comparing keys reads as "absent".
PyObject* lookup(PyObject* dict, const char* key, std::source_location loc = std::source_location::current()) {
    PyRef name = checked(PyUnicode_FromStringAndSize(key, static_cast<Py_ssize_t>(std::strlen(key))));
    PyObject* value = PyDict_GetItem(dict, name.get());
    if (value == nullptr) paywheel::raise_abort(kMissingKey, loc);
    return CallScope::keep(PyRef::borrow(value));
}

std::string to_text(PyObject* value, std::source_location loc = std::source_location::current()) {
    std::string text;
    if (auto err = extract_utf8(value, text)) abort_with_error(kUnwrapErr, std::move(*err), loc);
    return text;
}

float to_f32(PyObject* value, std::source_location loc = std::source_location::current()) {
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) abort_with_error(kUnwrapErr, fetch_error(), loc);
    return paywheel::num::narrow_to_float(d);
}

std::int32_t to_i32(PyObject* value, std::source_location loc = std::source_location::current()) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) abort_with_error(kUnwrapErr, fetch_error(), loc);
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) abort_with_error(kUnwrapErr, fetch_error(), loc);
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
        abort_with_error(kUnwrapErr,
                         BoundaryError::deferred_text(ExcType::OverflowError, paywheel::messages::kIntOutOfRange),
                         loc);
    }
    return static_cast<std::int32_t>(v);
}

// Lookups and conversions interleave in a fixed order, so the first problem
// in that order is the one reported.
paywheel::LoanTerms read_record(PyObject* dict) {
    paywheel::LoanTerms t;
    t.id = to_text(lookup(dict, "id"));
    t.amt = to_f32(lookup(dict, "amt"));
    t.rate = to_f32(lookup(dict, "rate"));
    t.pers = to_i32(lookup(dict, "pers"));
    t.int_freq = to_i32(lookup(dict, "int_freq"));
    t.cap_freq = to_i32(lookup(dict, "cap_freq"));
    return t;
}

}  // namespace

BodyResult paywheel_fn_body(PyObject* const* bound) {
    PyObject* incoming = bound[0];
    if (!PyList_Check(incoming))
        return wrap_argument_error("incoming", BoundaryError::type_mismatch(incoming, "PyList"));

    ScheduleMap schedules;
    // The length is read again at every step: conversions run caller code
    // (__float__, __index__, key comparisons) that may shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(incoming); ++i) {
        PyObject* item = CallScope::keep(PyRef::borrow(PyList_GET_ITEM(incoming, i)));
        if (!PyDict_Check(item)) continue;
        paywheel::LoanTerms terms = read_record(item);
        paywheel::Schedule schedule = paywheel::build_schedule(terms);
        schedules.insert(std::move(terms.id), std::move(schedule));
    }
    return schedule_map_to_dict(std::move(schedules));
}

}  // namespace quill
