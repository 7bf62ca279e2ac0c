// A piece of pool work and how its completion is published.
//
// A job lives on the stack of the thread that waits for it.  Whoever runs it stores any
// exception in `error`, then sets `done` with release order; the waiter reads `done` with
// acquire order, so it sees `error` and every effect of the body, and may release the job
// at once: nothing touches a job after its `done` is set.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "support/function_ref.hpp"

namespace quelbrin::parallel {

struct Worker;

struct Job {
    Job(FunctionRef<void(bool)> b, Worker* o) : body(b), owner(o) {}
    FunctionRef<void(bool)> body;  // called with "taken over by another thread"
    Worker* owner;                 // the worker that queued it; null when submitted from outside
    std::exception_ptr error;
    std::atomic<bool> done{false};
    // Units submitted from outside: the submitter sleeps on these until `done`.
    std::mutex* waiter_mutex = nullptr;
    std::condition_variable* waiter_cv = nullptr;
};

}  // namespace quelbrin::parallel
