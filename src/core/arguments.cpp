#include "core/arguments.hpp"

#include <cmath>

#include "support/ascii.hpp"

namespace quelbrin::core {

std::optional<NormalizeMode> normalize_mode(std::string_view name) noexcept {
    if (name == "mean") return NormalizeMode::mean;
    if (name == "median") return NormalizeMode::median;
    return std::nullopt;
}

std::optional<ScaleKind> scale_kind(std::string_view name) noexcept {
    if (equals_ignoring_ascii_case(name, "mad")) return ScaleKind::mad;
    if (equals_ignoring_ascii_case(name, "huber")) return ScaleKind::huber;
    return std::nullopt;
}

template <class F>
bool strictly_increasing(std::span<const F> x) {
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
        if (!(x[i + 1] > x[i])) return false;  // NaN fails too
    }
    return true;
}

template <class F>
Result<void> check_positions(std::span<const F> x) {
    if (!strictly_increasing(x)) return error("x must be strictly increasing");
    // Increasing positions are finite when both ends are (a lone position is its own ends).
    if (!x.empty() && !(std::isfinite(x.front()) && std::isfinite(x.back())))
        return error("x must hold only finite values");
    return {};
}

Result<void> check_positions_unmasked(bool had_masked) {
    if (had_masked) return error("x must not have masked entries");
    return {};
}

template <class F>
Result<void> check_lam(F lam) {
    if (!(std::isfinite(lam) && lam >= F(0))) return error("lam must be finite and >= 0");
    return {};
}

template <class F>
Result<void> check_ridge(F ridge) {
    if (!(std::isfinite(ridge) && ridge >= F(0))) return error("ridge must be finite and >= 0");
    return {};
}

template <class F>
Result<void> check_eps(F eps) {
    if (!std::isfinite(eps)) return error("eps must be finite");
    return {};
}

Result<void> check_normalize(std::optional<std::string_view> normalize) {
    if (normalize && !normalize_mode(*normalize))
        return error("normalize must be \"mean\", \"median\" or None");
    return {};
}

Result<void> check_iterations(std::uint64_t iterations) {
    if (iterations < 1) return error("iterations must be >= 1");
    return {};
}

Result<void> check_scale(std::string_view scale) {
    if (!scale_kind(scale)) return error("scale must be \"mad\" or \"huber\" (any letter case)");
    return {};
}

template <class F>
Result<void> check_tuning(const std::optional<std::array<F, 3>>& tuning, bool reads_a_and_b) {
    if (!tuning) return {};
    const auto usable = [](F v) { return std::isfinite(v) && v > F(0); };
    const auto& [a, b, c] = *tuning;
    if (!usable(c) || (reads_a_and_b && !(usable(a) && usable(b))))
        return error("tuning constants used by the weighting must be finite and > 0");
    return {};
}

template <class F>
Result<void> check_base_weights(const MatrixView<F>& y_st,
                                const std::optional<MatrixView<F>>& w_base_st) {
    if (!w_base_st || w_base_st->rows != y_st.rows || w_base_st->cols != y_st.cols) return {};
    for (std::size_t s = 0; s < y_st.rows; ++s) {
        for (std::size_t t = 0; t < y_st.cols; ++t) {
            if (std::isfinite(y_st(s, t)) && !std::isfinite((*w_base_st)(s, t)))
                return error("w_base_st must be finite where y_st is observed");
        }
    }
    return {};
}

template <class F>
Result<void> validate_solve_arguments(F lam, F ridge, std::optional<std::string_view> normalize,
                                      F eps) {
    if (Result<void> r = check_lam(lam); !r) return r;
    if (Result<void> r = check_ridge(ridge); !r) return r;
    if (Result<void> r = check_normalize(normalize); !r) return r;
    return check_eps(eps);
}

template <class F>
Result<void> validate_band_arguments(std::optional<std::string_view> normalize,
                                     std::optional<F> eps) {
    if (Result<void> r = check_normalize(normalize); !r) return r;
    return eps ? check_eps(*eps) : Result<void>{};
}

template <class F>
Result<void> validate_robust_arguments(F lam, std::uint64_t iterations, std::string_view scale,
                                       F ridge, std::optional<std::string_view> normalize, F eps,
                                       const std::optional<std::array<F, 3>>& tuning,
                                       bool reads_a_and_b) {
    if (Result<void> r = check_lam(lam); !r) return r;
    if (Result<void> r = check_iterations(iterations); !r) return r;
    if (Result<void> r = check_scale(scale); !r) return r;
    if (Result<void> r = check_ridge(ridge); !r) return r;
    if (Result<void> r = check_normalize(normalize); !r) return r;
    if (Result<void> r = check_eps(eps); !r) return r;
    return check_tuning(tuning, reads_a_and_b);
}

#define QB_INSTANTIATE(F)                                                                        \
    template bool strictly_increasing<F>(std::span<const F>);                                    \
    template Result<void> check_positions<F>(std::span<const F>);                                \
    template Result<void> check_lam<F>(F);                                                       \
    template Result<void> check_ridge<F>(F);                                                     \
    template Result<void> check_eps<F>(F);                                                       \
    template Result<void> check_tuning<F>(const std::optional<std::array<F, 3>>&, bool);         \
    template Result<void> check_base_weights<F>(const MatrixView<F>&,                            \
                                                const std::optional<MatrixView<F>>&);            \
    template Result<void> validate_solve_arguments<F>(F, F, std::optional<std::string_view>, F); \
    template Result<void> validate_band_arguments<F>(std::optional<std::string_view>,            \
                                                     std::optional<F>);                          \
    template Result<void> validate_robust_arguments<F>(                                          \
        F, std::uint64_t, std::string_view, F, std::optional<std::string_view>, F,               \
        const std::optional<std::array<F, 3>>&, bool);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::core
