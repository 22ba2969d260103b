// Internal-failure reports and the exception that carries them.
#include "runtime/panic.hpp"

#include "runtime/thread_util.hpp"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace cadrel::rt {

namespace {

void write_all(const std::string& text) noexcept {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;  // interrupted before writing: retry
            return;                        // nowhere left to report to
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

namespace {

/// The source path from the project's root ("src/..."), whatever directory
/// the compiler was run from.
std::string_view project_path(const char* file) {
    std::string_view path(file);
    std::size_t root = path.rfind("src/");
    return root == std::string_view::npos ? path : path.substr(root);
}

}  // namespace

void report_panic(std::string_view message, std::source_location where) noexcept {
    try {
        std::string report = "thread '" + current_thread_name() + "' panicked at " +
                             std::string(project_path(where.file_name())) + ":" + std::to_string(where.line()) + ":" +
                             std::to_string(where.column()) + ":\n";
        report.append(message);
        report.push_back('\n');
        write_all(report);
    } catch (...) {
        write_all("internal failure (report could not be built)\n");
    }
}

void panic(std::string message, std::source_location where) {
    report_panic(message, where);
    throw Panic(std::move(message));
}

void abort_uncaught_panic() noexcept {
    write_all("uncaught panic at ffi boundary\n");
    std::abort();
}

}  // namespace cadrel::rt
