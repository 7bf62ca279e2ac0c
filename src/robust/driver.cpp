#include "robust/driver.hpp"

#include "support/panic.hpp"

namespace quelbrin::robust {

template <class F>
Result<void> robust_irls_core(std::span<const F>, const MatrixView<F>&,
                              const std::optional<MatrixView<F>>&, const RobustOptions<F>&,
                              core::OutputSink<F>) {
    QB_PANIC("robust_irls_core: not built yet");
}

#define QB_INSTANTIATE(F)                                                                \
    template Result<void> robust_irls_core<F>(std::span<const F>, const MatrixView<F>&,  \
                                              const std::optional<MatrixView<F>>&,       \
                                              const RobustOptions<F>&, core::OutputSink<F>);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::robust
