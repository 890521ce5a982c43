// The module boundary: how failures travel between the drivers and the
// Python caller. Argument and interpreter errors travel as BoundaryError
// values; everything else is a paywheel::Abort that only the trampoline
// catches.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bindings/lock.hpp"
#include "bindings/pyref.hpp"
#include "paywheel/batch/failure.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/messages.hpp"

namespace quill {

// Borrowed reference to the process-wide pyo3_runtime.PanicException type,
// created on first use; nullptr only if it could not be created (then a
// Python error is pending).
PyObject* panic_exception_type();

// The exception types a deferred error can name. Their type objects are
// looked up only when the error is raised or rendered.
enum class ExcType { TypeError, SystemError, ImportError, OverflowError, Panic };

// Borrowed reference to the type object; Panic is PanicException, whose
// creation failure aborts.
PyObject* exception_type(ExcType type);

class BoundaryError {
public:
    // Ready: what PyErr_Fetch returned (type, value and traceback, the last
    // two possibly null, the value possibly not yet an instance).
    static BoundaryError ready(PyRef type, PyRef value, PyRef traceback);
    // Deferred: built without touching the interpreter; the exception object
    // is only made when the error is raised or rendered.
    static BoundaryError deferred_text(ExcType type, std::string text);
    static BoundaryError deferred_str(ExcType type, PyRef message);
    static BoundaryError panic(std::string text);
    // "'T' object cannot be converted to 'N'", composed lazily from obj's type.
    static BoundaryError type_mismatch(PyObject* obj, const char* target);

    BoundaryError(BoundaryError&&) noexcept = default;
    BoundaryError& operator=(BoundaryError&&) noexcept = default;

    // Makes this the interpreter's pending exception.
    void restore() &&;
    // Turns the error into (type, instance, traceback); false if even that
    // failed, with a Python error pending.
    bool normalize();
    // Borrowed references, valid after normalize() (type() also for a ready
    // error that was never normalized).
    PyObject* type() const noexcept;
    PyObject* value() const noexcept;
    PyObject* traceback() const noexcept;
    bool is_exactly(PyObject* exc_type) const;

private:
    struct Ready {
        PyRef type, value, traceback;
    };
    struct Text {  // type(text)
        ExcType type;
        std::string text;
    };
    struct Panic {  // PanicException((text,))
        std::string text;
    };
    struct Str {  // type(message), message already a str
        ExcType type;
        PyRef message;
    };
    struct Mismatch {  // TypeError naming the offending type
        PyRef source_type;
        const char* target;
    };
    using State = std::variant<Ready, Text, Panic, Str, Mismatch>;

    explicit BoundaryError(State state) noexcept : state_(std::move(state)) {}
    State state_;
};

// The one mapping of native failures to Python exceptions: an abort becomes
// PanicException (its report was written when it was raised), running out
// of memory MemoryError, anything unexpected SystemError with its text.
// Leaves the exception pending.
void raise_failure(const paywheel::batch::Failure& failure);

// Borrowed reference to the interned str `text`, made once per process and
// kept for good; null with an exception set if it could not be made. The
// module's one way of naming attributes. Needs the lock.
PyObject* interned_name(const char* text);

// After a CPython call has reported failure: the pending error, or the
// SystemError "attempted to fetch exception but none was set". A pending
// PanicException (a nested call of this module failed inside Python code we
// ran) is not returned: it resumes as an abort of this call.
BoundaryError fetch_error();
// Like fetch_error, but nullopt when nothing is pending.
std::optional<BoundaryError> take_error();

// "PyErr { type: ..., value: ..., traceback: ... }"; needs the lock.
std::string render(BoundaryError& err);

// Aborts with "<text>: <rendering>"; a MemoryError is thrown as
// std::bad_alloc instead.
[[noreturn]] void abort_with_error(const char* text, BoundaryError err,
                                   std::source_location loc = std::source_location::current());

// After an object-creating call returned null: a pending MemoryError is
// cleared and thrown as std::bad_alloc (so the call raises MemoryError and
// the module stays usable); anything else aborts with "Python API call
// failed" after printing the pending error.
[[noreturn]] void abort_api_failed(std::source_location loc = std::source_location::current());

// Returns obj as a new reference, aborting if it is null.
inline PyRef checked(PyObject* obj, std::source_location loc = std::source_location::current()) {
    if (obj == nullptr) abort_api_failed(loc);
    return PyRef::steal(obj);
}

// Throws std::bad_alloc, clearing the error, if the pending error is a
// MemoryError; otherwise leaves it pending.
void throw_if_out_of_memory();

// Copies a str (or subclass) as UTF-8 into out; otherwise the type-mismatch
// error naming 'PyString', or the interpreter's encoding error.
std::optional<BoundaryError> extract_utf8(PyObject* obj, std::string& out);

// The argument-error rule: a TypeError is re-raised with the parameter named
// in front; anything else passes unchanged.
BoundaryError wrap_argument_error(const char* param, BoundaryError err);

// Temporaries that must live until the current call returns (list items and
// dict values a driver walks). Scopes nest per thread, because a conversion
// may re-enter the module from Python code.
class CallScope {
public:
    CallScope() noexcept;
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    // Records ref in the innermost scope of this thread; returns it borrowed.
    static PyObject* keep(PyRef ref);

private:
    std::size_t mark_;
};

// Reads QUILL_HARBOR_POWF once per process (under the lock, at import) and
// sets the engine's power function from it; an unknown value is the
// ImportError that refuses the import, on this and every later attempt.
std::optional<BoundaryError> apply_power_setting();

}  // namespace quill
