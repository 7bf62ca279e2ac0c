// Runs a per-series routine over all series, serially or as a fork-join section on the
// process-wide worker pool.
#pragma once

#include <cstddef>

#include "support/function_ref.hpp"

namespace quelbrin::parallel {

// Calls leaf(lo, hi) for disjoint half-open ranges that together cover [0, S) exactly
// once; each leaf must process its series in increasing order.  With `parallel` true and
// S >= 2 the ranges come from the fork-join split of the worker pool (created on first
// use); otherwise, or when the pool cannot be created, there is one leaf [0, S) on the
// calling thread (none when S = 0).
// Returns when every leaf has returned.  If a leaf throws, the exception of the
// lowest-indexed failing range is rethrown on the calling thread after every running task
// has finished.  T is the row length; T = 0 with a parallel section is an internal error.
void for_each_series_range(bool parallel, std::size_t S, std::size_t T,
                           FunctionRef<void(std::size_t lo, std::size_t hi)> leaf);

class Pool;

// The parallel section of for_each_series_range on a given pool, whatever S (S = 0 calls
// nothing); for running sections on pools of chosen sizes.
void for_each_series_range_on(Pool& pool, std::size_t S, std::size_t T,
                              FunctionRef<void(std::size_t lo, std::size_t hi)> leaf);

// Per-series form: routine(s) once for every s in [0, S).
template <class Routine>
void for_each_series(bool parallel, std::size_t S, std::size_t T, Routine&& routine) {
    auto leaf = [&](std::size_t lo, std::size_t hi) {
        for (std::size_t s = lo; s < hi; ++s) routine(s);
    };
    for_each_series_range(parallel, S, T, leaf);
}

}  // namespace quelbrin::parallel
