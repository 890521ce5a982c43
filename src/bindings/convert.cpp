#include "bindings/convert.hpp"

#include "bindings/boundary.hpp"

namespace quill {

namespace {

// A batch's result is hundreds of thousands of fresh lists and dicts, and
// every 700 of them would trigger a cyclic collection that rescans all the
// older ones. None of them can be garbage while they are being built, so the
// collector waits until the result is complete (and then runs as usual).
class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

}  // namespace

void ScheduleMap::insert(std::string id, paywheel::Schedule schedule) {
    auto [it, fresh] = index_.try_emplace(id, entries_.size());
    if (fresh)
        entries_.emplace_back(std::move(id), std::move(schedule));
    else
        entries_[it->second].second = std::move(schedule);
}

PyRef floats_to_list(std::span<const float> values) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(values.size());
    PyRef list = checked(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Widening float to double is exact: NaN, infinities and -0.0 survive.
        PyObject* item = PyFloat_FromDouble(static_cast<double>(values[static_cast<std::size_t>(i)]));
        if (item == nullptr) abort_api_failed();
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list;
}

namespace {

// Sets dict[name] = the list of values.
void set_column(PyObject* dict, std::string_view name, std::span<const float> values) {
    PyRef key = checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    PyRef list = floats_to_list(values);
    if (PyDict_SetItem(dict, key.get(), list.get()) < 0) {
        throw_if_out_of_memory();
        abort_with_error(paywheel::messages::kSetItemFailed, fetch_error());
    }
}

}  // namespace

PyRef schedule_to_dict(paywheel::Schedule&& schedule) {
    PyRef dict = checked(PyDict_New());
    for (paywheel::Schedule::Column& column : schedule) {
        set_column(dict.get(), column.name, column.values);
        paywheel::Series().swap(column.values);
    }
    return dict;
}

PyRef batch_schedules_to_list(paywheel::batch::BatchSchedules&& schedules) {
    GcPause pause;
    const std::size_t n = schedules.size();
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        const paywheel::batch::ScheduleView view = schedules.view(i);
        PyRef dict = checked(PyDict_New());
        for (std::size_t c = 0; c < view.size(); ++c)
            set_column(dict.get(), paywheel::Schedule::kNames[c], view[c]);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
        // Give converted storage back in steps rather than loan by loan.
        if ((i + 1) % 64 == 0) schedules.release_before(i + 1);
    }
    schedules = paywheel::batch::BatchSchedules();
    return list;
}

PyRef schedule_map_to_dict(ScheduleMap&& schedules) {
    GcPause pause;
    PyRef dict = checked(PyDict_New());
    for (auto& [id, schedule] : schedules.entries()) {
        PyRef key = checked(PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size())));
        PyRef value = schedule_to_dict(std::move(schedule));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            throw_if_out_of_memory();
            abort_with_error(paywheel::messages::kSetItemFailed, fetch_error());
        }
    }
    schedules = ScheduleMap();
    return dict;
}

}  // namespace quill
