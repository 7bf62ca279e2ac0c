// Banded symmetric solver: (diag(w) + lam*P + ridge*I) z = w*y by banded Cholesky.
#pragma once

#include "core/band.hpp"

namespace quelbrin::core {

// w, y: band.T values (y already masked by the caller); out: band.T slots.
// float: checks its own result and re-solves in double when it is not reliable.
template <class F>
void solve_banded(const PenaltyBand<F>& band, const F* w, const F* y, F lam, F ridge, F eps,
                  F* out);

}  // namespace quelbrin::core
