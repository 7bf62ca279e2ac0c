// The robust driver behind robust_whittaker_irls_f32 / robust_whittaker_irls_f64.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/single_pass.hpp"

namespace quelbrin::robust {

template <class F>
struct RobustOptions {
    std::uint64_t d = 2;
    std::uint64_t iterations = 1;
    F lam = F(10.0);
    F ridge = F(1e-10);
    F eps = F(1e-10);
    std::optional<F> merge_x_tol;  // absent: no merging
    std::string_view weighting = "tukey";
    std::string_view scale = "mad";
    std::optional<std::string_view> normalize;
    bool parallel = true;
    std::optional<std::array<F, 3>> tuning;
    bool return_weights = false;
};

// Validates, merges, runs the IRLS and writes z_st (first make_output call) and, with
// return_weights, w_total_st (second call), both (S, T).  x is contiguous (the caller has
// checked).  Errors are ValueError texts.
template <class F>
Result<void> robust_irls_core(std::span<const F> x, const MatrixView<F>& y_st,
                              const std::optional<MatrixView<F>>& w_base_st,
                              const RobustOptions<F>& options, core::OutputSink<F> make_output);

}  // namespace quelbrin::robust
