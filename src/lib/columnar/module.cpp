// quill_harbor_columnar._native: the interpreter-facing half of the columnar
// operations. Input is read into plain column views under the lock; decoding
// and computing run on the pool with the lock released; results are native
// tables that Python sees through the buffer protocol and the Arrow PyCapsule
// interface.
#include <cstdlib>

#include "paywheel/core/power.hpp"
#include "lib/pyref.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#include "lib/columnar/arrow_table.hpp"
#include "lib/columnar/calls.hpp"
#include "lib/columnar/columnar_pool.hpp"
#include "lib/columnar/input.hpp"
#include "paywheel/batch/columnar_compute.hpp"
#include "paywheel/core/abort.hpp"

namespace quill::columnar {

namespace pc = paywheel::columnar;

// The helpers below are shared with the other call files through calls.hpp.

// Gives the interpreter lock up for a scope and takes it back on every way
// out of it.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};


void translate() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
    } catch (const PyFailure& f) {
        PyErr_SetString(f.type, f.message.c_str());
    } catch (const pc::TooLarge& t) {
        if (t.bytes == SIZE_MAX)
            PyErr_SetString(PyExc_MemoryError, "the schedules would need more bytes than an address space holds");
        else
            PyErr_Format(PyExc_MemoryError,
                         "the schedules would need %zu bytes, more than the %zu bytes of memory this machine has",
                         t.bytes, t.limit);
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "out of memory while computing schedules");
    } catch (const paywheel::Abort& a) {
        PyErr_SetString(PyExc_RuntimeError, a.message());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected native failure");
    }
}

// ------------------------------------------------------------ interruptible runs

// Runs body on a helper thread while the calling thread, lock released,
// waits in slices of at most 100 ms and looks for pending signals between
// them. On Ctrl-C (a handler raising), sets `stop`, waits for the workers to
// notice and returns false with the exception pending. Exceptions from body
// are rethrown here.
bool run_interruptible(std::atomic<bool>& stop, const std::function<void()>& body) {
    struct Shared {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        std::exception_ptr error;
    } sh;
    auto task = [&sh, &body] {
        try {
            body();
        } catch (...) {
            sh.error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(sh.m);
        sh.done = true;
        sh.cv.notify_all();
    };
    std::thread helper;
    try {
        helper = std::thread(task);
    } catch (const std::system_error&) {
        {
            GilRelease unlocked;
            task();
        }
        if (sh.error) std::rethrow_exception(sh.error);
        return true;
    }
    bool interrupted = false;
    for (;;) {
        bool finished;
        {
            GilRelease unlocked;
            std::unique_lock<std::mutex> lock(sh.m);
            finished = sh.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return sh.done; });
        }
        if (finished) break;
        if (PyErr_CheckSignals() < 0) {
            interrupted = true;
            stop.store(true);
            GilRelease unlocked;
            std::unique_lock<std::mutex> lock(sh.m);
            sh.cv.wait(lock, [&] { return sh.done; });
            break;
        }
    }
    {
        GilRelease unlocked;
        helper.join();
    }
    if (interrupted) return false;  // partial results were freed by the body's unwinding
    if (sh.error) std::rethrow_exception(sh.error);
    return true;
}

pc::ChunkRunner runner_for(std::size_t threads) {
    return [threads](std::size_t count, const std::function<void(std::size_t)>& work) { run_chunks(threads, count, work); };
}

// ------------------------------------------------------------ building tables

std::vector<std::string_view> ids_of(const Book& book) {
    std::vector<std::string_view> ids;
    if (!book.has_id) return ids;
    ids.reserve(static_cast<std::size_t>(book.rows()));
    for (const pc::InputBatch& b : book.batches)
        for (std::int64_t r = 0; r < b.rows; ++r) ids.push_back(b.column(pc::Field::Id).text(r));
    return ids;
}

std::vector<std::string_view> ids_of(const pc::InputBatch& b, bool has_id) {
    std::vector<std::string_view> ids;
    if (!has_id) return ids;
    ids.reserve(static_cast<std::size_t>(b.rows));
    for (std::int64_t r = 0; r < b.rows; ++r) ids.push_back(b.column(pc::Field::Id).text(r));
    return ids;
}

// The columns of a schedule table, without data: what a stream announces as
// its schema before any batch exists.
std::vector<ArrowColumn> schedule_columns_shape(bool list, bool has_id, bool large_lists) {
    std::vector<ArrowColumn> cols;
    ArrowColumn loan;
    loan.name = "loan";
    if (list) {
        loan.format = has_id ? "u" : "i";
    } else {
        loan.format = "i";
        if (has_id) {
            loan.dictionary = std::make_shared<ArrowColumn>();
            loan.dictionary->format = "u";
        }
    }
    cols.push_back(loan);
    for (const char* name : pc::kColumnNames) {
        ArrowColumn c;
        c.name = name;
        if (list) {
            c.format = large_lists ? "+L" : "+l";
            ArrowColumn item;
            item.name = "item";
            item.format = "f";
            c.children.push_back(item);
        } else {
            c.format = "f";
        }
        cols.push_back(c);
    }
    return cols;
}

TablePtr schedule_table(pc::ScheduleResult& res, bool has_id, const std::vector<std::string_view>& ids, bool list,
                        bool force_large) {
    auto t = std::make_shared<TableData>();
    float* cols[pc::kColumns];
    for (std::size_t k = 0; k < pc::kColumns; ++k) cols[k] = t->keep<float>(std::move(res.columns[k]));
    std::int64_t* offsets64 = t->keep<std::int64_t>(std::move(res.offsets));
    const std::int64_t rows = res.rows;
    const std::int64_t values = res.values;

    if (!list) {
        std::int32_t* loan = t->keep<std::int32_t>(std::move(res.loan));
        ArrowColumn lc = fixed_column("loan", "i", values, loan);
        if (has_id) lc.dictionary = std::make_shared<ArrowColumn>(text_column(*t, "", ids, {}));
        t->columns.push_back(std::move(lc));
        for (std::size_t k = 0; k < pc::kColumns; ++k) t->columns.push_back(fixed_column(pc::kColumnNames[k], "f", values, cols[k]));
        t->rows = values;
        t->named.push_back(NamedBuffer{"loan", loan, values, "i", 4});
        t->named.push_back(NamedBuffer{"offsets", offsets64, rows + 1, "q", 8});
    } else {
        const void* validity = res.validity.data() != nullptr ? t->keep<void>(std::move(res.validity)) : nullptr;
        if (has_id) {
            t->columns.push_back(text_column(*t, "loan", ids, {}));
        } else {
            std::int32_t* idx = t->keep<std::int32_t>(pc::Region::allocate(static_cast<std::size_t>(rows) * 4));
            for (std::int64_t i = 0; i < rows; ++i) idx[i] = static_cast<std::int32_t>(i);
            t->columns.push_back(fixed_column("loan", "i", rows, idx));
            t->named.push_back(NamedBuffer{"loan", idx, rows, "i", 4});
        }
        const bool large = force_large || values > INT32_MAX;
        const void* offsets = offsets64;
        if (!large) {
            std::int32_t* o32 = t->keep<std::int32_t>(pc::Region::allocate(static_cast<std::size_t>(rows + 1) * 4));
            for (std::int64_t i = 0; i <= rows; ++i) o32[i] = static_cast<std::int32_t>(offsets64[i]);
            offsets = o32;
            t->named.push_back(NamedBuffer{"offsets", o32, rows + 1, "i", 4});
        } else {
            t->named.push_back(NamedBuffer{"offsets", offsets64, rows + 1, "q", 8});
        }
        for (std::size_t k = 0; k < pc::kColumns; ++k) {
            ArrowColumn c;
            c.format = large ? "+L" : "+l";
            c.name = pc::kColumnNames[k];
            c.length = rows;
            c.null_count = res.null_count;
            c.buffers = {validity, offsets};
            c.children.push_back(fixed_column("item", "f", values, cols[k]));
            t->columns.push_back(std::move(c));
        }
        t->rows = rows;
    }
    for (std::size_t k = 0; k < pc::kColumns; ++k)
        t->named.push_back(NamedBuffer{pc::kColumnNames[k], cols[k], values, "f", 4});
    return t;
}

TablePtr errors_table(const std::vector<FailureRow>& rows) {
    auto t = std::make_shared<TableData>();
    const std::size_t n = rows.size();
    std::int64_t* index = t->keep<std::int64_t>(pc::Region::allocate(n * 8));
    std::vector<std::string_view> ids, reasons;
    std::vector<bool> present;
    for (std::size_t i = 0; i < n; ++i) {
        index[i] = rows[i].index;
        ids.push_back(rows[i].id);
        present.push_back(rows[i].has_id);
        reasons.push_back(rows[i].failure.reason);
    }
    t->columns.push_back(fixed_column("index", "l", static_cast<std::int64_t>(n), index));
    t->columns.push_back(text_column(*t, "id", ids, present));
    t->columns.push_back(text_column(*t, "reason", reasons, {}));
    t->rows = static_cast<std::int64_t>(n);
    t->named.push_back(NamedBuffer{"index", index, static_cast<std::int64_t>(n), "q", 8});
    return t;
}

// ------------------------------------------------------------ Python: Buffer

struct BufferObject {
    PyObject_HEAD
    TablePtr* owner;
    const void* data;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    const char* format;
    Py_ssize_t itemsize;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<BufferObject*>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "schedule columns are read-only");
        view->obj = nullptr;
        return -1;
    }
    view->buf = const_cast<void*>(b->data);
    view->obj = Py_NewRef(self);
    view->len = b->shape[0] * b->itemsize;
    view->readonly = 1;
    view->itemsize = b->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(b->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? b->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? b->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void buffer_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<BufferObject*>(self);
    delete b->owner;
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs g_buffer_procs = {buffer_get, nullptr};

// A static type object: zero-initialised, with the reference a static
// type starts with.
PyTypeObject blank_type() {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;
    return t;
}

PyTypeObject g_buffer_type = [] {
    PyTypeObject t = blank_type();
    t.tp_name = "quill_harbor_columnar._native.Buffer";
    t.tp_basicsize = sizeof(BufferObject);
    t.tp_dealloc = buffer_dealloc;
    t.tp_as_buffer = &g_buffer_procs;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "A read-only flat buffer of a native table.";
    return t;
}();

// ------------------------------------------------------------ Python: Table

struct TableObject {
    PyObject_HEAD
    TablePtr* table;
};

PyTypeObject g_table_type_storage = blank_type();

// New reference.
PyObject* wrap_table(TablePtr t) {
    PyRef obj = PyRef::steal(PyType_GenericAlloc(&g_table_type_storage, 0));
    if (!obj) return nullptr;
    reinterpret_cast<TableObject*>(obj.get())->table = new TablePtr(std::move(t));
    return obj.release();
}

void table_dealloc(PyObject* self) {
    delete reinterpret_cast<TableObject*>(self)->table;
    Py_TYPE(self)->tp_free(self);
}

// The capsule destructors of the Arrow PyCapsule protocol: release the
// struct if its consumer has not moved it out, then free it.
template <typename T, const char* Name>
void capsule_free(PyObject* cap) {
    auto* p = static_cast<T*>(PyCapsule_GetPointer(cap, Name));
    if (p == nullptr) {
        PyErr_Clear();
        return;
    }
    if (p->release != nullptr) p->release(p);
    std::free(p);
}

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kArrayCapsule[] = "arrow_array";
constexpr char kStreamCapsule[] = "arrow_array_stream";
constexpr auto schema_capsule_free = capsule_free<ArrowSchema, kSchemaCapsule>;
constexpr auto array_capsule_free = capsule_free<ArrowArray, kArrayCapsule>;
constexpr auto stream_capsule_free = capsule_free<ArrowArrayStream, kStreamCapsule>;

// New reference.
PyObject* schema_capsule(const std::function<void(ArrowSchema*)>& fill) {
    auto* s = static_cast<ArrowSchema*>(std::malloc(sizeof(ArrowSchema)));
    if (s == nullptr) return PyErr_NoMemory();
    s->release = nullptr;
    try {
        fill(s);
    } catch (...) {
        std::free(s);
        translate();
        return nullptr;
    }
    PyObject* cap = PyCapsule_New(s, "arrow_schema", schema_capsule_free);
    if (cap == nullptr) {
        s->release(s);
        std::free(s);
    }
    return cap;
}

// New reference.
PyObject* array_capsule(const TablePtr& t) {
    auto* a = static_cast<ArrowArray*>(std::malloc(sizeof(ArrowArray)));
    if (a == nullptr) return PyErr_NoMemory();
    a->release = nullptr;
    try {
        export_array(t, a);
    } catch (...) {
        std::free(a);
        translate();
        return nullptr;
    }
    PyObject* cap = PyCapsule_New(a, "arrow_array", array_capsule_free);
    if (cap == nullptr) {
        a->release(a);
        std::free(a);
    }
    return cap;
}

// New reference.
PyObject* stream_capsule(std::unique_ptr<TableSource> source) {
    auto* s = static_cast<ArrowArrayStream*>(std::malloc(sizeof(ArrowArrayStream)));
    if (s == nullptr) return PyErr_NoMemory();
    s->release = nullptr;
    try {
        export_stream(std::move(source), s);
    } catch (...) {
        std::free(s);
        translate();
        return nullptr;
    }
    PyObject* cap = PyCapsule_New(s, "arrow_array_stream", stream_capsule_free);
    if (cap == nullptr) {
        s->release(s);
        std::free(s);
    }
    return cap;
}

const TablePtr& table_of(PyObject* self) { return *reinterpret_cast<TableObject*>(self)->table; }

// New reference.
PyObject* table_schema(PyObject* self, PyObject*) {
    const TablePtr& t = table_of(self);
    return schema_capsule([&](ArrowSchema* s) { export_schema(*t, s); });
}

// New reference.
PyObject* table_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kw), &requested)) return nullptr;
    const TablePtr& t = table_of(self);
    PyRef schema = PyRef::steal(schema_capsule([&](ArrowSchema* s) { export_schema(*t, s); }));
    if (!schema) return nullptr;
    PyRef array = PyRef::steal(array_capsule(t));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
}

// New reference.
PyObject* table_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kw), &requested)) return nullptr;
    std::unique_ptr<TableSource> src;
    try {
        src = single_table_source(table_of(self));
    } catch (...) {
        translate();
        return nullptr;
    }
    return stream_capsule(std::move(src));
}

// New reference: a read-only memoryview of the named flat buffer.
PyObject* table_column(PyObject* self, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "column name must be a str");
        return nullptr;
    }
    const char* name = PyUnicode_AsUTF8(arg);
    if (name == nullptr) return nullptr;
    const TablePtr& t = table_of(self);
    for (const NamedBuffer& nb : t->named) {
        if (nb.name != name) continue;
        PyRef buf = PyRef::steal(PyType_GenericAlloc(&g_buffer_type, 0));
        if (!buf) return nullptr;
        auto* b = reinterpret_cast<BufferObject*>(buf.get());
        b->owner = new TablePtr(t);
        b->data = nb.data;
        b->shape[0] = static_cast<Py_ssize_t>(nb.count);
        b->strides[0] = static_cast<Py_ssize_t>(nb.itemsize);
        b->format = nb.format;
        b->itemsize = static_cast<Py_ssize_t>(nb.itemsize);
        return PyMemoryView_FromObject(buf.get());
    }
    PyErr_Format(PyExc_KeyError, "no flat column %R; the flat columns are %s", arg, [&] {
        static thread_local std::string names;
        names.clear();
        for (const NamedBuffer& nb : t->named) names += (names.empty() ? "" : ", ") + nb.name;
        return names.c_str();
    }());
    return nullptr;
}

// New reference.
PyObject* table_buffer_names(PyObject* self, void*) {
    const TablePtr& t = table_of(self);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const NamedBuffer& nb : t->named) {
        PyRef s = PyRef::steal(PyUnicode_FromString(nb.name.c_str()));
        if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
    }
    return list.release();
}

// New reference.
PyObject* table_column_names(PyObject* self, void*) {
    const TablePtr& t = table_of(self);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const ArrowColumn& c : t->columns) {
        PyRef s = PyRef::steal(PyUnicode_FromString(c.name.c_str()));
        if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
    }
    return list.release();
}

// New reference.
PyObject* table_num_rows(PyObject* self, void*) { return PyLong_FromLongLong(table_of(self)->rows); }
// New reference.
PyObject* table_nbytes(PyObject* self, void*) { return PyLong_FromSize_t(table_of(self)->nbytes()); }

PyMethodDef g_table_methods[] = {
    {"__arrow_c_schema__", table_schema, METH_NOARGS, "The table's Arrow schema (a struct) in a PyCapsule."},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(table_array)),
     METH_VARARGS | METH_KEYWORDS, "The table as one Arrow struct array: (schema capsule, array capsule)."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(table_stream)),
     METH_VARARGS | METH_KEYWORDS, "The table as an Arrow C stream of one batch, in a PyCapsule."},
    {"column", table_column, METH_O, "column(name) -> memoryview: a read-only flat buffer, without a copy."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef g_table_getset[] = {
    {"buffer_names", table_buffer_names, nullptr, "Names column() accepts.", nullptr},
    {"column_names", table_column_names, nullptr, "Names of the Arrow columns.", nullptr},
    {"num_rows", table_num_rows, nullptr, "Rows of the Arrow table.", nullptr},
    {"nbytes", table_nbytes, nullptr, "Bytes of memory the table holds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ------------------------------------------------------------ calls

struct Source {
    std::unique_ptr<Book> book;
};

// Reads `source`: a dict of columns, a PyCapsule "arrow_array_stream", or a
// (schema, array) capsule pair.
std::unique_ptr<Book> read_source(PyObject* source) {
    if (PyDict_Check(source)) return book_from_mapping(source);
    if (PyCapsule_CheckExact(source)) return book_from_stream_capsule(source);
    if (PyTuple_Check(source) && PyTuple_GET_SIZE(source) == 2)
        return book_from_array_capsules(PyTuple_GET_ITEM(source, 0), PyTuple_GET_ITEM(source, 1));
    throw PyFailure{PyExc_TypeError, "unsupported source of loans"};
}

std::size_t resolve_threads(long long threads) {
    if (threads < 0) throw PyFailure{PyExc_ValueError, "threads must be positive"};
    return threads == 0 ? default_threads() : static_cast<std::size_t>(threads);
}

// New reference: a list of (index, id or None, reason, terms or None).
PyObject* failures_to_list(const std::vector<FailureRow>& rows) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const FailureRow& r = rows[i];
        PyRef id = r.has_id ? PyRef::steal(PyUnicode_DecodeUTF8(r.id.data(), static_cast<Py_ssize_t>(r.id.size()), "replace"))
                            : PyRef::borrow(Py_None);
        PyRef terms = PyRef::borrow(Py_None);
        if (r.failure.has_terms) {
            const paywheel::LoanTerms& t = r.failure.terms;
            terms = PyRef::steal(Py_BuildValue("(ddiii)", static_cast<double>(t.amt), static_cast<double>(t.rate), t.pers,
                                               t.int_freq, t.cap_freq));
        }
        PyRef item = PyRef::steal(Py_BuildValue("(LNsN)", static_cast<long long>(r.index), id.release(),
                                                r.failure.reason.c_str(), terms.release()));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

std::vector<FailureRow> with_ids(std::vector<pc::RowFailure>& failures, const Book& book) {
    std::vector<FailureRow> rows;
    rows.reserve(failures.size());
    for (pc::RowFailure& f : failures) {
        const std::string_view id = book.id(f.index);
        rows.push_back(FailureRow{f.index, std::string(id), book.has_id, std::move(f)});
    }
    return rows;
}

// New reference: (table, failures, errors table).
PyObject* py_schedules(PyObject*, PyObject* args) {
    PyObject* source;
    int list, skip;
    long long threads;
    if (!PyArg_ParseTuple(args, "OppL", &source, &list, &skip, &threads)) return nullptr;
    release_pending_views();
    try {
        const std::size_t n_threads = resolve_threads(threads);
        std::unique_ptr<Book> book = read_source(source);
        if (book->rows() > INT32_MAX)
            throw PyFailure{PyExc_ValueError, "one call takes at most 2^31 - 1 loans; use stream_schedules for more"};
        pc::ComputeOptions opt;
        opt.layout = list ? pc::Layout::List : pc::Layout::Long;
        opt.on_error = skip ? pc::OnError::Skip : pc::OnError::Raise;
        opt.loan_is_global_row = true;  // the row index is also the index into the ids
        opt.memory_limit = pc::physical_memory_bytes();
        std::atomic<bool> stop{false};
        pc::ScheduleResult res;
        TablePtr table;
        std::vector<FailureRow> failures;
        const bool completed = run_interruptible(stop, [&] {
            res = pc::compute_schedules(book->batches, opt, runner_for(n_threads), stop);
            failures = with_ids(res.failures, *book);
            if (opt.on_error == pc::OnError::Raise && !failures.empty()) return;
            table = schedule_table(res, book->has_id, ids_of(*book), list != 0, false);
        });
        if (!completed) return nullptr;
        book.reset();
        PyRef fl = PyRef::steal(failures_to_list(failures));
        if (!fl) return nullptr;
        PyRef t = table ? PyRef::steal(wrap_table(std::move(table))) : PyRef::borrow(Py_None);
        if (!t) return nullptr;
        PyRef et = PyRef::steal(wrap_table(errors_table(failures)));
        if (!et) return nullptr;
        return PyTuple_Pack(3, t.get(), fl.get(), et.get());
    } catch (...) {
        translate();
        return nullptr;
    }
}

TablePtr cashflow_table(const pc::CashflowTotals& tot) {
    auto t = std::make_shared<TableData>();
    const std::size_t n = tot.cap.size();
    std::int32_t* period = t->keep<std::int32_t>(pc::Region::allocate(n * 4));
    for (std::size_t i = 0; i < n; ++i) period[i] = static_cast<std::int32_t>(i);
    const std::int64_t len = static_cast<std::int64_t>(n);
    t->columns.push_back(fixed_column("period", "i", len, period));
    t->named.push_back(NamedBuffer{"period", period, len, "i", 4});
    const std::vector<double>* sums[4] = {&tot.cap, &tot.interest, &tot.pmt, &tot.bal};
    const char* names[4] = {"Cap", "Int", "Pmt", "Bal"};
    for (int k = 0; k < 4; ++k) {
        double* d = t->keep<double>(pc::Region::allocate(n * 8));
        if (n != 0) std::memcpy(d, sums[k]->data(), n * 8);
        t->columns.push_back(fixed_column(names[k], "g", len, d));
        t->named.push_back(NamedBuffer{names[k], d, len, "d", 8});
    }
    std::int64_t* loans = t->keep<std::int64_t>(pc::Region::allocate(n * 8));
    if (n != 0) std::memcpy(loans, tot.loans.data(), n * 8);
    t->columns.push_back(fixed_column("loans", "l", len, loans));
    t->named.push_back(NamedBuffer{"loans", loans, len, "q", 8});
    t->rows = len;
    return t;
}

// New reference: (table or None, failures, errors table).
PyObject* py_cashflows(PyObject*, PyObject* args) {
    PyObject* source;
    int skip;
    long long threads;
    if (!PyArg_ParseTuple(args, "OpL", &source, &skip, &threads)) return nullptr;
    release_pending_views();
    try {
        const std::size_t n_threads = resolve_threads(threads);
        std::unique_ptr<Book> book = read_source(source);
        std::atomic<bool> stop{false};
        TablePtr table;
        std::vector<FailureRow> failures;
        const bool completed = run_interruptible(stop, [&] {
            pc::CashflowTotals tot = pc::compute_cashflows(book->batches, skip ? pc::OnError::Skip : pc::OnError::Raise,
                                                           runner_for(n_threads), stop);
            failures = with_ids(tot.failures, *book);
            if (!skip && !failures.empty()) return;
            table = cashflow_table(tot);
        });
        if (!completed) return nullptr;
        book.reset();
        PyRef fl = PyRef::steal(failures_to_list(failures));
        if (!fl) return nullptr;
        PyRef t = table ? PyRef::steal(wrap_table(std::move(table))) : PyRef::borrow(Py_None);
        if (!t) return nullptr;
        PyRef et = PyRef::steal(wrap_table(errors_table(failures)));
        if (!et) return nullptr;
        return PyTuple_Pack(3, t.get(), fl.get(), et.get());
    } catch (...) {
        translate();
        return nullptr;
    }
}

// ------------------------------------------------------------ streams

// What a stream object and the exported stream share: the failures met so
// far, readable from Python while or after the consumer reads.
struct StreamState {
    std::mutex mutex;
    std::vector<FailureRow> failures;
    std::unique_ptr<TableSource> source;  // null once exported
    // The schema's shape, kept so that it can be asked for after export.
    bool list = false;
    bool has_id = false;
};

class ScheduleStreamSource : public TableSource {
public:
    ScheduleStreamSource(std::shared_ptr<StreamState> state, std::unique_ptr<Book> book,
                         std::unique_ptr<ArrowStreamHandle> upstream, ArrowLayout layout, bool has_id,
                         std::int64_t batch_rows, bool list, bool skip, std::size_t threads)
        : state_(std::move(state)), book_(std::move(book)), upstream_(std::move(upstream)), layout_(layout),
          has_id_(has_id), batch_rows_(batch_rows), list_(list), skip_(skip), threads_(threads) {}

    ~ScheduleStreamSource() override {
        current_.reset();
        upstream_.reset();
        book_.reset();
    }

    void schema(ArrowSchema* out) override {
        TableData shape;
        shape.columns = schedule_columns_shape(list_, has_id_, true);
        export_schema(shape, out);
    }

    TablePtr next() override {
        if (failed_) throw std::runtime_error(failed_message_);
        pc::InputBatch batch;
        if (!pull(batch)) return nullptr;
        pc::ComputeOptions opt;
        opt.layout = list_ ? pc::Layout::List : pc::Layout::Long;
        opt.on_error = skip_ ? pc::OnError::Skip : pc::OnError::Raise;
        opt.row_base = row_base_;
        opt.loan_is_global_row = !has_id_;
        opt.memory_limit = pc::physical_memory_bytes();
        std::atomic<bool> stop{false};
        pc::ScheduleResult res;
        {
            // The consumer may call in holding the interpreter lock (pyarrow
            // from Python) or not (its own threads).
            const bool holds = Py_IsInitialized() && PyGILState_Check();
            PyThreadState* ts = holds ? PyEval_SaveThread() : nullptr;
            try {
                res = pc::compute_schedules({batch}, opt, runner_for(threads_), stop);
            } catch (...) {
                if (ts) PyEval_RestoreThread(ts);
                throw;
            }
            if (ts) PyEval_RestoreThread(ts);
        }
        std::vector<FailureRow> rows;
        for (pc::RowFailure& f : res.failures) {
            const std::string_view id = has_id_ ? batch.column(pc::Field::Id).text(f.index - row_base_) : std::string_view();
            rows.push_back(FailureRow{f.index, std::string(id), has_id_, std::move(f)});
        }
        row_base_ += batch.rows;
        if (!rows.empty()) {
            std::lock_guard<std::mutex> lock(state_->mutex);
            for (FailureRow& r : rows) state_->failures.push_back(r);
        }
        if (!skip_ && !rows.empty()) {
            failed_ = true;
            const FailureRow& r = rows.front();
            failed_message_ = "LoanError: row " + std::to_string(r.index) +
                              (r.has_id ? " (id '" + r.id + "')" : std::string()) + " failed: " + r.failure.reason;
            throw std::runtime_error(failed_message_);
        }
        return schedule_table(res, has_id_, ids_of(batch, has_id_), list_, true);
    }

private:
    static pc::ColumnView slice(pc::ColumnView v, std::int64_t pos) {
        switch (v.kind) {
            case pc::Kind::Absent: break;
            case pc::Kind::BoolBits: v.bit_offset += pos; break;
            case pc::Kind::Utf8: v.data = static_cast<const char*>(v.data) + pos * 4; break;
            case pc::Kind::LargeUtf8: v.data = static_cast<const char*>(v.data) + pos * 8; break;
            case pc::Kind::Utf8View: v.data = static_cast<const char*>(v.data) + pos * 16; break;
            default: v.data = static_cast<const char*>(v.data) + pos * v.stride; break;
        }
        if (v.kind != pc::Kind::BoolBits && v.validity != nullptr) v.bit_offset += pos;
        return v;
    }

    // Input rows for the next output batch, starting at pos_ of `whole`:
    // list layout, batch_rows loans; long layout, as many loans as keep the
    // batch within batch_rows output rows (at least one loan), so that a
    // batch's memory does not grow with the loans' length.
    std::int64_t rows_for_batch(const pc::InputBatch& whole) const {
        const std::int64_t remaining = whole.rows - pos_;
        if (list_) return std::min(batch_rows_, remaining);
        std::int64_t n = 0, total = 0;
        while (n < remaining) {
            std::int32_t pers = 0;
            pc::DecodeFailure why{nullptr};
            std::int64_t len = 0;
            if (pc::decode_pers(whole, pos_ + n, pers, why)) {
                const paywheel::ScheduleShape shape = paywheel::schedule_shape(pers);
                if (shape.per == shape.rest) len = static_cast<std::int64_t>(shape.rest);
            }
            if (n > 0 && total + len > batch_rows_) break;
            total += len;
            ++n;
        }
        return n;
    }

    bool pull(pc::InputBatch& out) {
        const pc::InputBatch* whole = nullptr;
        if (book_) {
            whole = &book_->batches.front();
            if (pos_ >= whole->rows) return false;
        } else {
            while (!current_ || pos_ >= current_view_.rows) {
                current_.reset();
                auto a = std::make_unique<ArrowArrayHandle>();
                ArrowArrayStream* s = upstream_->get();
                const int rc = s->get_next(s, a->get());
                if (rc != 0) {
                    const char* e = s->get_last_error ? s->get_last_error(s) : nullptr;
                    throw std::runtime_error(std::string("the Arrow stream of loans failed: ") +
                                             (e ? e : "unknown error"));
                }
                if (a->get()->release == nullptr) return false;
                current_ = std::move(a);
                const ArrowArray& arr = *current_->get();
                try {
                    // Nulls are looked for once per input batch.
                    current_view_ = batch_from_arrow(layout_, arr, 0, arr.length, row_base_);
                } catch (const PyFailure& f) {
                    throw std::runtime_error(f.message);
                }
                pos_ = 0;
            }
            whole = &current_view_;
        }
        const std::int64_t n = rows_for_batch(*whole);
        out.rows = n;
        for (int f = 0; f < pc::kFieldCount; ++f) out.columns[f] = slice(whole->columns[f], pos_);
        pos_ += n;
        return true;
    }

    std::shared_ptr<StreamState> state_;
    std::unique_ptr<Book> book_;
    std::unique_ptr<ArrowStreamHandle> upstream_;
    std::unique_ptr<ArrowArrayHandle> current_;
    pc::InputBatch current_view_;
    ArrowLayout layout_;
    bool has_id_;
    std::int64_t batch_rows_;
    bool list_, skip_;
    std::size_t threads_;
    std::int64_t pos_ = 0;
    std::int64_t row_base_ = 0;
    bool failed_ = false;
    std::string failed_message_;
};

struct StreamObject {
    PyObject_HEAD
    std::shared_ptr<StreamState>* state;
};

PyTypeObject g_stream_type_storage = blank_type();

void stream_dealloc(PyObject* self) {
    delete reinterpret_cast<StreamObject*>(self)->state;
    Py_TYPE(self)->tp_free(self);
}

// New reference.
PyObject* stream_export(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kw), &requested)) return nullptr;
    auto& state = *reinterpret_cast<StreamObject*>(self)->state;
    std::unique_ptr<TableSource> src;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        src = std::move(state->source);
    }
    if (!src) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this schedule stream was already consumed; a stream is read once (call stream_schedules again)");
        return nullptr;
    }
    return stream_capsule(std::move(src));
}

// New reference.
PyObject* stream_failures(PyObject* self, void*) {
    auto& state = *reinterpret_cast<StreamObject*>(self)->state;
    std::vector<FailureRow> copy;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        copy = state->failures;
    }
    return failures_to_list(copy);
}

// New reference.
PyObject* stream_errors_table(PyObject* self, void*) {
    auto& state = *reinterpret_cast<StreamObject*>(self)->state;
    std::vector<FailureRow> copy;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        copy = state->failures;
    }
    try {
        return wrap_table(errors_table(copy));
    } catch (...) {
        translate();
        return nullptr;
    }
}

// New reference.
PyObject* stream_consumed(PyObject* self, void*) {
    auto& state = *reinterpret_cast<StreamObject*>(self)->state;
    std::lock_guard<std::mutex> lock(state->mutex);
    return PyBool_FromLong(state->source ? 0 : 1);
}

// New reference: the schema every batch has, available before and after
// the stream is handed out (duckdb asks for it first).
PyObject* stream_schema(PyObject* self, PyObject*) {
    auto& state = *reinterpret_cast<StreamObject*>(self)->state;
    const bool list = state->list, has_id = state->has_id;
    return schema_capsule([&](ArrowSchema* s) {
        TableData shape;
        shape.columns = schedule_columns_shape(list, has_id, true);
        export_schema(shape, s);
    });
}

PyMethodDef g_stream_methods[] = {
    {"__arrow_c_schema__", stream_schema, METH_NOARGS, "The batches' Arrow schema in a PyCapsule."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(stream_export)),
     METH_VARARGS | METH_KEYWORDS, "The schedules as an Arrow C stream; once only."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef g_stream_getset[] = {
    {"failures", stream_failures, nullptr, "Rows that failed so far: (index, id, reason, terms).", nullptr},
    {"errors_table", stream_errors_table, nullptr, "Rows that failed so far, as a table.", nullptr},
    {"consumed", stream_consumed, nullptr, "Whether the stream was handed out.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// New reference: a ScheduleStream.
PyObject* py_stream_schedules(PyObject*, PyObject* args) {
    PyObject* source;
    int list, skip;
    long long threads, batch_rows;
    if (!PyArg_ParseTuple(args, "OLppL", &source, &batch_rows, &list, &skip, &threads)) return nullptr;
    release_pending_views();
    try {
        if (batch_rows <= 0) throw PyFailure{PyExc_ValueError, "batch_rows must be positive"};
        const std::size_t n_threads = resolve_threads(threads);
        auto state = std::make_shared<StreamState>();
        std::unique_ptr<Book> book;
        std::unique_ptr<ArrowStreamHandle> upstream;
        ArrowLayout layout{};
        bool has_id = false;
        if (PyDict_Check(source)) {
            book = book_from_mapping(source);
            has_id = book->has_id;
        } else if (PyCapsule_CheckExact(source)) {
            upstream = take_stream(source, layout, has_id);
        } else {
            throw PyFailure{PyExc_TypeError, "unsupported source of loans"};
        }
        state->list = list != 0;
        state->has_id = has_id;
        state->source = std::make_unique<ScheduleStreamSource>(state, std::move(book), std::move(upstream), layout, has_id,
                                                               batch_rows, list != 0, skip != 0, n_threads);
        PyRef obj = PyRef::steal(PyType_GenericAlloc(&g_stream_type_storage, 0));
        if (!obj) return nullptr;
        reinterpret_cast<StreamObject*>(obj.get())->state = new std::shared_ptr<StreamState>(std::move(state));
        return obj.release();
    } catch (...) {
        translate();
        return nullptr;
    }
}

// New reference.
PyObject* py_default_threads(PyObject*, PyObject*) {
    try {
        return PyLong_FromSize_t(default_threads());
    } catch (...) {
        translate();
        return nullptr;
    }
}

PyMethodDef g_functions[] = {
    {"schedules", py_schedules, METH_VARARGS, "schedules(source, list, skip, threads) -> (table, failures, errors)"},
    {"cashflows", py_cashflows, METH_VARARGS, "cashflows(source, skip, threads) -> (table, failures, errors)"},
    {"stream_schedules", py_stream_schedules, METH_VARARGS,
     "stream_schedules(source, batch_rows, list, skip, threads) -> ScheduleStream"},
    {"project", py_project, METH_VARARGS,
     "project(source, ages, segments, segment_count, scenarios, skip, threads) -> (table, horizons, failures, errors)"},
    {"project_loans", py_project_loans, METH_VARARGS,
     "project_loans(source, ages, scenarios, skip, threads, row_base) -> (table, failures, errors)"},
    {"default_threads", py_default_threads, METH_NOARGS, "Workers a call gets by default."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_native", "Native core of quill_harbor_columnar.", -1, g_functions,
                        nullptr, nullptr, nullptr, nullptr};

}  // namespace quill::columnar

// New reference to the module, or null with an exception set.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void) {
    using namespace quill::columnar;
    // The same power function as quill_harbor's operations, from the same
    // variable, read once here under the lock: this extension carries its
    // own copy of the engine.
    paywheel::PowerMode mode = paywheel::PowerMode::Platform;
    if (!paywheel::power_mode_from_env(std::getenv(paywheel::kPowerModeVariable), mode)) {
        PyErr_SetString(PyExc_ImportError, paywheel::kPowerModeError);
        return nullptr;
    }
    paywheel::set_power_mode(mode);
    PyTypeObject& table = g_table_type_storage;
    table.tp_name = "quill_harbor_columnar._native.Table";
    table.tp_basicsize = sizeof(TableObject);
    table.tp_dealloc = table_dealloc;
    table.tp_flags = Py_TPFLAGS_DEFAULT;
    table.tp_doc = "A native columnar table: Arrow PyCapsule interface and read-only flat buffers.";
    table.tp_methods = g_table_methods;
    table.tp_getset = g_table_getset;
    PyTypeObject& stream = g_stream_type_storage;
    stream.tp_name = "quill_harbor_columnar._native.ScheduleStream";
    stream.tp_basicsize = sizeof(StreamObject);
    stream.tp_dealloc = stream_dealloc;
    stream.tp_flags = Py_TPFLAGS_DEFAULT;
    stream.tp_doc = "A one-shot Arrow C stream of schedule batches.";
    stream.tp_methods = g_stream_methods;
    stream.tp_getset = g_stream_getset;
    if (PyType_Ready(&table) < 0 || PyType_Ready(&stream) < 0 || PyType_Ready(&g_buffer_type) < 0) return nullptr;
    quill::PyRef m = quill::PyRef::steal(PyModule_Create(&g_module));
    if (!m) return nullptr;
    Py_INCREF(&table);
    if (PyModule_AddObject(m.get(), "Table", reinterpret_cast<PyObject*>(&table)) < 0) {
        Py_DECREF(&table);
        return nullptr;
    }
    Py_INCREF(&stream);
    if (PyModule_AddObject(m.get(), "ScheduleStream", reinterpret_cast<PyObject*>(&stream)) < 0) {
        Py_DECREF(&stream);
        return nullptr;
    }
    return m.release();
}
