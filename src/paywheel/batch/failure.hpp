// Failures as data. A batch evaluates records on worker threads, where no
// exception may escape into the pool; each record's failure is caught and
// classified here into one of three kinds, carried to the calling thread,
// and only there turned back into an exception (or into whatever the
// consumer reports). Every catch site of the system classifies through
// classify_current_exception, so they all agree on what a failure is.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "paywheel/core/abort.hpp"

namespace paywheel::batch {

// Memory ran out: std::bad_alloc, or std::length_error (a request too long
// to even ask for).
struct AllocationFailure {};

// Any other exception; nothing in the engine or the batch layer throws one,
// so it marks a fault rather than a condition of the input.
struct UnexpectedFailure {
    std::string what;
};

// An Abort carries its message and the site where it was raised; its report
// (unless quietened) was written by the raising thread.
using Failure = std::variant<Abort, AllocationFailure, UnexpectedFailure>;

enum class FailureKind { Abort = 0, Allocation = 1, Unexpected = 2 };

inline FailureKind kind_of(const Failure& f) noexcept { return static_cast<FailureKind>(f.index()); }

// The failure of one record of a batch.
struct IndexedFailure {
    std::size_t index;
    Failure failure;
};

// Classifies the exception being handled. Call only inside a catch block.
// Never throws: if even copying the failure runs out of memory, the result
// is an AllocationFailure.
Failure classify_current_exception() noexcept;

// Throws the failure again as the exception it was classified from:
// Abort as itself (no second report), allocation as std::bad_alloc,
// unexpected as std::runtime_error(what).
[[noreturn]] void rethrow(const Failure& failure);

}  // namespace paywheel::batch
