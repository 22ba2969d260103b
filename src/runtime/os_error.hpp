// Operating-system errors as exceptions whose text is the C library's message
// followed by " (os error N)".
#pragma once

#include <stdexcept>
#include <string>

namespace cadrel::rt {

/// "<strerror(code)> (os error <code>)".
std::string os_error_text(int code);

class OsError : public std::runtime_error {
public:
    explicit OsError(int code) : std::runtime_error(os_error_text(code)), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

/// Throws OsError for the current errno.
[[noreturn]] void throw_last_os_error();

}  // namespace cadrel::rt
