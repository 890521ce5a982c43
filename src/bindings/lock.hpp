// The one way both extensions give the interpreter lock up around native
// work and take it back (without_lock), and the one way a thread that may
// not hold it takes it for a moment (with_lock).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>

namespace quill {

// Takes the interpreter lock back after PyEval_SaveThread. During
// interpreter finalization CPython ends the thread here instead
// (pthread_exit, a forced unwind): every frame between here and the thread's
// start must let that unwind pass, so none is noexcept and each catch (...)
// on the way rethrows abi::__forced_unwind first.
void take_lock_back(PyThreadState* state);

// True on a thread that is inside take_lock_back: a frame unwound from
// there by the thread's end holds no lock and must not touch Python.
bool taking_lock_back() noexcept;

// Runs fn with the interpreter lock released, then takes the lock back,
// whether fn returned or threw; fn's exception is rethrown once the lock is
// held again. fn must not touch Python.
template <class Fn>
void without_lock(Fn&& fn) {
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    try {
        fn();
    } catch (abi::__forced_unwind&) {
        // The thread is being ended (it was cancelled): it must leave
        // without the lock rather than take it back on its way out.
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    take_lock_back(state);
    if (failure) std::rethrow_exception(failure);
}

// Runs fn holding the interpreter lock, from a thread that may not hold it
// (a stream pulled on a native thread, a destructor, the signal watch), and
// gives the lock back whether fn returned or threw. fn's result is returned.
template <class Fn>
decltype(auto) with_lock(Fn&& fn) {
    struct Held {
        PyGILState_STATE state = PyGILState_Ensure();
        Held() = default;
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;
        ~Held() { PyGILState_Release(state); }
    } held;
    return fn();
}

}  // namespace quill
