#include "lib/operations.hpp"

namespace quill {

namespace {
BodyResult not_yet(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* incoming = nullptr;
    if (auto err = bind_arguments(spec, args, nargs, kwnames, &incoming)) return std::move(*err);
    return BoundaryError::deferred_text([] { return PyExc_NotImplementedError; },
                                        std::string(spec.name) + "() is not implemented yet");
}
}  // namespace

BodyResult paywheel_par_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return not_yet(spec_paywheel_par(), args, nargs, kwnames);
}
BodyResult paywheel_gil_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return not_yet(spec_paywheel_gil(), args, nargs, kwnames);
}

}  // namespace quill
