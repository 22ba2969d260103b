// Operating-system error texts.
#include "runtime/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace cadrel::rt {

namespace {

// strerror_r has two signatures: the XSI one (musl, and glibc without
// _GNU_SOURCE) returns an int and fills the buffer; the GNU one returns the
// text, which may or may not be in the buffer. Overloading on the result
// accepts whichever the C library declares, with no feature-test guesswork.
[[maybe_unused]] const char* text_of(int result, const char* buffer) noexcept {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* text_of(const char* result, const char*) noexcept { return result; }

}  // namespace

std::string os_error_text(int code) {
    // strerror itself may share a static buffer between threads.
    char buffer[256] = {};
    const char* text = text_of(strerror_r(code, buffer, sizeof(buffer)), buffer);
    std::string message = text != nullptr && text[0] != '\0' ? text : "Unknown error " + std::to_string(code);
    return message + " (os error " + std::to_string(code) + ")";
}

void throw_last_os_error() { throw OsError(errno); }

}  // namespace cadrel::rt
