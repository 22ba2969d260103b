// Small thread facts the runtime needs: how many processors this process may
// use, and naming the current thread.
#pragma once

#include <cstddef>
#include <string>

namespace cadrel::rt {

/// Processors in this process's affinity mask (at least 1); falls back to the
/// online processor count when the mask cannot be read.
std::size_t available_parallelism() noexcept;

/// Sets the current thread's name as the kernel shows it (15 bytes at most).
void set_current_thread_name(const std::string& name) noexcept;

/// The current thread's name, or "<unnamed>" when it has none.
std::string current_thread_name();

}  // namespace cadrel::rt
