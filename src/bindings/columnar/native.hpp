// What the files of quill_harbor_columnar._native share: each registers one
// part of the module (the result type, the stream type, the calls) and the
// initialisation composes them.
#pragma once

#include <memory>
#include <vector>

#include "bindings/pyref.hpp"
#include "paywheel/columnar/arrow_export.hpp"
#include "paywheel/columnar/tables.hpp"

namespace quill::columnar {

// result_type.cpp: Table (and the Buffer behind its flat columns).
// New reference to a Table over t, or null with an exception set.
PyObject* wrap_table(paywheel::columnar::TablePtr t);
// New reference: a PyCapsule of the kind Arrow's PyCapsule interface names,
// over a struct filled by `fill`; the capsule's destructor releases it.
PyObject* schema_capsule(const std::function<void(ArrowSchema*)>& fill);
PyObject* stream_capsule(std::unique_ptr<paywheel::columnar::TableSource> source);
// Readies the types and adds them to the module; false with an exception set.
bool register_result_types(PyObject* module);

// stream_type.cpp: ScheduleStream and stream_schedules().
bool register_stream_type(PyObject* module);
PyObject* py_stream_schedules(PyObject* self, PyObject* args);

// calls.cpp: schedules(), cashflows(), default_threads().
PyObject* py_schedules(PyObject* self, PyObject* args);
PyObject* py_cashflows(PyObject* self, PyObject* args);
PyObject* py_default_threads(PyObject* self, PyObject* args);
// New reference: a list of (index, id, code, field, value, reason, terms).
PyObject* failures_to_list(const std::vector<paywheel::columnar::FailureRow>& rows);
// Workers for a call's `threads` argument (0: the pool's size).
std::size_t resolve_threads(long long threads);

// projection_calls.cpp: project() and project_loans().
PyObject* py_project(PyObject* self, PyObject* args);
PyObject* py_project_loans(PyObject* self, PyObject* args);
// value_loans() and value_runs(): what loans and runs of summed flows are worth.
PyObject* py_value_loans(PyObject* self, PyObject* args);
PyObject* py_value_runs(PyObject* self, PyObject* args);

// record_calls.cpp: read_fields(), the wanted fields of a clean block of
// text records as a Table, or None.
PyObject* py_read_fields(PyObject* self, PyObject* args);

// names.cpp: the codes, modes, constants and message texts Python reads by
// name; false with an exception set.
bool register_names(PyObject* module);

// A zero-initialised static type object with the reference a static type
// starts with.
PyTypeObject blank_type();

}  // namespace quill::columnar
