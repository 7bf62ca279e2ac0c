// Internal invariant failures ("panics").
//
// A panic is a failed consistency check: it is never caused by user input.  `panic_at`
// writes the report (thread name, source location, message) to standard error and then
// throws `Panic`, which unwinds to the call frame (raised there as PanicException) or, on
// a worker thread, is carried back to the calling thread by the pool.
#pragma once

#include <string>

namespace quelbrin {

struct Panic {
    std::string message;
};

// Writes the report and throws Panic{message}.
[[noreturn]] void panic_at(const char* file, int line, std::string message);

// Marks the current thread as having no name of its own: its panic reports say
// "<unnamed>".  Worker threads of the pool call this once at start.
void mark_thread_unnamed() noexcept;

}  // namespace quelbrin

#define QB_PANIC(msg) ::quelbrin::panic_at(__FILE__, __LINE__, (msg))
#define QB_ASSERT(cond, msg)                                          \
    do {                                                              \
        if (!(cond)) ::quelbrin::panic_at(__FILE__, __LINE__, (msg)); \
    } while (0)
