// The one failure path of the whole system for conditions a caller cannot
// recover from inside a call: the engine, the drivers and the boundary raise
// an Abort, it unwinds to the entry trampoline, and only the trampoline turns
// it into a Python exception. Nothing in between catches it, except the
// columnar layer, which keeps an engine abort as its row's failure.
#pragma once

#include <cstdint>
#include <optional>
#include <source_location>
#include <string>
#include <utility>

#include "paywheel/core/failure_code.hpp"

namespace paywheel {

struct AbortSite {
    const char* file;  // relative to the repository root (see -fmacro-prefix-map)
    std::uint32_t line;
    std::uint32_t column;
};

// Deliberately not derived from std::exception: a generic handler for
// library errors must never swallow an abort half-way to the boundary.
//
// An abort that refuses a loan carries, from the site that raises it, the
// failure code and the field to blame (blame()); the code is what callers
// read, the message is for the record. Aborts of the boundary and the pool,
// which no loan causes, carry none.
class Abort {
public:
    Abort(const char* static_message, AbortSite site, std::optional<Blame> blame = std::nullopt) noexcept
        : static_message_(static_message), site_(site), blame_(blame) {}
    Abort(std::string owned_message, AbortSite site, std::optional<Blame> blame = std::nullopt) noexcept
        : static_message_(nullptr), owned_message_(std::move(owned_message)), site_(site), blame_(blame) {}

    const char* message() const noexcept {
        return static_message_ != nullptr ? static_message_ : owned_message_.c_str();
    }
    std::size_t message_size() const noexcept;
    const AbortSite& site() const noexcept { return site_; }
    const std::optional<Blame>& blame() const noexcept { return blame_; }

private:
    // Static texts cost no allocation, which matters when the abort reports
    // a failure that happened because memory ran out.
    const char* static_message_;
    std::string owned_message_;
    AbortSite site_;
    std::optional<Blame> blame_;
};

inline AbortSite site_of(const std::source_location& loc) noexcept {
    return AbortSite{loc.file_name(), loc.line(), loc.column()};
}

// Writes the standard-error report, then throws. The report is written by the
// raising thread at the moment of failure, so that a failure on a worker
// thread is reported even if a later record's failure is the one dropped.
[[noreturn]] void raise_abort(const char* static_message,
                              std::source_location loc = std::source_location::current());
[[noreturn]] void raise_abort(std::string owned_message,
                              std::source_location loc = std::source_location::current());
// A loan's refusal: the code and field to blame travel with the abort.
[[noreturn]] void raise_abort(Blame blame, const char* static_message,
                              std::source_location loc = std::source_location::current());

// Throws without a report: for an abort whose report was already written
// elsewhere (a panic resumed from a nested call of this module).
[[noreturn]] void raise_abort_silently(std::string owned_message,
                                       std::source_location loc = std::source_location::current());

// Writes the report for an abort that is not thrown (the last-resort guard
// uses it before terminating the process).
void write_abort_report(const char* message, std::size_t size, const AbortSite& site) noexcept;

// While one is alive on a thread, aborts raised on that thread write no
// report: for callers that carry failures as data rather than as the
// module's PanicException. Nests.
class QuietAborts {
public:
    QuietAborts() noexcept;
    ~QuietAborts();
    QuietAborts(const QuietAborts&) = delete;
    QuietAborts& operator=(const QuietAborts&) = delete;
};

// Name of the environment variable that asks for a backtrace in the report.
inline constexpr const char* kBacktraceEnv = "QUILL_HARBOR_BACKTRACE";

// Reads kBacktraceEnv, once per process; later calls do nothing. Reports are
// written by worker threads while other threads may be changing the
// environment, so no report ever calls getenv: the setting is read here, at
// load time of the library and again (harmlessly) at module import, both
// on a thread that holds the interpreter lock, which every change of
// os.environ also holds.
void read_abort_settings() noexcept;

}  // namespace paywheel
