#include "core/median.hpp"

#include "support/panic.hpp"

namespace quelbrin::core {

template <class F>
F median_select(std::span<F>) {
    QB_PANIC("median_select: not built yet");
}

template float median_select<float>(std::span<float>);
template double median_select<double>(std::span<double>);

}  // namespace quelbrin::core
