// quill_harbor_columnar._native: initialisation. Input is read into plain
// column views under the lock; decoding and computing run on the pool with
// the lock released; results are native tables that Python sees through the
// buffer protocol and the Arrow PyCapsule interface. Each part registers
// itself from its own file; this one composes them.
#include "bindings/columnar/edge.hpp"
#include "bindings/columnar/native.hpp"
#include "paywheel/columnar/region.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/power.hpp"
#include "paywheel/core/power_setting.hpp"

namespace quill::columnar {

namespace {

PyMethodDef g_functions[] = {
    {"schedules", py_schedules, METH_VARARGS, "schedules(source, list, skip, threads, strict, ages, balances) -> (table, failures, errors)"},
    {"cashflows", py_cashflows, METH_VARARGS, "cashflows(source, skip, threads, strict, ages, balances) -> (table, failures, errors)"},
    {"stream_schedules", py_stream_schedules, METH_VARARGS,
     "stream_schedules(source, batch_rows, list, skip, threads) -> ScheduleStream"},
    {"project", py_project, METH_VARARGS,
     "project(source, ages, segments, segment_count, scenarios, skip, threads, balances, fees, row_bytes[, "
     "strict]) -> (table, horizons, failures, errors)"},
    {"project_loans", py_project_loans, METH_VARARGS,
     "project_loans(source, ages, scenarios, skip, threads, row_base, balances, fees, row_bytes[, strict]) -> "
     "(table, failures, errors)"},
    {"value_loans", py_value_loans, METH_VARARGS,
     "value_loans(source, ages, balances, fees, scenarios, discount, prices, loan_prices, skip, threads) -> (table, "
     "failures, errors)"},
    {"value_runs", py_value_runs, METH_VARARGS, "value_runs(net, principal, balance, bounds, discount, prices) -> table"},
    {"read_fields", py_read_fields, METH_VARARGS,
     "read_fields(data, delimiter, field_count, fields, threads) -> table or None: fields are (name, index, kind "
     "'f', 'i' or 's'); None when a line does not hold field_count fields or a number does not read whole"},
    {"default_threads", py_default_threads, METH_NOARGS, "Workers a call gets by default."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_native", "Native core of quill_harbor_columnar.", -1, g_functions,
                        nullptr, nullptr, nullptr, nullptr};

PyObject* initialise() {
    // The abort report's settings and the power mode are the process's,
    // shared with quill_harbor through the engine library: whichever module
    // is imported first reads them, once.
    paywheel::read_abort_settings();
    if (!paywheel::apply_power_setting_once()) throw Refusal{PyExc_ImportError, paywheel::kPowerModeError};
    paywheel::columnar::return_large_buffers();
    PyRef m = PyRef::steal(PyModule_Create(&g_module));
    if (!m) return nullptr;
    if (!register_result_types(m.get()) || !register_stream_type(m.get()) || !register_names(m.get())) return nullptr;
    return m.release();
}

}  // namespace

}  // namespace quill::columnar

// New reference to the module, or null with an exception set.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void) {
    return quill::columnar::edge([] { return quill::columnar::initialise(); });
}
