// Failure reports on standard error, written whole under one process-wide lock
// so that reports from different threads never interleave.
#include "panic.h"

#include <cerrno>
#include <mutex>

#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#elif defined(__APPLE__)
#include <pthread.h>
#endif

namespace quillet {

std::uint64_t current_thread_id() noexcept {
#if defined(__linux__)
    return static_cast<std::uint64_t>(::syscall(SYS_gettid));
#elif defined(__APPLE__)
    std::uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return id;
#else
    return 0;
#endif
}

std::string format_panic_report(const std::string& message, SourceLocation location,
                                std::uint64_t thread_id) {
    std::string report = "\nthread '<unnamed>' (";
    report += std::to_string(thread_id);
    report += ") panicked at ";
    report += location.file;
    report += ':';
    report += std::to_string(location.line);
    report += ':';
    report += std::to_string(location.column);
    report += ":\n";
    report += message;
    report += '\n';
    return report;
}

namespace {

std::mutex& report_lock() {
    static std::mutex lock;
    return lock;
}

// One write(2) for the whole report when the kernel takes it; loops only on a
// short write or an interruption.
void write_stderr(const std::string& text) noexcept {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void panic(std::string message, std::source_location location) {
    SourceLocation where = SourceLocation::from(location);
    {
        std::string report = format_panic_report(message, where, current_thread_id());
        std::lock_guard<std::mutex> guard(report_lock());
        write_stderr(report);
    }
    throw Panic(std::move(message), where);
}

std::string index_out_of_bounds_message(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

void panic_index_out_of_bounds(std::size_t len, std::size_t index,
                               std::source_location location) {
    panic(index_out_of_bounds_message(len, index), location);
}

}  // namespace quillet
