// The rows of the divided-difference matrix D of order d, formed one position at a time.
// Shared by the band builder (band.cpp) and the long-series path (long_series.cpp), so
// both get every coefficient through the same operations in the same order.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "core/floor_eps.hpp"
#include "core/sizes.hpp"

namespace quelbrin::core {

// Rows of every order are built from order 1 up (row r of order j from rows r and r+1 of
// order j-1), streaming over the positions: advancing to position t forms row t-j of every
// order j <= min(d, t), and row t-d of order d is complete.  Each order keeps its last two
// rows only, so the storage is d(d+3) values whatever T is.  Dc, when not 0, is d fixed at
// compile time (the common small orders), so that the short loops unroll and the rows stay
// in registers: the same operations in the same order.
template <class F, std::size_t Dc>
class DifferenceRows {
public:
    // d >= 1.  Throws std::bad_alloc when the storage of a huge d cannot exist.
    explicit DifferenceRows(std::size_t d_runtime) : d_(Dc != 0 ? Dc : d_runtime) {
        if constexpr (Dc == 0) {
            // Order j's two rows start at j (j + 1) - 2: the sum over i < j of 2 (i + 1).
            std::size_t total = 0;
            for (std::size_t j = 1; j <= d_; ++j) {
                const std::size_t add = checked_count<F>(2, j + 1);
                if (total + add < total) throw std::bad_alloc();
                total += add;
            }
            heap_.resize(total);
        }
    }

    std::size_t order() const { return d_; }

    // Advances to position t >= 1, x(k) giving position k (k = t - j for j <= min(d, t)).
    // Returns the d + 1 coefficients of row t - d of order d (columns t-d .. t) when t >= d,
    // else nullptr.  The pointer stays valid until the next call.
    template <class Pos>
    const F* advance(std::size_t t, Pos&& x, F eps) {
        const std::size_t d = d_;
        F* first = row(1, t - 1);
        const F h = floor_eps(x(t) - x(t - 1), eps);
        first[0] = F(-1) / h;
        first[1] = F(1) / h;
        for (std::size_t j = 2; j <= d && j <= t; ++j) {
            const std::size_t r = t - j;
            const F* lower = row(j - 1, r);
            const F* upper = row(j - 1, r + 1);
            F* c = row(j, r);
            for (std::size_t m = 0; m <= j; ++m) c[m] = F(0);
            for (std::size_t m = 0; m < j; ++m) {
                c[m + 1] = c[m + 1] + upper[m];
                c[m] = c[m] - lower[m];
            }
            const F g = F(1) / floor_eps(x(r + j) - x(r), eps);
            for (std::size_t m = 0; m <= j; ++m) c[m] = c[m] * g;
        }
        return t < d ? nullptr : row(d, t - d);
    }

private:
    static constexpr std::size_t kFixed = Dc != 0 ? Dc * (Dc + 3) : 1;

    F* row(std::size_t j, std::size_t r) {
        F* const ring = Dc != 0 ? fixed_ : heap_.data();
        return ring + (j * (j + 1) - 2) + (r & 1) * (j + 1);
    }

    std::size_t d_;
    F fixed_[kFixed] = {};
    std::vector<F> heap_;
};

}  // namespace quelbrin::core
