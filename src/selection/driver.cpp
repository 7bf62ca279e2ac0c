#include "selection/driver.hpp"

#include <cmath>
#include <limits>
#include <mutex>
#include <sstream>
#include <type_traits>
#include <vector>

#include "core/arguments.hpp"
#include "core/normalize.hpp"
#include "core/trust.hpp"
#include "parallel/for_each_series.hpp"
#include "selection/choose.hpp"
#include "selection/evaluator.hpp"
#include "support/panic.hpp"
#include "support/scratch_pool.hpp"

namespace quelbrin::selection {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// How far above the ridge the V-curve's lower bound must lie.
constexpr double kVcurveRidgeMargin = 100.0;

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
    if constexpr (std::is_same_v<F, float>) {
        // The search's points are float32 numbers for smooth_f32: a bound must be one.
        for (double b : bounds)
            if (!positive_finite(static_cast<double>(static_cast<float>(b))))
                return error("lam_bounds must be positive numbers representable in float32, got " +
                             number_text(b));
    }
    return {};
}

// Base weights: finite where y is observed (the smoother's check and message) and never
// negative there: the statistics (edf, the criteria) have no meaning with a negative weight.
// The message names the first offending series and how many there are.
template <class F>
Result<void> check_weights(const MatrixView<F>& y_st, const std::optional<MatrixView<F>>& w) {
    if (!w) return {};
    if (Result<void> r = core::check_base_weights(y_st, w); !r) return r;
    std::size_t first = 0, count = 0, where = 0;
    double value = 0;
    for (std::size_t s = 0; s < y_st.rows; ++s) {
        bool bad = false;
        for (std::size_t t = 0; t < y_st.cols && !bad; ++t) {
            const F v = (*w)(s, t);
            if (std::isfinite(y_st(s, t)) && v < F(0)) {
                bad = true;
                if (count == 0) {
                    first = s;
                    where = t;
                    value = static_cast<double>(v);
                }
            }
        }
        count += bad ? 1 : 0;
    }
    if (count == 0) return {};
    return error("w_base_st must not be negative where y_st is observed: w_base_st[" +
                 std::to_string(first) + ", " + std::to_string(where) +
                 "] = " + number_text(value) + " (" + std::to_string(count) +
                 " series with a negative weight)");
}

// The V-curve's lower end: below the ridge, the ridge rather than lam keeps z from the data,
// RSS stops falling, and the curve's flat stretch there would be taken for its corner.
template <class F>
Result<void> check_vcurve_bounds(const LamChoice& lam, std::span<const double> bounds, F ridge) {
    if (lam.kind != LamChoice::Kind::name || parse_criterion(lam.name) != Criterion::vcurve)
        return {};
    if (bounds[0] > static_cast<double>(ridge) * kVcurveRidgeMargin) return {};
    return error("lam_bounds: the V-curve needs a lower bound above " +
                 number_text(kVcurveRidgeMargin) + " x ridge (" +
                 number_text(static_cast<double>(ridge) * kVcurveRidgeMargin) + "), got " +
                 number_text(bounds[0]));
}

// The series whose final fit failed the trust rule, whichever thread saw them.
class FailedRows {
  public:
    void keep(std::size_t s) {
        const std::lock_guard<std::mutex> lock(mutex_);
        rows_.push_back(s);
    }
    const std::vector<std::size_t>& rows() const { return rows_; }

  private:
    std::mutex mutex_;
    std::vector<std::size_t> rows_;
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
             const core::PenaltyBand<double>& band, const std::vector<double>& dcoef,
             const FitSolver* batch)
        : x_(x),
          y_(y_st),
          w_(w_base_st),
          o_(o),
          band_(band),
          dcoef_(dcoef),
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
    // all series at once, and writes their statistics.  A series whose fit fails the trust
    // rule is kept in `failed` (its row is made NaN afterwards).
    void run(std::size_t lo, std::size_t hi, const Rows& out, bool fitted, LeafScratch& scratch,
             FailedRows& failed) const {
        Evaluator ev(band_, dcoef_, static_cast<double>(o_.ridge), static_cast<double>(o_.eps),
                     scratch.evaluator);
        std::vector<double> diag(o_.uncertainty ? T_ : 0);
        std::vector<TriedPoint> tried;
        std::vector<double> lams(hi - lo);
        for (std::size_t s = lo; s < hi; ++s) {
            ev.load(y_, base_, s);
            tried.clear();
            Choice choice = take_or_choose(ev, s, tried);
            const F lam = static_cast<F>(choice.lam);
            lams[s - lo] = static_cast<double>(lam);
            if (!fitted && batch_ == nullptr) {
                if (!fit(s, lam, out.z)) failed.keep(s);
            }
            if (!reuse(ev, s, choice, lam, tried, out)) {
                finish(ev, s, static_cast<double>(lam), choice, out, diag);
            }
        }
        if (!fitted && batch_ != nullptr) fit_batch(lo, hi, lams, out.z, scratch.fit, failed);
    }

    // Row s as a series that could not be fitted: NaN everywhere.
    void mark_unfitted(std::size_t s, const Rows& out) const {
        const std::size_t S = y_.rows;
        for (std::size_t t = 0; t < T_; ++t)
            out.z[s * T_ + t] = std::numeric_limits<F>::quiet_NaN();
        for (std::size_t r = 0; r < kStatRows; ++r) out.stats[r * S + s] = kNaN;
        if (!o_.uncertainty) return;
        for (std::size_t t = 0; t < T_; ++t) {
            out.leverage[s * T_ + t] = std::numeric_limits<F>::quiet_NaN();
            out.se[s * T_ + t] = std::numeric_limits<F>::quiet_NaN();
        }
    }

  private:
    Choice take_or_choose(Evaluator& ev, std::size_t s, std::vector<TriedPoint>& tried) const {
        switch (o_.lam.kind) {
            case LamChoice::Kind::value:
                return Choice{o_.lam.value, kNaN, false};
            case LamChoice::Kind::per_series:
                return Choice{o_.lam.per_series[s], kNaN, false};
            case LamChoice::Kind::name:
                break;
        }
        return choose_lam(ev, criterion_, o_.d, o_.lam_bounds[0], o_.lam_bounds[1], &tried);
    }

    // The final fit: the single-pass core on this one series (its errors are those of a
    // result it cannot trust; validation has passed).
    bool fit(std::size_t s, F lam, F* z) const {
        F* row = z + s * T_;
        auto into_row = [&](std::size_t rows, std::size_t cols) -> F* {
            QB_ASSERT(rows == 1 && cols == T_, "a one-series fit asked for another shape");
            return row;
        };
        std::optional<MatrixView<F>> w_row;
        if (w_) w_row = row_view(*w_, s);
        return static_cast<bool>(core::whittaker_solve_core<F>(
            x_, row_view(y_, s), w_row, solve_options(o_, lam, false), into_row));
    }

    // The final fits of series lo .. hi-1 (float64), lam[s - lo] each, by the batch solver:
    // every series gets the bits solve_banded gives it at its lam, which are those of the
    // single-pass core on that series alone.  A result the core would not hand out is kept
    // in `failed`.
    void fit_batch(std::size_t lo, std::size_t hi, const std::vector<double>& lams, F* z,
                   FitSolver::Scratch& scratch, FailedRows& failed) const {
        if constexpr (std::is_same_v<F, double>) {
            const bool direct = y_.row_contiguous() && (!base_ || base_->row_contiguous());
            const auto fill = [&](std::size_t s, std::size_t t0, std::size_t t1, double* w,
                                  double* y) {
                core::fill_series(*batch_, y_, base_, direct, s, t0, t1, w, y);
            };
            const auto row = [&](std::size_t s) { return z + s * T_; };
            const auto lam_of = [&](std::size_t s) { return lams[s - lo]; };
            batch_->solve_range(scratch, lo, hi, lam_of, fill, row,
                                [&](std::size_t s, double*) { failed.keep(s); });
        } else {
            (void)lo, (void)hi, (void)lams, (void)z, (void)scratch, (void)failed;
            QB_PANIC("float32 final fits go through the single-pass core");
        }
    }

    // The statistics from the search's own sweep at the returned lam, when it made one with
    // the inverse at exactly that lam and nothing per position is asked for.
    bool reuse(const Evaluator& ev, std::size_t s, const Choice& choice, F lam,
               const std::vector<TriedPoint>& tried, const Rows& out) const {
        if (o_.uncertainty || static_cast<double>(lam) != choice.lam) return false;
        for (const TriedPoint& t : tried) {
            if (t.lam != choice.lam) continue;
            write_stats(ev.counts(), s, choice, t.edf, t.rss, t.wzz, t.delta, out);
            return true;
        }
        return false;
    }

    // One series' statistics; edf and sigma NaN where the sweep at lam cannot vouch for
    // them.
    void write_stats(const SeriesCounts& n, std::size_t s, const Choice& choice, double edf,
                     double rss, double wzz, double delta, const Rows& out) const {
        const std::size_t S = y_.rows;
        const Statistics st = statistics_at(n, edf, rss, wzz, delta);
        out.stats[kLam * S + s] = choice.lam;
        out.stats[kEdf * S + s] = st.edf;
        out.stats[kScore * S + s] = choice.score;
        out.stats[kSigma * S + s] = st.sigma;
        out.stats[kAtBound * S + s] = choice.at_bound ? 1.0 : 0.0;
    }

    // edf, sigma, the score at the returned lam, and the uncertainty.
    void finish(Evaluator& ev, std::size_t s, double lam, const Choice& choice, const Rows& out,
                std::vector<double>& diag) const {
        SweepSums sums;
        const double one[1] = {lam};
        ev.sweep(one, 1, needs_of(criterion_, true), o_.uncertainty ? diag.data() : nullptr, sums);
        const SeriesCounts& n = ev.counts();
        Choice at = choice;
        at.lam = lam;
        if (o_.lam.kind == LamChoice::Kind::name && criterion_ != Criterion::vcurve &&
            n.m > static_cast<double>(o_.d)) {
            at.score =
                reported_score(criterion_, evaluate_criterion(criterion_, sums, 0, lam, n), n);
        }
        const double delta = solve_error(sums, 0);
        write_stats(n, s, at, sums.edf[0], sums.rss[0], sums.wzz[0], delta, out);
        if (!o_.uncertainty) return;
        const std::size_t S = y_.rows;
        const double sigma = out.stats[kSigma * S + s];
        const bool usable = delta <= kStatisticsLimit;
        const std::vector<double>& w = ev.weights();
        for (std::size_t t = 0; t < T_; ++t) {
            out.leverage[s * T_ + t] = static_cast<F>(usable ? w[t] * diag[t] : kNaN);
            out.se[s * T_ + t] = static_cast<F>(sigma * std::sqrt(diag[t]));
        }
    }

    std::span<const F> x_;
    const MatrixView<F>& y_;
    const std::optional<MatrixView<F>>& w_;
    const AutoOptions<F>& o_;
    const core::PenaltyBand<double>& band_;
    const std::vector<double>& dcoef_;
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
    if (Result<void> r = check_vcurve_bounds(o.lam, o.lam_bounds, o.ridge); !r) return r;
    if (Result<void> r = check_weights(y_st, w_base_st); !r) return r;

    const SelectionGrid grid = selection_grid<F>(x, o.normalize, o.d, static_cast<double>(o.eps));
    const core::PenaltyBand<double>& band = grid.band;
    const std::vector<double>& dcoef = grid.dcoef;

    typename Smoother<F>::Rows rows;
    // One lam for all: one call of the single-pass core fits every series (when one series
    // fails its trust rule, every series is fitted on its own below).
    F* z_data = nullptr;
    auto z_once = [&](std::size_t r, std::size_t c) -> F* {
        if (z_data == nullptr) z_data = outputs.z(r, c);
        return z_data;
    };
    bool fitted = false;
    if (o.lam.kind == LamChoice::Kind::value) {
        fitted = static_cast<bool>(core::whittaker_solve_core<F>(
            x, y_st, w_base_st, solve_options(o, static_cast<F>(o.lam.value), o.parallel), z_once));
    }
    if (!fitted) rows.z = z_once(S, T);
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
    const Smoother<F> smoother(x, y_st, w_base_st, o, band, dcoef, batch ? &*batch : nullptr);
    ScratchPool<LeafScratch> scratch;
    FailedRows failed;
    parallel::for_each_series_range(o.parallel && T > 0, S, T, [&](std::size_t lo, std::size_t hi) {
        const auto leased = scratch.take();
        smoother.run(lo, hi, rows, fitted, *leased, failed);
    });
    for (std::size_t s : failed.rows()) smoother.mark_unfitted(s, rows);
    return {};
}

#define QB_INSTANTIATE(F)                                                               \
    template Result<void> smooth_auto_core<F>(std::span<const F>, const MatrixView<F>&, \
                                              const std::optional<MatrixView<F>>&,      \
                                              const AutoOptions<F>&, AutoOutputs<F>&);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::selection
