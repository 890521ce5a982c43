#include "bindings/columnar/edge.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#include "paywheel/columnar/failure.hpp"
#include "paywheel/core/abort.hpp"
#include "paywheel/core/messages.hpp"

namespace quill::columnar {

namespace pc = paywheel::columnar;

PythonFailure PythonFailure::fetch() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    return PythonFailure{PyRef::steal(type), PyRef::steal(value), PyRef::steal(tb)};
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, paywheel::messages::kLostPythonError);
    } catch (const Refusal& r) {
        PyErr_SetString(r.type, r.text.c_str());
    } catch (PythonFailure& f) {
        if (!f.type) {
            PyErr_SetString(PyExc_SystemError, paywheel::messages::kLostPythonError);
            return;
        }
        PyErr_Restore(f.type.release(), f.value.release(), f.traceback.release());
    } catch (const pc::ColumnarError& e) {
        switch (e.kind()) {
            case pc::CallFailure::Cancelled:
                if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
                break;
            case pc::CallFailure::TooLarge: PyErr_SetString(PyExc_MemoryError, e.what()); break;
            case pc::CallFailure::BadInput: PyErr_SetString(PyExc_ValueError, e.what()); break;
            case pc::CallFailure::BadType: PyErr_SetString(PyExc_TypeError, e.what()); break;
            case pc::CallFailure::Upstream: PyErr_SetString(PyExc_RuntimeError, e.what()); break;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const paywheel::Abort& a) {
        PyErr_SetString(PyExc_RuntimeError, a.message());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, paywheel::messages::kUnexpectedNative);
    }
}

void report_unraisable(PyObject* where) noexcept {
    translate_current_exception();
    PyErr_WriteUnraisable(where);
}

namespace {

// The process's first thread: the only one CPython runs signal handlers on.
bool on_main_thread() noexcept { return ::syscall(SYS_gettid) == ::getpid(); }

// What the waiting thread and the helper share.
struct Shared {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
};

// The helper thread, joined on every way out of run_interruptible: a
// returning caller, a throwing one, and a caller whose thread CPython ends
// while it waits for the lock (interpreter exit with a daemon thread in a
// call), whose frame must not go while the helper still uses it.
class Helper {
public:
    Helper(Shared& shared, std::atomic<bool>& stop) : shared_(shared), stop_(stop) {}
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    // The body does not touch Python, so waiting for it never needs the
    // lock; a caller that holds it gives it up first (without_lock).
    ~Helper() { join(); }
    void join() {
        if (!thread_.joinable()) return;
        {
            std::unique_lock<std::mutex> lock(shared_.m);
            if (!shared_.done) stop_.store(true);
            shared_.cv.wait(lock, [&] { return shared_.done; });
        }
        thread_.join();
    }
    std::thread thread_;

private:
    Shared& shared_;
    std::atomic<bool>& stop_;
};

// Runs the handlers of pending signals; false with the exception pending
// when one raised.
bool signals_quiet(bool holds_lock) {
    if (holds_lock) return PyErr_CheckSignals() == 0;
    return with_lock([] {
        // A handler's exception is carried out of the lock scope as an exception object.
        if (PyErr_CheckSignals() != 0) throw PythonFailure::fetch();
        return true;
    });
}

}  // namespace

void run_interruptible(std::atomic<bool>& stop, const std::function<void()>& body, bool holds_lock) {
    Shared sh;
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
    const auto finish = [&sh] {
        if (sh.error) std::rethrow_exception(sh.error);
    };
    if (!holds_lock && !on_main_thread()) {
        // No signal handler can run here: compute on this thread.
        task();
        return finish();
    }
    {
        Helper helper(sh, stop);
        try {
            helper.thread_ = std::thread(task);
        } catch (const std::system_error&) {
            // No thread to be had: compute here, uninterruptibly.
            if (holds_lock)
                without_lock(task);
            else
                task();
            return finish();
        }
        for (;;) {
            bool finished = false;
            const auto wait = [&] {
                std::unique_lock<std::mutex> lock(sh.m);
                finished = sh.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return sh.done; });
            };
            if (holds_lock)
                without_lock(wait);
            else
                wait();
            if (finished) break;
            bool quiet;
            try {
                quiet = signals_quiet(holds_lock);
            } catch (PythonFailure&) {
                stop.store(true);
                throw;  // the helper is joined on the way out
            }
            if (!quiet) {
                stop.store(true);
                PythonFailure f = PythonFailure::fetch();
                without_lock([&] { helper.join(); });
                throw std::move(f);
            }
        }
        if (holds_lock)
            without_lock([&] { helper.join(); });
        else
            helper.join();
    }
    finish();
}

}  // namespace quill::columnar
