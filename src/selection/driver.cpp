#include "selection/driver.hpp"

#include <cmath>
#include <limits>
#include <mutex>
#include <sstream>
#include <type_traits>
#include <vector>

#include "core/normalize.hpp"
#include "core/trust.hpp"
#include "parallel/for_each_series.hpp"
#include "selection/evaluator.hpp"
#include "support/panic.hpp"
#include "support/scratch_pool.hpp"

namespace quelbrin::selection {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string number_text(double v) {
    std::ostringstream out;
    out.precision(17);
    out << v;
    return out.str();
}

bool positive_finite(double v) { return std::isfinite(v) && v > 0; }

// The single-pass core's options for a fit at `lam` with the call's shared arguments.
template <class F>
core::SolveOptions<F> solve_options(const AutoOptions<F>& o, F lam, bool parallel) {
    return core::SolveOptions<F>{lam, o.d, o.ridge, o.normalize, o.eps, parallel};
}

// Runs the single-pass core up to the point where it asks for its output: every check of
// the shared arguments is the core's own.
struct ValidationDone {};

template <class F>
Result<void> validate_as_single_pass(std::span<const F> x, const MatrixView<F>& y_st,
                                     const std::optional<MatrixView<F>>& w_base_st,
                                     const AutoOptions<F>& o) {
    auto stop = [](std::size_t, std::size_t) -> F* { throw ValidationDone{}; };
    try {
        Result<void> r =
            core::whittaker_solve_core<F>(x, y_st, w_base_st, solve_options(o, F(1), false), stop);
        if (!r) return r;
    } catch (const ValidationDone&) {
        return {};
    }
    QB_PANIC("the single-pass core returned without asking for its output");
}

// lam and lam_bounds: the rules of this module's own arguments.
template <class F>
Result<void> validate_lam(const LamChoice& lam, std::size_t S, std::span<const double> bounds) {
    switch (lam.kind) {
        case LamChoice::Kind::name:
            if (!parse_criterion(lam.name))
                return error("Unknown criterion for lam: '" + std::string(lam.name) +
                             "'; lam must be " + criterion_names() +
                             ", a positive finite number or an (S,) array of them");
            break;
        case LamChoice::Kind::value:
            if (!positive_finite(lam.value))
                return error("lam must be a positive finite number, got " + number_text(lam.value));
            break;
        case LamChoice::Kind::per_series:
            if (lam.per_series.size() != S)
                return error("lam must have one value per series: shape (" + std::to_string(S) +
                             ",), got (" + std::to_string(lam.per_series.size()) + ",)");
            for (std::size_t s = 0; s < S; ++s) {
                const double v = static_cast<double>(static_cast<F>(lam.per_series[s]));
                if (!positive_finite(v))
                    return error("lam must hold positive finite numbers, got lam[" +
                                 std::to_string(s) + "] = " + number_text(lam.per_series[s]));
            }
            break;
    }
    if (bounds.size() != 2 ||
        !(positive_finite(bounds[0]) && positive_finite(bounds[1]) && bounds[0] < bounds[1])) {
        std::string got;
        for (std::size_t i = 0; i < bounds.size(); ++i)
            got += (i == 0 ? "" : ", ") + number_text(bounds[i]);
        return error(
            "lam_bounds must be two positive finite numbers (lower, upper) with "
            "lower < upper, got (" +
            got + ")");
    }
    return {};
}

// A one-series view of row s.
template <class F>
MatrixView<F> row_view(const MatrixView<F>& m, std::size_t s) {
    MatrixView<F> v = m;
    v.origin = m.origin + static_cast<std::ptrdiff_t>(s) * m.row_stride;
    v.rows = 1;
    return v;
}

// The error of the lowest-numbered series whose fit failed, whichever thread saw it first.
class FirstError {
  public:
    void keep(std::size_t s, const Error& e) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!error_ || s < series_) {
            error_ = e;
            series_ = s;
        }
    }
    Result<void> result() const {
        if (error_) return *error_;
        return {};
    }

  private:
    std::mutex mutex_;
    std::optional<Error> error_;
    std::size_t series_ = 0;
};

// The final fits of float64 series, batched although lam differs between them.
using FitSolver = core::kernels::BatchSolver<double>;

// Work storage of one leaf.
struct LeafScratch {
    EvaluatorScratch evaluator;
    FitSolver::Scratch fit;
};

template <class F>
class Smoother {
  public:
    // batch: the solver of the float64 final fits (null: one single-pass call per series).
    Smoother(std::span<const F> x, const MatrixView<F>& y_st,
             const std::optional<MatrixView<F>>& w_base_st, const AutoOptions<F>& o,
             const core::PenaltyBand<double>& band, const FitSolver* batch)
        : x_(x),
          y_(y_st),
          w_(w_base_st),
          o_(o),
          band_(band),
          base_(w_base_st ? &*w_base_st : nullptr),
          T_(y_st.cols),
          batch_(batch) {
        if (o.lam.kind == LamChoice::Kind::name) criterion_ = *parse_criterion(o.lam.name);
    }

    struct Rows {
        F* z = nullptr;
        double* stats = nullptr;
        F* leverage = nullptr;
        F* se = nullptr;
    };

    // Chooses (or takes) lam for series lo .. hi-1, fits them unless the fit was made for
    // all series at once, and writes their statistics.
    void run(std::size_t lo, std::size_t hi, const Rows& out, bool fitted, LeafScratch& scratch,
             FirstError& failure) const {
        Evaluator ev(band_, static_cast<double>(o_.ridge), static_cast<double>(o_.eps),
                     scratch.evaluator);
        std::vector<double> diag(o_.uncertainty ? T_ : 0);
        std::vector<Tried> tried;
        std::vector<double> lams(hi - lo);
        for (std::size_t s = lo; s < hi; ++s) {
            ev.load(y_, base_, s);
            tried.clear();
            Choice choice = take_or_choose(ev, s, tried);
            const F lam = static_cast<F>(choice.lam);
            lams[s - lo] = static_cast<double>(lam);
            if (!fitted && batch_ == nullptr) {
                Result<void> r = fit(s, lam, out.z);
                if (!r) failure.keep(s, r.error());
            }
            if (!reuse(ev, s, choice, lam, tried, out)) {
                finish(ev, s, static_cast<double>(lam), choice, out, diag);
            }
        }
        if (!fitted && batch_ != nullptr) fit_batch(lo, hi, lams, out.z, scratch.fit, failure);
    }

  private:
    // A point the search evaluated with the inverse: its edf and RSS.
    struct Tried {
        double lam, edf, rss;
    };

    Choice take_or_choose(Evaluator& ev, std::size_t s, std::vector<Tried>& tried) const {
        const Bounds bounds{o_.lam_bounds[0], o_.lam_bounds[1]};
        switch (o_.lam.kind) {
            case LamChoice::Kind::value:
                return Choice{o_.lam.value, kNaN, false};
            case LamChoice::Kind::per_series:
                return Choice{o_.lam.per_series[s], kNaN, false};
            case LamChoice::Kind::name:
                break;
        }
        // Nothing to choose: with m <= d observations every lam fits them alike.
        if (ev.counts().m <= static_cast<double>(o_.d)) return Choice{o_.lam_bounds[1], kNaN, true};
        SweepSums sums;
        if (criterion_ == Criterion::vcurve) {
            auto curve = [&](const double* lam, std::size_t n, double* F_, double* R_) {
                ev.sweep(lam, n, needs_of(criterion_, false), nullptr, sums);
                for (std::size_t l = 0; l < n; ++l) {
                    const CurvePoint p = curve_point(sums, l);
                    F_[l] = p.F;
                    R_[l] = p.R;
                }
            };
            return vcurve_choice(bounds, curve);
        }
        // REML needs no inverse (log det comes from the pivots); GCV and LOOCV do.  The
        // refinements compute it for every criterion: the choice is almost always one of
        // their points, whose edf and RSS then serve the statistics without another sweep.
        auto score = [&](const double* lam, std::size_t n, bool fine, double* values) {
            const SweepNeeds needs = needs_of(criterion_, fine);
            ev.sweep(lam, n, needs, nullptr, sums);
            for (std::size_t l = 0; l < n; ++l) {
                values[l] = criterion_value(criterion_, sums, l, lam[l], ev.counts());
                if (needs.inverse) tried.push_back(Tried{lam[l], sums.edf[l], sums.rss[l]});
            }
        };
        return minimise(bounds, score);
    }

    // The final fit: the single-pass core on this one series (its errors are those of a
    // result it cannot trust; validation has passed).
    Result<void> fit(std::size_t s, F lam, F* z) const {
        F* row = z + s * T_;
        auto into_row = [&](std::size_t rows, std::size_t cols) -> F* {
            QB_ASSERT(rows == 1 && cols == T_, "a one-series fit asked for another shape");
            return row;
        };
        std::optional<MatrixView<F>> w_row;
        if (w_) w_row = row_view(*w_, s);
        return core::whittaker_solve_core<F>(x_, row_view(y_, s), w_row,
                                             solve_options(o_, lam, false), into_row);
    }

    // The final fits of series lo .. hi-1 (float64), lam[s - lo] each, by the batch solver:
    // every series gets the bits solve_banded gives it at its lam, which are those of the
    // single-pass core on that series alone.  A result the core would not hand out fails
    // the call, as the core's own call would.
    void fit_batch(std::size_t lo, std::size_t hi, const std::vector<double>& lams, F* z,
                   FitSolver::Scratch& scratch, FirstError& failure) const {
        if constexpr (std::is_same_v<F, double>) {
            const bool direct = y_.row_contiguous() && (!base_ || base_->row_contiguous());
            const auto fill = [&](std::size_t s, std::size_t t0, std::size_t t1, double* w,
                                  double* y) {
                core::fill_series(*batch_, y_, base_, direct, s, t0, t1, w, y);
            };
            const auto row = [&](std::size_t s) { return z + s * T_; };
            const auto lam_of = [&](std::size_t s) { return lams[s - lo]; };
            batch_->solve_range(scratch, lo, hi, lam_of, fill, row, [&](std::size_t s, double*) {
                failure.keep(s, error(core::kUntrustedResult));
            });
        } else {
            (void)lo, (void)hi, (void)lams, (void)z, (void)scratch, (void)failure;
            QB_PANIC("float32 final fits go through the single-pass core");
        }
    }

    // The statistics from the search's own sweep at the returned lam, when it made one with
    // the inverse at exactly that lam and nothing per position is asked for.
    bool reuse(const Evaluator& ev, std::size_t s, const Choice& choice, F lam,
               const std::vector<Tried>& tried, const Rows& out) const {
        if (o_.uncertainty || static_cast<double>(lam) != choice.lam) return false;
        for (const Tried& t : tried) {
            if (t.lam != choice.lam) continue;
            const SeriesCounts& n = ev.counts();
            const std::size_t S = y_.rows;
            out.stats[kLam * S + s] = choice.lam;
            out.stats[kEdf * S + s] = t.edf;
            out.stats[kScore * S + s] = choice.score;
            out.stats[kSigma * S + s] = residual_scale(t.rss, t.edf, n);
            out.stats[kAtBound * S + s] = choice.at_bound ? 1.0 : 0.0;
            return true;
        }
        return false;
    }

    // edf, sigma, the score at the returned lam, and the uncertainty.
    void finish(Evaluator& ev, std::size_t s, double lam, const Choice& choice, const Rows& out,
                std::vector<double>& diag) const {
        SweepSums sums;
        const double one[1] = {lam};
        ev.sweep(one, 1, needs_of(criterion_, true), o_.uncertainty ? diag.data() : nullptr, sums);
        const SeriesCounts& n = ev.counts();
        const std::size_t S = y_.rows;
        const double sigma = residual_scale(sums.rss[0], sums.edf[0], n);
        double score = choice.score;
        if (o_.lam.kind == LamChoice::Kind::name && criterion_ != Criterion::vcurve)
            score = criterion_value(criterion_, sums, 0, lam, n);
        out.stats[kLam * S + s] = lam;
        out.stats[kEdf * S + s] = sums.edf[0];
        out.stats[kScore * S + s] = score;
        out.stats[kSigma * S + s] = sigma;
        out.stats[kAtBound * S + s] = choice.at_bound ? 1.0 : 0.0;
        if (!o_.uncertainty) return;
        const std::vector<double>& w = ev.weights();
        for (std::size_t t = 0; t < T_; ++t) {
            out.leverage[s * T_ + t] = static_cast<F>(w[t] * diag[t]);
            out.se[s * T_ + t] = static_cast<F>(sigma * std::sqrt(diag[t]));
        }
    }

    std::span<const F> x_;
    const MatrixView<F>& y_;
    const std::optional<MatrixView<F>>& w_;
    const AutoOptions<F>& o_;
    const core::PenaltyBand<double>& band_;
    const MatrixView<F>* base_;
    std::size_t T_;
    const FitSolver* batch_;
    Criterion criterion_ = Criterion::gcv;
};

}  // namespace

template <class F>
Result<void> smooth_auto_core(std::span<const F> x, const MatrixView<F>& y_st,
                              const std::optional<MatrixView<F>>& w_base_st,
                              const AutoOptions<F>& o, AutoOutputs<F>& outputs) {
    if (Result<void> r = validate_as_single_pass(x, y_st, w_base_st, o); !r) return r;
    const std::size_t S = y_st.rows;
    const std::size_t T = y_st.cols;
    if (Result<void> r = validate_lam<F>(o.lam, S, o.lam_bounds); !r) return r;

    // The selection's band: the smoother's, built in float64 (from the promoted positions
    // for F = float).
    const core::PenaltyBand<double> band = [&] {
        const std::vector<double> promoted(x.begin(), x.end());
        const std::vector<double> positions = core::normalize_x<double>(promoted, o.normalize);
        return core::build_penalty_band<double>(positions, o.d, static_cast<double>(o.eps));
    }();

    typename Smoother<F>::Rows rows;
    // One lam for all: one call of the single-pass core fits every series.
    const bool fitted = o.lam.kind == LamChoice::Kind::value;
    if (fitted) {
        const Result<void> r = core::whittaker_solve_core<F>(
            x, y_st, w_base_st, solve_options(o, static_cast<F>(o.lam.value), o.parallel),
            outputs.z);
        if (!r) return r;
    } else {
        rows.z = outputs.z(S, T);
    }
    rows.stats = outputs.stats(kStatRows, S);
    if (o.uncertainty) {
        QB_ASSERT(outputs.leverage && outputs.se, "uncertainty asked for without its outputs");
        rows.leverage = (*outputs.leverage)(S, T);
        rows.se = (*outputs.se)(S, T);
    }
    if (S == 0) return {};

    // float64 fits in batches, each series at its own lam.  (A float32 fit must pass the
    // single-pass core's accuracy check and, failing it, take its float64 refit: one call
    // per series.)
    std::optional<FitSolver> batch;
    if constexpr (std::is_same_v<F, double>) {
        if (!fitted) batch.emplace(band, core::kernels::LamPerSeries{}, o.ridge, o.eps);
    }
    const Smoother<F> smoother(x, y_st, w_base_st, o, band, batch ? &*batch : nullptr);
    ScratchPool<LeafScratch> scratch;
    FirstError failure;
    parallel::for_each_series_range(o.parallel && T > 0, S, T, [&](std::size_t lo, std::size_t hi) {
        const auto leased = scratch.take();
        smoother.run(lo, hi, rows, fitted, *leased, failure);
    });
    return failure.result();
}

#define QB_INSTANTIATE(F)                                                               \
    template Result<void> smooth_auto_core<F>(std::span<const F>, const MatrixView<F>&, \
                                              const std::optional<MatrixView<F>>&,      \
                                              const AutoOptions<F>&, AutoOutputs<F>&);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::selection
