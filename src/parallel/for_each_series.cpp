#include "parallel/for_each_series.hpp"

namespace quelbrin::parallel {

// Placeholder until the worker pool lands: always the serial loop.
void for_each_series_range(bool /*parallel*/, std::size_t S, std::size_t /*T*/,
                           FunctionRef<void(std::size_t, std::size_t)> leaf) {
    if (S > 0) leaf(0, S);
}

}  // namespace quelbrin::parallel
