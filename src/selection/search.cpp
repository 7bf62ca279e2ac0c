#include "selection/search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "support/panic.hpp"

namespace quelbrin::selection {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// NaN ranks last.
double rank(double v) { return v != v ? kInf : v; }

constexpr double kUnit = 2.220446049250313e-16;

struct Point {
    double ell;  // log10 lam
    double lam;
    double value;  // NaN where untrusted
    bool bound;    // an end of the bounds (lam is the bound itself)
    double error = 0;
};

bool trusted(const Point& p) { return p.value == p.value && std::isfinite(p.error); }

// a and b cannot be told apart: their difference is within their evaluation errors (and
// a few roundings).
bool within_errors(const Point& a, const Point& b) {
    return std::fabs(a.value - b.value) <=
           a.error + b.error + 4.0 * kUnit * std::fmax(std::fabs(a.value), std::fabs(b.value));
}

// Evaluates lam at points[i] for every i in `which`, kSweepLanes at a time.
void evaluate(TrustedScoreFn score, std::vector<Point>& points,
              const std::vector<std::size_t>& which, bool fine) {
    double lam[kSweepLanes];
    double out[kSweepLanes];
    double err[kSweepLanes];
    for (std::size_t at = 0; at < which.size(); at += kSweepLanes) {
        const std::size_t n = std::min(kSweepLanes, which.size() - at);
        for (std::size_t i = 0; i < n; ++i) lam[i] = points[which[at + i]].lam;
        score(lam, n, fine, out, err);
        for (std::size_t i = 0; i < n; ++i) {
            Point& p = points[which[at + i]];
            const bool ok = out[i] == out[i] && std::isfinite(err[i]);
            p.value = ok ? out[i] : std::nan("");
            p.error = ok ? err[i] : kInf;
        }
    }
}

// The coarse grid: at least two points per decade, as many as fill whole sweeps.
std::vector<Point> coarse_grid(Bounds b) {
    const double a0 = std::log10(b.lo);
    const double b0 = std::log10(b.hi);
    const double wanted = std::ceil(2.0 * (b0 - a0)) + 1.0;
    std::size_t n = wanted < 1e6 ? static_cast<std::size_t>(wanted) : std::size_t(1000000);
    n = std::max<std::size_t>((n + kSweepLanes - 1) / kSweepLanes * kSweepLanes, 2);
    std::vector<Point> grid(n);
    for (std::size_t k = 0; k < n; ++k) {
        Point& p = grid[k];
        p.bound = k == 0 || k + 1 == n;
        p.ell = k == 0       ? a0
                : k + 1 == n ? b0
                             : a0 + (b0 - a0) * static_cast<double>(k) / static_cast<double>(n - 1);
        p.lam = k == 0 ? b.lo : k + 1 == n ? b.hi : std::pow(10.0, p.ell);
    }
    return grid;
}

Point interior(double ell) { return Point{ell, std::pow(10.0, ell), 0.0, false, 0.0}; }

// At most this many basins besides the best coarse point's are refined.
constexpr std::size_t kMoreBasins = 3;

// Coarse local minima whose values are this close (relative) to the best one are refined.
constexpr double kNearlyAsDeep = 1e-2;

// The least value a parabola through the coarse neighbours of k promises in k's basin
// (the value at k itself at an end of the grid or where the parabola opens downwards).
double promised(const std::vector<Point>& grid, std::size_t k) {
    const double f1 = rank(grid[k].value);
    if (k == 0 || k + 1 == grid.size()) return f1;
    const double f0 = rank(grid[k - 1].value);
    const double f2 = rank(grid[k + 1].value);
    const double curvature = f0 - 2.0 * f1 + f2;
    if (!(curvature > 0) || !std::isfinite(curvature)) return f1;
    return f1 - (f2 - f0) * (f2 - f0) / (8.0 * curvature);
}

// The basins worth refining: the best coarse point, and every other coarse local minimum
// whose parabola, with three times its promised drop, could beat the best coarse value,
// or whose coarse value is within kNearlyAsDeep (relative) of it: a lopsided basin, its
// minimum near a neighbour, can be far deeper than its parabola promises (two basins of
// nearly equal depth are both refined).  Best coarse values first.
std::vector<std::size_t> basins(const std::vector<Point>& grid) {
    std::vector<std::size_t> found;
    std::size_t kb = 0;
    for (std::size_t k = 1; k < grid.size(); ++k)
        if (rank(grid[k].value) < rank(grid[kb].value)) kb = k;
    const double best = rank(grid[kb].value);
    for (std::size_t k = 0; k < grid.size(); ++k) {
        const double f = rank(grid[k].value);
        const bool left = k == 0 || f <= rank(grid[k - 1].value);
        const bool right = k + 1 == grid.size() || f <= rank(grid[k + 1].value);
        if (k == kb || !left || !right || !std::isfinite(f)) continue;
        if (f - 3.0 * (f - promised(grid, k)) <= best ||
            f - best <= kNearlyAsDeep * std::fabs(best))
            found.push_back(k);
    }
    std::stable_sort(found.begin(), found.end(), [&](std::size_t a, std::size_t c) {
        return rank(grid[a].value) < rank(grid[c].value);
    });
    if (found.size() > kMoreBasins) found.resize(kMoreBasins);
    found.insert(found.begin(), kb);
    return found;
}

// The vertex of the parabola through lo, best and hi (in log10 lam), where a smooth
// criterion's minimum lies; NaN when there is none inside (lo, hi).
double vertex(const Point& lo, const Point& best, const Point& hi) {
    const double a = lo.ell - best.ell, c = hi.ell - best.ell;
    const double fa = rank(lo.value) - rank(best.value), fc = rank(hi.value) - rank(best.value);
    const double den = 2.0 * (fa * c - fc * a);
    const double v = best.ell + (fa * c * c - fc * a * a) / den;
    return std::isfinite(v) && v > lo.ell && v < hi.ell ? v : std::nan("");
}

// Refines the basin of coarse point kb.  The bracket [lo, hi] holds the best point: in its
// middle, or at one of its ends when that end is a bound.  Each round puts kSweepLanes new
// points into it and keeps the best point's neighbours; a new point must be strictly
// better to win.  A round's points sit around the parabola's vertex, where a smooth
// minimum is, at distances growing geometrically from width / 256 (the bracket narrows at
// least two-fold whatever the shape): dense near the vertex, so that two rounds place the
// choice within about 1e-4 decades of the minimum (the 20-per-decade reference grid may hit
// it exactly, and a steep basin then leaves little slack), and still around the minimum
// when the vertex missed it by a tenth of a decade.  Without a vertex: evenly spread.
// A round's candidate positions (before they are filtered to the bracket).
void round_candidates(const Point& lo, const Point& best, const Point& hi,
                      std::vector<double>& ells) {
    const double width = hi.ell - lo.ell;
    ells.clear();
    const double step = width / 256.0;
    double v = best.bound ? std::nan("") : vertex(lo, best, hi);
    // On the lattice of that step: criteria that differ by rounding only (as REML's does
    // when the data are scaled) must not move the points.
    v = lo.ell + std::round((v - lo.ell) / step) * step;
    if (v == v) {
        // The vertex, then pairs of points around it at 1, 2, 4, ... steps of width / 256
        // (until they leave the bracket): near the vertex the points are dense, and a
        // vertex that missed the minimum by much still has points around the minimum.
        ells.push_back(v);
        for (double off = step; off < width; off *= 2.0) {
            ells.push_back(v - off);
            ells.push_back(v + off);
        }
    } else {
        const std::size_t parts = best.bound ? kSweepLanes + 1 : kSweepLanes + 2;
        for (std::size_t j = 1; j < parts; ++j)
            ells.push_back(lo.ell + width * static_cast<double>(j) / static_cast<double>(parts));
    }
}

// The round's points in order: the bracket's ends, the best point, and the first
// kSweepLanes candidates strictly inside the bracket and apart from the best point (in the
// order made: outwards from the vertex).  `fresh` receives the indices to evaluate.
void round_lattice(const Point& lo, const Point& best, const Point& hi,
                   const std::vector<double>& ells, std::vector<Point>& lattice,
                   std::vector<std::size_t>& fresh) {
    lattice.assign(1, lo);
    if (best.ell != lo.ell && best.ell != hi.ell) lattice.push_back(best);
    // A candidate a rounding away from the best point would only compare their roundings.
    const double apart = (hi.ell - lo.ell) / 512.0;
    for (double e : ells) {
        if (lattice.size() == kSweepLanes + 1 + (best.bound ? 0 : 1)) break;
        if (!(e > lo.ell && e < hi.ell) || !(std::fabs(e - best.ell) >= apart)) continue;
        bool taken = false;
        for (const Point& p : lattice) taken = taken || p.ell == e;
        if (!taken) lattice.push_back(interior(e));
    }
    lattice.push_back(hi);
    std::sort(lattice.begin(), lattice.end(),
              [](const Point& a, const Point& b) { return a.ell < b.ell; });
    fresh.clear();
    for (std::size_t j = 0; j < lattice.size(); ++j)
        if (lattice[j].ell != lo.ell && lattice[j].ell != hi.ell && lattice[j].ell != best.ell)
            fresh.push_back(j);
    QB_ASSERT(fresh.size() <= kSweepLanes, "a refinement round fills at most one sweep");
}

Point refine(const std::vector<Point>& grid, std::size_t kb, TrustedScoreFn score) {
    Point best = grid[kb];
    Point lo = grid[kb == 0 ? 0 : kb - 1];
    Point hi = grid[kb + 1 == grid.size() ? kb : kb + 1];
    std::vector<Point> lattice;
    std::vector<double> ells;
    std::vector<std::size_t> fresh;
    for (int round = 0; round < 64 && hi.ell - lo.ell > kRefineWidth; ++round) {
        round_candidates(lo, best, hi, ells);
        round_lattice(lo, best, hi, ells, lattice, fresh);
        if (fresh.empty()) break;  // the bracket holds no other number
        evaluate(score, lattice, fresh, true);
        std::size_t jb = 0;
        while (jb < lattice.size() && !(lattice[jb].ell == best.ell)) ++jb;
        QB_ASSERT(jb < lattice.size(), "the best point left its bracket");
        const std::size_t incumbent = jb;
        for (std::size_t j : fresh)
            if (rank(lattice[j].value) < rank(lattice[jb].value)) jb = j;
        // A winner that beats the incumbent by no more than their errors may sit on the
        // wrong side of the minimum: the bracket keeps both sides of both points.
        // (Only while that still narrows it: a tie that spans the bracket ends the search.)
        std::size_t left = jb, right = jb;
        if (jb != incumbent && trusted(lattice[incumbent]) &&
            within_errors(lattice[jb], lattice[incumbent])) {
            left = std::min(jb, incumbent);
            right = std::max(jb, incumbent);
        }
        const double width = hi.ell - lo.ell;
        best = lattice[jb];
        lo = lattice[left == 0 ? 0 : left - 1];
        hi = lattice[right + 1 == lattice.size() ? right : right + 1];
        // Every point of the round within the errors of the best one: the minimum is
        // resolved as far as the criterion can be evaluated.
        bool resolved = true;
        for (const Point& p : lattice)
            resolved = resolved && (!trusted(p) || within_errors(p, best));
        if (resolved || hi.ell - lo.ell > 0.75 * width) break;
    }
    return best;
}

// The choice once the best point is known: the ends where the criterion is flat towards
// them within its evaluation errors, or the edge of where it can be evaluated.
Choice settle(const std::vector<Point>& grid, const Point& best) {
    if (best.bound) return Choice{best.lam, best.value, true, best.error};
    // Towards the upper end (dir = +1) and the lower end (dir = -1): whether every trusted
    // coarse value beyond the best point is within the errors, whether there is one, and
    // whether the nearest trusted coarse value on the other side is (the criterion has
    // flattened into the best point).
    struct Side {
        bool flat = true, any = false;
    };
    auto side = [&](int dir) {
        Side out;
        for (const Point& p : grid) {
            if (!trusted(p) || (dir > 0 ? !(p.ell > best.ell) : !(p.ell < best.ell))) continue;
            out.any = true;
            out.flat = out.flat && within_errors(p, best);
        }
        return out;
    };
    auto flattened_into = [&](int dir) {  // from the side opposite to dir
        const Point* near = nullptr;
        for (const Point& p : grid) {
            if (!trusted(p) || (dir > 0 ? !(p.ell < best.ell) : !(p.ell > best.ell))) continue;
            if (near == nullptr || std::fabs(p.ell - best.ell) < std::fabs(near->ell - best.ell))
                near = &p;
        }
        return near == nullptr || within_errors(*near, best);
    };
    // The end itself, or where it cannot be evaluated (nor the fit there computed), the
    // farthest trusted coarse point towards it.
    auto end = [&](bool upper) {
        const Point* far = &best;
        for (const Point& p : grid)
            if (trusted(p) && (upper ? p.ell > far->ell : p.ell < far->ell)) far = &p;
        return Choice{far->lam, far->value, true, far->error};
    };
    const Side up = side(+1), down = side(-1);
    if (up.flat && (up.any || flattened_into(+1))) return end(true);
    if (down.flat && (down.any || flattened_into(-1))) return end(false);
    // The last trusted point towards an end, the criterion still falling into it.
    return Choice{best.lam, best.value, !up.any || !down.any, best.error};
}

}  // namespace

Choice minimise_trusted(Bounds b, TrustedScoreFn score) {
    std::vector<Point> grid = coarse_grid(b);
    std::vector<std::size_t> all(grid.size());
    for (std::size_t k = 0; k < all.size(); ++k) all[k] = k;
    evaluate(score, grid, all, false);
    bool any = false;
    for (const Point& p : grid) any = any || trusted(p);
    if (!any) return Choice{b.hi, std::nan(""), true};
    Point best{};
    bool first = true;
    for (std::size_t k : basins(grid)) {
        const Point p = refine(grid, k, score);
        if (first || rank(p.value) < rank(best.value)) best = p;
        first = false;
    }
    return settle(grid, best);
}

Choice minimise(Bounds b, ScoreFn score) {
    auto exact = [&](const double* lam, std::size_t n, bool fine, double* values, double* errors) {
        score(lam, n, fine, values);
        for (std::size_t i = 0; i < n; ++i) errors[i] = 0;
    };
    return minimise_trusted(b, exact);
}

std::size_t vcurve_segments(Bounds b) {
    const double steps = std::round(10.0 * (std::log10(b.hi) - std::log10(b.lo)));
    return steps < 1.0 ? 1 : steps > 1e6 ? 1000000 : static_cast<std::size_t>(steps);
}

double vcurve_grid_log10(Bounds b, std::size_t k, std::size_t n) {
    const double a0 = std::log10(b.lo);
    const double b0 = std::log10(b.hi);
    if (k == 0) return a0;
    if (k == n) return b0;
    return a0 + (b0 - a0) * static_cast<double>(k) / static_cast<double>(n);
}

Choice vcurve_choice(Bounds b, CurveFn curve) {
    const std::size_t n = vcurve_segments(b);
    std::vector<double> ell(n + 1), F(n + 1), R(n + 1);
    std::vector<char> have(n + 1, 0);
    for (std::size_t k = 0; k <= n; ++k) ell[k] = vcurve_grid_log10(b, k, n);
    auto lam_at = [&](std::size_t k) {
        return k == 0 ? b.lo : k == n ? b.hi : std::pow(10.0, ell[k]);
    };
    auto fill = [&](const std::vector<std::size_t>& which) {
        double lam[kSweepLanes], f[kSweepLanes], r[kSweepLanes];
        for (std::size_t at = 0; at < which.size(); at += kSweepLanes) {
            const std::size_t m = std::min(kSweepLanes, which.size() - at);
            for (std::size_t i = 0; i < m; ++i) lam[i] = lam_at(which[at + i]);
            curve(lam, m, f, r);
            for (std::size_t i = 0; i < m; ++i) {
                F[which[at + i]] = f[i];
                R[which[at + i]] = r[i];
                have[which[at + i]] = 1;
            }
        }
    };
    auto speed = [&](std::size_t k0, std::size_t k1) {
        return rank(std::hypot(F[k1] - F[k0], R[k1] - R[k0]) / (ell[k1] - ell[k0]));
    };
    auto evaluable = [&](std::size_t k) { return F[k] == F[k] && R[k] == R[k]; };

    constexpr std::size_t kStride = 5;
    std::vector<std::size_t> coarse;
    for (std::size_t k = 0; k < n; k += kStride) coarse.push_back(k);
    coarse.push_back(n);
    fill(coarse);
    std::size_t cb = 0;
    for (std::size_t c = 1; c + 1 < coarse.size(); ++c)
        if (speed(coarse[c], coarse[c + 1]) < speed(coarse[cb], coarse[cb + 1])) cb = c;

    // The full grid over the best coarse segment and one coarse segment on either side.
    const std::size_t first = coarse[cb == 0 ? 0 : cb - 1];
    const std::size_t last = coarse[std::min(cb + 2, coarse.size() - 1)];
    std::vector<std::size_t> missing;
    for (std::size_t k = first; k <= last; ++k)
        if (!have[k]) missing.push_back(k);
    fill(missing);
    std::size_t kb = first;
    for (std::size_t k = first + 1; k < last; ++k)
        if (speed(k, k + 1) < speed(kb, kb + 1)) kb = k;
    if (!(speed(kb, kb + 1) < kInf)) return Choice{b.hi, std::nan(""), true};
    const double mid = 0.5 * (ell[kb] + ell[kb + 1]);
    // A segment next to a point the curve cannot be evaluated at is at the edge of the
    // evaluable range.
    const bool edge = (kb > 0 && have[kb - 1] && !evaluable(kb - 1)) ||
                      (kb + 2 <= n && have[kb + 2] && !evaluable(kb + 2));
    return Choice{std::pow(10.0, mid), speed(kb, kb + 1), kb == 0 || kb + 1 == n || edge};
}

}  // namespace quelbrin::selection
