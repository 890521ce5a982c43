#include "lib/boundary.hpp"

#include <atomic>
#include <cstring>
#include <unistd.h>

namespace quill {

namespace {

// Our own words, held to the shape callers may check: five lines, starting
// and ending with a line feed, 235 characters in all.
constexpr char kPanicDoc[] =
    "\n"
    "Raised when the native code of quill_harbor, called from Python, aborts.\n"
    "Like SystemExit, it derives from BaseException, not from Exception,\n"
    "so it typically propagates all the way up the stack and makes\n"
    "the whole Python process exit.\n";
static_assert(sizeof kPanicDoc - 1 == 235, "PanicException docstring length");

std::atomic<PyObject*> g_panic_type{nullptr};

// Borrowed reference to the PanicException type; aborts if it cannot be made.
PyObject* panic_type_or_abort() {
    PyObject* t = panic_exception_type();
    if (t == nullptr) {
        PyErr_Print();
        paywheel::raise_abort("Failed to initialize new exception type.");
    }
    return t;
}

void write_fd2(const char* s) {
    std::size_t n = std::strlen(s);
    while (n > 0) {
        ssize_t w = ::write(STDERR_FILENO, s, n);
        if (w <= 0) return;
        s += w;
        n -= static_cast<std::size_t>(w);
    }
}

// Text of repr(obj); a failing repr must not hide the error being rendered.
std::string repr_text(PyObject* obj) {
    PyRef r = PyRef::steal(PyObject_Repr(obj));
    if (r) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(r.get(), &n)) return std::string(s, static_cast<std::size_t>(n));
    }
    PyErr_Clear();
    return "<unprintable object>";
}

thread_local std::vector<PyObject*> t_scope_stack;

}  // namespace

// Borrowed reference (the process-wide cell keeps the type alive), or null
// with an exception set.
PyObject* panic_exception_type() {
    if (PyObject* t = g_panic_type.load(std::memory_order_acquire)) return t;
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    // Type creation can run Python code and so switch threads; whoever
    // stores first wins and a losing type is dropped.
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

BoundaryError BoundaryError::ready(PyRef type, PyRef value, PyRef traceback) {
    BoundaryError e;
    e.is_ready_ = true;
    e.type_ = std::move(type);
    e.value_ = std::move(value);
    e.traceback_ = std::move(traceback);
    return e;
}

BoundaryError BoundaryError::deferred_text(PyObject* (*type)(), std::string text) {
    BoundaryError e;
    e.type_fn_ = type;
    e.payload_ = Payload::Text;
    e.text_ = std::move(text);
    return e;
}

BoundaryError BoundaryError::deferred_str(PyObject* (*type)(), PyRef message) {
    BoundaryError e;
    e.type_fn_ = type;
    e.payload_ = Payload::Object;
    e.object_ = std::move(message);
    return e;
}

BoundaryError BoundaryError::panic(std::string text) {
    BoundaryError e;
    e.type_fn_ = panic_type_or_abort;
    e.payload_ = Payload::Tuple1;
    e.text_ = std::move(text);
    return e;
}

BoundaryError BoundaryError::type_mismatch(PyObject* obj, const char* target) {
    BoundaryError e;
    e.type_fn_ = [] { return PyExc_TypeError; };
    e.payload_ = Payload::Mismatch;
    e.object_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    e.target_ = target;
    return e;
}

PyRef BoundaryError::make_argument() const {
    switch (payload_) {
    case Payload::Text:
        return PyRef::steal(PyUnicode_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size())));
    case Payload::Tuple1: {
        PyRef s = PyRef::steal(PyUnicode_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size())));
        if (!s) return s;
        return PyRef::steal(PyTuple_Pack(1, s.get()));
    }
    case Payload::Object:
        return PyRef::borrow(object_.get());
    case Payload::Mismatch: {
        static PyObject* qualname_attr = [] {
            PyObject* s = PyUnicode_FromString("__qualname__");
            if (s != nullptr) PyUnicode_InternInPlace(&s);
            return s;
        }();
        PyRef qualname;
        if (qualname_attr != nullptr) qualname = PyRef::steal(PyObject_GetAttr(object_.get(), qualname_attr));
        if (qualname && PyUnicode_Check(qualname.get()))
            return PyRef::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target_));
        PyErr_Clear();
        return PyRef::steal(PyUnicode_FromFormat("'<failed to extract type name>' object cannot be converted to '%s'", target_));
    }
    }
    return {};
}

void BoundaryError::restore() && {
    if (is_ready_) {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        return;
    }
    PyObject* type = type_fn_();
    PyRef arg = make_argument();
    if (!arg) return;  // making the message failed; its MemoryError is pending instead
    Py_INCREF(type);
    PyErr_Restore(type, arg.release(), nullptr);
}

bool BoundaryError::normalize() {
    if (!is_ready_) {
        std::move(*this).restore();
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        is_ready_ = true;
        type_ = PyRef::steal(t);
        value_ = PyRef::steal(v);
        traceback_ = PyRef::steal(tb);
        text_.clear();
        object_ = PyRef();
    }
    if (!type_) return false;
    PyObject* t = type_.release();
    PyObject* v = value_.release();
    PyObject* tb = traceback_.release();
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb != nullptr && v != nullptr) PyException_SetTraceback(v, tb);
    type_ = PyRef::steal(t);
    value_ = PyRef::steal(v);
    traceback_ = PyRef::steal(tb);
    return value_.get() != nullptr;
}

bool BoundaryError::is_exactly(PyObject* exc_type) const {
    return (is_ready_ ? type_.get() : type_fn_()) == exc_type;
}

std::optional<BoundaryError> take_error() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (t == nullptr) {
        Py_XDECREF(v);
        Py_XDECREF(tb);
        return std::nullopt;
    }
    PyObject* panic = panic_exception_type();
    if (panic == nullptr) PyErr_Clear();
    if (t == panic) {
        // A nested call of this module aborted inside Python code that this
        // call ran. Its report is already written; show where it came from
        // and carry the abort on through this call.
        std::string message = "Unwrapped panic from Python code";
        if (v != nullptr && PyUnicode_Check(v)) {
            Py_ssize_t n = 0;
            if (const char* s = PyUnicode_AsUTF8AndSize(v, &n))
                message.assign(s, static_cast<std::size_t>(n));
            else
                PyErr_Clear();
        }
        write_fd2("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n");
        write_fd2("Python stack trace below:\n");
        PyErr_Restore(t, v, tb);
        PyErr_PrintEx(0);
        paywheel::raise_abort_silently(std::move(message));
    }
    return BoundaryError::ready(PyRef::steal(t), PyRef::steal(v), PyRef::steal(tb));
}

BoundaryError fetch_error() {
    if (std::optional<BoundaryError> e = take_error()) return std::move(*e);
    return BoundaryError::deferred_text([] { return PyExc_SystemError; },
                                        "attempted to fetch exception but none was set");
}

std::string render(BoundaryError& err) {
    // Worker threads render without holding the lock.
    PyGILState_STATE gil = PyGILState_Ensure();
    std::string out = "PyErr { type: ";
    if (err.normalize()) {
        out += repr_text(err.type());
        out += ", value: ";
        out += repr_text(err.value());
        out += ", traceback: ";
        if (err.traceback() == nullptr) {
            out += "None";
        } else {
            out += "Some(";
            out += repr_text(err.traceback());
            out += ")";
        }
    } else {
        PyErr_Clear();
        out += "<unknown>, value: <unknown>, traceback: None";
    }
    out += " }";
    PyGILState_Release(gil);
    return out;
}

void abort_with_error(const char* text, BoundaryError err, std::source_location loc) {
    std::string message = text;
    message += ": ";
    message += render(err);
    paywheel::raise_abort(std::move(message), loc);
}

void abort_api_failed(std::source_location loc) {
    PyErr_Print();
    paywheel::raise_abort("Python API call failed", loc);
}

std::optional<BoundaryError> extract_utf8(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return BoundaryError::type_mismatch(obj, "PyString");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (text == nullptr) return fetch_error();
    out.assign(text, static_cast<std::size_t>(len));
    return std::nullopt;
}

BoundaryError wrap_argument_error(const char* param, BoundaryError err) {
    if (!err.is_exactly(PyExc_TypeError)) return err;
    if (!err.normalize()) return fetch_error();
    PyRef text = PyRef::steal(PyObject_Str(err.value()));
    if (!text) {
        PyErr_Clear();
        text = PyRef::steal(PyUnicode_FromString("<exception str() failed>"));
        if (!text) return fetch_error();
    }
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return fetch_error();
    PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return fetch_error();
    // Also sets __suppress_context__, so the original error is not chained.
    PyException_SetCause(wrapped.get(), PyException_GetCause(err.value()));
    return BoundaryError::ready(PyRef::borrow(PyExc_TypeError), std::move(wrapped), PyRef());
}

CallScope::CallScope() noexcept : mark_(t_scope_stack.size()) {}

CallScope::~CallScope() {
    // Releasing can run __del__, which can re-enter the module and push onto
    // this same stack: index, don't iterate, and only up to our own end.
    const std::size_t end = t_scope_stack.size();
    for (std::size_t i = mark_; i < end; ++i) Py_XDECREF(t_scope_stack[i]);
    t_scope_stack.resize(mark_);
}

PyObject* CallScope::keep(PyRef ref) {
    PyObject* p = ref.get();
    t_scope_stack.push_back(p);
    ref.release();
    return p;
}

}  // namespace quill
