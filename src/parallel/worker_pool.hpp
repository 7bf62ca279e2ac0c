// The pool itself (internal to src/parallel/): its workers, the queue for units submitted
// from outside, and the loop a thread runs while it waits for work.  The global pool
// (global_pool.cpp) and the pools of the tests are built from it alike.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "parallel/job.hpp"
#include "parallel/pool.hpp"
#include "parallel/sleep.hpp"
#include "parallel/work_queue.hpp"

namespace quelbrin::parallel {

struct Worker {
    Pool* pool = nullptr;
    std::size_t index = 0;
    WorkQueue jobs;
};

// The worker running on this thread; null outside every pool.
extern thread_local Worker* t_worker;

class Pool {
  public:
    explicit Pool(std::size_t n);

    std::size_t size() const noexcept { return n_; }
    Worker& worker(std::size_t i) noexcept { return workers_[i]; }
    std::atomic<std::size_t>& running() noexcept { return running_; }

    // Queues a unit from outside the pool.  Throws std::bad_alloc (nothing queued).
    void inject(Job* job);

    // Offers a job on the worker's own deque; false if it could not be queued.
    bool offer(Worker& self, Job* job) noexcept;

    // Takes `job` back if it is still the newest on the worker's deque.
    bool take_back(Worker& self, Job* job) noexcept;

    // Works on pool jobs until `done` is set (or, with done == null, until the pool is told
    // to finish).  Searches a little before sleeping; never busy-waits for long.
    void work_until(Worker& self, const std::atomic<bool>* done) noexcept;

    // Tells every thread to finish once it is idle.  Only for a pool that was never given
    // work (a failed build).
    void terminate() noexcept { sleep_.terminate(); }

    // Links pools that failed to build, which stay allocated while their threads finish.
    Pool* next_failed = nullptr;

  private:
    Job* find_work(Worker& self);
    void execute(Worker& self, Job* job);

    const std::size_t n_;
    std::unique_ptr<Worker[]> workers_;
    std::atomic<std::size_t> running_{0};

    std::mutex inject_m_;
    std::deque<Job*> injected_;

    Sleep sleep_;
};

// Builds a pool; on failure the threads already started are told to finish and the pool
// belongs to the caller, who must keep it until they have.
PoolBuild start_pool(std::size_t threads, std::size_t stack_size, ThreadStarter start);

}  // namespace quelbrin::parallel
