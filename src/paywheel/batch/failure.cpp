#include "paywheel/batch/failure.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace paywheel::batch {

Failure classify_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const Abort& a) {
            return Failure(std::in_place_type<Abort>, a);
        } catch (const std::bad_alloc&) {
            return AllocationFailure{};
        } catch (const std::length_error&) {
            return AllocationFailure{};
        } catch (const std::exception& e) {
            return UnexpectedFailure{e.what()};
        } catch (...) {
            return UnexpectedFailure{"unknown exception"};
        }
    } catch (...) {
        // Copying the message out of the exception failed.
        return AllocationFailure{};
    }
}

void rethrow(const Failure& failure) {
    switch (kind_of(failure)) {
        case FailureKind::Abort:
            throw std::get<Abort>(failure);
        case FailureKind::Allocation:
            throw std::bad_alloc();
        case FailureKind::Unexpected:
            throw std::runtime_error(std::get<UnexpectedFailure>(failure).what);
    }
    throw std::bad_alloc();  // unreachable: every kind is handled above
}

}  // namespace paywheel::batch
