// Idle pool threads sleep on one condition variable; this is the protocol that makes sure
// no wake-up is lost.
//
// The epoch changes whenever work is offered, a stolen job completes or the pool is told
// to finish.  A thread reads the epoch before it searches for work and sleeps only if it
// has not changed since: work offered during the search changed it.  Epoch and sleeper
// count are sequentially consistent, so a waker that sees no sleeper knows that any later
// sleeper will see the new epoch.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace quelbrin::parallel {

class Sleep {
  public:
    std::uint64_t epoch() const noexcept { return epoch_.load(std::memory_order_seq_cst); }
    bool terminating() const noexcept { return terminating_.load(std::memory_order_acquire); }

    // Blocks until the epoch differs from `seen`.
    void sleep_until_changed(std::uint64_t seen);

    void wake_one() noexcept;
    void wake_all() noexcept;

    // Tells every thread to finish once it is idle.
    void terminate() noexcept;

  private:
    // A sleeper counted in sleepers_ holds m_ until it is inside wait(); taking the mutex
    // once makes sure the notification that follows reaches it.
    void lock_and_release() noexcept;

    std::mutex m_;
    std::condition_variable cv_;
    std::atomic<std::uint64_t> epoch_{0};
    std::atomic<std::size_t> sleepers_{0};
    std::atomic<bool> terminating_{false};
};

}  // namespace quelbrin::parallel
