// Internal failures: a violated invariant reported on standard error and carried
// outward as a C++ exception to the one boundary that converts it for the host.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace cadrel::rt {

/// The exception that carries an internal failure. Its report has already been
/// written to standard error when it is thrown.
class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

/// Writes the failure report ("thread '<name>' panicked at <file>:<line>:<col>:"
/// then the message) to standard error in one write, so that concurrent reports
/// from several threads do not interleave.
void report_panic(std::string_view message,
                  std::source_location where = std::source_location::current()) noexcept;

/// Reports an internal failure and throws it as `Panic`.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

/// Ends the process: an internal failure escaped the boundary that should have
/// caught it.
[[noreturn]] void abort_uncaught_panic() noexcept;

}  // namespace cadrel::rt
