// paywheel_par and paywheel_gil: text batches copied whole under the lock,
// then evaluated on the shared worker pool.
#include <mutex>
#include <new>
#include <stdexcept>
#include <optional>
#include <variant>

#include "lib/convert.hpp"
#include "lib/operations.hpp"
#include "lib/pool.hpp"
#include "lib/text_record.hpp"

namespace quill {

namespace {

constexpr const char kIncomingName[] = "incoming";

BoundaryError argument_error(BoundaryError err) { return wrap_argument_error(kIncomingName, std::move(err)); }

// Copies every entry of one dict. Converting a str runs no Python code, so
// the size guards only fire if something else mutates the dict meanwhile.
std::optional<BoundaryError> copy_record(PyObject* dict, paywheel::TextRecord& record) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    record.reserve(static_cast<std::size_t>(size));
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) paywheel::raise_abort("dictionary changed size during iteration");
        if (remaining == -1) paywheel::raise_abort("dictionary keys changed during iteration");
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
std::variant<paywheel::TextBatch, BoundaryError> extract_batch(PyObject* incoming) {
    const int is_str = PyObject_IsInstance(incoming, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str < 0) (void)take_error();  // a failing instance test counts as "not a str"
    if (is_str > 0)
        return argument_error(BoundaryError::deferred_text([] { return PyExc_TypeError; }, "Can't extract `str` to `Vec`"));
    if (!PySequence_Check(incoming)) return argument_error(BoundaryError::type_mismatch(incoming, "Sequence"));

    paywheel::TextBatch batch;
    const Py_ssize_t hint = PySequence_Size(incoming);
    if (hint < 0)
        (void)take_error();  // only a reservation hint
    else
        batch.reserve(static_cast<std::size_t>(hint));

    PyRef iter = PyRef::steal(PyObject_GetIter(incoming));
    if (!iter) return argument_error(fetch_error());
    for (;;) {
        PyRef item = PyRef::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) return argument_error(fetch_error());
            break;
        }
        if (!PyDict_Check(item.get())) return argument_error(BoundaryError::type_mismatch(item.get(), "PyDict"));
        paywheel::TextRecord record;
        if (auto err = copy_record(item.get(), record)) return std::move(*err);
        batch.push_back(std::move(record));
    }
    return batch;
}

// The earliest failing record of a batch, carried from the worker that met
// it to the calling thread. Its report was written where it was raised.
class FirstFailure {
public:
    void offer(std::size_t index, std::variant<paywheel::Abort, std::bad_alloc> failure) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_ || index < index_) {
            index_ = index;
            failure_.emplace(std::move(failure));
        }
    }
    void rethrow() {
        if (!failure_) return;
        if (auto* a = std::get_if<paywheel::Abort>(&*failure_)) throw *a;
        throw std::get<std::bad_alloc>(*failure_);
    }

private:
    std::mutex mutex_;  // taken only on failure
    std::size_t index_ = 0;
    std::optional<std::variant<paywheel::Abort, std::bad_alloc>> failure_;
};

// Evaluates records [begin, end) in order, stopping at the first failure.
void evaluate_piece(const paywheel::TextBatch& batch, std::vector<paywheel::Schedule>& out, std::size_t begin,
                    std::size_t end, FirstFailure& failure) noexcept {
    for (std::size_t i = begin; i < end; ++i) {
        try {
            paywheel::LoanTerms terms = paywheel::decode_text_record(batch[i]);
            out[i] = paywheel::build_schedule(terms);
        } catch (const paywheel::Abort& a) {
            failure.offer(i, a);
            return;
        } catch (const std::bad_alloc&) {
            failure.offer(i, std::bad_alloc());
            return;
        } catch (const std::length_error&) {
            failure.offer(i, std::bad_alloc());  // a column too long to allocate
            return;
        } catch (const std::exception& e) {
            // Nothing else is expected here; report it as an abort rather
            // than let it escape into the pool.
            try {
                paywheel::raise_abort(std::string("unexpected native failure: ") + e.what());
            } catch (const paywheel::Abort& a) {
                failure.offer(i, a);
            }
            return;
        }
    }
}

// Fills out (already sized to the batch) or throws the failure of the
// earliest failing record.
void evaluate_batch(const paywheel::TextBatch& batch, std::vector<paywheel::Schedule>& out) {
    FirstFailure failure;
    if (batch.size() < 2) {
        evaluate_piece(batch, out, 0, batch.size(), failure);
    } else {
        run_on_pool(batch.size(), [&](std::size_t begin, std::size_t end) {
            evaluate_piece(batch, out, begin, end, failure);
        });
    }
    failure.rethrow();
}

// Gives the interpreter lock up for a scope and takes it back on every way
// out of it, exceptions included.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

enum class Lock { Hold, Release };

BodyResult run_parallel(const ArgumentSpec& signature, Lock lock, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* incoming = nullptr;
    if (auto err = bind_arguments(signature, args, nargs, kwnames, &incoming)) return std::move(*err);
    auto extracted = extract_batch(incoming);
    if (auto* err = std::get_if<BoundaryError>(&extracted)) return std::move(*err);
    paywheel::TextBatch batch = std::move(std::get<paywheel::TextBatch>(extracted));

    std::vector<paywheel::Schedule> results;
    (void)pool_threads();  // the first call past extraction creates the pool, even for an empty batch
    {
        std::optional<GilRelease> unlocked;
        if (lock == Lock::Release) unlocked.emplace();
        // Declared after the release, so the batch is freed before the lock
        // is taken back, on the failure path as on the normal one.
        const paywheel::TextBatch evaluated = std::move(batch);
        results.resize(evaluated.size());
        evaluate_batch(evaluated, results);
    }
    return schedules_to_list(std::move(results));
}

}  // namespace

BodyResult paywheel_par_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_parallel(paywheel_par_arguments(), Lock::Hold, args, nargs, kwnames);
}

BodyResult paywheel_gil_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_parallel(paywheel_gil_arguments(), Lock::Release, args, nargs, kwnames);
}

}  // namespace quill
