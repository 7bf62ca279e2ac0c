// The one median of the module.
#pragma once

#include <span>

namespace quelbrin::core {

// Median of n >= 1 non-NaN values; even counts average the two middle values as
// (hi + lo) * 0.5 in F.  `values` is scratch: it is left in an unspecified state (values
// may be overwritten, not only reordered), so callers pass a copy they discard afterwards.
// A NaN among them is an internal error.
template <class F>
F median_select(std::span<F> values);

}  // namespace quelbrin::core
