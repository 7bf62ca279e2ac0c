// The robust driver behind robust_whittaker_irls_f32 / robust_whittaker_irls_f64.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/single_pass.hpp"

namespace quelbrin::robust {

// The scalar arguments of robust_whittaker_irls_f32 / _f64, in parameter order; the member
// initialisers are the Python defaults (the binding leaves a member alone when its argument
// is omitted).
template <class F>
struct RobustOptions {
    F lam = F(10.0);
    std::uint64_t d = 2;
    std::uint64_t iterations = 1;
    std::string_view weighting = "tukey";
    std::string_view scale = "mad";
    F ridge = F(1e-10);
    std::optional<std::string_view> normalize = "mean";  // None: positions used as given
    F eps = F(1e-10);
    bool parallel = true;
    std::optional<std::array<F, 3>> tuning;  // None: the weighting's default constants
    bool return_weights = false;
    std::optional<F> merge_x_tol = F(0.01);  // None: no merging

    // The same options in another element type: floats converted, names kept.
    template <class G>
    RobustOptions<G> in() const {
        std::optional<G> tol;
        if (merge_x_tol) tol = static_cast<G>(*merge_x_tol);
        std::optional<std::array<G, 3>> k;
        if (tuning) k = std::array<G, 3>{(*tuning)[0], (*tuning)[1], (*tuning)[2]};
        return {static_cast<G>(lam),   d,         iterations,          weighting, scale,
                static_cast<G>(ridge), normalize, static_cast<G>(eps), parallel,  k,
                return_weights,        tol};
    }
};

// Validates, merges, runs the IRLS and writes z_st (first make_output call) and, with
// return_weights, w_total_st (second call), both (S, T).  x is contiguous (the caller has
// checked).  Errors are ValueError texts.
template <class F>
Result<void> robust_irls_core(std::span<const F> x, const MatrixView<F>& y_st,
                              const std::optional<MatrixView<F>>& w_base_st,
                              const RobustOptions<F>& options, core::OutputSink<F> make_output);

}  // namespace quelbrin::robust
