#include "bindings/columnar/input.hpp"

#include <pthread.h>

#include <cstring>
#include <limits>
#include <mutex>

#include "bindings/columnar/edge.hpp"
#include "bindings/columnar/mapping_input.hpp"
#include "paywheel/columnar/failure.hpp"
#include "paywheel/core/message_text.hpp"
#include "paywheel/core/messages.hpp"

namespace quill::columnar {

namespace pc = paywheel::columnar;
using pc::ColumnView;
using pc::Field;
using pc::InputBatch;
using pc::Kind;
using pc::kFieldCount;
using pc::kFieldNames;

void throw_problem(const pc::ImportProblem& why) { throw pc::ColumnarError(why.kind, why.message); }

HeldBuffer HeldBuffer::of(PyObject* obj, const char* what, std::size_t itemsize, std::string_view formats,
                      std::int64_t count) {
    HeldBuffer b;
    if (obj == Py_None) return b;
    if (PyObject_GetBuffer(obj, &b.view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        throw pc::ColumnarError(pc::CallFailure::BadType, paywheel::messages::text(paywheel::messages::kNotContiguous, what));
    }
    b.held_ = true;
    std::string_view f = b.view_.format != nullptr ? b.view_.format : "B";
    if (!f.empty() && (f[0] == '<' || f[0] == '=' || f[0] == '@')) f.remove_prefix(1);
    if (b.view_.itemsize != static_cast<Py_ssize_t>(itemsize) || f.size() != 1 ||
        formats.find(f[0]) == std::string_view::npos)
        throw pc::ColumnarError(pc::CallFailure::BadType, paywheel::messages::text(paywheel::messages::kWrongItemType, what));
    if (count >= 0 && b.view_.len / b.view_.itemsize != count)
        throw pc::ColumnarError(pc::CallFailure::BadInput, paywheel::messages::text(paywheel::messages::kNotOnePerLoan, what));
    return b;
}

namespace {

namespace m = paywheel::messages;

// Buffer views whose owner went away on a thread without the interpreter
// lock (a stream released by a consumer's own thread). Taking the lock
// there could deadlock against a thread that holds it while waiting for the
// consumer, so the views wait here until the next call into the module.
// Never destroyed: a thread still unwinding out of a call while the process
// exits (a daemon thread at interpreter exit) may reach it after static
// destructors have run.
std::mutex& g_pending_mutex = *new std::mutex;
std::vector<Py_buffer>& g_pending = *new std::vector<Py_buffer>;

// True once the interpreter is being torn down: views are then left to the
// process's end.
bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// A child forked while another thread held the lock would wait for it for
// ever at its first call: the lock is taken around fork.
[[maybe_unused]] const bool g_pending_fork_safe =
    ::pthread_atfork([] { g_pending_mutex.lock(); }, [] { g_pending_mutex.unlock(); },
                     [] { g_pending_mutex.unlock(); }) == 0;

// ------------------------------------------------------------ Arrow

// The layout's payments_per_year column (the third of its shape columns).
bool own_periods(const pc::ArrowLayout& layout) noexcept { return layout.shape_child[2] >= 0; }

pc::ArrowLayout layout_of(const ArrowSchema& schema) {
    pc::ArrowLayout layout;
    pc::ImportProblem why;
    if (!pc::layout_from_schema(schema, layout, why)) throw_problem(why);
    return layout;
}

InputBatch batch_of(const pc::ArrowLayout& layout, const ArrowArray& arr) {
    InputBatch b;
    pc::ImportProblem why;
    if (!pc::batch_from_arrow(layout, arr, 0, arr.length, b, why)) throw_problem(why);
    return b;
}

ArrowArrayStream* stream_pointer(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, "arrow_array_stream"))
        fail(pc::CallFailure::BadType, m::kNoStreamCapsule);
    auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (s == nullptr || s->release == nullptr) fail(pc::CallFailure::BadInput, m::kStreamTaken);
    return s;
}

// Takes the stream out of its capsule (whose destructor then sees a released
// stream) and reads its layout.
std::unique_ptr<pc::ArrowStreamHandle> take_stream(PyObject* capsule, pc::ArrowLayout& layout, bool& has_id) {
    ArrowArrayStream* src = stream_pointer(capsule);
    auto handle = std::make_unique<pc::ArrowStreamHandle>(*src);
    src->release = nullptr;
    pc::ArrowSchemaHandle schema;
    ArrowArrayStream* s = handle->get();
    const int rc = s->get_schema(s, schema.get());
    if (rc != 0) fail(pc::CallFailure::Upstream, pc::stream_failure_text(s, rc));
    layout = layout_of(*schema.get());
    has_id = layout.child[0] >= 0;
    return handle;
}

// Moves the array out of an "arrow_array" capsule into a handle we own.
std::unique_ptr<pc::ArrowArrayHandle> take_array(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, "arrow_array"))
        fail(pc::CallFailure::BadType, m::kNoArrayCapsule);
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array->release == nullptr) fail(pc::CallFailure::BadInput, m::kArrayTaken);
    auto a = std::make_unique<pc::ArrowArrayHandle>();
    *a->get() = *array;
    array->release = nullptr;
    return a;
}

// The schema capsule's struct, checked.
const ArrowSchema& schema_of(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, "arrow_schema"))
        fail(pc::CallFailure::BadType, m::text(m::kNoSchemaCapsule, "__arrow_c_array__"));
    return *static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
}

std::unique_ptr<Book> book_from_stream_capsule(PyObject* capsule) {
    auto book = std::make_unique<Book>();
    pc::ArrowLayout layout;
    book->stream = take_stream(capsule, layout, book->has_id);
    ArrowArrayStream* s = book->stream->get();
    for (;;) {
        auto a = std::make_unique<pc::ArrowArrayHandle>();
        int rc = 0;
        // Some producers compute while producing; let other threads run.
        without_lock([&] { rc = s->get_next(s, a->get()); });
        if (rc != 0) fail(pc::CallFailure::Upstream, pc::stream_failure_text(s, rc));
        if (a->get()->release == nullptr) break;
        const ArrowArray& arr = *a->get();
        if (arr.length > 0) book->batches.push_back(batch_of(layout, arr));
        book->arrays.push_back(std::move(a));
    }
    return book;
}

std::unique_ptr<Book> book_from_array_capsules(PyObject* schema_capsule, PyObject* array_capsule) {
    const ArrowSchema& schema = schema_of(schema_capsule);
    const pc::ArrowLayout layout = layout_of(schema);
    auto book = std::make_unique<Book>();
    book->arrays.push_back(take_array(array_capsule));
    book->has_id = layout.child[0] >= 0;
    const ArrowArray& arr = *book->arrays.back()->get();
    if (arr.length > 0) book->batches.push_back(batch_of(layout, arr));
    return book;
}

// A reader whose batches come from Python code (pyarrow.RecordBatchReader
// over a generator, say): pulled through its own read_next_batch, so that
// whatever its producer raises reaches the caller as it was raised.
class PythonReader {
public:
    explicit PythonReader(PyObject* reader) : reader_(PyRef::borrow(reader)) {
        PyRef schema = PyRef::steal(PyObject_GetAttrString(reader, "schema"));
        if (!schema) throw PythonFailure::fetch();
        PyRef capsule = PyRef::steal(PyObject_CallMethod(schema.get(), "__arrow_c_schema__", nullptr));
        if (!capsule) throw PythonFailure::fetch();
        if (!PyCapsule_IsValid(capsule.get(), "arrow_schema"))
            fail(pc::CallFailure::BadType, m::text(m::kNoSchemaCapsule, "__arrow_c_schema__"));
        layout_ = layout_of(*static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule.get(), "arrow_schema")));
    }
    bool has_id() const noexcept { return layout_.child[0] >= 0; }
    bool has_own_periods() const noexcept { return own_periods(layout_); }
    const pc::ArrowLayout& layout() const noexcept { return layout_; }

    // The next array, or null at the end. Needs the lock. A producer's
    // exception comes out as PythonFailure.
    std::unique_ptr<pc::ArrowArrayHandle> next() {
        PyRef batch = PyRef::steal(PyObject_CallMethod(reader_.get(), "read_next_batch", nullptr));
        if (!batch) {
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyErr_Clear();
                return nullptr;
            }
            throw PythonFailure::fetch();
        }
        PyRef pair = PyRef::steal(PyObject_CallMethod(batch.get(), "__arrow_c_array__", nullptr));
        if (!pair) throw PythonFailure::fetch();
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
            fail(pc::CallFailure::BadType, m::kNotAPair);
        (void)schema_of(PyTuple_GET_ITEM(pair.get(), 0));
        return take_array(PyTuple_GET_ITEM(pair.get(), 1));
    }

private:
    PyRef reader_;
    pc::ArrowLayout layout_;
};

std::unique_ptr<Book> book_from_reader(PyObject* source) {
    PythonReader reader(source);
    auto book = std::make_unique<Book>();
    book->has_id = reader.has_id();
    while (std::unique_ptr<pc::ArrowArrayHandle> a = reader.next()) {
        const ArrowArray& arr = *a->get();
        if (arr.length > 0) book->batches.push_back(batch_of(reader.layout(), arr));
        book->arrays.push_back(std::move(a));
    }
    return book;
}

bool is_python_reader(PyObject* source) {
    return PyObject_HasAttrString(source, "read_next_batch") && PyObject_HasAttrString(source, "schema");
}

// ------------------------------------------------------------ stream sources

class WholeBookSource : public BatchSource {
public:
    explicit WholeBookSource(std::unique_ptr<Book> book) : book_(std::move(book)) {}
    bool has_id() const noexcept override { return book_->has_id; }
    bool has_own_periods() const noexcept override {
        for (const InputBatch& b : book_->batches)
            if (b.shape.payments_per_year.kind != Kind::Absent) return true;
        return false;
    }
    bool next(InputBatch& out) override {
        if (done_ || book_->batches.empty()) return false;
        done_ = true;
        out = book_->batches.front();
        return true;
    }

private:
    std::unique_ptr<Book> book_;
    bool done_ = false;
};

class ArrowStreamSource : public BatchSource {
public:
    explicit ArrowStreamSource(PyObject* capsule) { upstream_ = take_stream(capsule, layout_, has_id_); }
    bool has_id() const noexcept override { return has_id_; }
    bool has_own_periods() const noexcept override { return own_periods(layout_); }
    bool next(InputBatch& out) override {
        current_.reset();
        auto a = std::make_unique<pc::ArrowArrayHandle>();
        ArrowArrayStream* s = upstream_->get();
        const int rc = s->get_next(s, a->get());
        if (rc != 0) fail(pc::CallFailure::Upstream, pc::stream_failure_text(s, rc));
        if (a->get()->release == nullptr) return false;
        current_ = std::move(a);
        out = batch_of(layout_, *current_->get());
        return true;
    }

private:
    std::unique_ptr<pc::ArrowStreamHandle> upstream_;
    std::unique_ptr<pc::ArrowArrayHandle> current_;
    pc::ArrowLayout layout_;
    bool has_id_ = false;
};

// The reader's references are dropped with the lock, on whatever thread
// the stream ends.
class PythonReaderSource : public BatchSource {
public:
    explicit PythonReaderSource(PyObject* source) : reader_(new PythonReader(source)) {}
    ~PythonReaderSource() override {
        if (!Py_IsInitialized() || finalizing()) {
            (void)reader_.release();  // the interpreter is gone: nothing left to release
            return;
        }
        with_lock([&] { reader_.reset(); });
    }
    bool has_id() const noexcept override { return reader_->has_id(); }
    bool has_own_periods() const noexcept override { return reader_->has_own_periods(); }
    bool next(InputBatch& out) override {
        current_.reset();
        std::string failure;
        bool interrupt = false;
        with_lock([&] {
            try {
                current_ = reader_->next();
            } catch (PythonFailure& f) {
                failure = describe(f);
                interrupt = redeliver_interrupt(f);
                f = PythonFailure{};
            }
        });
        if (interrupt) throw StreamInterrupted{};
        if (!failure.empty()) fail(pc::CallFailure::Upstream, m::text(m::kPythonSourceRaised, failure.c_str()));
        if (!current_) return false;
        out = batch_of(reader_->layout(), *current_->get());
        return true;
    }

private:
    static std::string describe(const PythonFailure& f) {
        std::string text = f.type ? reinterpret_cast<PyTypeObject*>(f.type.get())->tp_name : "an exception";
        if (f.value) {
            PyRef s = PyRef::steal(PyObject_Str(f.value.get()));
            const char* u = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
            if (u != nullptr && *u != '\0') text += std::string(": ") + u;
            PyErr_Clear();
        }
        return text;
    }
    // A stream's consumer sees only an error code; an interrupt the producer
    // raised is raised again in this thread's Python code once the consumer
    // returns, so that Ctrl-C still stops the program.
    static bool redeliver_interrupt(const PythonFailure& f) {
        if (!f.type || !PyErr_GivenExceptionMatches(f.type.get(), PyExc_KeyboardInterrupt)) return false;
        PyThreadState_SetAsyncExc(PyThread_get_thread_ident(), PyExc_KeyboardInterrupt);
        return true;
    }

    std::unique_ptr<PythonReader> reader_;
    std::unique_ptr<pc::ArrowArrayHandle> current_;
};

}  // namespace

void release_pending_views() {
    std::vector<Py_buffer> views;
    {
        std::lock_guard<std::mutex> lock(g_pending_mutex);
        views.swap(g_pending);
    }
    for (Py_buffer& v : views) PyBuffer_Release(&v);
}

Book::~Book() {
    if (!views.empty() && Py_IsInitialized() && !finalizing()) {
        if (Py_IsInitialized() && PyGILState_Check()) {
            for (Py_buffer& v : views) PyBuffer_Release(&v);
        } else {
            {
                std::lock_guard<std::mutex> lock(g_pending_mutex);
                for (Py_buffer& v : views) g_pending.push_back(v);
            }
            // Released by the main thread as soon as it runs Python code
            // again (a pending call needs no lock to be scheduled), or else
            // by the next call into the module.
            if (Py_IsInitialized()) (void)Py_AddPendingCall([](void*) -> int {
                release_pending_views();
                return 0;
            }, nullptr);
        }
    }
    if (finalizing()) {
        // The producers' releases may need the interpreter, which is going
        // away with the process: their memory goes with it.
        for (auto& a : arrays) a->forget();
        if (stream) stream->forget();
    }
    arrays.clear();
    stream.reset();
}

std::int64_t Book::rows() const noexcept {
    std::int64_t n = 0;
    for (const InputBatch& b : batches) n += b.rows;
    return n;
}

namespace {

std::unique_ptr<Book> read_any_book(PyObject* source) {
    if (PyDict_Check(source)) return book_from_mapping(source);
    if (PyCapsule_CheckExact(source)) return book_from_stream_capsule(source);
    if (PyTuple_Check(source) && PyTuple_GET_SIZE(source) == 2)
        return book_from_array_capsules(PyTuple_GET_ITEM(source, 0), PyTuple_GET_ITEM(source, 1));
    if (is_python_reader(source)) return book_from_reader(source);
    fail(pc::CallFailure::BadType, m::kUnsupportedSource);
}

}  // namespace

void check_periods_per_year(long long periods_per_year) {
    if (periods_per_year < 1 || periods_per_year > 366)
        throw pc::ColumnarError(pc::CallFailure::BadInput, paywheel::messages::kPeriodsPerYearRange);
}

std::unique_ptr<Book> read_book(PyObject* source, bool strict, bool cents, long long periods_per_year) {
    check_periods_per_year(periods_per_year);
    std::unique_ptr<Book> book = read_any_book(source);
    for (InputBatch& b : book->batches) {
        b.strict = strict;
        b.cents = cents;
        b.periods_per_year = static_cast<std::int32_t>(periods_per_year);
    }
    return book;
}

std::unique_ptr<BatchSource> batch_source(PyObject* source) {
    if (PyDict_Check(source)) return std::make_unique<WholeBookSource>(book_from_mapping(source));
    if (PyCapsule_CheckExact(source)) return std::make_unique<ArrowStreamSource>(source);
    if (is_python_reader(source)) return std::make_unique<PythonReaderSource>(source);
    fail(pc::CallFailure::BadType, m::kUnsupportedSource);
}

}  // namespace quill::columnar
