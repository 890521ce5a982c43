// What the operation bodies share with the module frame: the argument
// binding, the shape of a body's outcome and the table row that makes a
// body a module function.
#pragma once

#include <variant>

#include "bindings/boundary.hpp"

namespace quill {

// Positional-or-keyword parameters, the first required_count of them required.
struct ArgumentSpec {
    const char* const* positional;
    Py_ssize_t positional_count;
    Py_ssize_t required_count;
};

// Most parameters any operation takes; the trampoline binds into a buffer
// of this size.
inline constexpr Py_ssize_t kMaxParameters = 4;

// A body returns a new reference to its result, or an error to raise; it may
// also abort (paywheel::Abort) or run out of memory (std::bad_alloc).
using BodyResult = std::variant<PyRef, BoundaryError>;
// Receives one borrowed reference per parameter of its spec, null for an
// optional one not given.
using Body = BodyResult (*)(PyObject* const* bound);

// One module function. Registration walks a table of these in order.
struct Operation {
    const char* name;  // binding messages put "name()" first
    const char* doc;
    ArgumentSpec arguments;
    Body body;
};

// Fills slots[0..positional_count) with borrowed references (null when a
// parameter was not given), or returns the binding TypeError.
std::optional<BoundaryError> bind_arguments(const char* name, const ArgumentSpec& spec, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

BodyResult paywheel_fn_body(PyObject* const* bound);
BodyResult paywheel_par_body(PyObject* const* bound);
BodyResult paywheel_gil_body(PyObject* const* bound);

}  // namespace quill
