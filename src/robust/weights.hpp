// Robust weight functions: the weighting name, its tuning constants, and the weight of one
// residual given the residual scale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/result.hpp"

namespace quelbrin::robust {

// The six weighting functions, numbered as the table of default constants.
enum class Weighting : int { tukey = 0, huber = 1, cauchy = 2, welsch = 3, fair = 4, hampel = 5 };

// (a, b, c): only hampel reads a and b; every weighting reads c.
template <class F>
struct TuningConstants {
    F a = F(0);
    F b = F(0);
    F c = F(0);
};

// True for the weighting that reads a and b besides c (hampel).
bool reads_a_and_b(Weighting weighting) noexcept;

// Lower-cases the whole name (full Unicode mapping) and compares it byte for byte with
// tukey, bisquare (an alias of tukey), huber, cauchy, welsch, fair, hampel.  No trimming.
// Failure: "Unknown weighting: " + the name exactly as given.
Result<Weighting> parse_weighting(std::string_view name);

// The default constants of a weighting, stored as the nearest values of F.
template <class F>
TuningConstants<F> default_tuning(Weighting weighting);

// The weight of residual r under scale s.  Pure, total (NaN, infinite, zero or negative
// inputs all give a number by the same formulas) and allocation-free.
template <class F>
F robust_weight(Weighting weighting, const TuningConstants<F>& k, F r, F s);

// out[i] = robust_weight(weighting, k, r[i], s) where usable[i] is set, 0 elsewhere, for a
// whole row at once (the same numbers; the choice of formula is made once per row).
template <class F>
void robust_weights(Weighting weighting, const TuningConstants<F>& k, const F* r,
                    const std::uint8_t* usable, F s, F* out, std::size_t n);

}  // namespace quelbrin::robust
