#include "selection/reweighted.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <sstream>
#include <type_traits>
#include <vector>

#include "core/arguments.hpp"
#include "core/normalize.hpp"
#include "core/observation.hpp"
#include "core/trust.hpp"
#include "parallel/for_each_series.hpp"
#include "robust/cycle_watch.hpp"
#include "robust/scale.hpp"
#include "robust/weights.hpp"
#include "selection/choose.hpp"
#include "selection/evaluator.hpp"
#include "selection/gross.hpp"
#include "support/panic.hpp"
#include "support/scratch_pool.hpp"

namespace quelbrin::selection {
namespace {

namespace observation = core::observation;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// 1 - h is floored here before its square root: an observation the fit interpolates
// (h = 1) has a zero residual, which stays 0.
constexpr double kLeverageFloor = 1e-12;

// Thrown by the output sinks while the automatic smoother only validates.
struct ValidationDone {};

// Every check of smooth_f32 / smooth_f64 (shapes, positions, the shared scalars, lam and
// lam_bounds, with their messages and in their order): the automatic smoother runs until it
// asks for its first output.
template <class F>
Result<void> validate_as_smooth(std::span<const F> x, const MatrixView<F>& y_st,
                                const std::optional<MatrixView<F>>& w_base_st,
                                const AutoOptions<F>& o) {
    AutoOptions<F> checked = o;
    checked.uncertainty = false;
    checked.parallel = false;
    auto stop = [](std::size_t, std::size_t) -> F* { throw ValidationDone{}; };
    auto stop_stats = [](std::size_t, std::size_t) -> double* { throw ValidationDone{}; };
    AutoOutputs<F> sinks{stop, stop_stats, std::nullopt, std::nullopt};
    try {
        Result<void> r = smooth_auto_core<F>(x, y_st, w_base_st, checked, sinks);
        if (!r) return r;
    } catch (const ValidationDone&) {
        return {};
    }
    QB_PANIC("the automatic smoother returned without asking for its output");
}

std::string number_text(double v) {
    std::ostringstream out;
    out.precision(17);
    out << v;
    return out.str();
}

// The rule's own arguments, then iterations.
template <class F>
Result<void> validate_rule(const ReweightRule<F>& rule, std::uint64_t iterations) {
    using Kind = typename ReweightRule<F>::Kind;
    if (rule.kind == Kind::asymmetric) {
        if (!(rule.p > 0 && rule.p < 1))
            return error("p must be between 0 and 1 (exclusive), got " + number_text(rule.p));
        return core::check_iterations(iterations);
    }
    Result<robust::Weighting> weighting = robust::parse_weighting(rule.weighting);
    if (!weighting) return weighting.error();
    if (Result<void> r = core::check_iterations(iterations); !r) return r;
    if (Result<void> r = core::check_scale(rule.scale); !r) return r;
    return core::check_tuning(rule.tuning, robust::reads_a_and_b(weighting.value()));
}

// The rule with its names resolved.
template <class F>
struct ResolvedRule {
    bool asymmetric = true;
    F above = F(0), below = F(0);  // asymmetric: the factors where y > z and elsewhere
    robust::Weighting weighting = robust::Weighting::tukey;
    robust::TuningConstants<F> constants;
    std::string_view scale;
};

template <class F>
ResolvedRule<F> resolve(const ReweightRule<F>& rule) {
    ResolvedRule<F> r;
    r.asymmetric = rule.kind == ReweightRule<F>::Kind::asymmetric;
    if (r.asymmetric) {
        r.above = static_cast<F>(rule.p);
        r.below = static_cast<F>(1.0 - rule.p);
        return r;
    }
    r.weighting = robust::parse_weighting(rule.weighting).value();
    r.constants = rule.tuning ? robust::TuningConstants<F>{(*rule.tuning)[0], (*rule.tuning)[1],
                                                           (*rule.tuning)[2]}
                              : robust::default_tuning<F>(r.weighting);
    r.scale = rule.scale;
    return r;
}

using FitSolver = core::kernels::BatchSolver<double>;

// Work storage of one leaf; nothing is read before it is written.
template <class F>
struct LeafWork {
    EvaluatorScratch evaluator;
    FitSolver::Scratch fit;
    std::vector<F> base;  // (block, T): the screened base weights
    std::vector<F> next;  // one row: the weights the rule gives
    std::vector<F> y;     // one row of observations
    std::vector<F> r;     // robust: studentised residuals
    std::vector<F> wr;    // robust: robust weights
    std::vector<std::uint8_t> usable;
    std::vector<double> diag, screen;
    std::vector<std::uint8_t> done, choose_next, fresh, settled;
    std::vector<std::uint64_t> last;           // a series' last fit, once a cycle has fixed it
    std::vector<robust::CycleWatch<F>> watch;  // from fit robust::kWatchFrom on
    std::vector<Choice> choice;
    std::vector<double> lam;  // the lam of each block series' latest fit (an F value)
    std::vector<std::uint8_t> failed;
    std::vector<std::size_t> active;
};

template <class F>
struct Rows {
    F* z = nullptr;
    F* wt = nullptr;
    double* stats = nullptr;
    F* leverage = nullptr;
    F* se = nullptr;
};

template <class F>
class Loop {
  public:
    Loop(std::span<const F> x, const MatrixView<F>& y_st,
         const std::optional<MatrixView<F>>& w_base_st, const ReweightOptions<F>& o,
         const core::PenaltyBand<double>& band, const std::vector<double>& dcoef,
         const FitSolver* batch, const Rows<F>& rows)
        : x_(x),
          y_(y_st),
          w_(w_base_st),
          o_(o),
          fit_(o.fit),
          rule_(resolve(o.rule)),
          band_(band),
          dcoef_(dcoef),
          batch_(batch),
          rows_(rows),
          S_(y_st.rows),
          T_(y_st.cols),
          weights_(MatrixView<F>::row_major(rows.wt, y_st.rows, y_st.cols)) {
        if (fit_.lam.kind == LamChoice::Kind::name) criterion_ = *parse_criterion(fit_.lam.name);
    }

    std::size_t block() const { return batch_ ? batch_->max_lanes() : 8; }

    void run(std::size_t lo, std::size_t hi, LeafWork<F>& work) const {
        for (std::size_t s0 = lo; s0 < hi; s0 += block()) {
            const std::size_t s1 = hi - s0 < block() ? hi : s0 + block();
            run_block(s0, s1, work);
        }
    }

  private:
    F* weights_row(std::size_t s) const { return rows_.wt + s * T_; }

    // The first weights: the base weight where the observation counts and is not gross,
    // else 0; kept as the block's base for the rule.
    void start(std::size_t s, F* base, LeafWork<F>& work) const {
        work.y.resize(T_);
        for (std::size_t t = 0; t < T_; ++t) {
            const F yt = y_(s, t);
            const F b = w_ ? (*w_)(s, t) : F(1);
            work.y[t] = yt;
            base[t] = observation::counts(yt, b) ? b : F(0);
        }
        screen_gross(work.y.data(), base, T_, work.screen);
        std::memcpy(weights_row(s), base, T_ * sizeof(F));
    }

    // lam for series s on the weights loaded in ev: the criterion's choice (smooth's own
    // rule), or as given.
    Choice choose(Evaluator& ev, std::size_t s) const {
        switch (fit_.lam.kind) {
            case LamChoice::Kind::value:
                return Choice{fit_.lam.value, kNaN, false};
            case LamChoice::Kind::per_series:
                return Choice{fit_.lam.per_series[s], kNaN, false};
            case LamChoice::Kind::name:
                break;
        }
        return choose_lam(ev, criterion_, fit_.d, fit_.lam_bounds[0], fit_.lam_bounds[1], nullptr);
    }

    // Fits the active series of the block at work.lam, each on its current weights: float64
    // by the batch solver (solve_banded's bits at each lam, i.e. the single-pass core's on
    // that series alone), float32 by the single-pass core on each series.
    void fit(std::size_t s0, LeafWork<F>& work) const {
        const std::vector<std::size_t>& active = work.active;
        for (const std::size_t j : active) work.failed[j] = 0;
        if constexpr (std::is_same_v<F, double>) {
            const bool direct = y_.row_contiguous();
            batch_->solve_range(
                work.fit, 0, active.size(), [&](std::size_t a) { return work.lam[active[a]]; },
                [&](std::size_t a, std::size_t t0, std::size_t t1, double* w, double* y) {
                    core::fill_series(*batch_, y_, &weights_, direct, s0 + active[a], t0, t1, w, y);
                },
                [&](std::size_t a) { return rows_.z + (s0 + active[a]) * T_; },
                [&](std::size_t a, double*) { work.failed[active[a]] = 1; });
        } else {
            for (const std::size_t j : active) {
                const std::size_t s = s0 + j;
                F* row = rows_.z + s * T_;
                auto into_row = [&](std::size_t r, std::size_t c) -> F* {
                    QB_ASSERT(r == 1 && c == T_, "a one-series fit asked for another shape");
                    return row;
                };
                const core::SolveOptions<F> so{static_cast<F>(work.lam[j]),
                                               fit_.d,
                                               fit_.ridge,
                                               fit_.normalize,
                                               fit_.eps,
                                               false};
                const Result<void> r = core::whittaker_solve_core<F>(
                    x_, row_view(y_, s), std::optional<MatrixView<F>>(row_view(weights_, s)), so,
                    into_row);
                if (!r) work.failed[j] = 1;
            }
        }
    }

    // The weights the rule gives after the fit of series s (its weights loaded in ev) into
    // work.next.
    void reweight(std::size_t s, const F* base, Evaluator& ev, double lam,
                  LeafWork<F>& work) const {
        const F* z = rows_.z + s * T_;
        const F* g = weights_row(s);
        work.next.resize(T_);
        if (rule_.asymmetric) {
            for (std::size_t t = 0; t < T_; ++t)
                work.next[t] = base[t] * (y_(s, t) > z[t] ? rule_.above : rule_.below);
            return;
        }
        // Residuals studentised by their leverage h = w diag(A^-1): a kept outlier that a
        // small lam lets the fit chase has a small residual but a leverage near 1.
        work.diag.resize(T_);
        work.r.resize(T_);
        work.usable.resize(T_);
        work.wr.resize(T_);
        SweepSums sums;
        ev.sweep(&lam, 1, SweepNeeds{true, false, false}, work.diag.data(), sums);
        const std::vector<double>& w = ev.weights();
        for (std::size_t t = 0; t < T_; ++t) {
            const F yt = y_(s, t);
            const bool u = observation::counts(yt, g[t]);
            work.usable[t] = u ? 1 : 0;
            double room = 1.0 - w[t] * work.diag[t];
            if (!(room > kLeverageFloor)) room = kLeverageFloor;
            work.r[t] = u ? static_cast<F>(static_cast<double>(yt - z[t]) / std::sqrt(room))
                          : std::numeric_limits<F>::quiet_NaN();
        }
        const F sc = robust::residual_scale<F>(work.r, work.usable, rule_.scale, fit_.eps);
        robust::robust_weights<F>(rule_.weighting, rule_.constants, work.r.data(),
                                  work.usable.data(), sc, work.wr.data(), T_);
        for (std::size_t t = 0; t < T_; ++t) work.next[t] = base[t] * work.wr[t];
    }

    // Every fit of series s0 .. s1-1, which share their solves.
    //
    // lam is chosen on the weights a fit is about to use: by the robust rule before every
    // fit (its weights are continuous and rarely repeat), by the asymmetric rule whenever
    // the weights have settled at the current lam (they take two values per observation
    // and settle within a few fits; choosing in between would only track a moving target
    // at the cost of a search per fit).  A series is done when its weights repeat and lam
    // was chosen on them, or when lam chosen again on settled weights is the lam they
    // settled at: every later fit would repeat the last.  Otherwise it stops after
    // `iterations` fits.  A fit is a pure function of the weights it starts from (and of
    // lam, which the robust rule and a given lam derive from those weights, and which the
    // asymmetric rule only changes when it chooses: the watch starts afresh then), so once
    // the weights repeat those of an earlier fit with period p, only (iterations - k) mod p
    // more fits are needed for the same numbers: a huge iteration count on weights that
    // cycle costs only the fits before the cycle is seen.
    void run_block(std::size_t s0, std::size_t s1, LeafWork<F>& work) const {
        const std::size_t n = s1 - s0;
        const std::uint64_t N = o_.iterations;
        const bool named = fit_.lam.kind == LamChoice::Kind::name;
        work.base.resize(n * T_);
        for (std::size_t j = 0; j < n; ++j) start(s0 + j, &work.base[j * T_], work);
        work.done.assign(n, 0);
        work.choose_next.assign(n, 1);
        work.fresh.assign(n, 0);
        work.settled.assign(n, 0);
        work.last.assign(n, N);
        work.watch.clear();
        work.choice.assign(n, Choice{});
        work.lam.assign(n, 0.0);
        work.failed.assign(n, 0);
        Evaluator ev(band_, dcoef_, static_cast<double>(fit_.ridge), static_cast<double>(fit_.eps),
                     work.evaluator);
        for (std::uint64_t k = 1; k <= N; ++k) {  // k: the fit made now
            work.active.clear();
            for (std::size_t j = 0; j < n; ++j) {
                if (work.done[j]) continue;
                if (work.choose_next[j]) {
                    ev.load(y_, &weights_, s0 + j);
                    const Choice c = choose(ev, s0 + j);
                    const double lam = static_cast<double>(static_cast<F>(c.lam));
                    work.choice[j] = c;
                    if (work.settled[j] && lam == work.lam[j]) {
                        work.done[j] = 1;  // the last fit used these weights at this lam
                        continue;
                    }
                    work.lam[j] = lam;
                    work.fresh[j] = 1;
                    work.choose_next[j] = 0;
                    if (!work.watch.empty() && rule_.asymmetric) work.watch[j].reset();
                }
                work.active.push_back(j);
            }
            if (work.active.empty()) break;
            fit(s0, work);
            if (k == N) break;
            if (k == robust::kWatchFrom) work.watch.resize(n);
            for (const std::size_t j : work.active) {
                if (work.last[j] == k) {
                    work.done[j] = 1;  // the cycle's remainder is done
                    continue;
                }
                const std::size_t s = s0 + j;
                if (!rule_.asymmetric) ev.load(y_, &weights_, s);
                reweight(s, &work.base[j * T_], ev, work.lam[j], work);
                F* g = weights_row(s);
                if (std::memcmp(work.next.data(), g, T_ * sizeof(F)) == 0) {
                    if (work.fresh[j] || !named) {
                        work.done[j] = 1;
                    } else {
                        work.choose_next[j] = 1;  // settled: lam again, on these weights
                        work.settled[j] = 1;
                    }
                } else {
                    if (!work.watch.empty() && work.last[j] == N) {
                        const std::uint64_t period = work.watch[j].observe(work.next.data(), T_, k);
                        if (period != 0 && (N - k) % period == 0) {
                            work.done[j] = 1;  // fit N would repeat fit k, just made
                            continue;
                        }
                        if (period != 0) work.last[j] = k + (N - k) % period;
                    }
                    std::memcpy(g, work.next.data(), T_ * sizeof(F));
                    work.fresh[j] = 0;
                    work.settled[j] = 0;
                    work.choose_next[j] = named && !rule_.asymmetric;
                }
            }
        }
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t s = s0 + j;
            if (work.failed[j]) {
                mark_unfitted(s);  // as smooth_* does: this row only, NaN
                continue;
            }
            ev.load(y_, &weights_, s);
            statistics(ev, s, work.lam[j], work.choice[j], work.diag);
        }
    }

    // Row s as a series whose last fit could not be handed out: z, lam, the statistics and
    // the uncertainty NaN (the call's warning names it); its weights stay those of that fit.
    void mark_unfitted(std::size_t s) const {
        constexpr F nan = std::numeric_limits<F>::quiet_NaN();
        for (std::size_t t = 0; t < T_; ++t) rows_.z[s * T_ + t] = nan;
        for (std::size_t r = 0; r < kStatRows; ++r) rows_.stats[r * S_ + s] = kNaN;
        if (!fit_.uncertainty) return;
        for (std::size_t t = 0; t < T_; ++t)
            rows_.leverage[s * T_ + t] = rows_.se[s * T_ + t] = nan;
    }

    // edf, sigma, the score at the last lam, and the uncertainty, as smooth reports them.
    void statistics(Evaluator& ev, std::size_t s, double lam, const Choice& choice,
                    std::vector<double>& diag) const {
        SweepSums sums;
        const bool uncertainty = fit_.uncertainty;
        diag.resize(T_);
        ev.sweep(&lam, 1, needs_of(criterion_, true), uncertainty ? diag.data() : nullptr, sums);
        const SeriesCounts& n = ev.counts();
        const Statistics st =
            statistics_at(n, sums.edf[0], sums.rss[0], sums.wzz[0], solve_error(sums, 0));
        double score = choice.score;
        if (fit_.lam.kind == LamChoice::Kind::name && criterion_ != Criterion::vcurve &&
            n.m > static_cast<double>(fit_.d))
            score = reported_score(criterion_, evaluate_criterion(criterion_, sums, 0, lam, n), n);
        double* stats = rows_.stats;
        stats[kLam * S_ + s] = lam;
        stats[kEdf * S_ + s] = st.edf;
        stats[kScore * S_ + s] = score;
        stats[kSigma * S_ + s] = st.sigma;
        stats[kAtBound * S_ + s] = choice.at_bound ? 1.0 : 0.0;
        if (!uncertainty) return;
        const std::vector<double>& w = ev.weights();
        for (std::size_t t = 0; t < T_; ++t) {
            rows_.leverage[s * T_ + t] = static_cast<F>(st.usable ? w[t] * diag[t] : kNaN);
            rows_.se[s * T_ + t] = static_cast<F>(st.sigma * std::sqrt(diag[t]));
        }
    }

    std::span<const F> x_;
    const MatrixView<F>& y_;
    const std::optional<MatrixView<F>>& w_;
    const ReweightOptions<F>& o_;
    const AutoOptions<F>& fit_;
    ResolvedRule<F> rule_;
    const core::PenaltyBand<double>& band_;
    const std::vector<double>& dcoef_;
    const FitSolver* batch_;
    Rows<F> rows_;
    std::size_t S_, T_;
    MatrixView<F> weights_;
    Criterion criterion_ = Criterion::gcv;
};

}  // namespace

template <class F>
Result<void> reweighted_core(std::span<const F> x, const MatrixView<F>& y_st,
                             const std::optional<MatrixView<F>>& w_base_st,
                             const ReweightOptions<F>& o, ReweightOutputs<F>& outputs) {
    if (Result<void> r = validate_as_smooth(x, y_st, w_base_st, o.fit); !r) return r;
    if (Result<void> r = validate_rule(o.rule, o.iterations); !r) return r;
    const std::size_t S = y_st.rows;
    const std::size_t T = y_st.cols;

    const SelectionGrid grid =
        selection_grid<F>(x, o.fit.normalize, o.fit.d, static_cast<double>(o.fit.eps));
    const core::PenaltyBand<double>& band = grid.band;

    Rows<F> rows;
    rows.z = outputs.fit.z(S, T);
    rows.stats = outputs.fit.stats(kStatRows, S);
    if (o.fit.uncertainty) {
        QB_ASSERT(outputs.fit.leverage && outputs.fit.se,
                  "uncertainty asked for without its outputs");
        rows.leverage = (*outputs.fit.leverage)(S, T);
        rows.se = (*outputs.fit.se)(S, T);
    }
    rows.wt = outputs.weights(S, T);
    if (S == 0) return {};

    std::optional<FitSolver> batch;
    if constexpr (std::is_same_v<F, double>) {
        batch.emplace(band, core::kernels::LamPerSeries{}, o.fit.ridge, o.fit.eps);
    }
    const Loop<F> loop(x, y_st, w_base_st, o, band, grid.dcoef, batch ? &*batch : nullptr, rows);
    ScratchPool<LeafWork<F>> scratch;
    parallel::for_each_series_range(o.fit.parallel && T > 0, S, T,
                                    [&](std::size_t lo, std::size_t hi) {
                                        const auto leased = scratch.take();
                                        loop.run(lo, hi, *leased);
                                    });
    return {};
}

#define QB_INSTANTIATE(F)                                                              \
    template Result<void> reweighted_core<F>(std::span<const F>, const MatrixView<F>&, \
                                             const std::optional<MatrixView<F>>&,      \
                                             const ReweightOptions<F>&, ReweightOutputs<F>&);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::selection
