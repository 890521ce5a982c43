// What the columnar module's call files share: reading a call's source,
// running its work with the lock released and interruptible, and handing
// out tables and failure rows. Defined in module.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/columnar/arrow_table.hpp"
#include "lib/columnar/input.hpp"
#include "lib/pyref.hpp"
#include "paywheel/batch/columnar_compute.hpp"

namespace quill::columnar {

// A failed row with its id, as the failure lists and tables give it.
struct FailureRow {
    std::int64_t index;
    std::string id;
    bool has_id;
    paywheel::columnar::RowFailure failure;
};

// Thrown from C++ frames when a Python exception is already pending;
// `translate` leaves it as it is.
struct PythonErrorSet {};

// Sets the pending Python exception for the exception being handled.
void translate() noexcept;
// Runs body with the lock released, looking for Ctrl-C; false with the
// exception pending when interrupted.
bool run_interruptible(std::atomic<bool>& stop, const std::function<void()>& body);
paywheel::columnar::ChunkRunner runner_for(std::size_t threads);
// A dict of columns, an Arrow stream capsule or a (schema, array) pair.
std::unique_ptr<Book> read_source(PyObject* source);
std::size_t resolve_threads(long long threads);
std::vector<FailureRow> with_ids(std::vector<paywheel::columnar::RowFailure>& failures, const Book& book);
// New references.
PyObject* failures_to_list(const std::vector<FailureRow>& rows);
PyObject* wrap_table(TablePtr t);
TablePtr errors_table(const std::vector<FailureRow>& rows);

// The projection calls (projection_calls.cpp). New references.
PyObject* py_project(PyObject*, PyObject* args);
PyObject* py_project_loans(PyObject*, PyObject* args);

}  // namespace quill::columnar
