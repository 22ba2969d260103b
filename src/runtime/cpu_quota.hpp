// How many processors this process may use: its affinity mask and its cgroup
// CPU quota (a container limited to 2 CPUs on a 64-core host gets 2 workers).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace cadrel::rt {

/// Processors this process may use: the affinity mask (or, when it cannot be
/// read, the online processor count), lowered to the cgroup CPU quota when
/// there is one. At least 1.
std::size_t available_parallelism() noexcept;

/// The processors the cgroup CPU quota of this process allows, rounded up (at
/// least 1), or nullopt when no quota applies or none can be read. Reads
/// `root`/proc/self/cgroup and the controller files under `root`/sys/fs/cgroup
/// (cgroup v2 `cpu.max`, v1 `cpu.cfs_quota_us` / `cpu.cfs_period_us`) of the
/// process's group and of every group above it; the tightest quota wins.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root = "/");

}  // namespace cadrel::rt
