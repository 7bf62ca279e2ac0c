#include "core/single_pass.hpp"

#include <cmath>
#include <mutex>
#include <type_traits>

#include "core/arguments.hpp"
#include "core/build_pb.hpp"
#include "core/kernels/batch.hpp"
#include "core/long_series.hpp"
#include "core/normalize.hpp"
#include "core/observation.hpp"
#include "core/refine.hpp"
#include "core/trust.hpp"
#include "parallel/for_each_series.hpp"
#include "support/scratch_pool.hpp"

namespace quelbrin::core {

namespace {

// The one-pass path's float64 answer z of the series (y, w_base), made what the batch solver
// would hand out: refined when the doubt indicator flagged it or it is not trusted, an error
// when it still cannot be handed out.
Result<void> finish_one_pass(std::span<const double> x, std::optional<std::string_view> normalize,
                             const SolveOptions<double>& o, const double* y, const double* w_base,
                             bool doubtful, double* z) {
    const std::size_t T = x.size();
    std::vector<double> w(T), masked(T);
    for (std::size_t t = 0; t < T; ++t) {
        w[t] = observation::weight(y[t], w_base ? w_base[t] : 1.0);
        masked[t] = observation::masked(y[t], w[t]);
    }
    const bool trusted = trusted_result(z, masked.data(), T);
    if (trusted && !doubtful) return {};
    const PenaltyBand<double> band = band_for(x, normalize, o.d, o.eps);
    const ExactPenalty exact(band);
    RefineWork work;
    const Refinement r =
        refine_series(exact, w.data(), masked.data(), o.lam, o.ridge, o.eps, z, work);
    if (r == Refinement::kept && trusted) return {};
    if (r != Refinement::failed && trusted_result(z, masked.data(), T)) return {};
    FailedRows failed;
    failed.keep(0, trusted && r == Refinement::failed);
    return failed.outcome();
}

}  // namespace

// The working weights and masked observations of series s for t0 <= t < t1, formed by the
// observation rule (observation.hpp) from the base weights (1 without), written to
// w[t - t0] and y[t - t0].  Contiguous rows take the solver's vectorised form of the rule.
template <class F>
void fill_series(const kernels::BatchSolver<F>& solver, const MatrixView<F>& y_st,
                 const MatrixView<F>* w_base, bool direct, std::size_t s, std::size_t t0,
                 std::size_t t1, F* w, F* y) {
    if (direct) {
        const F* y_row = y_st.row_ptr(s);
        const F* w_row = w_base ? w_base->row_ptr(s) : nullptr;
        kernels::prefetch_next_tile(y_row, t1, t1 - t0, y_st.cols);
        if (w_row) kernels::prefetch_next_tile(w_row, t1, t1 - t0, y_st.cols);
        solver.mask(y_row + t0, w_row ? w_row + t0 : nullptr, nullptr, t1 - t0, true, w, y);
        return;
    }
    for (std::size_t t = t0; t < t1; ++t) {
        const F v = y_st(s, t);
        const F wt = observation::weight(v, w_base ? (*w_base)(s, t) : F(1));
        w[t - t0] = wt;
        y[t - t0] = observation::masked(v, wt);
    }
}

namespace {

// The checks in the order the messages are promised (core/arguments.hpp), except the
// base-weight checks, which follow the band (see whittaker_solve_core).
template <class F>
Result<void> check_solve_inputs(std::span<const F> x, const MatrixView<F>& y_st, F lam, F ridge,
                                std::optional<std::string_view> normalize, F eps) {
    if (y_st.cols != x.size()) return error("y_st shape must be (S,T) with T=len(x)");
    if (Result<void> r = check_positions(x); !r) return r;
    return validate_solve_arguments(lam, ridge, normalize, eps);
}

template <class F>
Result<void> check_base_weight_inputs(const MatrixView<F>& y_st,
                                      const std::optional<MatrixView<F>>& w_base_st) {
    if (w_base_st && (w_base_st->rows != y_st.rows || w_base_st->cols != y_st.cols)) {
        return error("w_base_st must match y_st shape");
    }
    return check_base_weights(y_st, w_base_st);
}

// One float64 series takes the one-pass path (long_series.hpp), which needs no band.
// (float32 results are checked with the factor the batch kernels keep.)
template <class F>
bool takes_one_pass(const MatrixView<F>& y_st, const std::optional<MatrixView<F>>& w_base_st,
                    std::uint64_t d, F lam, F eps) {
    return std::is_same_v<F, double> && y_st.rows == 1 && y_st.row_contiguous() &&
           (!w_base_st || w_base_st->row_contiguous()) &&
           long_series_applies(y_st.cols, d, lam, eps);
}

// Work storage of one leaf.
template <class F>
struct LeafWork {
    typename kernels::BatchSolver<F>::Scratch solve;
    std::vector<std::size_t> failed;                // float32 series for the float64 solver
    kernels::BatchSolver<double>::Scratch solve64;  // (float32 only)
    std::vector<F> w, y;                            // one tile of a failed series' inputs
    std::vector<double> rows64;                     // the float64 rows of up to 64 of them
};

// float32: the series the check sent to float64 are solved together by the float64 batch
// solver on the system's band (the bits whittaker_solve_f64 gives their promoted inputs) and
// rounded into their rows.  A float64 answer that cannot be handed out either goes to
// `failed`.
template <class F, class Fill>
void solve_failed_in_float64(const kernels::BatchSolver<double>& solver64, LeafWork<F>& work,
                             Fill& fill, F* z, std::size_t T, FailedRows& failed) {
    const auto fill64 = [&](std::size_t a, std::size_t t0, std::size_t t1, double* w, double* y) {
        work.w.resize(t1 - t0);
        work.y.resize(t1 - t0);
        fill(work.failed[a], t0, t1, work.w.data(), work.y.data());
        for (std::size_t t = 0; t < t1 - t0; ++t) {
            w[t] = work.w[t];
            y[t] = work.y[t];
        }
    };
    constexpr std::size_t kRows = 64;
    work.rows64.resize(kRows * T);
    for (std::size_t a0 = 0; a0 < work.failed.size(); a0 += kRows) {
        const std::size_t a1 = std::min(work.failed.size(), a0 + kRows);
        solver64.solve_range(
            work.solve64, a0, a1, fill64,
            [&](std::size_t a) { return work.rows64.data() + (a - a0) * T; },
            [&](std::size_t a, double*) { failed.keep(work.failed[a], work.solve64.not_refined); });
        for (std::size_t a = a0; a < a1; ++a) {
            const double* from = work.rows64.data() + (a - a0) * T;
            F* to = z + work.failed[a] * T;
            for (std::size_t t = 0; t < T; ++t) to[t] = static_cast<F>(from[t]);
        }
    }
}

// Every series by the batch solver into z.  Each leaf solves its series block by block;
// every series gets the bits solve_banded would give it (the batch solver falls back to
// solve_banded where it cannot show that), whichever block, lane or thread it lands in.
// A float32 series the check cannot vouch for is solved as the float64 flavour would solve
// it; a float64 answer that is still not trusted fails the call.
template <class F>
Result<void> solve_all_series(const kernels::BatchSolver<F>& solver, const MatrixView<F>& y_st,
                              const std::optional<MatrixView<F>>& w_base_st, bool parallel, F* z) {
    const std::size_t S = y_st.rows;
    const std::size_t T = y_st.cols;
    const MatrixView<F>* base = w_base_st ? &*w_base_st : nullptr;
    const bool direct = y_st.row_contiguous() && (!base || base->row_contiguous());
    const auto fill = [&](std::size_t s, std::size_t t0, std::size_t t1, F* w, F* y) {
        fill_series(solver, y_st, base, direct, s, t0, t1, w, y);
    };
    const auto row = [z, T](std::size_t s) { return z + s * T; };
    std::optional<kernels::BatchSolver<double>> solver64;
    if (const kernels::Float64System* system = solver.float64_system()) {
        solver64.emplace(system->band, system->lam, system->ridge, system->eps);
    }
    FailedRows failed;
    ScratchPool<LeafWork<F>> scratch;
    parallel::for_each_series_range(parallel, S, T, [&](std::size_t lo, std::size_t hi) {
        const auto leased = scratch.take();
        LeafWork<F>& work = *leased;
        work.failed.clear();
        solver.solve_range(work.solve, lo, hi, fill, row, [&](std::size_t s, F*) {
            if (solver64) {
                work.failed.push_back(s);
            } else {
                failed.keep(s, work.solve.not_refined);
            }
        });
        if (!work.failed.empty()) solve_failed_in_float64(*solver64, work, fill, z, T, failed);
    });
    return failed.outcome();
}

}  // namespace

template <class F>
Result<void> whittaker_solve_core(std::span<const F> x, const MatrixView<F>& y_st,
                                  const std::optional<MatrixView<F>>& w_base_st,
                                  const SolveOptions<F>& o, OutputSink<F> make_output) {
    const F lam = o.lam, ridge = o.ridge, eps = o.eps;
    const std::uint64_t d = o.d;
    const std::optional<std::string_view> normalize = o.normalize;
    if (Result<void> r = check_solve_inputs(x, y_st, lam, ridge, normalize, eps); !r) return r;
    const bool one_pass = takes_one_pass(y_st, w_base_st, d, lam, eps);
    PenaltyBand<F> band;
    if (!one_pass) band = band_for(x, normalize, d, eps);
    if (Result<void> r = check_base_weight_inputs(y_st, w_base_st); !r) return r;

    const std::size_t S = y_st.rows;
    const std::size_t T = x.size();
    F* z = make_output(S, T);
    if (S == 0 || T == 0) return {};  // nothing to solve: the zero-filled output stands
    if (one_pass) {
        const LongSeries<F> problem{x,
                                    grid_map(x, normalize),
                                    d,
                                    y_st.row_ptr(0),
                                    w_base_st ? w_base_st->row_ptr(0) : nullptr,
                                    lam,
                                    ridge,
                                    eps};
        bool doubtful = false;
        if (solve_long_series(problem, z, &doubtful)) {
            if constexpr (std::is_same_v<F, double>) {
                return finish_one_pass(x, normalize, o, y_st.row_ptr(0), problem.w_base, doubtful,
                                       z);
            }
        }
        band = band_for(x, normalize, d, eps);  // not shown exact on the short loops
    }
    // float32 results are checked against the float64 system the call stands for.
    std::optional<kernels::Float64System> system64;
    if constexpr (std::is_same_v<F, float>)
        system64.emplace(float64_system(x, normalize, d, lam, ridge, eps));
    const kernels::BatchSolver<F> solver(band, lam, ridge, eps, kernels::best_isa(),
                                         system64 ? &*system64 : nullptr);
    return solve_all_series(solver, y_st, w_base_st, o.parallel, z);
}

kernels::Float64System float64_system(std::span<const float> x,
                                      std::optional<std::string_view> normalize, std::uint64_t d,
                                      float lam, float ridge, float eps) {
    const std::vector<double> x64(x.begin(), x.end());
    const std::vector<double> positions =
        normalize_x<double>(std::span<const double>(x64), normalize);
    return kernels::Float64System(
        build_penalty_band<double>(std::span<const double>(positions), d, static_cast<double>(eps)),
        static_cast<double>(lam), static_cast<double>(ridge), static_cast<double>(eps));
}

#define QB_INSTANTIATE(F)                                                                   \
    template Result<void> whittaker_solve_core<F>(std::span<const F>, const MatrixView<F>&, \
                                                  const std::optional<MatrixView<F>>&,      \
                                                  const SolveOptions<F>&, OutputSink<F>);   \
    template void fill_series<F>(const kernels::BatchSolver<F>&, const MatrixView<F>&,      \
                                 const MatrixView<F>*, bool, std::size_t, std::size_t,      \
                                 std::size_t, F*, F*);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::core
