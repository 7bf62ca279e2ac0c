#include "core/median.hpp"

#include <algorithm>

#include "support/panic.hpp"

namespace quelbrin::core {

// Selection, not a sort: the element of rank n/2 is put in place with nth_element, and for
// even n the element of rank n/2 - 1 is the largest of the part below it.  The result
// depends only on the multiset of values.
template <class F>
F median_select(std::span<F> values) {
    const std::size_t n = values.size();
    QB_ASSERT(n >= 1, "median_select: no values");
    for (F v : values) QB_ASSERT(v == v, "median_select: unordered comparison (NaN value)");
    const std::size_t mid = n / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid),
                     values.end());
    const F hi = values[mid];
    if (n % 2 == 1) return hi;
    const F lo = *std::max_element(values.begin(),
                                   values.begin() + static_cast<std::ptrdiff_t>(mid));
    return (hi + lo) * F(0.5);
}

template float median_select<float>(std::span<float>);
template double median_select<double>(std::span<double>);

}  // namespace quelbrin::core
