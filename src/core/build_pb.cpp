#include "core/build_pb.hpp"

#include <vector>

#include "core/arguments.hpp"
#include "core/normalize.hpp"

namespace quelbrin::core {

template <class F>
Result<void> check_band_inputs(std::span<const F> x, const BandOptions<F>& o) {
    if (x.size() < 2) return error("x must have length >=2");
    if (Result<void> r = check_positions(x); !r) return r;
    return validate_band_arguments<F>(o.normalize, o.eps);
}

template <class F>
PenaltyBand<F> band_for(std::span<const F> x, std::optional<std::string_view> normalize,
                        std::uint64_t d, F eps) {
    const std::vector<F> positions = normalize_x(x, normalize);
    return build_penalty_band(std::span<const F>(positions), d, eps);
}

#define QB_INSTANTIATE(F)                                                                    \
    template Result<void> check_band_inputs<F>(std::span<const F>, const BandOptions<F>&);   \
    template PenaltyBand<F> band_for<F>(std::span<const F>, std::optional<std::string_view>, \
                                        std::uint64_t, F);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::core
