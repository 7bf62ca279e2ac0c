// The argument rules of the smoothers: every check of a value the caller passes (beyond its
// Python type and array shape) and its message.  Each returns the ValueError text on
// failure.  No Python here, so any smoother -- and the C++ tests -- can call them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "support/result.hpp"
#include "support/views.hpp"

namespace quelbrin::core {

// The normalisations of the grid, named "mean" and "median" (exactly these bytes).
enum class NormalizeMode { mean, median };
std::optional<NormalizeMode> normalize_mode(std::string_view name) noexcept;

// The residual scale estimators, named "mad" and "huber" in any ASCII letter case.
enum class ScaleKind { mad, huber };
std::optional<ScaleKind> scale_kind(std::string_view name) noexcept;

// Every position greater than the one before it (a NaN fails this).
template <class F>
bool strictly_increasing(std::span<const F> x);

// "x must be strictly increasing" unless every position is greater than the one before it
// (a NaN fails this), followed by the first offending pair (and, in float32, a word on
// rounding when the two are equal); then "x must hold only finite values" for an infinite
// position or a lone NaN.
template <class F>
Result<void> check_positions(std::span<const F> x);

// A masked entry of x (numpy.ma) can be neither a position nor a missing one: refused.
Result<void> check_positions_unmasked(bool had_masked);

// lam and ridge: finite and >= 0.  eps: finite (zero and negative values have a meaning).
template <class F>
Result<void> check_lam(F lam);
template <class F>
Result<void> check_ridge(F ridge);
template <class F>
Result<void> check_eps(F eps);
// "mean", "median" or None (absent).
Result<void> check_normalize(std::optional<std::string_view> normalize);
// At least one IRLS step.
Result<void> check_iterations(std::uint64_t iterations);
// "mad" or "huber" in any ASCII letter case.
Result<void> check_scale(std::string_view scale);
// The constants the weighting reads -- (a, b, c) when `reads_a_and_b`, else c alone -- are
// finite and > 0.  No tuning given: nothing to check.
template <class F>
Result<void> check_tuning(const std::optional<std::array<F, 3>>& tuning, bool reads_a_and_b);
// Every base weight at an observed (finite) y is finite; at a missing y anything goes.  The
// message names the first such weight, its row and how many rows have one.
// Without base weights, or with a shape that differs from y_st's (reported elsewhere),
// nothing to check.
template <class F>
Result<void> check_base_weights(const MatrixView<F>& y_st,
                                const std::optional<MatrixView<F>>& w_base_st);

// The scalar arguments of the single-pass smoother, in parameter order.
template <class F>
Result<void> validate_solve_arguments(F lam, F ridge, std::optional<std::string_view> normalize,
                                      F eps);

// The scalar arguments of build_pb, in parameter order; eps absent means the default.
template <class F>
Result<void> validate_band_arguments(std::optional<std::string_view> normalize,
                                     std::optional<F> eps);

// The scalar arguments of the robust smoother, in parameter order (the weighting name is
// parsed by the caller, which says whether the weighting reads a and b).
template <class F>
Result<void> validate_robust_arguments(F lam, std::uint64_t iterations, std::string_view scale,
                                       F ridge, std::optional<std::string_view> normalize, F eps,
                                       const std::optional<std::array<F, 3>>& tuning,
                                       bool reads_a_and_b);

}  // namespace quelbrin::core
