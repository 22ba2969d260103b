// Processor count: the affinity mask lowered to the cgroup CPU quota.
#include "runtime/cpu_quota.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace cadrel::rt {

namespace {

namespace fs = std::filesystem;

/// ceil(quota / period) for a positive quota and period, else nullopt.
std::optional<std::size_t> processors_for(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<std::size_t>((quota + period - 1) / period);
}

std::optional<std::string> first_line(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

/// Parses a whole decimal integer (optionally negative); nullopt for anything else.
std::optional<long long> parse_integer(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
    return value;
}

/// cgroup v2 `cpu.max`: "max PERIOD" (no quota) or "QUOTA PERIOD".
std::optional<std::size_t> v2_limit(const fs::path& group) {
    auto line = first_line(group / "cpu.max");
    if (!line) return std::nullopt;
    std::istringstream fields(*line);
    std::string quota, period;
    if (!(fields >> quota >> period) || quota == "max") return std::nullopt;
    auto q = parse_integer(quota);
    auto p = parse_integer(period);
    if (!q || !p) return std::nullopt;
    return processors_for(*q, *p);
}

/// cgroup v1 `cpu.cfs_quota_us` (-1: no quota) over `cpu.cfs_period_us`.
std::optional<std::size_t> v1_limit(const fs::path& group) {
    auto quota = first_line(group / "cpu.cfs_quota_us");
    auto period = first_line(group / "cpu.cfs_period_us");
    if (!quota || !period) return std::nullopt;
    auto q = parse_integer(*quota);
    auto p = parse_integer(*period);
    if (!q || !p) return std::nullopt;
    return processors_for(*q, *p);
}

/// The tightest limit of `group_path` and every group above it, in each
/// hierarchy mounted at one of `mounts`. A group the hierarchy does not show
/// (a cgroup namespace makes /proc/self/cgroup name "/" relative to its own
/// root, a container may mount only its own group) still has the mount's top.
template <class ReadLimit>
std::optional<std::size_t> tightest_limit(const std::vector<fs::path>& mounts, const std::string& group_path,
                                          ReadLimit read_limit) {
    std::optional<std::size_t> tightest;
    auto consider = [&tightest](std::optional<std::size_t> limit) {
        if (limit && (!tightest || *limit < *tightest)) tightest = limit;
    };
    for (const fs::path& mount : mounts) {
        std::error_code error;
        if (!fs::is_directory(mount, error)) continue;
        fs::path relative = fs::path(group_path).relative_path().lexically_normal();
        if (relative.native().starts_with("..")) relative.clear();  // never leave the mount
        for (;;) {
            consider(read_limit(mount / relative));
            if (relative.empty() || relative == ".") break;
            relative = relative.parent_path();
        }
    }
    return tightest;
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root) {
    const fs::path top(root);
    std::ifstream groups(top / "proc/self/cgroup");
    if (!groups) return std::nullopt;
    const fs::path cgroup_fs = top / "sys/fs/cgroup";
    std::optional<std::size_t> tightest;
    auto consider = [&tightest](std::optional<std::size_t> limit) {
        if (limit && (!tightest || *limit < *tightest)) tightest = limit;
    };
    // Lines read "ID:CONTROLLERS:PATH"; the v2 line is "0::PATH".
    std::string line;
    while (std::getline(groups, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string id = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            consider(tightest_limit({cgroup_fs, cgroup_fs / "unified"}, path, v2_limit));
            continue;
        }
        std::istringstream names(controllers);
        std::string name;
        bool has_cpu = false;
        while (std::getline(names, name, ',')) has_cpu = has_cpu || name == "cpu";
        if (has_cpu)
            consider(tightest_limit({cgroup_fs / "cpu", cgroup_fs / "cpu,cpuacct", cgroup_fs / "cpuacct,cpu"}, path,
                                    v1_limit));
    }
    return tightest;
}

std::size_t available_parallelism() noexcept {
    std::size_t count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) count = static_cast<std::size_t>(CPU_COUNT(&set));
    if (count == 0) {
        long online = sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? static_cast<std::size_t>(online) : 1;
    }
    try {
        if (auto limit = cgroup_cpu_limit()) count = std::min(count, *limit);
    } catch (...) {
        // Out of memory reading the quota: the mask alone will do.
    }
    return std::max<std::size_t>(count, 1);
}

}  // namespace cadrel::rt
