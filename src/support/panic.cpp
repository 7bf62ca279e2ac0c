#include "support/panic.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

namespace quelbrin {
namespace {

thread_local bool t_unnamed = false;

// The name a report uses: "<unnamed>" for pool threads, "main" for the process's
// initial thread, otherwise the thread's own name when it has one.
std::string thread_name() {
    if (t_unnamed) return "<unnamed>";
    if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid()) return "main";
    char buf[64] = {0};
    if (pthread_getname_np(pthread_self(), buf, sizeof buf) == 0 && buf[0] != '\0') return buf;
    return "<unnamed>";
}

}  // namespace

void mark_thread_unnamed() noexcept { t_unnamed = true; }

void panic_at(const char* file, int line, std::string message) {
    std::string report = "thread '" + thread_name() + "' panicked at " + file + ":" +
                         std::to_string(line) + ":\n" + message + "\n";
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
    throw Panic{std::move(message)};
}

}  // namespace quelbrin
