// paywheel_par and paywheel_gil: text batches copied whole under the lock,
// then evaluated on the shared worker pool by the batch layer.
#include <algorithm>
#include <optional>
#include <variant>

#include "bindings/convert.hpp"
#include "bindings/operations.hpp"
#include "paywheel/batch/evaluate.hpp"
#include "paywheel/batch/pool.hpp"

namespace quill {

namespace {

constexpr const char kIncomingName[] = "incoming";

BoundaryError argument_error(BoundaryError err) { return wrap_argument_error(kIncomingName, std::move(err)); }

// Copies every entry of one dict. Converting a str runs no Python code, so
// the size guards only fire if something else mutates the dict meanwhile.
std::optional<BoundaryError> copy_record(PyObject* dict, paywheel::batch::TextRecord& record) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    record.reserve(static_cast<std::size_t>(size));
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) paywheel::raise_abort(paywheel::messages::kDictChangedSize);
        if (remaining == -1) paywheel::raise_abort(paywheel::messages::kDictKeysChanged);
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!PyDict_Next(dict, &pos, &key, &value)) break;
        --remaining;
        std::string k, v;
        if (auto err = extract_utf8(key, k)) return argument_error(std::move(*err));
        if (auto err = extract_utf8(value, v)) return argument_error(std::move(*err));
        record.insert_or_assign(std::move(k), std::move(v));
    }
    return std::nullopt;
}

// The whole batch is copied before anything is evaluated, so evaluation
// never needs the interpreter.
std::variant<paywheel::batch::TextBatch, BoundaryError> extract_batch(PyObject* incoming) {
    const int is_str = PyObject_IsInstance(incoming, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str < 0) (void)take_error();  // a failing instance test counts as "not a str"
    if (is_str > 0)
        return argument_error(BoundaryError::deferred_text(ExcType::TypeError, paywheel::messages::kStrToVec));
    if (!PySequence_Check(incoming)) return argument_error(BoundaryError::type_mismatch(incoming, "Sequence"));

    paywheel::batch::TextBatch batch;
    // The length is only a hint, and a sequence may claim any length it
    // likes: reserve for at most kMaxReservedRecords and let the vector grow
    // past that if iteration really yields more.
    constexpr Py_ssize_t kMaxReservedRecords = Py_ssize_t{1} << 16;
    const Py_ssize_t hint = PySequence_Size(incoming);
    if (hint < 0)
        (void)take_error();  // only a reservation hint
    else
        batch.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedRecords)));

    PyRef iter = PyRef::steal(PyObject_GetIter(incoming));
    if (!iter) return argument_error(fetch_error());
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) return argument_error(fetch_error());
            break;
        }
        if (!PyDict_Check(item.get())) return argument_error(BoundaryError::type_mismatch(item.get(), "PyDict"));
        paywheel::batch::TextRecord record;
        if (auto err = copy_record(item.get(), record)) return std::move(*err);
        batch.push_back(std::move(record));
    }
    return batch;
}

enum class Lock { Hold, Release };

BodyResult run_parallel(Lock lock, PyObject* incoming) {
    auto extracted = extract_batch(incoming);
    if (auto* err = std::get_if<BoundaryError>(&extracted)) return std::move(*err);
    paywheel::batch::TextBatch batch = std::move(std::get<paywheel::batch::TextBatch>(extracted));

    paywheel::batch::ensure_pool();  // the first call past extraction creates the pool, even for an empty batch
    paywheel::batch::BatchOutcome outcome;
    // The batch is freed, and the storage of the records before a failure
    // given back, before the lock is taken again, on every way out.
    auto evaluate = [&outcome](paywheel::batch::TextBatch evaluated) {
        outcome = paywheel::batch::evaluate_batch(evaluated, 0);
        if (outcome.failure) outcome.schedules = paywheel::batch::BatchSchedules();
    };
    if (lock == Lock::Release)
        without_lock([&] { evaluate(std::move(batch)); });
    else
        evaluate(std::move(batch));
    if (outcome.failure) paywheel::batch::rethrow(outcome.failure->failure);
    return batch_schedules_to_list(std::move(outcome.schedules));
}

}  // namespace

BodyResult paywheel_par_body(PyObject* const* bound) { return run_parallel(Lock::Hold, bound[0]); }

BodyResult paywheel_gil_body(PyObject* const* bound) { return run_parallel(Lock::Release, bound[0]); }

}  // namespace quill
