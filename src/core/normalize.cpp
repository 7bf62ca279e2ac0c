#include "core/normalize.hpp"

#include "support/panic.hpp"

namespace quelbrin::core {

template <class F>
std::vector<F> normalize_x(std::span<const F>, std::optional<std::string_view>) {
    QB_PANIC("normalize_x: not built yet");
}

template std::vector<float> normalize_x<float>(std::span<const float>,
                                               std::optional<std::string_view>);
template std::vector<double> normalize_x<double>(std::span<const double>,
                                                 std::optional<std::string_view>);

}  // namespace quelbrin::core
