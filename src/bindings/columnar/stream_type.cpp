// The stream type: stream_schedules() returns a ScheduleStream, a one-shot
// Arrow C stream whose batches are computed when its consumer asks for
// them, on whatever thread that is, with or without the interpreter lock.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "bindings/columnar/edge.hpp"
#include "bindings/columnar/input.hpp"
#include "bindings/columnar/native.hpp"
#include "paywheel/columnar/runner.hpp"
#include "paywheel/columnar/stream_slice.hpp"
#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"

namespace quill::columnar {

namespace pc = paywheel::columnar;

namespace {

// What a stream object and the exported stream share: the failures met so
// far, readable from Python while or after the consumer reads.
struct StreamState {
    std::mutex mutex;
    std::vector<pc::FailureRow> failures;
    std::unique_ptr<pc::TableSource> source;  // null once exported
    // The schema's shape, kept so that it can be asked for after export.
    bool list = false;
    bool has_id = false;
    bool cents = false;
    bool calendar = false;  // the book has a payments_per_year column
};

// The schema every batch of a stream has.
void stream_schema_into(bool list, bool has_id, bool cents, bool calendar, ArrowSchema* out) {
    pc::TableData shape;
    shape.columns = pc::schedule_columns_shape(list, has_id, true, cents, calendar);
    pc::export_schema(shape, out);
}

class ScheduleStreamSource : public pc::TableSource {
public:
    ScheduleStreamSource(const std::shared_ptr<StreamState>& state, std::unique_ptr<BatchSource> input, std::int64_t batch_rows,
                         bool list, bool skip, std::size_t threads, bool strict, bool cents,
                         std::int32_t periods_per_year)
        : state_(state), input_(std::move(input)), has_id_(input_->has_id()), list_(list), skip_(skip),
          strict_(strict), cents_(cents), calendar_(input_->has_own_periods()), threads_(threads),
          periods_per_year_(periods_per_year) {
        limits_.list = list;
        limits_.batch_rows = batch_rows;
    }

    void schema(ArrowSchema* out) override { stream_schema_into(list_, has_id_, cents_, calendar_, out); }

    pc::TablePtr next() override {
        if (failed_) throw pc::ColumnarError(pc::CallFailure::Upstream, failed_message_);
        try {
            return compute_next();
        } catch (...) {
            failed_ = true;
            try {
                throw;
            } catch (const pc::ColumnarError& e) {
                failed_message_ = e.what();
            } catch (const std::bad_alloc&) {
                failed_message_ = paywheel::messages::kOutOfMemory;
            } catch (...) {
                failed_message_ = paywheel::messages::kStreamFailed;
            }
            throw;
        }
    }

private:
    pc::TablePtr compute_next() {
        pc::InputBatch batch;
        try {
            if (!pull(batch)) return nullptr;
        } catch (const StreamInterrupted&) {
            failed_ = true;
            failed_message_ = paywheel::messages::kStreamInterrupted;
            return nullptr;
        }
        pc::ComputeOptions opt;
        opt.layout = list_ ? pc::Layout::List : pc::Layout::Long;
        opt.on_error = skip_ ? pc::OnError::Skip : pc::OnError::Raise;
        opt.row_base = row_base_;
        opt.loan_is_global_row = !has_id_;
        opt.standing.from_batches = true;  // a batch's own age and balance columns
        opt.calendar = calendar_;          // every batch as the schema says, own periods in it or not
        std::atomic<bool> stop{false};
        pc::TablePtr table;
        std::vector<pc::FailureRow> rows;
        const std::vector<pc::InputBatch> batches{batch};
        const auto body = [&] {
            pc::ScheduleResult res = pc::compute_schedules(batches, opt, pc::runner_for(threads_), stop);
            rows = pc::with_ids(res.failures, batches, has_id_, row_base_);
            if (!skip_ && !rows.empty()) return;
            table = pc::schedule_table(res, pc::ids_of(batches, has_id_), pc::TableShape{list_, has_id_, true});
        };
        // The consumer may call in holding the interpreter lock (a Python
        // caller) or not (pyarrow and duckdb give it up, or call from their
        // own threads): either way Ctrl-C stops the batch as it stops a call.
        const bool python = Py_IsInitialized() != 0;
        const bool holds = python && PyGILState_Check();
        if (python) {
            try {
                run_interruptible(stop, body, holds);
            } catch (PythonFailure& f) {
                interrupted(f, holds);
                return nullptr;
            }
        } else {
            body();
        }
        row_base_ += batch.rows;
        if (std::shared_ptr<StreamState> state = state_.lock(); state && !rows.empty()) {
            std::lock_guard<std::mutex> lock(state->mutex);
            for (pc::FailureRow& r : rows) state->failures.push_back(r);
        }
        if (!skip_ && !rows.empty()) {
            const pc::FailureRow& r = rows.front();
            const std::string id = r.has_id ? paywheel::messages::text(paywheel::messages::kStreamRowId, r.id.c_str()) : "";
            throw pc::ColumnarError(pc::CallFailure::BadInput,
                                    paywheel::messages::text(paywheel::messages::kStreamRowFailed,
                                                             static_cast<long long>(r.failure.index), id.c_str(),
                                                             paywheel::name_of(r.failure.code), r.failure.reason.c_str()));
        }
        return table;
    }

    // A signal handler raised while the batch was computed: the batch is
    // dropped and the stream ends here, failing any later read, and the
    // handler's exception is raised again in this thread, where CPython
    // raises it as soon as the consumer's call returns to Python code, before
    // that code sees what the consumer read: the same try that catches a
    // call's KeyboardInterrupt catches the stream's. (Failing the read
    // instead would make the consumer raise its own error first, and the
    // interrupt would then surface inside the handler of that error.)
    void interrupted(PythonFailure& f, bool holds) {
        failed_ = true;
        failed_message_ = paywheel::messages::kStreamInterrupted;
        auto redeliver = [&] {
            PyObject* type = f.type.get();
            if (type != nullptr) PyThreadState_SetAsyncExc(PyThread_get_thread_ident(), type);
            f = PythonFailure{};
        };
        if (holds) {
            redeliver();
        } else {
            with_lock(redeliver);
        }
    }

    bool pull(pc::InputBatch& out) {
        while (pos_ >= current_.rows) {
            if (!input_->next(current_)) return false;
            current_.strict = strict_;
            current_.cents = cents_;
            current_.periods_per_year = periods_per_year_;
            pos_ = 0;
        }
        const std::int64_t n = pc::rows_for_batch(current_, pos_, limits_);
        out = pc::slice_batch(current_, pos_, n);
        pos_ += n;
        return true;
    }

    // Weak: the state owns this source until it is exported, and once the
    // stream object is gone no one reads the failures.
    std::weak_ptr<StreamState> state_;
    std::unique_ptr<BatchSource> input_;
    pc::InputBatch current_;
    pc::SliceLimits limits_;
    bool has_id_;
    bool list_, skip_, strict_, cents_, calendar_;
    std::size_t threads_;
    std::int32_t periods_per_year_;
    std::int64_t pos_ = 0;
    std::int64_t row_base_ = 0;
    bool failed_ = false;
    std::string failed_message_;
};

struct StreamObject {
    PyObject_HEAD
    std::shared_ptr<StreamState>* state;
};

PyTypeObject g_stream_type = blank_type();

StreamState& state_of(PyObject* self) { return **reinterpret_cast<StreamObject*>(self)->state; }

void stream_dealloc(PyObject* self) {
    delete reinterpret_cast<StreamObject*>(self)->state;
    Py_TYPE(self)->tp_free(self);
}

PyObject* stream_export(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;  // accepted as the interface asks; a stream has one schema
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kw), &requested)) return nullptr;
    return edge([&]() -> PyObject* {
        StreamState& state = state_of(self);
        std::unique_ptr<pc::TableSource> src;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            src = std::move(state.source);
        }
        if (!src) throw Refusal{PyExc_RuntimeError, paywheel::messages::kStreamConsumed};
        return stream_capsule(std::move(src));
    });
}

std::vector<pc::FailureRow> failures_copy(PyObject* self) {
    StreamState& state = state_of(self);
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.failures;
}

PyObject* stream_failures(PyObject* self, void*) {
    return edge([&] { return failures_to_list(failures_copy(self)); });
}

PyObject* stream_errors_table(PyObject* self, void*) {
    return edge([&] { return wrap_table(pc::errors_table(failures_copy(self))); });
}

PyObject* stream_consumed(PyObject* self, void*) {
    return edge([&] {
        StreamState& state = state_of(self);
        std::lock_guard<std::mutex> lock(state.mutex);
        return PyBool_FromLong(state.source ? 0 : 1);
    });
}

// The schema every batch has, available before and after the stream is
// handed out (duckdb asks for it first).
PyObject* stream_schema(PyObject* self, PyObject*) {
    const StreamState& state = state_of(self);
    const bool list = state.list, has_id = state.has_id, cents = state.cents, calendar = state.calendar;
    return schema_capsule([&](ArrowSchema* s) { stream_schema_into(list, has_id, cents, calendar, s); });
}

PyMethodDef g_stream_methods[] = {
    {"__arrow_c_schema__", stream_schema, METH_NOARGS, "The batches' Arrow schema in a PyCapsule."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(stream_export)),
     METH_VARARGS | METH_KEYWORDS, "The schedules as an Arrow C stream; once only."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef g_stream_getset[] = {
    {"failures", stream_failures, nullptr,
     "Rows that failed so far: (index, id, code, field, value, reason, terms).", nullptr},
    {"errors_table", stream_errors_table, nullptr, "Rows that failed so far, as a table.", nullptr},
    {"consumed", stream_consumed, nullptr, "Whether the stream was handed out.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyObject* py_stream_schedules(PyObject*, PyObject* args) {
    PyObject* source;
    int list, skip, strict = 1, cents = 0;
    long long threads, batch_rows, periods_per_year = 12;
    if (!PyArg_ParseTuple(args, "OLppL|ppL", &source, &batch_rows, &list, &skip, &threads, &strict, &cents,
                          &periods_per_year))
        return nullptr;
    release_pending_views();
    return edge([&]() -> PyObject* {
        if (batch_rows <= 0) throw pc::ColumnarError(pc::CallFailure::BadInput, paywheel::messages::kBatchRowsPositive);
        check_periods_per_year(periods_per_year);
        const std::size_t n_threads = resolve_threads(threads);
        auto state = std::make_shared<StreamState>();
        std::unique_ptr<BatchSource> input = batch_source(source);
        state->list = list != 0;
        state->has_id = input->has_id();
        state->cents = cents != 0;
        state->calendar = input->has_own_periods();
        state->source = std::make_unique<ScheduleStreamSource>(state, std::move(input), batch_rows, list != 0, skip != 0,
                                                               n_threads, strict != 0, cents != 0,
                                                               static_cast<std::int32_t>(periods_per_year));
        PyRef obj = PyRef::steal(PyType_GenericAlloc(&g_stream_type, 0));
        if (!obj) return nullptr;
        reinterpret_cast<StreamObject*>(obj.get())->state = new std::shared_ptr<StreamState>(std::move(state));
        return obj.release();
    });
}

bool register_stream_type(PyObject* module) {
    PyTypeObject& stream = g_stream_type;
    stream.tp_name = "quill_harbor_columnar._native.ScheduleStream";
    stream.tp_basicsize = sizeof(StreamObject);
    stream.tp_dealloc = stream_dealloc;
    stream.tp_flags = Py_TPFLAGS_DEFAULT;
    stream.tp_doc = "A one-shot Arrow C stream of schedule batches.";
    stream.tp_methods = g_stream_methods;
    stream.tp_getset = g_stream_getset;
    if (PyType_Ready(&stream) < 0) return false;
    return PyModule_AddObjectRef(module, "ScheduleStream", reinterpret_cast<PyObject*>(&stream)) >= 0;
}

}  // namespace quill::columnar
