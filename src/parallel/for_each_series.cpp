#include "parallel/for_each_series.hpp"

#include <algorithm>

#include "parallel/cancel.hpp"
#include "parallel/pool.hpp"
#include "support/panic.hpp"

namespace quelbrin::parallel {
namespace {

using Leaf = FunctionRef<void(std::size_t, std::size_t)>;

// Processes [lo, hi) with split budget `budget`.  A range that was taken over by another
// thread is split again (its halves get at least N splits of budget, so idle threads keep
// finding work); one that stayed with its creator is split only while budget remains.
// Ranges of one series are leaves.  `halves_taken_over` marks the root, whose halves count
// as taken over because the root came from outside the pool.
void run_range(Leaf leaf, std::size_t n, std::size_t lo, std::size_t hi, std::size_t budget,
               bool taken_over, bool halves_taken_over) {
    const std::size_t len = hi - lo;
    std::size_t halves_budget;
    if (len >= 2 && taken_over) {
        halves_budget = std::max(budget / 2, n);
    } else if (len >= 2 && budget > 0) {
        halves_budget = budget / 2;
    } else {
        leaf(lo, hi);
        return;
    }
    const std::size_t mid = lo + len / 2;
    pool_join([&] { run_range(leaf, n, lo, mid, halves_budget, halves_taken_over, false); },
              [&](bool stolen) {
                  run_range(leaf, n, mid, hi, halves_budget, halves_taken_over || stolen, false);
              });
}

}  // namespace

void for_each_series_range(bool parallel, std::size_t S, std::size_t T, Leaf user_leaf) {
    // Within a cancellable call every leaf works in short chunks with an interruption point
    // before each (the same series in the same order, so the same numbers).
    CancelToken* token = current_token();
    auto chunked = [&](std::size_t lo, std::size_t hi) {
        run_interruptible(token, lo, hi, user_leaf);
    };
    const Leaf leaf = chunked;
    if (!parallel || S < 2) {
        if (S > 0) leaf(0, S);
        return;
    }
    QB_ASSERT(T != 0, "chunk_size must not be zero");
    // Creates the pool on first use.  Without a pool the series run here, as a serial call
    // runs them (the same numbers: no result depends on how the series are split).
    Pool* pool = section_pool();
    if (pool == nullptr) {
        leaf(0, S);
        return;
    }
    for_each_series_range_on(*pool, S, T, leaf);
}

void for_each_series_range_on(Pool& pool, std::size_t S, std::size_t T, Leaf leaf) {
    if (S == 0) return;
    QB_ASSERT(T != 0, "chunk_size must not be zero");
    const std::size_t n = pool_size(pool);
    pool_submit_to(pool, [&] { run_range(leaf, n, 0, S, n, false, true); });
}

}  // namespace quelbrin::parallel
