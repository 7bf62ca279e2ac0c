#include "core/band.hpp"

#include "support/panic.hpp"

namespace quelbrin::core {

template <class F>
PenaltyBand<F> build_penalty_band(std::span<const F>, std::uint64_t, F) {
    QB_PANIC("build_penalty_band: not built yet");
}

template PenaltyBand<float> build_penalty_band<float>(std::span<const float>, std::uint64_t,
                                                      float);
template PenaltyBand<double> build_penalty_band<double>(std::span<const double>, std::uint64_t,
                                                        double);

}  // namespace quelbrin::core
