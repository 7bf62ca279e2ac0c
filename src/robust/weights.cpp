#include "robust/weights.hpp"

#include "core/floor_eps.hpp"

#include <cmath>
#include <string>
#include <type_traits>

namespace quelbrin::robust {
namespace {

// Every accepted name is ASCII, so lower-casing only has to be exact for the code points
// whose full lower-case mapping is ASCII: A-Z, and U+212A KELVIN SIGN, which maps to "k".
// (U+0130 maps to "i" + U+0307, and U+0307 can never be part of an accepted name.)  Any
// other non-ASCII code point lower-cases to something non-ASCII and cannot match, so the
// name is rejected as soon as one is seen; so is malformed UTF-8.  Returns false then.
bool ascii_lower_for_matching(std::string_view name, std::string& out) {
    out.clear();
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a')
                                               : static_cast<char>(c));
            ++i;
        } else if (name.substr(i, 3) == "\xE2\x84\xAA") {  // U+212A KELVIN SIGN
            out.push_back('k');
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

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

template <class F>
F robust_weight(Weighting weighting, const TuningConstants<F>& k, F r, F s) {
    const F c = k.c;
    const F v = r / s;         // signed standardised residual
    const F q = std::abs(v);   // its magnitude
    const F u = v / c;         // signed scaled residual (cauchy, welsch)
    const F R = q / c;         // absolute scaled residual (tukey, fair)
    // Every comparison below is false for a NaN operand; the NaN results follow from that.
    switch (weighting) {
        case Weighting::tukey:
            if (R < F(1)) {
                const F t = F(1) - R * R;
                return t * t;
            }
            return F(0);
        case Weighting::huber:
            return q <= c ? F(1) : c / floor_tiny(q);
        case Weighting::cauchy:
            return F(1) / (u * u + F(1));
        case Weighting::welsch:
            return exp_of((-u) * u);
        case Weighting::fair:
            return F(1) / (R + F(1));
        case Weighting::hampel:
            // The thresholds are compared with |r/s| itself, not with a scaled residual.
            if (q <= k.a) return F(1);
            if (q <= k.b) return k.a / floor_tiny(q);
            if (q <= c) return (k.a * (c - q)) / (floor_tiny(q) * floor_tiny(c - k.b));
            return F(0);
    }
    return F(0);
}

template TuningConstants<float> default_tuning<float>(Weighting);
template TuningConstants<double> default_tuning<double>(Weighting);
template float robust_weight<float>(Weighting, const TuningConstants<float>&, float, float);
template double robust_weight<double>(Weighting, const TuningConstants<double>&, double, double);

}  // namespace quelbrin::robust
