// Double-double arithmetic: a value held as an unevaluated sum hi + lo of two doubles with
// |lo| <= ulp(hi) / 2, about 106 bits.  Built on error-free transformations; the products
// use std::fma explicitly (the build keeps -ffp-contract=off, so nothing else is fused).
#pragma once

#include <cmath>

namespace quelbrin::core {

struct DoubleDouble {
    double hi = 0.0;
    double lo = 0.0;
};

namespace dd {

// a + b = s + e exactly (any magnitudes).
inline DoubleDouble two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    const double e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

// a + b = s + e exactly, for |a| >= |b| (or a = 0).
inline DoubleDouble quick_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a * b = p + e exactly (barring overflow and underflow).
inline DoubleDouble two_prod(double a, double b) {
    const double p = a * b;
    return {p, std::fma(a, b, -p)};
}

inline DoubleDouble from(double a) { return {a, 0.0}; }

inline DoubleDouble add(DoubleDouble a, DoubleDouble b) {
    DoubleDouble s = two_sum(a.hi, b.hi);
    const DoubleDouble t = two_sum(a.lo, b.lo);
    s.lo += t.hi;
    s = quick_two_sum(s.hi, s.lo);
    s.lo += t.lo;
    return quick_two_sum(s.hi, s.lo);
}

// a + b with one error-free sum: relative error about 2^-104 except under cancellation of
// the two, enough for a residual whose terms are summed once.
inline DoubleDouble add_fast(DoubleDouble a, DoubleDouble b) {
    DoubleDouble s = two_sum(a.hi, b.hi);
    s.lo += a.lo + b.lo;
    return quick_two_sum(s.hi, s.lo);
}

inline DoubleDouble neg(DoubleDouble a) { return {-a.hi, -a.lo}; }
inline DoubleDouble sub(DoubleDouble a, DoubleDouble b) { return add(a, neg(b)); }

inline DoubleDouble mul(DoubleDouble a, DoubleDouble b) {
    DoubleDouble p = two_prod(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return quick_two_sum(p.hi, p.lo);
}

inline DoubleDouble mul(DoubleDouble a, double b) {
    DoubleDouble p = two_prod(a.hi, b);
    p.lo += a.lo * b;
    return quick_two_sum(p.hi, p.lo);
}

// a - b * c, the step every elimination and residual repeats.
inline DoubleDouble sub_mul(DoubleDouble a, DoubleDouble b, DoubleDouble c) {
    return sub(a, mul(b, c));
}

// a / b by one Newton correction of the double quotient (about 104 bits).
inline DoubleDouble div(DoubleDouble a, DoubleDouble b) {
    const double q1 = a.hi / b.hi;
    const DoubleDouble r = sub(a, mul(b, q1));
    const double q2 = r.hi / b.hi;
    return quick_two_sum(q1, q2);
}

// sqrt(a) for a > 0 by one Newton correction of the double root.
inline DoubleDouble sqrt(DoubleDouble a) {
    const double s = std::sqrt(a.hi);
    const DoubleDouble r = sub(a, two_prod(s, s));
    return quick_two_sum(s, r.hi / (2.0 * s));
}

// The double nearest to a (hi, since the pair is kept normalised).
inline double to_double(DoubleDouble a) { return a.hi + a.lo; }

inline bool finite(DoubleDouble a) { return std::isfinite(a.hi) && std::isfinite(a.lo); }

}  // namespace dd

}  // namespace quelbrin::core
