// The process-wide worker pool: a fixed set of detached POSIX threads with per-thread
// work-stealing deques, a queue for units submitted from outside, and sleeping on a
// condition variable when there is nothing to do.
//
// The global pool is created by the first parallel section that needs it
// (`section_pool` from a thread outside the pool).  If it cannot be created (a thread
// refused, no memory for its bookkeeping) that section gets no pool, and the next one
// tries again; nothing of the failure is kept but the memory of the failed attempt, which
// is released once its started threads have finished.  Once created, its threads live
// until the process exits.  In a child process made by fork() the parent's pool is
// forgotten (its threads do not exist there) and the first request builds a new one.
//
// Exceptions thrown by work (Panic, std::bad_alloc, anything) travel as
// std::exception_ptr to the thread that waits for that work and are rethrown there; they
// never end a worker thread.
#pragma once

#include <pthread.h>

#include <cstddef>

#include "support/function_ref.hpp"

namespace quelbrin::parallel {

class Pool;

// The pool a parallel section runs on: on a pool thread its own pool; elsewhere the global
// pool, created on first use, or null when it cannot be created now (the caller then does
// the work itself).
Pool* section_pool();

// Fork-join on a pool thread: offers `right` to the other threads of the pool, runs `left`
// here, then runs `right` here if nobody took it (right(false)), or works on other pool
// work / sleeps until the thread that took it (right(true)) has finished.  Both halves
// always complete before this returns or throws.  If `left` threw, its exception is
// rethrown and right's outcome is discarded; otherwise right's exception, if any.
// Outside a pool the two halves run one after the other on the calling thread.
void pool_join(FunctionRef<void()> left, FunctionRef<void(bool taken_over)> right);

// True on a worker thread of any pool.
bool on_pool_thread() noexcept;

// --- Pools other than the global one (the global pool is built the same way). ---

// Starts a thread like pthread_create; replaceable to simulate failures.
using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct PoolBuild {
    Pool* pool;    // never null; never freed (its threads may still be finishing)
    int os_error;  // 0 when every thread started
};

// Builds a pool of `threads` detached threads with the given stack size.  If a thread
// cannot be started (or the attributes are refused) the error is returned in os_error and
// the threads already started are told to finish; such a pool must not be given work.
// Throws std::bad_alloc when the pool's own memory cannot be had.
PoolBuild build_pool(std::size_t threads, std::size_t stack_size,
                     ThreadStarter start = &pthread_create);

std::size_t pool_size(const Pool& pool) noexcept;

// Threads of the pool that have been started and not yet finished.
std::size_t pool_running_threads(const Pool& pool) noexcept;

// Runs `unit` on `pool` and blocks the calling thread (which does no pool work meanwhile)
// until it has completed; rethrows the unit's exception here.  Called on a thread of that
// pool it simply runs `unit` there, so nested sections cannot deadlock the pool.  While it
// waits, the calling thread polls the check of its current CancelToken (cancel.hpp); once
// cancelled, it still waits for the unit to complete, then throws Cancelled.
void pool_submit_to(Pool& pool, FunctionRef<void()> unit);

// 2 MiB, or the platform's minimum thread stack if that is larger.
std::size_t default_stack_size() noexcept;

}  // namespace quelbrin::parallel
