#include "lib/convert.hpp"

#include "lib/boundary.hpp"

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

PyRef series_to_list(paywheel::Series&& series) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(series.size());
    PyRef list = checked(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Widening float to double is exact: NaN, infinities and -0.0 survive.
        PyObject* item = PyFloat_FromDouble(static_cast<double>(series[static_cast<std::size_t>(i)]));
        if (item == nullptr) abort_api_failed();
        PyList_SET_ITEM(list.get(), i, item);
    }
    paywheel::Series().swap(series);
    return list;
}

PyRef schedule_to_dict(paywheel::Schedule&& schedule) {
    PyRef dict = checked(PyDict_New());
    for (paywheel::Schedule::Column& column : schedule) {
        PyRef key = checked(PyUnicode_FromStringAndSize(column.name.data(), static_cast<Py_ssize_t>(column.name.size())));
        PyRef list = series_to_list(std::move(column.values));
        if (PyDict_SetItem(dict.get(), key.get(), list.get()) < 0)
            abort_with_error("Failed to set_item on dict", fetch_error());
    }
    return dict;
}

PyRef schedules_to_list(std::vector<paywheel::Schedule>&& schedules) {
    GcPause pause;
    const Py_ssize_t n = static_cast<Py_ssize_t>(schedules.size());
    PyRef list = checked(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef dict = schedule_to_dict(std::move(schedules[static_cast<std::size_t>(i)]));
        PyList_SET_ITEM(list.get(), i, dict.release());
    }
    std::vector<paywheel::Schedule>().swap(schedules);
    return list;
}

PyRef schedule_map_to_dict(ScheduleMap&& schedules) {
    GcPause pause;
    PyRef dict = checked(PyDict_New());
    for (auto& [id, schedule] : schedules.entries()) {
        PyRef key = checked(PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size())));
        PyRef value = schedule_to_dict(std::move(schedule));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0)
            abort_with_error("Failed to set_item on dict", fetch_error());
    }
    schedules = ScheduleMap();
    return dict;
}

}  // namespace quill
