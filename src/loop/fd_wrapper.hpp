// FdWrapper: a bare descriptor number lent to the readiness service.
#pragma once

#include <cstdint>

namespace cadrel::loop {

/// Offers a descriptor number as the raw descriptor of an event source.
/// Destroying it does nothing: the descriptor stays the host program's.
struct FdWrapper {
    std::int32_t fd;
    int as_raw_fd() const noexcept { return fd; }
};

}  // namespace cadrel::loop
