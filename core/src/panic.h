// Internal failures of the comparison core: a failed check writes a report to
// standard error and leaves the operation by throwing `Panic`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace quillet {

// Where a failed check sits in the source.
struct SourceLocation {
    const char* file;
    std::uint32_t line;
    std::uint32_t column;

    static constexpr SourceLocation from(std::source_location loc) noexcept {
        return {loc.file_name(), loc.line(), loc.column()};
    }
};

// The failure of an internal check, carrying its message and location. By the
// time it is thrown the report is already on standard error.
class Panic : public std::exception {
public:
    Panic(std::string message, SourceLocation location) noexcept
        : message_(std::move(message)), location_(location) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const SourceLocation& location() const noexcept { return location_; }

private:
    std::string message_;
    SourceLocation location_;
};

// Numeric ID the operating system gives the calling thread.
std::uint64_t current_thread_id() noexcept;

// The report text: "\nthread '<unnamed>' (id) panicked at file:line:column:\nmessage\n".
std::string format_panic_report(const std::string& message, SourceLocation location,
                                std::uint64_t thread_id);

// Writes the report to standard error under a process-wide lock, then throws.
[[noreturn]] void panic(std::string message,
                        std::source_location location = std::source_location::current());

// The message of a failed bounds check.
std::string index_out_of_bounds_message(std::size_t len, std::size_t index);

// Panics unless index < len. Kept out of line so the check costs one compare.
[[noreturn]] void panic_index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location location = std::source_location::current());

inline void check_index(std::size_t len, std::size_t index,
                        std::source_location location = std::source_location::current()) {
    if (index >= len) [[unlikely]]
        panic_index_out_of_bounds(len, index, location);
}

}  // namespace quillet
