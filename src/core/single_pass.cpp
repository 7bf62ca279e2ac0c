#include "core/single_pass.hpp"

#include "support/panic.hpp"

namespace quelbrin::core {

template <class F>
Result<void> whittaker_solve_core(std::span<const F>, const MatrixView<F>&,
                                  const std::optional<MatrixView<F>>&, F, std::uint64_t, F,
                                  std::optional<std::string_view>, F, bool, OutputSink<F>) {
    QB_PANIC("whittaker_solve_core: not built yet");
}

#define QB_INSTANTIATE(F)                                                                  \
    template Result<void> whittaker_solve_core<F>(                                         \
        std::span<const F>, const MatrixView<F>&, const std::optional<MatrixView<F>>&, F, \
        std::uint64_t, F, std::optional<std::string_view>, F, bool, OutputSink<F>);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::core
