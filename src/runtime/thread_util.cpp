// Processor count and thread names.
#include "runtime/thread_util.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace cadrel::rt {

std::size_t available_parallelism() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

void set_current_thread_name(const std::string& name) noexcept {
    // The kernel keeps 15 bytes and a terminator; longer names are refused, so cut.
    std::string cut = name.substr(0, 15);
    pthread_setname_np(pthread_self(), cut.c_str());
}

std::string current_thread_name() {
    char buffer[64] = {};
    if (pthread_getname_np(pthread_self(), buffer, sizeof(buffer)) != 0 || buffer[0] == '\0')
        return "<unnamed>";
    return buffer;
}

}  // namespace cadrel::rt
