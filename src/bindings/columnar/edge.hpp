// Every edge between the columnar layer and the interpreter: module
// functions, methods, getters, stream callbacks and capsule destructors all
// run their body through one of the wrappers here, and every failure that
// reaches an edge goes through the one translator. Nothing unwinds into
// CPython, a consumer or a producer.
#pragma once

#include "bindings/lock.hpp"
#include "bindings/pyref.hpp"

#include <atomic>
#include <functional>
#include <string>

namespace quill::columnar {

// Thrown where a Python exception is already pending: the edge leaves it.
struct PythonErrorSet {};

// A refusal of the extension's own (a writable view of a read-only column,
// a flat column that is not there, a stream read twice, a power setting
// that cannot be applied): the translator raises `type` with `text`.
struct Refusal {
    PyObject* type;
    std::string text;
};

// An exception a Python producer of loans raised, fetched so that native
// frames can unwind past it; the edge raises it again as it was (a
// KeyboardInterrupt stays one).
struct PythonFailure {
    PyRef type, value, traceback;
    // Fetches the pending exception (there must be one).
    static PythonFailure fetch();
};

// The one translator: makes the exception being handled the pending Python
// exception. Call only inside a catch block, with the lock held.
//   PythonErrorSet -> (already pending)   PythonFailure -> itself   Refusal -> its type
//   Cancelled -> KeyboardInterrupt (unless one is pending)
//   TooLarge, std::bad_alloc -> MemoryError
//   BadInput -> ValueError   BadType -> TypeError   Upstream -> RuntimeError
//   paywheel::Abort, other exceptions -> RuntimeError; anything else -> SystemError
void translate_current_exception() noexcept;

// A function or method body: its result, or null with the translated
// exception pending. The thread ending at finalization (a forced unwind)
// passes through untouched.
template <class Fn>
PyObject* edge(Fn&& fn) {
    try {
        return fn();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// A slot body that reports by status (the buffer protocol): 0, or -1 with
// the translated exception pending.
template <class Fn>
int edge_status(Fn&& fn) {
    try {
        fn();
        return 0;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

// Runs body off the calling thread while the calling thread waits without
// the lock and, every 100 ms, looks for pending signals with it. When a
// signal handler raises (Ctrl-C), sets `stop`, waits for body to notice and
// throws PythonFailure with the handler's exception. body's own exception
// is rethrown here. However the wait ends (even by the thread being ended
// at interpreter exit), body has finished and its thread is joined before
// this returns, so body may use the caller's frame. Needs the lock when
// `holds_lock`; otherwise takes it for each look at the signals, and only
// on the main thread (the only one Python runs signal handlers on).
void run_interruptible(std::atomic<bool>& stop, const std::function<void()>& body, bool holds_lock = true);

// Writes the translated exception of a failed edge that has no caller to
// report to (a capsule destructor) as unraisable.
void report_unraisable(PyObject* where) noexcept;

}  // namespace quill::columnar
