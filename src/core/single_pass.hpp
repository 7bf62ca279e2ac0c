// The single-pass smoother behind whittaker_solve_f32 / whittaker_solve_f64.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "support/function_ref.hpp"
#include "support/result.hpp"
#include "support/views.hpp"

namespace quelbrin::core {

// Creates a new zero-filled row-major (rows, cols) output owned by the caller of the core
// and returns its data pointer.  May throw (allocation failure, Panic).
template <class F>
using OutputSink = FunctionRef<F*(std::size_t rows, std::size_t cols)>;

// Validates (y_st width, strictly increasing x, w_base_st shape), normalises, builds one
// band, smooths every series into one output made by `make_output`.  x is contiguous
// (the caller has checked).  Errors are ValueError texts.
template <class F>
Result<void> whittaker_solve_core(std::span<const F> x, const MatrixView<F>& y_st,
                                  const std::optional<MatrixView<F>>& w_base_st, F lam,
                                  std::uint64_t d, F ridge,
                                  std::optional<std::string_view> normalize, F eps,
                                  bool parallel, OutputSink<F> make_output);

}  // namespace quelbrin::core
