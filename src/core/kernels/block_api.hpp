// The plain interface between the batch solver and its per-instruction-set block kernels.
// Only trivial aggregates live here (no member initialisers, no member functions): the kernel
// translation units are compiled with other instruction-set flags and must not share any
// out-of-line code with the rest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelbrin::core::kernels {

// One block: `lanes` series solved together, one per SIMD lane, each lane doing the
// scalar solver's operation sequence.  Element (t, l) of an interleaved buffer is at
// t * lanes + l.
template <class F>
struct BlockArgs {
    const F* pb;  // penalty band, row-major (kk + 1, T)
    std::size_t T;
    std::size_t dl;  // half-bandwidth the loops run to (live d, or kk)
    F lam, ridge, eps;
    const F* lams;      // one lam per lane (B values, 64-byte aligned), or null: lam in all
    F* w;               // in: weights; out: floored pivots (T * lanes)
    F* y;               // in: masked observations; out: solution (T * lanes)
    F* L;               // work: factor below the diagonal (T * dl * lanes)
    F* const* out;      // rows for lanes 0 .. count-1 (T values each)
    std::size_t count;  // 1 <= count <= lanes; lanes above count are padding
    // The doubt indicator of float64 refinement (core/refine.hpp), or null: the lanes where
    // a pivot before its floor is below pivot_share times the diagonal it started from, or
    // run_limit positions in a row have no weight > 0, as bits into *doubtful.
    std::uint64_t* doubtful;
    F pivot_share, run_limit;
};

// Returns the lanes (bit l for lane l < count) whose result the caller must recompute with
// the scalar routine: the guard could not prove the short loops exact, or the result is not
// trusted (a non-finite value, or growth beyond the bound of core/trust.hpp).  The other lanes'
// rows are written.
template <class F>
using BlockFn = std::uint64_t (*)(const BlockArgs<F>&);

// The float32 accuracy check of a solved block: one step of mixed-precision refinement.
// For every lane, the residual r = w*y - A z of the float32 solution z against the float64
// system (A without the weights: `A`), rounded to float32, is solved with the block's own
// float32 factor; the lane fails when the correction is not finite or exceeds
// tol * max|y| anywhere.  Every lane performs the same operations whatever the block width,
// so a series gets the same verdict in any block.
struct CheckArgs {
    const double* A;  // (dc + 1, T): row 0 = lam * pb[0, i] + ridge, row p = lam * pb[p, i]
    std::size_t T;
    std::size_t dl;    // factor rows as the block stored them
    std::size_t dc;    // rows the check uses: min(d, stored half-bandwidth) <= dl
    float* w;          // in: weights; overwritten (T * lanes)
    float* y;          // in: masked observations; overwritten (T * lanes)
    const float* z;    // the block's solution (T * lanes)
    const float* piv;  // the block's floored pivots (T * lanes)
    const float* L;    // the block's factor (T * dl * lanes)
    double* z64;       // work: T * lanes, aligned to 64 bytes
    float tol;
    std::size_t count;
};

// Returns the lanes (bit l, l < count) that fail the check.
using CheckFn = std::uint64_t (*)(const CheckArgs&);

// Moves one tile of n columns from B contiguous rows (row l at stage + l * stride) into the
// interleaved layout of a B-lane block (dst at the tile's first column).
template <class F>
using GatherFn = void (*)(const F* stage, std::size_t stride, std::size_t n, F* dst);

// Kernels specialised for dl = 0 .. 3, and one for any dl (index 4); each unguarded
// (dl = kk, index [0]) and guarded (dl < kk: flags the lanes where skipping the rows
// dl+1 .. kk might matter, index [1]).
constexpr std::size_t kSpecialisedDl = 4;

// The kernel table index of half-bandwidth dl: its own specialisation, or the general one.
constexpr std::size_t kernel_index(std::size_t dl) {
    return dl < kSpecialisedDl ? dl : kSpecialisedDl;
}

// The masking rule of the smoothers' inputs, for n elements of one series:
//   g = base[t] (1 without base), times scale[t] when given; with zero_missing, g = +0.0
//   where y[t] is not finite; w[t] = g; yv[t] = y[t] where y[t] is finite and g > 0, else
//   +0.0 (a NaN g is not > 0).
template <class F>
using MaskFn = void (*)(const F* y, const F* base, const F* scale, std::size_t n, bool zero_missing,
                        F* w, F* yv);

template <class F>
struct KernelSet {
    std::size_t wide_lanes;    // two native vectors per operation (hides latency)
    std::size_t native_lanes;  // one native vector
    BlockFn<F> wide[2][kSpecialisedDl + 1];
    BlockFn<F> native[2][kSpecialisedDl + 1];
    BlockFn<F> single[2][kSpecialisedDl + 1];  // one lane, plain scalar arithmetic
    GatherFn<F> gather_wide;
    GatherFn<F> gather_native;
    GatherFn<F> gather_single;
    MaskFn<F> mask;
    // float only (null for double): the accuracy check per block width and rows used.
    CheckFn check_wide[kSpecialisedDl + 1];
    CheckFn check_native[kSpecialisedDl + 1];
    CheckFn check_single[kSpecialisedDl + 1];
};

// Provided by the kernel translation units (kernel_baseline.cpp, kernel_avx2.cpp,
// kernel_avx512.cpp).  Calling a set the CPU cannot run is undefined: see batch.hpp.
KernelSet<float> kernel_set_baseline(float);
KernelSet<double> kernel_set_baseline(double);
KernelSet<float> kernel_set_avx2(float);
KernelSet<double> kernel_set_avx2(double);
KernelSet<float> kernel_set_avx512(float);
KernelSet<double> kernel_set_avx512(double);

}  // namespace quelbrin::core::kernels
