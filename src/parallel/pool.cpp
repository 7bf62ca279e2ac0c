#include "parallel/pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

#include "parallel/cpus.hpp"
#include "support/panic.hpp"

namespace quelbrin::parallel {

namespace {

// A failure of the pool's own machinery, outside any job, leaves no thread able to report
// it to a caller: the one place where the process gives up.
[[noreturn]] void machinery_failure() noexcept {
    static const char text[] = "Rayon: detected unexpected panic; aborting\n";
    ssize_t ignored = ::write(STDERR_FILENO, text, sizeof text - 1);
    (void)ignored;
    std::abort();
}

// How many fruitless searches for work (each followed by a yield) a thread makes before it
// goes to sleep.
constexpr unsigned kSearchRounds = 32;

struct Worker;

// A piece of work in a queue.  Jobs live on the stack of the thread that waits for them.
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

struct Worker {
    Pool* pool = nullptr;
    std::size_t index = 0;
    std::mutex m;
    std::deque<Job*> jobs;  // owner works at the back, thieves take from the front
};

thread_local Worker* t_worker = nullptr;

}  // namespace

class Pool {
public:
    explicit Pool(std::size_t n) : n_(n), workers_(new Worker[n]) {
        for (std::size_t i = 0; i < n; ++i) {
            workers_[i].pool = this;
            workers_[i].index = i;
        }
    }

    std::size_t size() const noexcept { return n_; }
    Worker& worker(std::size_t i) noexcept { return workers_[i]; }
    std::atomic<std::size_t>& running() noexcept { return running_; }

    // Queues a unit from outside the pool.  Throws std::bad_alloc (nothing queued).
    void inject(Job* job) {
        {
            std::lock_guard<std::mutex> lk(inject_m_);
            injected_.push_back(job);
        }
        wake_one();
    }

    // Offers a job on the worker's own deque; false if it could not be queued.
    bool offer(Worker& self, Job* job) noexcept {
        try {
            std::lock_guard<std::mutex> lk(self.m);
            self.jobs.push_back(job);
        } catch (...) {
            return false;
        }
        wake_one();
        return true;
    }

    // Takes `job` back if it is still the newest on the worker's deque.
    bool take_back(Worker& self, Job* job) noexcept {
        try {
            std::lock_guard<std::mutex> lk(self.m);
            if (self.jobs.empty() || self.jobs.back() != job) return false;
            self.jobs.pop_back();
            return true;
        } catch (...) {
            machinery_failure();
        }
    }

    // Works on pool jobs until `done` is set (or, with done == null, until the pool is told
    // to finish).  Searches a little before sleeping; never busy-waits for long.
    void work_until(Worker& self, const std::atomic<bool>* done) noexcept {
        try {
            unsigned fruitless = 0;
            while (true) {
                std::uint64_t seen = epoch_.load(std::memory_order_seq_cst);
                if (done != nullptr ? done->load(std::memory_order_acquire)
                                    : terminating_.load(std::memory_order_acquire))
                    return;
                if (Job* job = find_work(self)) {
                    execute(self, job);
                    fruitless = 0;
                    continue;
                }
                if (++fruitless < kSearchRounds) {
                    sched_yield();
                    continue;
                }
                sleep_until_changed(seen);
                fruitless = 0;
            }
        } catch (...) {
            machinery_failure();
        }
    }

    // Tells every thread to finish once it is idle.  Only for a pool that was never given
    // work (a failed build).
    void terminate() noexcept {
        terminating_.store(true, std::memory_order_release);
        wake_all();
    }

private:
    Job* find_work(Worker& self) {
        {
            std::lock_guard<std::mutex> lk(self.m);
            if (!self.jobs.empty()) {
                Job* job = self.jobs.back();
                self.jobs.pop_back();
                return job;
            }
        }
        for (std::size_t k = 1; k < n_; ++k) {
            Worker& victim = workers_[(self.index + k) % n_];
            std::lock_guard<std::mutex> lk(victim.m);
            if (!victim.jobs.empty()) {
                Job* job = victim.jobs.front();
                victim.jobs.pop_front();
                return job;
            }
        }
        std::lock_guard<std::mutex> lk(inject_m_);
        if (injected_.empty()) return nullptr;
        Job* job = injected_.front();
        injected_.pop_front();
        return job;
    }

    // Runs a job taken from a queue and signals its completion.  The job's memory belongs
    // to its waiter, who may release it as soon as `done` is seen: nothing touches the job
    // after that.
    void execute(Worker& self, Job* job) {
        const bool taken_over = job->owner != &self;
        try {
            job->body(taken_over);
        } catch (...) {
            job->error = std::current_exception();
        }
        if (job->waiter_mutex != nullptr) {
            std::lock_guard<std::mutex> lk(*job->waiter_mutex);
            job->done.store(true, std::memory_order_release);
            job->waiter_cv->notify_all();
        } else {
            job->done.store(true, std::memory_order_release);
            // Its owner may be asleep waiting for exactly this.
            if (taken_over) wake_all();
        }
    }

    // The epoch changes whenever work is offered, a stolen job completes or the pool is
    // told to finish.  A thread sleeps only if it has not changed since before its last
    // search, so no wake-up is lost.
    void sleep_until_changed(std::uint64_t seen) {
        std::unique_lock<std::mutex> lk(sleep_m_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        while (epoch_.load(std::memory_order_seq_cst) == seen) sleep_cv_.wait(lk);
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    }

    void wake_one() noexcept {
        epoch_.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
        lock_and_release_sleep_mutex();
        sleep_cv_.notify_one();
    }

    void wake_all() noexcept {
        epoch_.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) == 0 &&
            !terminating_.load(std::memory_order_acquire))
            return;
        lock_and_release_sleep_mutex();
        sleep_cv_.notify_all();
    }

    // A sleeper counted in sleepers_ holds sleep_m_ until it is inside wait(); taking the
    // mutex once makes sure the notification that follows reaches it.
    void lock_and_release_sleep_mutex() noexcept {
        try {
            std::lock_guard<std::mutex> lk(sleep_m_);
        } catch (...) {
            machinery_failure();
        }
    }

    const std::size_t n_;
    std::unique_ptr<Worker[]> workers_;
    std::atomic<std::size_t> running_{0};

    std::mutex inject_m_;
    std::deque<Job*> injected_;

    std::mutex sleep_m_;
    std::condition_variable sleep_cv_;
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<std::size_t> sleepers_{0};
    std::atomic<bool> terminating_{false};

public:
    // Links pools that failed to build, which stay allocated while their threads finish.
    Pool* next_failed = nullptr;
};

namespace {

extern "C" void* worker_main(void* arg) {
    Worker* self = static_cast<Worker*>(arg);
    Pool* pool = self->pool;
    mark_thread_unnamed();
    t_worker = self;
    pool->work_until(*self, nullptr);
    t_worker = nullptr;
    pool->running().fetch_sub(1, std::memory_order_acq_rel);
    return nullptr;
}

// Waits for a unit handed to `pool` from outside it.
void submit_and_wait(Pool& pool, FunctionRef<void()> unit) {
    std::mutex m;
    std::condition_variable cv;
    auto body = [&](bool) { unit(); };
    Job job(body, nullptr);
    job.waiter_mutex = &m;
    job.waiter_cv = &cv;
    pool.inject(&job);
    {
        std::unique_lock<std::mutex> lk(m);
        while (!job.done.load(std::memory_order_acquire)) cv.wait(lk);
    }
    if (job.error) std::rethrow_exception(job.error);
}

// ---- The global pool. ----

struct GlobalSlot {
    std::mutex m;
    Pool* pool = nullptr;  // null until a build has succeeded
    // Failed builds of the global pool, released once their threads are gone (under m).
    Pool* failed = nullptr;
};

// Both pointers are swapped for fresh ones in a forked child and the old objects leaked:
// their mutexes may have been held by threads that do not exist there.
std::atomic<GlobalSlot*> g_slot{nullptr};
std::atomic<Pool*> g_ready{nullptr};

void forget_pool_in_child() noexcept {
    g_ready.store(nullptr, std::memory_order_relaxed);
    g_slot.store(nullptr, std::memory_order_relaxed);
    t_worker = nullptr;
}

GlobalSlot& global_slot() {
    static const int registered = pthread_atfork(nullptr, nullptr, &forget_pool_in_child);
    (void)registered;
    GlobalSlot* slot = g_slot.load(std::memory_order_acquire);
    if (slot != nullptr) return *slot;
    auto fresh = std::make_unique<GlobalSlot>();
    if (g_slot.compare_exchange_strong(slot, fresh.get(), std::memory_order_acq_rel))
        return *fresh.release();
    return *slot;
}

// "QUELBRIN_STACK_SIZE" (bytes, same number syntax as the thread-count variables) overrides
// the worker stack size.  It is read at every attempt to create the global pool, and
// exists so that creation failure can be provoked: a value the system refuses makes the
// threads fail to start.
std::size_t stack_size_from_environment() {
    const char* text = std::getenv("QUELBRIN_STACK_SIZE");
    if (text != nullptr) {
        if (std::optional<std::uint64_t> v = parse_count(text)) return static_cast<std::size_t>(*v);
    }
    return default_stack_size();
}

// Frees the failed builds of the global pool whose threads have all finished.  A thread's
// last access to its pool is the decrement of the running count, so a pool that counts
// none is no longer read by anyone.
void release_finished(GlobalSlot& slot) noexcept {
    Pool** link = &slot.failed;
    while (Pool* pool = *link) {
        if (pool->running().load(std::memory_order_acquire) == 0) {
            *link = pool->next_failed;
            delete pool;
        } else {
            link = &pool->next_failed;
        }
    }
}

PoolBuild start_pool(std::size_t threads, std::size_t stack_size, ThreadStarter start);

// The global pool, created by the first call that needs it; null when it cannot be
// created now (threads refused, or no memory for its bookkeeping).  A failure is not
// remembered: the next call tries again.
Pool* global_pool() {
    if (Pool* pool = g_ready.load(std::memory_order_acquire)) return pool;
    try {
        GlobalSlot& slot = global_slot();
        std::lock_guard<std::mutex> lk(slot.m);
        if (slot.pool != nullptr) return slot.pool;
        release_finished(slot);
        const std::size_t n = pool_thread_count_from_environment();
        PoolBuild built = start_pool(n, stack_size_from_environment(), &pthread_create);
        if (built.os_error != 0) {
            built.pool->next_failed = slot.failed;
            slot.failed = built.pool;
            return nullptr;
        }
        slot.pool = built.pool;
        g_ready.store(built.pool, std::memory_order_release);
        return built.pool;
    } catch (const std::bad_alloc&) {
        return nullptr;  // nothing was started
    } catch (const std::system_error&) {
        return nullptr;  // the guard's mutex was refused
    }
}

// A pool that failed to build for a caller of build_pool: it is kept on a list (never
// freed) because its threads may still be reading it.
std::atomic<Pool*> g_failed_pools{nullptr};

void retire(Pool* pool) noexcept {
    pool->next_failed = g_failed_pools.load(std::memory_order_relaxed);
    while (!g_failed_pools.compare_exchange_weak(pool->next_failed, pool, std::memory_order_acq_rel)) {
    }
}

// Builds a pool; on failure the threads already started are told to finish and the pool
// belongs to the caller, who must keep it until they have.
PoolBuild start_pool(std::size_t threads, std::size_t stack_size, ThreadStarter start) {
    // A count whose bookkeeping cannot even be sized is an allocation failure.
    if (threads > std::numeric_limits<std::size_t>::max() / (4 * sizeof(Worker))) throw std::bad_alloc();
    Pool* pool = new Pool(threads);
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err != 0) {
        pool->terminate();
        return {pool, err};
    }
    err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (err == 0) err = pthread_attr_setstacksize(&attr, stack_size);
    for (std::size_t i = 0; i < threads && err == 0; ++i) {
        pool->running().fetch_add(1, std::memory_order_acq_rel);
        pthread_t thread;
        err = start(&thread, &attr, &worker_main, &pool->worker(i));
        if (err != 0) pool->running().fetch_sub(1, std::memory_order_acq_rel);
    }
    pthread_attr_destroy(&attr);
    if (err != 0) pool->terminate();
    return {pool, err};
}

}  // namespace

std::size_t default_stack_size() noexcept {
    const std::size_t two_mib = std::size_t{2} * 1024 * 1024;
    return std::max<std::size_t>(two_mib, PTHREAD_STACK_MIN);
}

PoolBuild build_pool(std::size_t threads, std::size_t stack_size, ThreadStarter start) {
    PoolBuild built = start_pool(threads, stack_size, start);
    if (built.os_error != 0) retire(built.pool);
    return built;
}

std::size_t pool_size(const Pool& pool) noexcept { return pool.size(); }

std::size_t pool_running_threads(const Pool& pool) noexcept {
    return const_cast<Pool&>(pool).running().load(std::memory_order_acquire);
}

bool on_pool_thread() noexcept { return t_worker != nullptr; }

Pool* section_pool() {
    if (t_worker != nullptr) return t_worker->pool;
    return global_pool();
}

void pool_submit_to(Pool& pool, FunctionRef<void()> unit) {
    if (t_worker != nullptr && t_worker->pool == &pool) {
        unit();
        return;
    }
    submit_and_wait(pool, unit);
}

void pool_join(FunctionRef<void()> left, FunctionRef<void(bool)> right) {
    Worker* self = t_worker;
    std::exception_ptr left_error, right_error;
    if (self == nullptr) {
        try {
            left();
        } catch (...) {
            left_error = std::current_exception();
        }
        try {
            right(false);
        } catch (...) {
            right_error = std::current_exception();
        }
    } else {
        Pool& pool = *self->pool;
        Job job(right, self);
        const bool offered = pool.offer(*self, &job);
        try {
            left();
        } catch (...) {
            left_error = std::current_exception();
        }
        // Everything `left` queued has been completed, so the right half is either still
        // the newest entry of this thread's deque or in another thread's hands.
        if (!offered || pool.take_back(*self, &job)) {
            try {
                right(false);
            } catch (...) {
                right_error = std::current_exception();
            }
        } else {
            pool.work_until(*self, &job.done);
            right_error = job.error;
        }
    }
    if (left_error) std::rethrow_exception(left_error);
    if (right_error) std::rethrow_exception(right_error);
}

}  // namespace quelbrin::parallel
