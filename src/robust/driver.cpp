#include "robust/driver.hpp"

#include <atomic>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/arguments.hpp"
#include "core/band.hpp"
#include "core/build_pb.hpp"
#include "core/normalize.hpp"
#include "core/observation.hpp"
#include "core/trust.hpp"
#include "parallel/for_each_series.hpp"
#include "robust/irls.hpp"
#include "robust/merge.hpp"
#include "robust/weights.hpp"
#include "support/panic.hpp"
#include "support/scratch_pool.hpp"

namespace quelbrin::robust {
namespace {

// The caller's base weights (or 1), with 0 at every non-finite observation.  Negative,
// zero and NaN base weights are kept as given; the IRLS decides what they mean.
template <class F>
Matrix<F> make_wbase_work(const MatrixView<F>& y, const std::optional<MatrixView<F>>& w_base) {
    Matrix<F> wb(y.rows, y.cols);
    for (std::size_t s = 0; s < y.rows; ++s) {
        for (std::size_t t = 0; t < y.cols; ++t) {
            wb(s, t) = core::observation::weight(y(s, t), w_base ? (*w_base)(s, t) : F(1));
        }
    }
    return wb;
}

// The largest finite |y| of row s of the caller's observations.
template <class F>
F max_finite_abs(const MatrixView<F>& y, std::size_t s) {
    if (y.row_contiguous()) return core::max_finite_abs(y.row_ptr(s), y.cols);
    F m = F(0);
    for (std::size_t t = 0; t < y.cols; ++t) {
        const F a = std::abs(y(s, t));
        if (std::isfinite(a) && m < a) m = a;
    }
    return m;
}

// The trust rule of core/trust.hpp for one robust series: every smoothed value and total
// weight finite, and no growth beyond the bound set by the caller's row s of observations.
template <class F>
bool trusted_series(const F* z, const F* wt, std::size_t T, const MatrixView<F>& y_st,
                    std::size_t s) {
    if (!core::all_within(z, T, core::growth_bound(max_finite_abs(y_st, s)))) return false;
    return wt == nullptr || core::all_finite(wt, T);
}

// float64: a result the trust rule rejects is an error, not an answer, and so is a series
// whose solve at some step could not be handed out (the IRLS reports those into the same
// `failures`).  The series are judged block by block as the IRLS finishes them (their rows
// still warm); the error names the lowest failing row.
class Float64Trust {
  public:
    Float64Trust(RowMajor<double> z, const double* wt, const MatrixView<double>& y_st,
                 core::FailedRows& failures)
        : z_(z), wt_(wt), y_st_(y_st), failures_(failures) {}

    void judge(std::size_t lo, std::size_t hi) {
        for (std::size_t s = lo; s < hi; ++s) {
            const double* wt = wt_ ? wt_ + s * z_.cols : nullptr;
            if (!trusted_series(z_.row(s), wt, z_.cols, y_st_, s)) failures_.keep(s, false);
        }
    }
    Result<void> outcome() const { return failures_.outcome(); }

  private:
    RowMajor<double> z_;
    const double* wt_;
    const MatrixView<double>& y_st_;
    core::FailedRows& failures_;
};

Result<void> check_trusted(RowMajor<double> z, const double* wt, const MatrixView<double>& y_st,
                           core::FailedRows& failures) {
    Float64Trust trust(z, wt, y_st, failures);
    trust.judge(0, z.rows);
    return trust.outcome();
}

// float32: finds the series whose result cannot be handed out as it is: it fails the trust
// rule, or the last solve of its IRLS fails the accuracy check against the float64 system.
// The IRLS checks the last solves of the call's last step itself (`last_check`); a series
// that stopped earlier has that solve repeated here with the check (it gives the same
// float32 numbers).  Each block of series is judged as soon as the IRLS has finished it,
// while its rows are warm.
class Float32Acceptance {
  public:
    using Check = LastSolveCheck<float>;

    Float32Acceptance(const IrlsResult<float>& res, const IrlsInputs<float>& in,
                      const MatrixView<float>& y_st, std::span<const float> merged_x,
                      const RobustOptions<float>& o)
        : res_(res),
          in_(in),
          y_st_(y_st),
          system64_(core::float64_system(merged_x, o.normalize, o.d, o.lam, o.ridge, o.eps)),
          solver_(*in.band, in.lam, in.ridge, in.eps, core::kernels::best_isa(), &system64_),
          verdict_(res.z.rows, Check::kUnchecked) {}

    // The check the IRLS applies to its last step.
    Check last_check() { return Check{&solver_, verdict_.data()}; }

    void judge(std::size_t lo, std::size_t hi) {
        const std::size_t T = res_.z.cols;
        const auto work = pool_.take();
        std::vector<std::size_t>& unchecked = work->unchecked;
        unchecked.clear();
        for (std::size_t s = lo; s < hi; ++s) {
            if (!trusted_series(res_.z.row(s), res_.wt.row(s), T, y_st_, s)) {
                verdict_[s] = Check::kRejected;
            } else if (verdict_[s] == Check::kUnchecked) {
                unchecked.push_back(s);
            }
        }
        if (unchecked.empty()) return;
        work->rows.resize(64 * T);
        float* const rows = work->rows.data();
        const bool direct = in_.y.row_contiguous();
        const auto last_solve = [&](std::size_t a, std::size_t t0, std::size_t t1, float* w,
                                    float* y) {
            const std::size_t s = unchecked[a];
            const float* wt = res_.wt.row(s);
            if (direct) {  // the same rule, vectorised: w = wt, y kept where finite and wt > 0
                solver_.mask(in_.y.row_ptr(s) + t0, wt + t0, nullptr, t1 - t0, false, w, y);
                return;
            }
            for (std::size_t t = t0; t < t1; ++t) {
                w[t - t0] = wt[t];
                y[t - t0] = core::observation::masked(in_.y(s, t), wt[t]);
            }
        };
        for (const std::size_t s : unchecked) verdict_[s] = Check::kAccepted;
        solver_.solve_range(
            work->solve, 0, unchecked.size(), last_solve,
            [&](std::size_t a) { return rows + (a % 64) * T; },
            [&](std::size_t a, float*) { verdict_[unchecked[a]] = Check::kRejected; });
    }

    // 1 for every series to refit in float64.
    std::vector<std::uint8_t> flags() const {
        std::vector<std::uint8_t> out(verdict_.size());
        for (std::size_t s = 0; s < out.size(); ++s) out[s] = verdict_[s] == Check::kRejected;
        return out;
    }

  private:
    using Solver = core::kernels::BatchSolver<float>;
    struct Work {
        Solver::Scratch solve;
        std::vector<float> rows;  // scratch output rows: the verdict is what counts
        std::vector<std::size_t> unchecked;
    };
    const IrlsResult<float>& res_;
    const IrlsInputs<float>& in_;
    const MatrixView<float>& y_st_;
    const core::kernels::Float64System system64_;
    const Solver solver_;
    std::vector<std::uint8_t> verdict_;  // one writer per series
    ScratchPool<Work> pool_;
};

template <class F>
Matrix<double> widen_rows(const MatrixView<F>& m, std::span<const std::size_t> rows) {
    Matrix<double> out(rows.size(), m.cols);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t t = 0; t < m.cols; ++t) out(i, t) = static_cast<double>(m(rows[i], t));
    }
    return out;
}

// The float64 options a float32 call stands for; the refit always keeps its weights.
RobustOptions<double> widen(const RobustOptions<float>& o) {
    RobustOptions<double> w = o.in<double>();
    w.return_weights = true;
    return w;
}

template <class F>
Result<void> robust_fit(std::span<const F> x, const MatrixView<F>& y_st,
                        const std::optional<MatrixView<F>>& w_base_st, const RobustOptions<F>& o,
                        core::OutputSink<F> make_output, bool check_trust);

// The flagged float32 series (full grid, after any expansion) are smoothed as
// robust_whittaker_irls_f64 smooths their inputs promoted exactly to float64, and rounded
// back.  All of them go through one float64 call: its rows do not depend on each other.
Result<void> refit_in_f64(IrlsResult<float>& res, std::span<const std::uint8_t> flags,
                          std::span<const float> x, const MatrixView<float>& y_st,
                          const std::optional<MatrixView<float>>& w_base_st,
                          const RobustOptions<float>& o) {
    std::vector<std::size_t> rows;
    for (std::size_t s = 0; s < flags.size(); ++s) {
        if (flags[s] != 0) rows.push_back(s);
    }
    if (rows.empty()) return {};
    const std::size_t T = res.z.cols;
    const std::vector<double> x64(x.begin(), x.end());
    const Matrix<double> y64 = widen_rows(y_st, rows);
    std::optional<Matrix<double>> w64;
    if (w_base_st) w64 = widen_rows(*w_base_st, rows);
    std::optional<MatrixView<double>> w64_view;
    if (w64) w64_view = w64->view();
    Matrix<double> out[2];
    int made = 0;
    auto sink = [&](std::size_t r, std::size_t c) {
        out[made] = Matrix<double>(r, c);
        return out[made++].data.data();
    };
    Result<void> fitted = robust_fit<double>(std::span<const double>(x64), y64.view(), w64_view,
                                             widen(o), sink, false);
    if (!fitted) return fitted;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        float* const z = res.z.row(rows[i]);
        float* const wt = res.wt.row(rows[i]);
        for (std::size_t t = 0; t < T; ++t) {
            z[t] = static_cast<float>(out[0](i, t));
            wt[t] = static_cast<float>(out[1](i, t));
        }
        if (!core::all_finite(z, T) || !core::all_finite(wt, T)) {
            return error(
                "Numerical instability in f32 solver; try robust_whittaker_irls_f64 or increase "
                "eps/ridge");
        }
        if (!trusted_series(z, wt, T, y_st, rows[i])) return error(core::kUntrustedResult);
    }
    return {};
}

template <class F>
void copy_out(const Matrix<F>& m, F* dst) {
    if (!m.data.empty()) std::memcpy(dst, m.data.data(), m.data.size() * sizeof(F));
}

// What validation and merging hand to the fit.
template <class F>
struct Checked {
    Weighting weighting;
    TuningConstants<F> constants;
    MergedGrid<F> grid;
};

// The arguments in the order the messages are promised, the merged grid, then the checks
// that need it.  Normalisation and band building report nothing, so testing the base-weight
// shape before them reports the same message while doing no work for a doomed call.
template <class F>
Result<Checked<F>> validate_and_merge(std::span<const F> x, const MatrixView<F>& y_st,
                                      const std::optional<MatrixView<F>>& w_base_st,
                                      const RobustOptions<F>& o) {
    const std::size_t T = x.size();
    if (y_st.cols != T) return error("y_st shape must be (S,T) with T=len(x)");
    if (Result<void> r = core::check_positions(x); !r) return r.error();
    Result<Weighting> weighting = parse_weighting(o.weighting);
    if (!weighting) return weighting.error();
    if (Result<void> r =
            core::validate_robust_arguments(o.lam, o.iterations, o.scale, o.ridge, o.normalize,
                                            o.eps, o.tuning, reads_a_and_b(weighting.value()));
        !r)
        return r.error();
    const TuningConstants<F> constants =
        o.tuning ? TuningConstants<F>{(*o.tuning)[0], (*o.tuning)[1], (*o.tuning)[2]}
                 : default_tuning<F>(weighting.value());
    if (T == 0) return error("x must have length >=2 after merging");

    MergedGrid<F> grid = merge_groups(x, o.merge_x_tol.value_or(F(0)));
    const std::size_t Tm = grid.groups.size();
    if (Tm < 2) return error("x must have length >=2 after merging");
    // Compared as 64-bit integers: a huge d is rejected here, before anything is sized by it.
    if (static_cast<std::uint64_t>(Tm) <= o.d) return error("x must have length > d after merging");
    if (!core::strictly_increasing(std::span<const F>(grid.x))) {
        return error("x must be strictly increasing after merging");
    }
    if (w_base_st && (w_base_st->rows != y_st.rows || w_base_st->cols != T)) {
        return error("w_base_st must match y_st shape");
    }
    if (Result<void> r = core::check_base_weights(y_st, w_base_st); !r) return r.error();
    return Checked<F>{weighting.value(), constants, std::move(grid)};
}

// The IRLS inputs on the merged grid, with the storage they point into.  Without a group of
// two or more the IRLS reads the caller's observations and base weights directly (the base
// weight of a missing observation taken as 0 on the fly); merging builds the merged series
// from the cleared base weights.  Not movable: `in` points at `band`.
template <class F>
struct FitInputs {
    FitInputs(const Checked<F>& checked, const MatrixView<F>& y_st,
              const std::optional<MatrixView<F>>& w_base_st, const RobustOptions<F>& o)
        : band(core::band_for<F>(std::span<const F>(checked.grid.x), o.normalize, o.d, o.eps)),
          merging(checked.grid.groups.size() < y_st.cols) {
        if (merging) {
            wbase_work = make_wbase_work(y_st, w_base_st);
            merged = merge_series(y_st, wbase_work.view(), checked.grid.groups);
            in.y = merged->y.view();
            in.base_weights = merged->w.view();
        } else {
            in.y = y_st;
            in.base_weights = w_base_st;
            in.zero_missing = true;
        }
        in.band = &band;
        in.lam = o.lam;
        in.ridge = o.ridge;
        in.eps = o.eps;
        in.weighting = checked.weighting;
        in.constants = checked.constants;
        in.scale_name = o.scale;
        if constexpr (std::is_same_v<F, double>) in.failures = &failures;
    }
    FitInputs(const FitInputs&) = delete;
    FitInputs& operator=(const FitInputs&) = delete;

    const core::PenaltyBand<F> band;
    const bool merging;
    Matrix<F> wbase_work;
    std::optional<MergedSeries<F>> merged;
    IrlsInputs<F> in;
    // float64: the series that cannot be handed out (steps and final results alike).
    mutable core::FailedRows failures;
};

// The IRLS on the merged grid.  In float32 each finished block of series is judged at once
// (Float32Acceptance); `untrusted` receives its verdicts.
template <class F>
IrlsResult<F> fit(const FitInputs<F>& fi, const MatrixView<F>& y_st, std::span<const F> merged_x,
                  const RobustOptions<F>& o, std::vector<std::uint8_t>& untrusted) {
    if constexpr (std::is_same_v<F, float>) {
        const std::size_t S = fi.in.y.rows;
        const std::size_t Tm = fi.in.y.cols;
        IrlsResult<F> r{Matrix<F>(S, Tm), Matrix<F>(S, Tm)};
        Float32Acceptance acceptance(r, fi.in, y_st, merged_x, o);
        const auto judge = [&](std::size_t lo, std::size_t hi) { acceptance.judge(lo, hi); };
        const LastSolveCheck<float> check = acceptance.last_check();
        run_irls_into(fi.in, o.iterations, o.parallel, RowMajor<F>{r.z.data.data(), S, Tm},
                      r.wt.data.data(), FinishedSeries(judge), &check);
        untrusted = acceptance.flags();
        return r;
    } else {
        (void)y_st, (void)merged_x, (void)untrusted;
        return run_irls(fi.in, o.iterations, o.parallel);
    }
}

// float32: the flagged series are refitted in float64; float64 (with check_trust): a result
// the trust rule rejects is an error.
template <class F>
Result<void> accept_or_refit(IrlsResult<F>& res, std::span<const std::uint8_t> untrusted,
                             std::span<const F> x, const MatrixView<F>& y_st,
                             const std::optional<MatrixView<F>>& w_base_st,
                             const RobustOptions<F>& o, bool check_trust,
                             core::FailedRows& fi_failures) {
    if constexpr (std::is_same_v<F, float>) {
        (void)check_trust, (void)fi_failures;
        return refit_in_f64(res, untrusted, x, y_st, w_base_st, o);
    } else {
        (void)untrusted, (void)x, (void)w_base_st;
        if (!check_trust) return {};
        return check_trusted(RowMajor<F>{res.z.data.data(), res.z.rows, res.z.cols},
                             o.return_weights ? res.wt.data.data() : nullptr, y_st, fi_failures);
    }
}

// The whole robust smoother; with check_trust a float64 result that fails the trust rule is
// an error (the float32 refit judges its float64 answer itself).
template <class F>
Result<void> robust_fit(std::span<const F> x, const MatrixView<F>& y_st,
                        const std::optional<MatrixView<F>>& w_base_st, const RobustOptions<F>& o,
                        core::OutputSink<F> make_output, bool check_trust) {
    Result<Checked<F>> checked = validate_and_merge(x, y_st, w_base_st, o);
    if (!checked) return checked.error();
    const std::size_t S = y_st.rows;
    const std::size_t T = x.size();
    const FitInputs<F> fi(checked.value(), y_st, w_base_st, o);
    if constexpr (std::is_same_v<F, double>) {
        if (!fi.merging) {
            // In float64 no error can follow the IRLS, so the outputs are created first and
            // the steps write their final rows straight into them.
            F* const z = make_output(S, T);
            F* const wt = o.return_weights ? make_output(S, T) : nullptr;
            Float64Trust trust(RowMajor<F>{z, S, T}, wt, y_st, fi.failures);
            const auto judge = [&](std::size_t lo, std::size_t hi) { trust.judge(lo, hi); };
            std::optional<FinishedSeries> finished;
            if (check_trust) finished = FinishedSeries(judge);
            run_irls_into(fi.in, o.iterations, o.parallel, RowMajor<F>{z, S, T}, wt, finished);
            if (!check_trust) return {};
            return trust.outcome();
        }
    }
    std::vector<std::uint8_t> untrusted;
    IrlsResult<F> res = fit(fi, y_st, std::span<const F>(checked.value().grid.x), o, untrusted);
    if (fi.merging) {
        res = expand_results(res.z, res.wt, fi.merged->w, fi.wbase_work.view(),
                             checked.value().grid.groups);
    }
    if (Result<void> r =
            accept_or_refit(res, untrusted, x, y_st, w_base_st, o, check_trust, fi.failures);
        !r)
        return r;
    // No error can follow: only now do the outputs exist.
    copy_out(res.z, make_output(S, T));
    if (o.return_weights) copy_out(res.wt, make_output(S, T));
    return {};
}

}  // namespace

template <class F>
Result<void> robust_irls_core(std::span<const F> x, const MatrixView<F>& y_st,
                              const std::optional<MatrixView<F>>& w_base_st,
                              const RobustOptions<F>& o, core::OutputSink<F> make_output) {
    return robust_fit(x, y_st, w_base_st, o, make_output, true);
}

#define QB_INSTANTIATE(F)                                                               \
    template Result<void> robust_irls_core<F>(std::span<const F>, const MatrixView<F>&, \
                                              const std::optional<MatrixView<F>>&,      \
                                              const RobustOptions<F>&, core::OutputSink<F>);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::robust
