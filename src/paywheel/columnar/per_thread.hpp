// Scratch for each worker thread of one call, owned by the call. The pool's
// threads outlive every call, so scratch they kept themselves (thread_local)
// would keep the largest loan they ever met: 2^24 periods hold 320 MiB of
// schedule and 512 MiB of float64 sums. Held here, it goes when the call does.
#pragma once

#include <mutex>
#include <thread>
#include <unordered_map>

namespace paywheel::columnar {

template <typename T>
class PerThread {
public:
    // The calling thread's T, made on its first use in this call. The
    // reference stays valid while other threads add theirs.
    T& mine() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_[std::this_thread::get_id()];
    }

private:
    std::mutex mutex_;
    std::unordered_map<std::thread::id, T> items_;
};

}  // namespace paywheel::columnar
