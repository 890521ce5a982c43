#include "paywheel/core/abort.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

namespace paywheel {

namespace {

// Cleared by the first abort of the process, so that concurrent aborts on
// several worker threads print the backtrace hint once between them.
std::atomic<bool> g_hint_pending{true};

thread_local unsigned t_quiet_depth = 0;

void write_all(const char* data, std::size_t size) noexcept {
    while (size > 0) {
        ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n <= 0) return;  // nothing sensible to do if stderr is gone
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void write_str(const char* s) noexcept { write_all(s, std::strlen(s)); }

bool backtrace_requested() noexcept {
    const char* v = std::getenv(kBacktraceEnv);
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

}  // namespace

std::size_t Abort::message_size() const noexcept {
    return static_message_ != nullptr ? std::strlen(static_message_) : owned_message_.size();
}

void write_abort_report(const char* message, std::size_t size, const AbortSite& site) noexcept {
    // Written straight to file descriptor 2 (not sys.stderr) and in one
    // buffer where possible, so reports from concurrent worker threads stay
    // line-intact.
    char head[512];
    int n = std::snprintf(head, sizeof head, "thread '<unnamed>' panicked at %s:%u:%u:\n",
                          site.file, site.line, site.column);
    if (n > 0) write_all(head, static_cast<std::size_t>(n) < sizeof head ? static_cast<std::size_t>(n) : sizeof head - 1);
    write_all(message, size);
    write_all("\n", 1);

    if (backtrace_requested()) {
        void* frames[64];
        int depth = ::backtrace(frames, 64);
        write_str("stack backtrace:\n");
        ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    } else if (g_hint_pending.exchange(false)) {
        write_str("note: run with `QUILL_HARBOR_BACKTRACE=1` environment variable to display a backtrace\n");
    }
}

QuietAborts::QuietAborts() noexcept { ++t_quiet_depth; }
QuietAborts::~QuietAborts() { --t_quiet_depth; }

void raise_abort(const char* static_message, std::source_location loc) {
    Abort a(static_message, site_of(loc));
    if (t_quiet_depth == 0) write_abort_report(a.message(), a.message_size(), a.site());
    throw a;
}

void raise_abort(std::string owned_message, std::source_location loc) {
    Abort a(std::move(owned_message), site_of(loc));
    if (t_quiet_depth == 0) write_abort_report(a.message(), a.message_size(), a.site());
    throw a;
}

void raise_abort_silently(std::string owned_message, std::source_location loc) {
    throw Abort(std::move(owned_message), site_of(loc));
}

}  // namespace paywheel
