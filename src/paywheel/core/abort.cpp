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

// Written once by read_abort_settings, before any call can run; read by
// every report.
std::atomic<bool> g_backtrace{false};
std::atomic<bool> g_settings_read{false};

void write_all(const char* data, std::size_t size) noexcept {
    while (size > 0) {
        ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n <= 0) return;  // nothing sensible to do if stderr is gone
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

constexpr char kHint[] = "note: run with `QUILL_HARBOR_BACKTRACE=1` environment variable to display a backtrace\n";
constexpr char kBacktraceHeader[] = "stack backtrace:\n";

// Appends to a fixed buffer, remembering whether everything fitted.
struct ReportBuffer {
    char data[4096];
    std::size_t size = 0;
    bool fits = true;

    void append(const char* text, std::size_t n) noexcept {
        if (!fits || n > sizeof data - size) {
            fits = false;
            return;
        }
        std::memcpy(data + size, text, n);
        size += n;
    }
};

// Reads the setting at load time, on the thread that loads the library
// (the importing thread, holding the interpreter lock).
[[maybe_unused]] const bool g_read_at_load = (read_abort_settings(), true);

}  // namespace

void read_abort_settings() noexcept {
    if (g_settings_read.exchange(true)) return;
    const char* v = std::getenv(kBacktraceEnv);
    g_backtrace.store(v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0);
}

std::size_t Abort::message_size() const noexcept {
    return static_message_ != nullptr ? std::strlen(static_message_) : owned_message_.size();
}

void write_abort_report(const char* message, std::size_t size, const AbortSite& site) noexcept {
    // Written straight to file descriptor 2 (not sys.stderr) as one write of
    // the whole text, so that reports from concurrent worker threads never
    // interleave inside a line. Built on the stack: the report may be about
    // memory having run out.
    char head[512];
    int n = std::snprintf(head, sizeof head, "thread '<unnamed>' panicked at %s:%u:%u:\n",
                          site.file, site.line, site.column);
    const std::size_t head_size =
        n <= 0 ? 0 : (static_cast<std::size_t>(n) < sizeof head ? static_cast<std::size_t>(n) : sizeof head - 1);

    const bool backtrace = g_backtrace.load(std::memory_order_relaxed);
    // Only the report that claims the hint prints it, so it appears once per
    // process however many workers fail together.
    const bool hint = !backtrace && g_hint_pending.exchange(false);

    ReportBuffer report;
    report.append(head, head_size);
    report.append(message, size);
    report.append("\n", 1);
    if (backtrace) {
        report.append(kBacktraceHeader, sizeof kBacktraceHeader - 1);
    } else if (hint) {
        report.append(kHint, sizeof kHint - 1);
    }

    if (report.fits) {
        write_all(report.data, report.size);
    } else {
        // A message too long for the buffer: its lines cannot all be kept
        // whole against other writers anyway, so it goes out in pieces.
        write_all(head, head_size);
        write_all(message, size);
        write_all("\n", 1);
        if (backtrace) {
            write_all(kBacktraceHeader, sizeof kBacktraceHeader - 1);
        } else if (hint) {
            write_all(kHint, sizeof kHint - 1);
        }
    }

    if (backtrace) {
        void* frames[64];
        int depth = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
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

void raise_abort(Blame blame, const char* static_message, std::source_location loc) {
    Abort a(static_message, site_of(loc), blame);
    if (t_quiet_depth == 0) write_abort_report(a.message(), a.message_size(), a.site());
    throw a;
}

void raise_abort_silently(std::string owned_message, std::source_location loc) {
    throw Abort(std::move(owned_message), site_of(loc));
}

}  // namespace paywheel
