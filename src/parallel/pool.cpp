#include "parallel/pool.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <new>

#include "parallel/cancel.hpp"
#include "parallel/machinery.hpp"
#include "parallel/worker_pool.hpp"
#include "support/panic.hpp"

namespace quelbrin::parallel {

thread_local Worker* t_worker = nullptr;

namespace {

// How many fruitless searches for work (each followed by a yield) a thread makes before it
// goes to sleep.
constexpr unsigned kSearchRounds = 32;

}  // namespace

Pool::Pool(std::size_t n) : n_(n), workers_(new Worker[n]) {
    for (std::size_t i = 0; i < n; ++i) {
        workers_[i].pool = this;
        workers_[i].index = i;
    }
}

void Pool::inject(Job* job) {
    {
        std::lock_guard<std::mutex> lk(inject_m_);
        injected_.push_back(job);
    }
    sleep_.wake_one();
}

bool Pool::offer(Worker& self, Job* job) noexcept {
    try {
        self.jobs.push(job);
    } catch (...) {
        return false;
    }
    sleep_.wake_one();
    return true;
}

bool Pool::take_back(Worker& self, Job* job) noexcept {
    try {
        return self.jobs.take_back(job);
    } catch (...) {
        machinery_failure();
    }
}

void Pool::work_until(Worker& self, const std::atomic<bool>* done) noexcept {
    try {
        unsigned fruitless = 0;
        while (true) {
            std::uint64_t seen = sleep_.epoch();
            if (done != nullptr ? done->load(std::memory_order_acquire) : sleep_.terminating())
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
            sleep_.sleep_until_changed(seen);
            fruitless = 0;
        }
    } catch (...) {
        machinery_failure();
    }
}

// Own work first (newest), then the other workers' oldest, then units from outside.
Job* Pool::find_work(Worker& self) {
    if (Job* job = self.jobs.pop()) return job;
    for (std::size_t k = 1; k < n_; ++k) {
        if (Job* job = workers_[(self.index + k) % n_].jobs.steal()) return job;
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
void Pool::execute(Worker& self, Job* job) {
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
        if (taken_over) sleep_.wake_all();
    }
}

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
    CancelToken* token = current_token();
    if (token != nullptr && !token->on_owner_thread()) token = nullptr;
    {
        std::unique_lock<std::mutex> lk(m);
        while (!job.done.load(std::memory_order_acquire)) {
            if (token == nullptr || token->cancelled()) {
                cv.wait(lk);
                continue;
            }
            // The waiting thread runs the call's check now and then; once it says stop, the
            // workers leave the unit at their next interruption point and it completes.
            if (cv.wait_for(lk, kPollInterval) == std::cv_status::timeout) {
                lk.unlock();
                token->poll(true);
                lk.lock();
            }
        }
    }
    if (token != nullptr && token->cancelled()) throw Cancelled{};
    if (job.error) std::rethrow_exception(job.error);
}

// A pool that failed to build for a caller of build_pool: it is kept on a list (never
// freed) because its threads may still be reading it.
std::atomic<Pool*> g_failed_pools{nullptr};

void retire(Pool* pool) noexcept {
    pool->next_failed = g_failed_pools.load(std::memory_order_relaxed);
    while (
        !g_failed_pools.compare_exchange_weak(pool->next_failed, pool, std::memory_order_acq_rel)) {
    }
}

// Runs `body`, keeping its exception instead of letting it through.
template <class Body>
void run_keeping_error(Body&& body, std::exception_ptr& error) {
    try {
        body();
    } catch (...) {
        error = std::current_exception();
    }
}

}  // namespace

PoolBuild start_pool(std::size_t threads, std::size_t stack_size, ThreadStarter start) {
    // A count whose bookkeeping cannot even be sized is an allocation failure.
    if (threads > std::numeric_limits<std::size_t>::max() / (4 * sizeof(Worker)))
        throw std::bad_alloc();
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
        run_keeping_error(left, left_error);
        run_keeping_error([&] { right(false); }, right_error);
    } else {
        Pool& pool = *self->pool;
        Job job(right, self);
        const bool offered = pool.offer(*self, &job);
        run_keeping_error(left, left_error);
        // Everything `left` queued has been completed, so the right half is either still
        // the newest entry of this thread's deque or in another thread's hands.
        if (!offered || pool.take_back(*self, &job)) {
            run_keeping_error([&] { right(false); }, right_error);
        } else {
            pool.work_until(*self, &job.done);
            right_error = job.error;
        }
    }
    if (left_error) std::rethrow_exception(left_error);
    if (right_error) std::rethrow_exception(right_error);
}

}  // namespace quelbrin::parallel
