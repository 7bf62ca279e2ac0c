// One long series in one pass over its columns: the band, the factorisation and the
// forward substitution column by column, then the back substitution; the same bits as
// solve_banded on the band build_penalty_band gives.
//
// The general path builds the whole band (rows 0 .. 2d, T values each), masks the inputs,
// then factors.  For a single series of a million points that is tens of MiB of fresh
// memory written and read once.  Here a band column is formed just before the
// factorisation needs it (it is final once difference row i is added) and positions are
// normalised on the way; only what the back substitution needs is stored: the pivot and
// the d factor entries below it per column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/normalize.hpp"

namespace quelbrin::core {

template <class F>
struct LongSeries {
    std::span<const F> x;  // raw positions, strictly increasing (checked by the caller)
    GridMap<F> map;        // the normalisation of x
    std::uint64_t d = 0;
    const F* y = nullptr;       // T observations (NaN/inf missing)
    const F* w_base = nullptr;  // T base weights, or nullptr for all 1
    F lam{}, ridge{}, eps{};
};

// Whether solve_long_series can take the problem: d = 1 .. 3 and T >= d + 2 (so that
// the factor's rows beyond d are structurally zero, as in the batch kernels' guard),
// lam finite and > 0, eps a positive normal number or +inf.
template <class F>
bool long_series_applies(std::size_t T, std::uint64_t d, F lam, F eps);

// Solves into out (T values).  Returns false, with out holding anything, where the short
// loops could not be shown to give solve_banded's bits (the batch kernels' guard,
// block_kernel.hpp) or a float32 result fails the reliability test: the caller then
// solves the series the general way.  float64: *doubtful (when given) receives the doubt
// indicator of refinement (core/refine.hpp).  Throws std::bad_alloc.
template <class F>
bool solve_long_series(const LongSeries<F>& problem, F* out, bool* doubtful = nullptr);

}  // namespace quelbrin::core
