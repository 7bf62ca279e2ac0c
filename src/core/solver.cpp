#include "core/solver.hpp"

#include "support/panic.hpp"

namespace quelbrin::core {

template <class F>
void solve_banded(const PenaltyBand<F>&, const F*, const F*, F, F, F, F*) {
    QB_PANIC("solve_banded: not built yet");
}

template void solve_banded<float>(const PenaltyBand<float>&, const float*, const float*, float,
                                  float, float, float*);
template void solve_banded<double>(const PenaltyBand<double>&, const double*, const double*,
                                   double, double, double, double*);

}  // namespace quelbrin::core
