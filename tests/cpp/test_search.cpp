// The search for lam on synthetic criterion curves in log10 lam, where the right answer is
// known: bracketing of an interior minimum, the ends of the bounds, a deeper second basin
// that the coarse grid misses, undefined (NaN) stretches, and the V-curve's segment rule
// against a brute-force pass over its whole grid.
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <vector>

#include "selection/search.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin::selection;

namespace {

constexpr Bounds kBounds{1e-3, 1e9};

// A criterion given as a function of log10 lam, with the calls the search made.
struct Curve {
    std::function<double(double)> f;
    std::size_t calls = 0, coarse_calls = 0, widest = 0;

    Choice minimise_it(Bounds b) {
        auto score = [&](const double* lam, std::size_t n, bool fine, double* values) {
            ++calls;
            if (!fine) ++coarse_calls;
            if (n > widest) widest = n;
            for (std::size_t i = 0; i < n; ++i) values[i] = f(std::log10(lam[i]));
        };
        return minimise(b, score);
    }
};

// The least value of f on the grid of 20 points per decade over the bounds.
double fine_grid_min(const std::function<double(double)>& f, Bounds b) {
    const double a0 = std::log10(b.lo), b0 = std::log10(b.hi);
    const std::size_t n = static_cast<std::size_t>(std::round(20 * (b0 - a0)));
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k <= n; ++k) {
        const double v = f(a0 + (b0 - a0) * static_cast<double>(k) / static_cast<double>(n));
        if (v < best) best = v;
    }
    return best;
}

bool no_worse_than_fine_grid(const Choice& c, const std::function<double(double)>& f, Bounds b) {
    return c.score <= fine_grid_min(f, b) * (1 + 1e-6) && c.score == f(std::log10(c.lam));
}

}  // namespace

QB_TEST(search_brackets_an_interior_minimum) {
    for (double at : {-2.61, 0.0, 2.37, 5.5, 8.93}) {
        Curve c{[at](double e) { return 3.0 + 0.7 * (e - at) * (e - at); }};
        const Choice choice = c.minimise_it(kBounds);
        QB_CHECK(std::fabs(std::log10(choice.lam) - at) < 2e-3);
        QB_CHECK(!choice.at_bound);
        QB_CHECK(no_worse_than_fine_grid(choice, c.f, kBounds));
        // Whole sweeps only; one basin costs the coarse grid and two refinements.
        QB_CHECK(c.widest == kSweepLanes);
        QB_CHECK(c.coarse_calls == 2 && c.calls <= 4);
    }
}

QB_TEST(search_returns_the_exact_bound_for_a_monotone_criterion) {
    Curve down{[](double e) { return 10.0 - e; }};
    const Choice hi = down.minimise_it(kBounds);
    QB_CHECK(hi.lam == kBounds.hi && hi.at_bound);
    Curve up{[](double e) { return std::exp(e); }};
    const Choice lo = up.minimise_it(kBounds);
    QB_CHECK(lo.lam == kBounds.lo && lo.at_bound);
    // A minimum just inside a bound is interior, and found.
    const Bounds narrow{0.5, 20.0};
    Curve edge{[](double e) { return (e - std::log10(0.52)) * (e - std::log10(0.52)); }};
    const Choice near = edge.minimise_it(narrow);
    QB_CHECK(!near.at_bound && std::fabs(near.lam / 0.52 - 1) < 1e-2);
}

QB_TEST(search_refines_a_deeper_basin_the_coarse_grid_ranks_second) {
    // A wide basin at 0 (depth 1) and a narrower one at 5.2 (depth 0.99) whose nearest
    // coarse point lies up its wall: the coarse grid's best point is in the wrong basin.
    // (5.2 is a point of the 20-per-decade grid: the choice must come within the slack of
    // the exact minimum.)
    const auto f = [](double e) {
        return std::fmin(1.0 + e * e, 0.99 + 5.0 * (e - 5.2) * (e - 5.2));
    };
    Curve c{f};
    const Choice choice = c.minimise_it(kBounds);
    QB_CHECK(std::fabs(std::log10(choice.lam) - 5.2) < 1e-3);
    QB_CHECK(no_worse_than_fine_grid(choice, f, kBounds));
    // Two equal basins: either is a global minimum.
    Curve twin{[](double e) { return std::fmin((e + 1) * (e + 1), (e - 4) * (e - 4)); }};
    const Choice t = twin.minimise_it(kBounds);
    const double e = std::log10(t.lam);
    QB_CHECK(std::fmin(std::fabs(e + 1), std::fabs(e - 4)) < 2e-3);
}

QB_TEST(search_refines_a_lopsided_basin_its_parabola_underrates) {
    // A shallow coarse basin near 10^4.55 hides a narrow dip at 10^4.52 (between coarse
    // points, invisible to them) that is deeper than the best coarse basin at 10^5.52: the
    // parabola through the coarse points promises almost nothing there, but the basin's
    // coarse value is within a tenth of a percent of the best one, so it is refined.
    const auto f = [](double e) {
        const double a = 0.08735 + 0.001 * (e - 4.55) * (e - 4.55) -
                         3e-4 * std::exp(-((e - 4.52) / 0.05) * ((e - 4.52) / 0.05));
        const double b = 0.08725 + 0.005 * (e - 5.52) * (e - 5.52);
        return std::fmin(a, b);
    };
    Curve c{f};
    const Choice choice = c.minimise_it(kBounds);
    QB_CHECK(std::fabs(std::log10(choice.lam) - 4.52) < 0.02);
    QB_CHECK(no_worse_than_fine_grid(choice, f, kBounds));
}

QB_TEST(search_ranks_nan_last) {
    // Undefined above 10^4 (as a criterion is where m - edf vanishes), least value at 10^2.
    const auto f = [](double e) {
        return e > 4 ? std::numeric_limits<double>::quiet_NaN() : (e - 2) * (e - 2) + 1;
    };
    Curve c{f};
    const Choice choice = c.minimise_it(kBounds);
    QB_CHECK(std::fabs(std::log10(choice.lam) - 2) < 2e-3 && !choice.at_bound);
    // Nothing defined anywhere: still a lam within the bounds.
    Curve none{[](double) { return std::numeric_limits<double>::quiet_NaN(); }};
    const Choice any = none.minimise_it(kBounds);
    QB_CHECK(any.lam >= kBounds.lo && any.lam <= kBounds.hi);
}

namespace {

// The V-curve of a synthetic (F, R) path, its choice, and the brute-force choice over the
// whole grid.
struct VCase {
    std::function<double(double)> F, R;
    Choice choose(Bounds b) const {
        auto curve = [&](const double* lam, std::size_t n, double* f, double* r) {
            for (std::size_t i = 0; i < n; ++i) {
                f[i] = F(std::log10(lam[i]));
                r[i] = R(std::log10(lam[i]));
            }
        };
        return vcurve_choice(b, curve);
    }
    double brute_force_log10(Bounds b) const {
        const std::size_t n = vcurve_segments(b);
        std::size_t kb = 0;
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k < n; ++k) {
            const double e0 = vcurve_grid_log10(b, k, n), e1 = vcurve_grid_log10(b, k + 1, n);
            const double v = std::hypot(F(e1) - F(e0), R(e1) - R(e0)) / (e1 - e0);
            if (v < best) {
                best = v;
                kb = k;
            }
        }
        return 0.5 * (vcurve_grid_log10(b, kb, n) + vcurve_grid_log10(b, kb + 1, n));
    }
};

}  // namespace

QB_TEST(vcurve_choice_is_the_shortest_segment_of_the_whole_grid) {
    for (double at : {-1.73, 2.34, 6.05}) {
        const VCase v{[at](double e) { return 0.05 * std::pow(e - at, 3) + 0.3 * e; },
                      [](double e) { return -0.4 * e; }};
        const Choice c = v.choose(kBounds);
        QB_CHECK(c.lam == std::pow(10.0, v.brute_force_log10(kBounds)));
        QB_CHECK(std::fabs(std::log10(c.lam) - at) <= 0.1 && !c.at_bound);
    }
    // Speed falling all the way: the last segment, at a bound.
    const VCase falling{[](double e) { return -std::exp(-e); }, [](double) { return 0.0; }};
    const Choice c = falling.choose(kBounds);
    QB_CHECK(c.at_bound && c.lam == std::pow(10.0, falling.brute_force_log10(kBounds)));
}

namespace {

// A criterion with evaluation errors: f(e) with error err(e) (infinite: untrusted).
struct NoisyCurve {
    std::function<double(double)> f, err;
    Choice minimise_it(Bounds b) const {
        auto score = [&](const double* lam, std::size_t n, bool, double* values, double* errors) {
            for (std::size_t i = 0; i < n; ++i) {
                values[i] = f(std::log10(lam[i]));
                errors[i] = err(std::log10(lam[i]));
            }
        };
        return minimise_trusted(b, score);
    }
};

// A deterministic wobble in [-1, 1] standing in for rounding noise.
double wobble(double e) {
    const double v = std::sin(e * 12345.678) * 43758.5453;
    return 2.0 * (v - std::floor(v)) - 1.0;
}

}  // namespace

QB_TEST(trusted_search_takes_the_bound_where_the_criterion_is_flat_within_its_errors) {
    // Falling like a + b / lam towards the upper bound; beyond 1e6 the fall is smaller than
    // the evaluation error, which the noise fills: the choice is the bound, flagged.
    const NoisyCurve up{[](double e) { return 1.0 + 1e-3 * std::pow(10.0, -e) + 1e-9 * wobble(e); },
                        [](double) { return 2e-9; }};
    const Choice c = up.minimise_it(kBounds);
    QB_CHECK(c.lam == kBounds.hi && c.at_bound);
    // The same towards the lower bound.
    const NoisyCurve down{
        [](double e) { return 1.0 + 1e-3 * std::pow(10.0, e - 6) + 1e-9 * wobble(e); },
        [](double) { return 2e-9; }};
    const Choice d = down.minimise_it(kBounds);
    QB_CHECK(d.lam == kBounds.lo && d.at_bound);
    // A clear interior minimum with the same noise stays interior.
    const NoisyCurve mid{[](double e) { return 1.0 + (e - 3.3) * (e - 3.3) + 1e-9 * wobble(e); },
                         [](double) { return 2e-9; }};
    const Choice m = mid.minimise_it(kBounds);
    QB_CHECK(!m.at_bound && std::fabs(std::log10(m.lam) - 3.3) < 2e-3);
}

QB_TEST(trusted_search_never_chooses_an_untrusted_value) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    // Untrusted above 1e6 where the (fake) values are lowest; still falling at the edge: the
    // last trusted point, flagged as the edge of what can be evaluated.
    const NoisyCurve edge{[](double e) { return e > 6 ? -100.0 : 10.0 - e; },
                          [](double e) { return e > 6 ? kInf : 1e-12; }};
    const Choice c = edge.minimise_it(kBounds);
    QB_CHECK(c.lam <= 1e6 * (1 + 1e-12) && c.lam > 1e5 && c.at_bound && c.score > -100.0);
    // An interior minimum below the untrusted stretch is interior.
    const NoisyCurve below{[](double e) { return e > 6 ? -100.0 : (e - 2) * (e - 2); },
                           [](double e) { return e > 6 ? kInf : 1e-12; }};
    const Choice b = below.minimise_it(kBounds);
    QB_CHECK(!b.at_bound && std::fabs(std::log10(b.lam) - 2) < 2e-3);
    // Nothing trusted: the upper bound, flagged, no score.
    const NoisyCurve none{[](double) { return 1.0; }, [](double) { return kInf; }};
    const Choice n = none.minimise_it(kBounds);
    QB_CHECK(n.lam == kBounds.hi && n.at_bound && std::isnan(n.score));
}

QB_TEST(trusted_search_keeps_the_basin_through_rounding_ties) {
    // A steep minimum whose values near it are rounded to a quantum, with a wobble of
    // that size: candidates tie with the best point by rounding only.  The choice must
    // still come within the tie of the exact minimum and beat the 20-per-decade grid.
    for (double at : {1.2, 3.2041, 5.55}) {
        const double quantum = 1e-9;
        const auto exact = [at](double e) { return 0.3 + 40.0 * (e - at) * (e - at); };
        const NoisyCurve c{[&](double e) {
                               return std::round(exact(e) / quantum) * quantum +
                                      quantum * wobble(e);
                           },
                           [&](double) { return 2 * quantum; }};
        const Choice ch = c.minimise_it(kBounds);
        QB_CHECK(!ch.at_bound);
        QB_CHECK(exact(std::log10(ch.lam)) <= fine_grid_min(exact, kBounds) + 1e-8);
    }
}
