#include "robust/weights.hpp"

#include <cmath>
#include <string>
#include <type_traits>

#include "core/floor_eps.hpp"
#include "support/ascii.hpp"

namespace quelbrin::robust {
namespace {

// The larger of v and 1e-12 (in F); a NaN v gives 1e-12.  Keeps huber and hampel finite.
template <class F>
F floor_tiny(F v) {
    F tiny;
    if constexpr (std::is_same_v<F, float>) {
        tiny = 1e-12f;
    } else {
        tiny = 1e-12;
    }
    return core::floor_eps(v, tiny);
}

template <class F>
F exp_of(F v) {
    if constexpr (std::is_same_v<F, float>) {
        return ::expf(v);
    } else {
        return ::exp(v);
    }
}

}  // namespace

bool reads_a_and_b(Weighting weighting) noexcept { return weighting == Weighting::hampel; }

Result<Weighting> parse_weighting(std::string_view name) {
    std::string lower;
    if (ascii_lower_for_matching(name, lower)) {
        if (lower == "tukey" || lower == "bisquare") return Weighting::tukey;
        if (lower == "huber") return Weighting::huber;
        if (lower == "cauchy") return Weighting::cauchy;
        if (lower == "welsch") return Weighting::welsch;
        if (lower == "fair") return Weighting::fair;
        if (lower == "hampel") return Weighting::hampel;
    }
    return error("Unknown weighting: " + std::string(name));
}

template <class F>
TuningConstants<F> default_tuning(Weighting weighting) {
    // The float literals are the nearest float32 values of the decimals (not the float64
    // values rounded a second time).
    constexpr bool f32 = std::is_same_v<F, float>;
    switch (weighting) {
        case Weighting::tukey:
            return {F(0), F(0), f32 ? F(4.685f) : F(4.685)};
        case Weighting::huber:
            return {F(0), F(0), f32 ? F(1.345f) : F(1.345)};
        case Weighting::cauchy:
            return {F(0), F(0), f32 ? F(2.385f) : F(2.385)};
        case Weighting::welsch:
            return {F(0), F(0), f32 ? F(2.985f) : F(2.985)};
        case Weighting::fair:
            return {F(0), F(0), f32 ? F(1.3998f) : F(1.3998)};
        case Weighting::hampel:
            return {F(1.5), F(3.5), F(8.0)};
    }
    return {};
}

namespace {

// The weight of residual r under scale s for one weighting W.  With
//   v = r / s (signed standardised residual), q = |v| (its magnitude),
//   u = v / c (signed scaled residual: cauchy, welsch), R = q / c (absolute: tukey, fair).
// Every comparison is false for a NaN operand; the NaN results follow from that.
// Each formula is written as selections between values that are all computed (computing a
// value that is then not selected changes no result), so that a row of weights vectorises.
template <Weighting W, class F>
inline F weight_of(const TuningConstants<F>& k, F r, F s) {
    const F c = k.c;
    const F v = r / s;
    const F q = std::abs(v);
    if constexpr (W == Weighting::tukey) {
        const F R = q / c;
        const F t = F(1) - R * R;
        return R < F(1) ? t * t : F(0);
    } else if constexpr (W == Weighting::huber) {
        const F tail = c / floor_tiny(q);
        return q <= c ? F(1) : tail;
    } else if constexpr (W == Weighting::cauchy) {
        const F u = v / c;
        return F(1) / (u * u + F(1));
    } else if constexpr (W == Weighting::welsch) {
        // exp((-u) * u), written -(u * u): the same number for every u, and for a NaN u one
        // NaN whatever operand order the compiler picks ((-u) * u multiplies two NaNs of
        // opposite signs, and the product keeps one of them).
        const F u = v / c;
        return exp_of(-(u * u));
    } else if constexpr (W == Weighting::fair) {
        const F R = q / c;
        return F(1) / (R + F(1));
    } else {
        // hampel: the thresholds are compared with |r/s| itself, not with a scaled residual.
        const F fq = floor_tiny(q);
        const F middle = k.a / fq;
        const F descent = (k.a * (c - q)) / (fq * floor_tiny(c - k.b));
        const F outer = q <= c ? descent : F(0);
        const F inner = q <= k.b ? middle : outer;
        return q <= k.a ? F(1) : inner;
    }
}

// Cloned for AVX2 and chosen at load time where the CPU has it: the same operations on
// wider vectors, so the same numbers.
template <Weighting W, class F>
__attribute__((target_clones("avx2", "default"))) void weights_of_row(const TuningConstants<F>& k,
                                                                      const F* r,
                                                                      const std::uint8_t* usable,
                                                                      F s, F* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const F w = weight_of<W>(k, r[i], s);
        out[i] = usable[i] != 0 ? w : F(0);
    }
}

}  // namespace

template <class F>
F robust_weight(Weighting weighting, const TuningConstants<F>& k, F r, F s) {
    switch (weighting) {
        case Weighting::tukey:
            return weight_of<Weighting::tukey>(k, r, s);
        case Weighting::huber:
            return weight_of<Weighting::huber>(k, r, s);
        case Weighting::cauchy:
            return weight_of<Weighting::cauchy>(k, r, s);
        case Weighting::welsch:
            return weight_of<Weighting::welsch>(k, r, s);
        case Weighting::fair:
            return weight_of<Weighting::fair>(k, r, s);
        case Weighting::hampel:
            return weight_of<Weighting::hampel>(k, r, s);
    }
    return F(0);
}

// The formula is chosen once per row, so the loop is the formula's alone.
template <class F>
void robust_weights(Weighting weighting, const TuningConstants<F>& k, const F* r,
                    const std::uint8_t* usable, F s, F* out, std::size_t n) {
    switch (weighting) {
        case Weighting::tukey:
            return weights_of_row<Weighting::tukey>(k, r, usable, s, out, n);
        case Weighting::huber:
            return weights_of_row<Weighting::huber>(k, r, usable, s, out, n);
        case Weighting::cauchy:
            return weights_of_row<Weighting::cauchy>(k, r, usable, s, out, n);
        case Weighting::welsch:
            return weights_of_row<Weighting::welsch>(k, r, usable, s, out, n);
        case Weighting::fair:
            return weights_of_row<Weighting::fair>(k, r, usable, s, out, n);
        case Weighting::hampel:
            return weights_of_row<Weighting::hampel>(k, r, usable, s, out, n);
    }
}

template TuningConstants<float> default_tuning<float>(Weighting);
template TuningConstants<double> default_tuning<double>(Weighting);
template float robust_weight<float>(Weighting, const TuningConstants<float>&, float, float);
template double robust_weight<double>(Weighting, const TuningConstants<double>&, double, double);
template void robust_weights<float>(Weighting, const TuningConstants<float>&, const float*,
                                    const std::uint8_t*, float, float*, std::size_t);
template void robust_weights<double>(Weighting, const TuningConstants<double>&, const double*,
                                     const std::uint8_t*, double, double*, std::size_t);

}  // namespace quelbrin::robust
