// The batch solver: many series of one call solved block by block, one series per SIMD
// lane, with the same bits as solve_banded for every series.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/band.hpp"
#include "core/kernels/block_api.hpp"
#include "core/refine.hpp"
#include "core/solver.hpp"
#include "core/trust.hpp"

namespace quelbrin::core::kernels {

// Uninitialised work storage.  Large sizes are backed by transparent huge pages where the
// system offers them: first-touch page faults of fresh 4 KiB pages are the larger part of
// the cost of one long series otherwise.
class LargeBuffer {
  public:
    LargeBuffer() = default;
    LargeBuffer(const LargeBuffer&) = delete;
    LargeBuffer& operator=(const LargeBuffer&) = delete;
    ~LargeBuffer() { release(); }
    // At least `bytes` bytes, 64-byte aligned; the contents are unspecified.  Throws
    // std::bad_alloc.
    void* reserve(std::size_t bytes);

  private:
    void release();
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

// Asks for row[t1 .. t1 + n) (clipped to T) ahead of use.  The batch solver reads the rows
// of a block tile by tile, one row after another, a pattern the hardware prefetchers do
// not follow; the fill of one tile announces the next one of the same row.
template <class F>
inline void prefetch_next_tile(const F* row, std::size_t t1, std::size_t n, std::size_t T) {
    const std::size_t end = t1 + n < T ? t1 + n : T;
    for (std::size_t t = t1; t < end; t += 64 / sizeof(F)) __builtin_prefetch(row + t);
}

// Instruction sets with a kernel.  One build runs on any x86-64 and picks the widest the
// CPU (and the operating system's register saving) supports.
enum class Isa { baseline, avx2, avx512 };
bool isa_supported(Isa isa);
Isa best_isa();  // decided once per process
const char* isa_name(Isa isa);

// False when the calling thread's floating-point control flushes denormal results or
// inputs to zero.
bool gradual_underflow();

// The float64 system a float32 call stands for: the band the float64 flavour builds from the
// positions promoted exactly to float64, with lam, ridge and eps as the float32 values the
// call converted.  It serves the accuracy check of every float32 solution and the float64
// solve of the series that fail it.
struct Float64System {
    PenaltyBand<double> band;
    double lam = 0, ridge = 0, eps = 0;
    // Rows 0 .. dc of the system without the weights, (dc + 1, T): row 0 = lam * pb[0, i] +
    // ridge, row p = lam * pb[p, i].
    std::vector<double> A;
    std::size_t dc = 0;

    Float64System(PenaltyBand<double> band64, double lam64, double ridge64, double eps64);
};

// Prepared once per call from the shared band and scalars, then used read-only by every
// thread.  A series whose block result cannot be shown identical to solve_banded's (see
// block_kernel.hpp) is solved again by the scalar routine, so the numbers are always those
// of the scalar routine.
//
// Accuracy (core/refine.hpp).  float64: a series the doubt indicator flags (the kernels' or
// the scalar routine's, on the same values) and one whose result is not trusted are refined against
// the exact system of the band's positions; one that was accurate keeps its bits.
//
// Trust (core/trust.hpp).  solve_range calls reject(s, row) for each series s whose result
// the caller should not hand out:
// - float64: the result is not trusted (a non-finite value or excessive growth) even after
//   refinement, or a flagged series cannot be refined to the promised accuracy
//   (scratch.not_refined says which);
// - float32 with a Float64System: the float32 result is not trusted or fails the accuracy
//   check (block_api.hpp); the row holds the float32 result, and a float64 batch solver on
//   the system's band gives the float64 flavour's answer instead (core/single_pass.cpp);
// - float32 without: never (a result that is not trusted is solved again by solve_banded's
//   own float64 re-solve, as the robust steps want).
// Selects the solver whose lam differs from series to series (lam_of in solve_range).
struct LamPerSeries {};

template <class F>
class BatchSolver {
  public:
    BatchSolver(const PenaltyBand<F>& band, F lam, F ridge, F eps, Isa isa = best_isa(),
                const Float64System* system64 = nullptr);
    // Every series with its own lam (no float32 check): each series gets the bits
    // solve_banded gives it at its lam.  A lane whose lam breaks the guard's conditions is
    // solved by the scalar routine.
    BatchSolver(const PenaltyBand<F>& band, LamPerSeries, F ridge, F eps, Isa isa = best_isa());

    // Work storage of one leaf or thread, reused block after block; the numbers never
    // depend on what an earlier block left in it.
    struct Scratch {
        // Interleaved weights/pivots, right-hand sides and factor (and, when checking, the
        // inputs kept for the check).  Not zero-filled: every element is written before it
        // is read.
        LargeBuffer blocks;
        std::vector<F> stage;   // one tile of every lane's weights and observations
        std::vector<F> w1, y1;  // one series for the scalar routine
        SolveScratch<F> solve;
        LargeBuffer one;         // a checked one-lane solve
        LargeBuffer check;       // the check's float64 work
        alignas(64) F lams[64];  // the lam of every lane of a block
        // float64: the lanes of the last block the doubt indicator flagged, the work of
        // their refinement, and why the series last handed to reject was rejected.
        std::uint64_t doubtful = 0;
        RefineWork refine;
        bool not_refined = false;
    };

    // Solves series lo .. hi-1.  fill(s, t0, t1, w, y) writes the weights and masked
    // observations of series s for t0 <= t < t1 to w[t - t0] and y[t - t0]; it may be called
    // again for the same series.  out(s) is series s's output row (T slots).  reject(s, row)
    // as above; after it, scratch.w1 and scratch.y1 hold series s's inputs.
    template <class Fill, class Out, class Reject>
    void solve_range(Scratch& scratch, std::size_t lo, std::size_t hi, Fill&& fill, Out&& out,
                     Reject&& reject) const {
        solve_range(scratch, lo, hi, [this](std::size_t) { return lam_; }, fill, out, reject);
    }
    // The same with lam_of(s), series s's lam (a LamPerSeries solver; lam_of(s) is the
    // solver's lam otherwise).
    template <class LamOf, class Fill, class Out, class Reject>
    void solve_range(Scratch& scratch, std::size_t lo, std::size_t hi, LamOf&& lam_of, Fill&& fill,
                     Out&& out, Reject&& reject) const;

    // The inputs' masking rule on contiguous rows (MaskFn in block_api.hpp), vectorised.
    void mask(const F* y, const F* base, const F* scale, std::size_t n, bool zero_missing, F* w,
              F* yv) const {
        set_.mask(y, base, scale, n, zero_missing, w, yv);
    }

    std::size_t max_lanes() const { return set_.wide_lanes; }
    // The half-bandwidth the kernels run to: the live d when the guard applies, else kk.
    std::size_t loop_bandwidth() const { return dl_; }
    bool guarded() const { return guarded_; }
    // The float64 system a float32 solver checks against (null without).
    const Float64System* float64_system() const { return system64_; }

  private:
    static constexpr std::size_t kFillTile = 64;
    struct Block {
        std::size_t lanes;  // lanes of the kernel
        std::size_t count;  // series in this block (<= lanes)
        BlockFn<F> fn;
        GatherFn<F> gather;
        CheckFn check;
    };
    Block plan(std::size_t remaining) const;
    // The block's buffers; y_row, when given, serves as the (one-lane) right-hand side.
    // The call's band and scalars, for kernels running to half-bandwidth dl.
    BlockArgs<F> block_args(std::size_t dl) const;
    BlockArgs<F> prepare(Scratch& scratch, const Block& block, F* y_row) const;
    // Gathers the block's inputs, lane by lane and tile by tile.
    template <class Fill>
    void gather(Scratch& scratch, const Block& block, std::size_t lo, const BlockArgs<F>& args,
                Fill& fill) const;
    // solve_banded on w1, y1 (and, when doubtful is given, the doubt indicator).
    void solve_one(Scratch& scratch, F lam, F* out, bool* doubtful = nullptr) const;
    // Whether a lane at lam meets the guard's conditions that depend on lam.
    bool guard_holds(F lam) const;
    // float32 with a Float64System: the scalar routine's float32 solution of w1, y1 into out
    // (the one-lane kernel run to the stored half-bandwidth) and its verdict: trusted and
    // accurate.
    bool solve_one_checked(Scratch& scratch, F* out) const;
    // Copies the block's inputs, which the solve overwrites and the check needs, past the
    // factor; returns where.
    F* keep_inputs(const Block& block, const BlockArgs<F>& args) const;
    // With one lam per series: the lanes' lams into args (padding lanes get 1), and the lanes
    // whose lam breaks the guard's conditions.
    template <class LamOf>
    std::uint64_t lane_lams(Scratch& scratch, const Block& block, std::size_t lo, LamOf& lam_of,
                            BlockArgs<F>& args) const;
    // The block's accuracy verdicts (lanes that fail), from the inputs kept in `kept`.
    std::uint64_t check(Scratch& scratch, const Block& block, const BlockArgs<F>& args,
                        F* kept) const;

    const PenaltyBand<F>* band_;
    F lam_, ridge_, eps_;
    std::size_t dl_ = 0;
    bool guarded_ = false;
    bool per_series_ = false;
    KernelSet<F> set_{};
    const Float64System* system64_ = nullptr;
    // float64 on a band that carries its positions: the exact system of refinement.
    std::unique_ptr<ExactPenalty> exact_;
};

template <class F>
template <class Fill>
void BatchSolver<F>::gather(Scratch& scratch, const Block& block, std::size_t lo,
                            const BlockArgs<F>& args, Fill& fill) const {
    const std::size_t T = band_->T;
    if (block.lanes == 1) {
        fill(lo, std::size_t(0), T, args.w, args.y);
        return;
    }
    // Tile by tile: every lane's rows are written contiguously into a small stage and moved
    // into the interleaved layout by register transposes.
    F* const sw = scratch.stage.data();
    F* const sy = sw + block.lanes * kFillTile;
    for (std::size_t t0 = 0; t0 < T; t0 += kFillTile) {
        const std::size_t n = T - t0 < kFillTile ? T - t0 : kFillTile;
        for (std::size_t l = 0; l < block.count; ++l) {
            fill(lo + l, t0, t0 + n, sw + l * kFillTile, sy + l * kFillTile);
        }
        block.gather(sw, kFillTile, n, args.w + t0 * block.lanes);
        block.gather(sy, kFillTile, n, args.y + t0 * block.lanes);
    }
}

// Calls f(l) for every lane l whose bit is set, lowest first.
template <class Fn>
inline void for_each_lane(std::uint64_t lanes, Fn&& f) {
    while (lanes != 0) {
        const unsigned l = static_cast<unsigned>(__builtin_ctzll(lanes));
        lanes &= lanes - 1;
        f(l);
    }
}

template <class F>
template <class LamOf>
std::uint64_t BatchSolver<F>::lane_lams(Scratch& scratch, const Block& block, std::size_t lo,
                                        LamOf& lam_of, BlockArgs<F>& args) const {
    std::uint64_t off_guard = 0;
    for (std::size_t l = 0; l < block.lanes; ++l) {
        const F lam = l < block.count ? lam_of(lo + l) : F(1);
        scratch.lams[l] = lam;
        if (l < block.count && !guard_holds(lam)) off_guard |= std::uint64_t(1) << l;
    }
    args.lams = scratch.lams;
    return off_guard;
}

template <class F>
template <class LamOf, class Fill, class Out, class Reject>
void BatchSolver<F>::solve_range(Scratch& scratch, std::size_t lo, std::size_t hi, LamOf&& lam_of,
                                 Fill&& fill, Out&& out, Reject&& reject) const {
    const std::size_t T = band_->T;
    if (T == 0) return;
    const bool checking = system64_ != nullptr;
    scratch.w1.resize(T);
    scratch.y1.resize(T);
    // float64: series s (inputs in w1, y1) refined in its row; rejected when it still cannot
    // be handed out.  `trusted`: the float64 result passed the trust rule.
    const auto refine = [&](std::size_t s, F* row, bool trusted) {
        if constexpr (sizeof(F) == 8) {
            const Refinement r = refine_series(*exact_, scratch.w1.data(), scratch.y1.data(),
                                               lam_of(s), ridge_, eps_, row, scratch.refine);
            if (r == Refinement::kept && trusted) return;
            if (r != Refinement::failed && trusted_result(row, scratch.y1.data(), T)) return;
            scratch.not_refined = trusted && r == Refinement::failed;
            reject(s, row);
        } else {
            (void)s, (void)row, (void)trusted;
        }
    };
    // One series by the scalar routine, with the verdict the caller needs.
    // `solved`: the row holds the block's result for the lane.  A lane the block flags
    // differs from the scalar routine at most in the signs of zeros (block_kernel.hpp), so
    // a row the trust rule rejects is rejected; only a trusted row needs the exact re-solve
    // for its accuracy check.
    const auto redo = [&](std::size_t s, F* row, bool solved) {
        fill(s, std::size_t(0), T, scratch.w1.data(), scratch.y1.data());
        if (checking) {
            if (solved && !trusted_result(row, scratch.y1.data(), T)) {
                reject(s, row);
            } else if (!solve_one_checked(scratch, row)) {
                reject(s, row);
            }
            return;
        }
        bool doubtful = false;
        solve_one(scratch, lam_of(s), row, exact_ ? &doubtful : nullptr);
        if constexpr (sizeof(F) == 8) {
            const bool trusted = trusted_result(row, scratch.y1.data(), T);
            if (exact_) {
                if (doubtful || !trusted) refine(s, row, trusted);
            } else if (!trusted) {
                scratch.not_refined = false;
                reject(s, row);
            }
        }
    };
    if (guarded_ && !gradual_underflow()) {
        // The guard's argument needs IEEE underflow; with flush-to-zero or denormals-are-zero
        // set on this thread, every series takes the scalar routine.
        for (std::size_t s = lo; s < hi; ++s) redo(s, out(s), false);
        return;
    }
    F* rows[64];
    while (lo < hi) {
        const Block block = plan(hi - lo);
        for (std::size_t l = 0; l < block.count; ++l) rows[l] = out(lo + l);
        // One lane solves in place in its output row.
        BlockArgs<F> args = prepare(scratch, block, block.lanes == 1 ? rows[0] : nullptr);
        gather(scratch, block, lo, args, fill);
        F* const kept = checking ? keep_inputs(block, args) : nullptr;
        args.out = rows;
        // Lanes whose own lam breaks the guard's conditions: the scalar routine solves them.
        const std::uint64_t off_guard =
            per_series_ ? lane_lams(scratch, block, lo, lam_of, args) : 0;
        const std::uint64_t again = block.fn(args) | off_guard;
        const std::uint64_t inaccurate = checking ? check(scratch, block, args, kept) & ~again : 0;
        for_each_lane(again, [&](std::size_t l) { redo(lo + l, rows[l], true); });
        if (args.doubtful) {
            for_each_lane(scratch.doubtful & ~again, [&](std::size_t l) {
                fill(lo + l, std::size_t(0), T, scratch.w1.data(), scratch.y1.data());
                refine(lo + l, rows[l], true);
            });
        }
        for_each_lane(inaccurate, [&](std::size_t l) {
            fill(lo + l, std::size_t(0), T, scratch.w1.data(), scratch.y1.data());
            reject(lo + l, rows[l]);
        });
        lo += block.count;
    }
}

}  // namespace quelbrin::core::kernels
