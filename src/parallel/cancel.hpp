// Cancelling a computation while it runs (Ctrl-C): the calling thread polls a check that
// the layer above supplies (the interpreter's signal check, say), and every thread working
// for the call stops at its next interruption point once the check has said "stop".
//
// The token belongs to one call and lives on the calling thread's stack.  The work between
// two interruption points is short (a chunk of series sized to a few milliseconds), so a
// cancelled call ends soon; the sections it started always end cleanly first (every task
// joined, nothing left running), and the pool stays usable.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "support/function_ref.hpp"

namespace quelbrin::parallel {

// Thrown at an interruption point of a cancelled computation.  The check that cancelled
// it has already recorded why (the layer above reports that, not this exception).
struct Cancelled {};

// How often the calling thread runs its check while a computation goes on.
inline constexpr std::chrono::milliseconds kPollInterval{20};

class CancelToken {
  public:
    // `check` runs only on the thread that creates the token and returns true to cancel.
    explicit CancelToken(FunctionRef<bool()> check) noexcept
        : check_(check), owner_(std::this_thread::get_id()) {}
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    bool cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }
    bool on_owner_thread() const noexcept { return std::this_thread::get_id() == owner_; }

    // On the owner thread: runs the check unless it ran less than kPollInterval ago
    // (`force` runs it anyway), and cancels when it says so.  Returns cancelled().
    bool poll(bool force = false);

  private:
    FunctionRef<bool()> check_;
    std::thread::id owner_;
    std::chrono::steady_clock::time_point next_check_{};
    std::atomic<bool> cancelled_{false};
};

// The token of the computation this thread works for; null when none (C++ tests, tools).
CancelToken* current_token() noexcept;

// Makes `token` the current one of this thread for the scope (null: none).
class TokenScope {
  public:
    explicit TokenScope(CancelToken* token) noexcept;
    ~TokenScope();
    TokenScope(const TokenScope&) = delete;
    TokenScope& operator=(const TokenScope&) = delete;

  private:
    CancelToken* previous_;
};

// Throws Cancelled if the current computation was cancelled; on the calling thread it
// first polls the check.  Costs a clock read between polls: call it between pieces of work
// of a millisecond or more, not in inner loops.
void interruption_point();

// Calls leaf over [lo, hi) in consecutive chunks with an interruption point before each.
// Chunks hold whole multiples of kChunkAlign series and are sized from the time the last
// one took, so that each takes a few milliseconds.  Without a token: one call leaf(lo, hi).
void run_interruptible(CancelToken* token, std::size_t lo, std::size_t hi,
                       FunctionRef<void(std::size_t, std::size_t)> leaf);

// Chunk sizes are multiples of the widest block of series the kernels solve together.
inline constexpr std::size_t kChunkAlign = 16;

}  // namespace quelbrin::parallel
