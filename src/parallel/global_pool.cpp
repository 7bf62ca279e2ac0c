// The process-wide pool: created by the first parallel section that needs it, created
// again after a failure (a failure is not remembered), and forgotten in a child made by
// fork(), where its threads do not exist.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>

#include "parallel/cpus.hpp"
#include "parallel/pool.hpp"
#include "parallel/worker_pool.hpp"

namespace quelbrin::parallel {

namespace {

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

// Under the slot's mutex: builds the global pool, or keeps the failed build until its
// threads are gone and returns null.
Pool* build_global_pool(GlobalSlot& slot) {
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
}

// The global pool, created by the first call that needs it; null when it cannot be
// created now (threads refused, or no memory for its bookkeeping).  A failure is not
// remembered: the next call tries again.
Pool* global_pool() {
    if (Pool* pool = g_ready.load(std::memory_order_acquire)) return pool;
    try {
        GlobalSlot& slot = global_slot();
        std::lock_guard<std::mutex> lk(slot.m);
        if (slot.pool != nullptr) return slot.pool;
        return build_global_pool(slot);
    } catch (const std::bad_alloc&) {
        return nullptr;  // nothing was started
    } catch (const std::system_error&) {
        return nullptr;  // the guard's mutex was refused
    }
}

}  // namespace

Pool* section_pool() {
    if (t_worker != nullptr) return t_worker->pool;
    return global_pool();
}

}  // namespace quelbrin::parallel
