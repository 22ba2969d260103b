// Operating-system error texts.
#include "runtime/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace cadrel::rt {

std::string os_error_text(int code) {
    // strerror_r has two incompatible signatures (GNU and XSI); strerror is
    // safe enough here because its result is copied at once and musl's is
    // thread-safe.
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

void throw_last_os_error() { throw OsError(errno); }

}  // namespace cadrel::rt
