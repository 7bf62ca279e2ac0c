#include "robust/irls.hpp"

#include <emmintrin.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/kernels/batch.hpp"
#include "core/observation.hpp"
#include "core/solver.hpp"
#include "parallel/cancel.hpp"
#include "parallel/for_each_series.hpp"
#include "robust/cycle_watch.hpp"
#include "robust/scale.hpp"
#include "support/panic.hpp"
#include "support/scratch_pool.hpp"

namespace quelbrin::robust {
namespace {

namespace observation = core::observation;

// The base weight of observation i of series s as the steps use it: the given weight (1
// when none is given), and 0 at a non-finite observation when the weights are the caller's.
template <class F>
inline F base_at(const IrlsInputs<F>& in, std::size_t s, std::size_t i, F yi) {
    const F base = in.base_weights ? (*in.base_weights)(s, i) : F(1);
    return in.zero_missing ? observation::weight(yi, base) : base;
}

// True when the rows of y (and of the base weights, if any) can be read in place.
template <class F>
bool rows_direct(const IrlsInputs<F>& in) {
    return in.y.row_contiguous() && (!in.base_weights || in.base_weights->row_contiguous());
}

// Calls fn(i, y[s, i], base weight of (s, i)) for i = 0 .. T-1 in order, reading
// contiguous rows in place.
template <class F, class Fn>
void for_each_observation(const IrlsInputs<F>& in, std::size_t s, Fn&& fn) {
    const std::size_t T = in.y.cols;
    if (rows_direct(in)) {
        const F* y = in.y.row_ptr(s);
        if (in.base_weights) {
            const F* b = in.base_weights->row_ptr(s);
            if (in.zero_missing) {
                for (std::size_t i = 0; i < T; ++i) fn(i, y[i], observation::weight(y[i], b[i]));
            } else {
                for (std::size_t i = 0; i < T; ++i) fn(i, y[i], b[i]);
            }
        } else if (in.zero_missing) {
            for (std::size_t i = 0; i < T; ++i) fn(i, y[i], observation::weight(y[i], F(1)));
        } else {
            for (std::size_t i = 0; i < T; ++i) fn(i, y[i], F(1));
        }
        return;
    }
    for (std::size_t i = 0; i < T; ++i) {
        const F yi = in.y(s, i);
        fn(i, yi, base_at(in, s, i, yi));
    }
}

// Step 1 of a step, at t0 <= i < t1: total weights G = wb * wr into g (and wt_row unless
// null), masked observations into yv (y where it is finite and G > 0; a NaN G is not > 0).
// Negative, -0.0 and NaN totals still reach the solver; only the masked observation is
// cleared.
template <class F>
void total_weights(const IrlsInputs<F>& in, std::size_t s, const F* wr_row, F* wt_row,
                   std::size_t t0, std::size_t t1, F* g, F* yv,
                   const core::kernels::BatchSolver<F>* vectorised) {
    if (vectorised && rows_direct(in)) {
        const F* y_row = in.y.row_ptr(s);
        const F* wb_row = in.base_weights ? in.base_weights->row_ptr(s) : nullptr;
        core::kernels::prefetch_next_tile(y_row, t1, t1 - t0, in.y.cols);
        if (wb_row) core::kernels::prefetch_next_tile(wb_row, t1, t1 - t0, in.y.cols);
        // The same products: base * wr, the base being 0 at a missing observation when the
        // weights are the caller's (wr is +0.0 there, so base * wr would be +0.0 too).
        vectorised->mask(y_row + t0, wb_row ? wb_row + t0 : nullptr, wr_row + t0, t1 - t0,
                         in.zero_missing, g, yv);
        if (wt_row) std::memcpy(wt_row + t0, g, (t1 - t0) * sizeof(F));
        return;
    }
    for (std::size_t i = t0; i < t1; ++i) {
        const F yi = in.y(s, i);
        const F gi = base_at(in, s, i, yi) * wr_row[i];
        g[i - t0] = gi;
        if (wt_row) wt_row[i] = gi;
        yv[i - t0] = observation::masked(yi, gi);
    }
}

// Bit l set where lane l of a 16-byte comparison mask is set (one instruction).
template <class F, class M>
inline unsigned lane_bits(M mask) {
    if constexpr (sizeof(F) == 8) {
        return static_cast<unsigned>(_mm_movemask_pd(reinterpret_cast<__m128d>(mask)));
    } else {
        return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(mask)));
    }
}

// The residual rule of contiguous rows, two or four lanes at a time (plain 16-byte vectors,
// so any x86-64): r = y - z where the observation is usable (finite y, total weight
// G = base * wr > 0, the base being 0 at a missing observation when ZeroMissing), NaN
// elsewhere; usable flags; and the magnitudes |r| of the scale's usable set (usable with a
// finite residual, i.e. a finite r), in index order, into mag.  Returns their count.
// Every value is the scalar rule's: the same single operations, selected per lane.
template <class F, bool HasBase, bool ZeroMissing>
std::size_t residual_row(const F* y, const F* b, const F* wr, const F* z, std::size_t T, F* r,
                         std::uint8_t* usable, F* mag) {
    using I = std::conditional_t<sizeof(F) == 8, std::int64_t, std::int32_t>;
    typedef F V __attribute__((vector_size(16)));
    typedef I M __attribute__((vector_size(16)));
    constexpr std::size_t L = 16 / sizeof(F);
    const auto load = [](const F* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    V nan, one;
    M magnitude_bits;
    for (std::size_t l = 0; l < L; ++l) {
        nan[l] = std::numeric_limits<F>::quiet_NaN();
        one[l] = F(1);
        magnitude_bits[l] = std::numeric_limits<I>::max();  // every bit but the sign
    }
    std::size_t n = 0;
    std::size_t i = 0;
    for (; i + L <= T; i += L) {
        const V yv = load(y + i);
        V base = one;
        if constexpr (HasBase) base = load(b + i);
        if constexpr (ZeroMissing) base = observation::weight(yv, base);
        const V g = base * load(wr + i);
        const M u = observation::counts(yv, g);
        const V rv = u ? yv - load(z + i) : nan;
        std::memcpy(r + i, &rv, sizeof rv);
        const V av = reinterpret_cast<V>(reinterpret_cast<M>(rv) & magnitude_bits);
        const unsigned u_bits = lane_bits<F>(u);
        const unsigned kept_bits = lane_bits<F>(observation::finite(rv));
        for (std::size_t l = 0; l < L; ++l) {
            usable[i + l] = static_cast<std::uint8_t>((u_bits >> l) & 1u);
            mag[n] = av[l];
            n += (kept_bits >> l) & 1u;
        }
    }
    for (; i < T; ++i) {
        const F yi = y[i];
        F base = HasBase ? b[i] : F(1);
        if constexpr (ZeroMissing) base = observation::weight(yi, base);
        const F gi = base * wr[i];
        const bool u = observation::counts(yi, gi);
        usable[i] = u ? 1 : 0;
        r[i] = u ? yi - z[i] : std::numeric_limits<F>::quiet_NaN();
        mag[n] = std::abs(r[i]);
        n += observation::finite(r[i]) ? 1 : 0;
    }
    return n;
}

// Work rows of the steps after the solve.
template <class F>
struct UpdateScratch {
    std::vector<F> r;
    std::vector<std::uint8_t> usable;
    std::vector<F> magnitudes;
};

// Steps 3 to 5, after the solve: residuals of the usable observations (finite, total weight
// G > 0, G formed again as the same product base * wr from the row the solve used), their
// scale, and the new robust weights (0 where not usable).  The magnitudes for the MAD are
// gathered in the same pass.
template <class F>
void update_robust_weights(const IrlsInputs<F>& in, std::size_t s, const F* z_row, F* wr_row,
                           UpdateScratch<F>& w) {
    const std::size_t T = in.y.cols;
    w.r.resize(T);
    w.usable.resize(T);
    w.magnitudes.resize(T);
    F* const r = w.r.data();
    std::uint8_t* const usable = w.usable.data();
    F* const mag = w.magnitudes.data();
    std::size_t n = 0;
    if (rows_direct(in)) {
        const F* const y = in.y.row_ptr(s);
        const F* const b = in.base_weights ? in.base_weights->row_ptr(s) : nullptr;
        n = b ? (in.zero_missing
                     ? residual_row<F, true, true>(y, b, wr_row, z_row, T, r, usable, mag)
                     : residual_row<F, true, false>(y, b, wr_row, z_row, T, r, usable, mag))
              : (in.zero_missing
                     ? residual_row<F, false, true>(y, b, wr_row, z_row, T, r, usable, mag)
                     : residual_row<F, false, false>(y, b, wr_row, z_row, T, r, usable, mag));
    } else {
        for_each_observation(in, s, [&](std::size_t i, F yi, F base) {
            const F gi = base * wr_row[i];
            const bool u = observation::counts(yi, gi);
            usable[i] = u ? 1 : 0;
            r[i] = u ? yi - z_row[i] : std::numeric_limits<F>::quiet_NaN();
            mag[n] = std::abs(r[i]);
            n += observation::finite(r[i]) ? 1 : 0;  // the scale's usable set
        });
    }
    const F sc = selects_huber(in.scale_name)
                     ? huber_scale(std::span<const F>(r, T),
                                   std::span<const std::uint8_t>(usable, T), in.eps)
                     : mad_of_magnitudes(std::span<F>(mag, n), in.eps);
    robust_weights(in.weighting, in.constants, r, usable, sc, wr_row, T);
}

}  // namespace

template <class F>
void irls_step(const IrlsInputs<F>& in, std::size_t s, std::span<F> z_row, std::span<F> wr_row,
               std::span<F> wt_row) {
    const std::size_t T = in.y.cols;
    QB_ASSERT(z_row.size() == T && wr_row.size() == T && wt_row.size() == T,
              "irls_step: row length does not match the series length");
    std::vector<F> G(T), y_masked(T);
    UpdateScratch<F> scratch;
    total_weights<F>(in, s, wr_row.data(), wt_row.data(), 0, T, G.data(), y_masked.data(), nullptr);
    core::solve_banded(*in.band, G.data(), y_masked.data(), in.lam, in.ridge, in.eps, z_row.data());
    update_robust_weights(in, s, z_row.data(), wr_row.data(), scratch);
}

namespace {

// Work storage of one leaf, reused block after block.  The robust weights live here: a
// block's series run all their steps before the next block starts, so only the block's
// rows of wr ever exist.
template <class F>
struct LeafWork {
    typename core::kernels::BatchSolver<F>::Scratch batch;
    std::vector<F> wr;                   // (block, T) robust weights
    std::vector<std::uint64_t> stop_at;  // per series of the block: its last step
    std::vector<CycleWatch<F>> watch;    // allocated only for long runs
    std::vector<std::size_t> active;     // block rows still running in this step
    std::vector<F> before;               // robust weights before the step, for the stop test
    UpdateScratch<F> update;
};

// Every step of series s0 .. s1-1, which share their solves.
//
// A step is a pure function of the series' robust-weight row wr[s] (everything else it
// reads is fixed for the call), and it rewrites z[s], wt[s] and wr[s] from that row alone.
// So the rows after step n depend only on wr[s] after step n-1, bit for bit:
//  - once a step leaves wr[s] bitwise unchanged (NaN payloads and -0.0 compared exactly),
//    every later step repeats it: the series is settled;
//  - more generally, once wr[s] after step k equals wr[s] after an earlier step j, the
//    series cycles with period p = k - j, and step k + m*p produces what step k does, so
//    only (iterations - k) mod p further steps are needed.
// Each series therefore has its own last step `stop_at` (iterations, until a repeat is
// seen), and the block ends when every series is past its own.  The robust weights a
// series' last step would compute are never used, so that step ends with its solve.  The
// numbers are those of running every step; a huge iteration count on data that settles or
// falls into a rounding-level cycle costs only the steps before the repeat is found.  A
// series that never repeats still runs all its steps.
template <class F>
void run_block(const IrlsInputs<F>& in, const core::kernels::BatchSolver<F>& solver,
               LeafWork<F>& work, RowMajor<F> z, F* wt, std::size_t s0, std::size_t s1,
               std::uint64_t N, const LastSolveCheck<F>* last_check) {
    const std::size_t T = in.y.cols;
    const std::size_t n = s1 - s0;
    work.wr.resize(n * T);
    // An observation starts with robust weight 1 when it is finite and its base weight is
    // > 0; everything else is excluded from the first solve on.
    for (std::size_t j = 0; j < n; ++j) {
        F* const wr_row = &work.wr[j * T];
        for_each_observation(in, s0 + j, [wr_row](std::size_t i, F yi, F base) {
            wr_row[i] = observation::counts(yi, base) ? F(1) : F(0);
        });
    }
    work.stop_at.assign(n, N);
    work.watch.clear();
    work.before.resize(T);
    std::vector<std::size_t>& active = work.active;
    for (std::uint64_t k = 1; k <= N; ++k) {        // k: the step performed now
        if (k > 1) parallel::interruption_point();  // steps of one long series take a while
        active.clear();
        for (std::size_t j = 0; j < n; ++j) {
            if (work.stop_at[j] >= k) active.push_back(j);
        }
        if (active.empty()) break;
        if (k == kWatchFrom) work.watch.resize(n);
        // At the call's last step every active series is at its own last step.
        const bool checked = last_check != nullptr && k == N;
        if (checked) {
            for (const std::size_t j : active)
                last_check->verdict[s0 + j] = LastSolveCheck<F>::kAccepted;
        }
        (checked ? *last_check->solver : solver)
            .solve_range(
                work.batch, 0, active.size(),
                [&](std::size_t a, std::size_t t0, std::size_t t1, F* g, F* yv) {
                    const std::size_t s = s0 + active[a];
                    total_weights<F>(in, s, &work.wr[active[a] * T], wt ? wt + s * T : nullptr, t0,
                                     t1, g, yv, &solver);
                },
                [&](std::size_t a) { return z.row(s0 + active[a]); },
                // Otherwise whether a series can be trusted is decided on its final result.
                [&](std::size_t a, F*) {
                    if (checked) last_check->verdict[s0 + active[a]] = LastSolveCheck<F>::kRejected;
                    if constexpr (sizeof(F) == 8) {
                        if (in.failures) in.failures->keep(s0 + active[a], work.batch.not_refined);
                    }
                });
        for (const std::size_t j : active) {
            if (work.stop_at[j] == k) continue;  // its last step: no new weights needed
            F* wr_row = &work.wr[j * T];
            std::memcpy(work.before.data(), wr_row, T * sizeof(F));
            update_robust_weights(in, s0 + j, z.row(s0 + j), wr_row, work.update);
            if (work.stop_at[j] != N) continue;  // a repeat was already found
            if (std::memcmp(work.before.data(), wr_row, T * sizeof(F)) == 0) {
                work.stop_at[j] = k;  // settled
            } else if (!work.watch.empty()) {
                const std::uint64_t period = work.watch[j].observe(wr_row, T, k);
                if (period != 0) work.stop_at[j] = k + (N - k) % period;
            }
        }
    }
}

}  // namespace

// The series are independent, so instead of one parallel section per step each leaf runs
// all the steps of a few series at a time (the block of the batch solver) while their rows
// are in cache; every series still performs exactly the steps of the step-by-step loop.
template <class F>
void run_irls_into(const IrlsInputs<F>& in, std::uint64_t iterations, bool parallel, RowMajor<F> z,
                   F* wt, std::optional<FinishedSeries> finished,
                   const LastSolveCheck<F>* last_check) {
    const std::size_t S = in.y.rows;
    const std::size_t T = in.y.cols;
    QB_ASSERT(!in.base_weights || (in.base_weights->rows == S && in.base_weights->cols == T),
              "run_irls: base weights do not match the observations");
    QB_ASSERT(in.band != nullptr && in.band->T == T, "run_irls: band built for another grid");
    QB_ASSERT(z.rows == S && z.cols == T, "run_irls: output does not match the observations");
    // No series or no step: z and the total weights stay zero and no section runs.
    if (S == 0 || iterations == 0) return;

    const core::kernels::BatchSolver<F> solver(*in.band, in.lam, in.ridge, in.eps);
    const std::size_t block = solver.max_lanes();
    ScratchPool<LeafWork<F>> scratch;
    parallel::for_each_series_range(parallel, S, T, [&](std::size_t a, std::size_t b) {
        const auto work = scratch.take();
        for (std::size_t s0 = a; s0 < b; s0 += block) {
            const std::size_t s1 = b - s0 < block ? b : s0 + block;
            run_block(in, solver, *work, z, wt, s0, s1, iterations, last_check);
            if (finished) (*finished)(s0, s1);
        }
    });
}

template <class F>
IrlsResult<F> run_irls(const IrlsInputs<F>& in, std::uint64_t iterations, bool parallel,
                       std::optional<FinishedSeries> finished) {
    const std::size_t S = in.y.rows;
    const std::size_t T = in.y.cols;
    IrlsResult<F> out{Matrix<F>(S, T), Matrix<F>(S, T)};
    run_irls_into(in, iterations, parallel, RowMajor<F>{out.z.data.data(), S, T},
                  out.wt.data.data(), finished);
    return out;
}

#define QB_INSTANTIATE(F)                                                                      \
    template void irls_step<F>(const IrlsInputs<F>&, std::size_t, std::span<F>, std::span<F>,  \
                               std::span<F>);                                                  \
    template IrlsResult<F> run_irls<F>(const IrlsInputs<F>&, std::uint64_t, bool,              \
                                       std::optional<FinishedSeries>);                         \
    template void run_irls_into<F>(const IrlsInputs<F>&, std::uint64_t, bool, RowMajor<F>, F*, \
                                   std::optional<FinishedSeries>, const LastSolveCheck<F>*);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::robust
