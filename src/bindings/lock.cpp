#include "bindings/lock.hpp"

namespace quill {

namespace {
thread_local bool t_taking_lock_back = false;
}  // namespace

void take_lock_back(PyThreadState* state) {
    t_taking_lock_back = true;
    PyEval_RestoreThread(state);
    t_taking_lock_back = false;
}

bool taking_lock_back() noexcept { return t_taking_lock_back; }

}  // namespace quill
