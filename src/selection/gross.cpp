#include "selection/gross.hpp"

#include <cmath>
#include <span>

#include "core/median.hpp"
#include "core/observation.hpp"

namespace quelbrin::selection {
namespace {

constexpr double kMadFactor = 1.4826;

// The median of the values gathered in v (which it overwrites); v is not empty.
double median_of(std::vector<double>& v) {
    return core::median_select(std::span<double>(v.data(), v.size()));
}

// The deviations |y - centre| of the counted observations into out (all of them, or only
// those that are not 0).
template <class F>
void gather_deviations(const F* y, const F* w, std::size_t T, double centre, bool nonzero_only,
                       std::vector<double>& out) {
    out.clear();
    for (std::size_t t = 0; t < T; ++t) {
        if (!core::observation::counts(y[t], w[t])) continue;
        const double dev = std::abs(static_cast<double>(y[t]) - centre);
        if (!nonzero_only || dev > 0) out.push_back(dev);
    }
}

}  // namespace

template <class F>
std::size_t screen_gross(const F* y, F* w, std::size_t T, std::vector<double>& scratch) {
    // median_select leaves its input unspecified: every median gathers afresh.
    scratch.clear();
    for (std::size_t t = 0; t < T; ++t) {
        if (core::observation::counts(y[t], w[t])) scratch.push_back(static_cast<double>(y[t]));
    }
    if (scratch.empty()) return 0;
    const double centre = median_of(scratch);
    gather_deviations(y, w, T, centre, false, scratch);
    double mad = median_of(scratch);
    if (!(mad > 0)) {
        gather_deviations(y, w, T, centre, true, scratch);
        if (scratch.empty()) return 0;
        mad = median_of(scratch);
    }
    const double limit = kGrossScales * kMadFactor * mad;
    std::size_t screened = 0;
    for (std::size_t t = 0; t < T; ++t) {
        if (!core::observation::counts(y[t], w[t])) continue;
        if (std::abs(static_cast<double>(y[t]) - centre) > limit) {
            w[t] = F(0);
            ++screened;
        }
    }
    return screened;
}

template std::size_t screen_gross<float>(const float*, float*, std::size_t, std::vector<double>&);
template std::size_t screen_gross<double>(const double*, double*, std::size_t,
                                          std::vector<double>&);

}  // namespace quelbrin::selection
