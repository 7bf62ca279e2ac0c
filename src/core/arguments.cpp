#include "core/arguments.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>
#include <type_traits>

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

namespace {

// The shortest text that reads back as the same F.
template <class F>
std::string number_text(F v) {
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

// The index of the first position not greater than the one before it, or x.size().
template <class F>
std::size_t first_not_increasing(std::span<const F> x) {
    for (std::size_t i = 1; i < x.size(); ++i) {
        if (!(x[i] > x[i - 1])) return i;  // NaN fails too
    }
    return x.size();
}

// Whether float32 rounding may have made x[i] equal to x[i-1]: they are equal, and float32
// numbers there are so far apart (at least a thousandth of the mean spacing) that true
// positions closer than that are plausible.  Returns the distance between float32 numbers
// there, or 0.
inline float merged_by_rounding(std::span<const float> x, std::size_t i) {
    if (!(x[i] == x[i - 1]) || x[i] == 0.0f || !std::isfinite(x[i])) return 0.0f;
    const float v = std::fabs(x[i]);
    const float gap = std::nextafter(v, std::numeric_limits<float>::infinity()) - v;
    const double span = static_cast<double>(x.back()) - static_cast<double>(x.front());
    const double mean_spacing = span / static_cast<double>(x.size() - 1);
    if (std::isfinite(mean_spacing) && mean_spacing > 0.0 &&
        1000.0 * static_cast<double>(gap) < mean_spacing)
        return 0.0f;
    return gap;
}

// "x must be strictly increasing: x[i] = .. is not greater than x[i-1] = ..", and in
// float32, when rounding may have made the two equal, how far apart float32 numbers are
// there (day numbers with a time of day, say).
template <class F>
std::string not_increasing_message(std::span<const F> x, std::size_t i) {
    std::string out = "x must be strictly increasing: x[" + std::to_string(i) +
                      "] = " + number_text(x[i]) + " is not greater than x[" +
                      std::to_string(i - 1) + "] = " + number_text(x[i - 1]);
    if constexpr (std::is_same_v<F, float>) {
        if (const float gap = merged_by_rounding(x, i); gap > 0.0f) {
            out += " (float32 numbers near " + number_text(x[i]) + " are " + number_text(gap) +
                   " apart: positions closer than that become equal in float32; subtract a "
                   "nearer origin, or use float64 positions with the _f64 function)";
        }
    }
    return out;
}

}  // namespace

template <class F>
bool strictly_increasing(std::span<const F> x) {
    return first_not_increasing(x) == x.size();
}

template <class F>
Result<void> check_positions(std::span<const F> x) {
    if (const std::size_t i = first_not_increasing(x); i != x.size())
        return error(not_increasing_message(x, i));
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
    const auto bad_at = [&](std::size_t s, std::size_t t) {
        return std::isfinite(y_st(s, t)) && !std::isfinite((*w_base_st)(s, t));
    };
    const auto first_bad_in_row = [&](std::size_t s) {
        std::size_t t = 0;
        while (t < y_st.cols && !bad_at(s, t)) ++t;
        return t;
    };
    std::size_t s = 0;
    std::size_t t = y_st.cols;
    for (; s < y_st.rows; ++s) {
        if ((t = first_bad_in_row(s)) != y_st.cols) break;
    }
    if (s == y_st.rows) return {};
    // Only on failure: count the rows concerned, for the message.
    std::size_t rows = 1;
    for (std::size_t r = s + 1; r < y_st.rows; ++r) rows += first_bad_in_row(r) != y_st.cols;
    return error("w_base_st must be finite where y_st is observed: w_base_st[" + std::to_string(s) +
                 ", " + std::to_string(t) + "] = " + number_text((*w_base_st)(s, t)) + " (row " +
                 std::to_string(s) + " is the first of " + std::to_string(rows) +
                 (rows == 1 ? " row" : " rows") + " with such a weight)");
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
