// What the three operation bodies share with the module frame: the binding
// of `incoming` and the shape of a body's outcome.
#pragma once

#include <variant>

#include "lib/boundary.hpp"

namespace quill {

struct ArgumentSpec {
    const char* name;  // operation name; messages put "name()" first
    const char* const* positional;
    Py_ssize_t positional_count;
    Py_ssize_t required_count;
};

// Fills slots[0..positional_count) with borrowed references (null when a
// parameter was not given), or returns the binding TypeError.
std::optional<BoundaryError> bind_arguments(const ArgumentSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames, PyObject** slots);

// A body returns a new reference to its result, or an error to raise; it may
// also abort (paywheel::Abort) or run out of memory (std::bad_alloc).
using BodyResult = std::variant<PyRef, BoundaryError>;
using Body = BodyResult (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

BodyResult paywheel_fn_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
BodyResult paywheel_par_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
BodyResult paywheel_gil_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quill

namespace quill {
const ArgumentSpec& paywheel_fn_arguments();
const ArgumentSpec& paywheel_par_arguments();
const ArgumentSpec& paywheel_gil_arguments();
}  // namespace quill
