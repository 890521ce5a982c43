#include "bindings/boundary.hpp"

#include <cstdlib>

#include "paywheel/core/power.hpp"
#include "paywheel/core/power_setting.hpp"

#include <atomic>
#include <cassert>
#include <new>
#include <cstring>
#include <type_traits>
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
        paywheel::raise_abort(paywheel::messages::kPanicTypeFailed);
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

PyObject* exception_type(ExcType type) {
    switch (type) {
        case ExcType::TypeError: return PyExc_TypeError;
        case ExcType::SystemError: return PyExc_SystemError;
        case ExcType::ImportError: return PyExc_ImportError;
        case ExcType::OverflowError: return PyExc_OverflowError;
        case ExcType::Panic: return panic_type_or_abort();
    }
    return PyExc_SystemError;  // unreachable: every type is listed above
}

BoundaryError BoundaryError::ready(PyRef type, PyRef value, PyRef traceback) {
    return BoundaryError(Ready{std::move(type), std::move(value), std::move(traceback)});
}

BoundaryError BoundaryError::deferred_text(ExcType type, std::string text) {
    return BoundaryError(Text{type, std::move(text)});
}

BoundaryError BoundaryError::deferred_str(ExcType type, PyRef message) {
    return BoundaryError(Str{type, std::move(message)});
}

BoundaryError BoundaryError::panic(std::string text) { return BoundaryError(Panic{std::move(text)}); }

BoundaryError BoundaryError::type_mismatch(PyObject* obj, const char* target) {
    return BoundaryError(Mismatch{PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj))), target});
}

namespace {

// New reference to a str holding text, or null with an exception set.
PyRef text_object(const std::string& text) {
    return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// New reference to the mismatch message, or null with an exception set.
PyRef mismatch_message(PyObject* source_type, const char* target) {
    PyObject* qualname_attr = interned_name("__qualname__");
    PyRef qualname;
    if (qualname_attr != nullptr) qualname = PyRef::steal(PyObject_GetAttr(source_type, qualname_attr));
    if (qualname && PyUnicode_Check(qualname.get()))
        return PyRef::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target));
    PyErr_Clear();
    return PyRef::steal(PyUnicode_FromFormat("'<failed to extract type name>' object cannot be converted to '%s'", target));
}

}  // namespace

void BoundaryError::restore() && {
    if (Ready* r = std::get_if<Ready>(&state_)) {
        PyErr_Restore(r->type.release(), r->value.release(), r->traceback.release());
        return;
    }
    // The type and the argument the exception is raised with (new references).
    struct Deferred {
        PyObject* type;
        PyRef arg;
    };
    Deferred d = std::visit(
        [](auto& st) -> Deferred {
            using T = std::decay_t<decltype(st)>;
            if constexpr (std::is_same_v<T, Text>) {
                return {exception_type(st.type), text_object(st.text)};
            } else if constexpr (std::is_same_v<T, Panic>) {
                PyObject* type = exception_type(ExcType::Panic);
                PyRef s = text_object(st.text);
                if (!s) return {type, std::move(s)};
                return {type, PyRef::steal(PyTuple_Pack(1, s.get()))};
            } else if constexpr (std::is_same_v<T, Str>) {
                return {exception_type(st.type), PyRef::borrow(st.message.get())};
            } else if constexpr (std::is_same_v<T, Mismatch>) {
                return {PyExc_TypeError, mismatch_message(st.source_type.get(), st.target)};
            } else {
                return {nullptr, PyRef()};  // Ready: handled above
            }
        },
        state_);
    if (!d.arg) return;  // making the message failed; its MemoryError is pending instead
    Py_INCREF(d.type);
    PyErr_Restore(d.type, d.arg.release(), nullptr);
}

bool BoundaryError::normalize() {
    if (!std::holds_alternative<Ready>(state_)) {
        std::move(*this).restore();
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        state_ = Ready{PyRef::steal(t), PyRef::steal(v), PyRef::steal(tb)};
    }
    Ready& r = std::get<Ready>(state_);
    if (!r.type) return false;
    PyObject* t = r.type.release();
    PyObject* v = r.value.release();
    PyObject* tb = r.traceback.release();
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb != nullptr && v != nullptr) PyException_SetTraceback(v, tb);
    r.type = PyRef::steal(t);
    r.value = PyRef::steal(v);
    r.traceback = PyRef::steal(tb);
    return r.value.get() != nullptr;
}

PyObject* BoundaryError::type() const noexcept {
    const Ready* r = std::get_if<Ready>(&state_);
    return r != nullptr ? r->type.get() : nullptr;
}
PyObject* BoundaryError::value() const noexcept {
    const Ready* r = std::get_if<Ready>(&state_);
    return r != nullptr ? r->value.get() : nullptr;
}
PyObject* BoundaryError::traceback() const noexcept {
    const Ready* r = std::get_if<Ready>(&state_);
    return r != nullptr ? r->traceback.get() : nullptr;
}

bool BoundaryError::is_exactly(PyObject* exc_type) const {
    return std::visit(
        [exc_type](const auto& st) {
            using T = std::decay_t<decltype(st)>;
            if constexpr (std::is_same_v<T, Ready>)
                return st.type.get() == exc_type;
            else if constexpr (std::is_same_v<T, Text> || std::is_same_v<T, Str>)
                return exception_type(st.type) == exc_type;
            else if constexpr (std::is_same_v<T, Panic>)
                return exception_type(ExcType::Panic) == exc_type;
            else
                return PyExc_TypeError == exc_type;
        },
        state_);
}

void raise_failure(const paywheel::batch::Failure& failure) {
    using paywheel::batch::FailureKind;
    switch (paywheel::batch::kind_of(failure)) {
        case FailureKind::Abort: {
            const paywheel::Abort& a = std::get<paywheel::Abort>(failure);
            BoundaryError::panic(std::string(a.message(), a.message_size())).restore();
            return;
        }
        case FailureKind::Allocation:
            PyErr_NoMemory();
            return;
        case FailureKind::Unexpected:
            PyErr_SetString(PyExc_SystemError, std::get<paywheel::batch::UnexpectedFailure>(failure).what.c_str());
            return;
    }
}

PyObject* interned_name(const char* text) {
    // One cache for every name the module looks up: filled on first use of
    // each, kept for the life of the process.
    struct Entry {
        const char* text;
        PyObject* name;
    };
    static std::vector<Entry> cache;
    for (const Entry& e : cache)
        if (std::strcmp(e.text, text) == 0) return e.name;
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) return nullptr;
    cache.push_back(Entry{text, s});
    return s;
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
        std::string message = paywheel::messages::kUnwrappedPanic;
        if (v != nullptr && PyUnicode_Check(v)) {
            Py_ssize_t n = 0;
            if (const char* s = PyUnicode_AsUTF8AndSize(v, &n))
                message.assign(s, static_cast<std::size_t>(n));
            else
                PyErr_Clear();
        }
        write_fd2(paywheel::messages::kResumingPanic);
        write_fd2(paywheel::messages::kPythonTraceBelow);
        PyErr_Restore(t, v, tb);
        PyErr_PrintEx(0);
        paywheel::raise_abort_silently(std::move(message));
    }
    return BoundaryError::ready(PyRef::steal(t), PyRef::steal(v), PyRef::steal(tb));
}

BoundaryError fetch_error() {
    if (std::optional<BoundaryError> e = take_error()) return std::move(*e);
    return BoundaryError::deferred_text(ExcType::SystemError, paywheel::messages::kNoErrorSet);
}

std::string render(BoundaryError& err) {
    // The caller holds the lock. It must not ask for it again: in a
    // sub-interpreter the thread's automatic state belongs to the main
    // interpreter, and asking through it waits for this very thread.
    assert(_PyThreadState_UncheckedGet() != nullptr);
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
    return out;
}

void abort_with_error(const char* text, BoundaryError err, std::source_location loc) {
    // Running out of memory is MemoryError wherever it happens, also where
    // any other failed conversion is an abort.
    if (err.is_exactly(PyExc_MemoryError)) throw std::bad_alloc();
    std::string message = text;
    message += ": ";
    message += render(err);
    paywheel::raise_abort(std::move(message), loc);
}

void throw_if_out_of_memory() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
}

void abort_api_failed(std::source_location loc) {
    throw_if_out_of_memory();
    PyErr_Print();
    paywheel::raise_abort(paywheel::messages::kApiCallFailed, loc);
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
    // Unwound out of take_lock_back by a thread ending at finalization: the
    // lock is not held, so the temporaries are left to the dying interpreter.
    if (taking_lock_back()) return;
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

std::optional<BoundaryError> apply_power_setting() {
    if (paywheel::apply_power_setting_once()) return std::nullopt;
    return BoundaryError::deferred_text(ExcType::ImportError, paywheel::kPowerModeError);
}

}  // namespace quill
