// The rows of the divided-difference matrix D of order d, formed one position at a time.
// Shared by the band builder (band.cpp) and the long-series path (long_series.cpp), so
// both get every coefficient through the same operations in the same order.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "core/floor_eps.hpp"
#include "support/sizes.hpp"

namespace quelbrin::core {

// Rows of every order are built from order 1 up (row r of order j from rows r and r+1 of
// order j-1), streaming over the positions: advancing to position t forms row t-j of every
// order j <= min(d, t), and row t-d of order d is complete.  Each order keeps the row of
// this step and the one of the step before only, so the storage is d(d+3) values whatever
// T is.  Dc, when not 0, is d fixed at compile time (the common small orders): the short
// loops unroll and, with every index then a constant, the rows stay in registers.  The
// operations and their order are the same either way.
template <class F, std::size_t Dc>
class DifferenceRows {
  public:
    // d >= 1.  Throws std::bad_alloc when the storage of a huge d cannot exist.
    explicit DifferenceRows(std::size_t d_runtime) : d_(Dc != 0 ? Dc : d_runtime) {
        if constexpr (Dc == 0) {
            // Orders 1 .. d take sum (j + 1) = d (d + 3) / 2 values, twice.
            std::size_t total = 0;
            for (std::size_t j = 1; j <= d_; ++j) {
                const std::size_t add = checked_count<F>(2, j + 1);
                if (total + add < total) throw std::bad_alloc();
                total += add;
            }
            heap_.resize(total);
        }
    }

    std::size_t order() const { return Dc != 0 ? Dc : d_; }

    // Advances to position t >= 1; back(j) gives position t - j for 0 <= j <= min(d, t).
    // Returns the d + 1 coefficients of row t - d of order d (columns t-d .. t) when t >= d,
    // else nullptr.  The pointer stays valid until the next call.  Steady: the caller
    // knows t >= d (the bounds then fold away).
    template <bool Steady = false, class Back>
    const F* advance(std::size_t t, Back&& back, F eps) {
        const std::size_t d = order();
        F* const cur = rows();
        F* const old = cur + half();
        F* first = cur + offset(1);
        const F h = floor_eps(back(0) - back(1), eps);
        first[0] = F(-1) / h;
        first[1] = F(1) / h;
        const std::size_t top = (Steady || d < t) ? d : t;
        for (std::size_t j = 2; j <= top; ++j) {
            // Row t-j of order j-1 was formed at the step before, row t-j+1 at this one.
            const F* lower = old + offset(j - 1);
            const F* upper = cur + offset(j - 1);
            F* c = cur + offset(j);
            for (std::size_t m = 0; m <= j; ++m) c[m] = F(0);
            for (std::size_t m = 0; m < j; ++m) {
                c[m + 1] = c[m + 1] + upper[m];
                c[m] = c[m] - lower[m];
            }
            const F g = F(1) / floor_eps(back(0) - back(j), eps);
            for (std::size_t m = 0; m <= j; ++m) c[m] = c[m] * g;
        }
        for (std::size_t k = 0; k < offset(top + 1); ++k) old[k] = cur[k];
        return (!Steady && t < d) ? nullptr : cur + offset(d);
    }

  private:
    // Order j's row starts at (j - 1)(j + 2) / 2: the sum over 1 <= i < j of i + 1.
    static constexpr std::size_t offset(std::size_t j) { return (j - 1) * (j + 2) / 2; }
    std::size_t half() const { return offset(order() + 1); }
    F* rows() { return Dc != 0 ? fixed_ : heap_.data(); }

    static constexpr std::size_t kFixed = Dc != 0 ? Dc * (Dc + 3) : 1;
    std::size_t d_;
    F fixed_[kFixed] = {};
    std::vector<F> heap_;
};

}  // namespace quelbrin::core
