// The sweep kernel: one series evaluated at kSweepLanes values of lam at once, one lam per
// lane.  The lanes share the data (weights, observations, band) and differ only in lam, so
// nothing is gathered or transposed: the weights and observations are broadcast.
//
// Per lane: the banded LDL' factorisation of A = diag(w) + lam P + ridge I (pivots floored
// at eps, as the smoother floors them), the forward substitution and log det A, then one
// backward sweep that does the back substitution and, fused with it, the selected
// inversion of A (Takahashi's recurrence: the band of A^-1 from the factor, O(T q^2)), and
// accumulates the sums of the criteria.  Each lane is plain IEEE arithmetic on its own
// values (no contraction), so a lane's numbers do not depend on the other lanes, on the
// instruction set, or on the thread.
//
// Included once by each sweep translation unit, which is compiled for its instruction set.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "selection/sweep_api.hpp"

namespace quelbrin::selection {
namespace {

// One register-sized group of eight lanes, and the whole set of lanes as K such groups
// side by side: the K groups are independent chains, which hides the latency of each
// operation (a lane's rows are one long chain of dependent steps).
typedef double V8 __attribute__((vector_size(64)));
typedef std::int64_t I8 __attribute__((vector_size(64)));
constexpr std::size_t kGroup = 8;
constexpr std::size_t K = kSweepLanes / kGroup;
static_assert(K * kGroup == kSweepLanes, "lanes come in groups of eight");

struct V {
    V8 r[K];
};
struct IV {
    I8 r[K];
};

#define QB_SWEEP_OP(op)                                                \
    inline V operator op(const V& a, const V& b) {                     \
        V o;                                                           \
        for (std::size_t k = 0; k < K; ++k) o.r[k] = a.r[k] op b.r[k]; \
        return o;                                                      \
    }                                                                  \
    inline V& operator op## = (V & a, const V& b) {                    \
        for (std::size_t k = 0; k < K; ++k) a.r[k] = a.r[k] op b.r[k]; \
        return a;                                                      \
    }
QB_SWEEP_OP(+)
QB_SWEEP_OP(-)
QB_SWEEP_OP(*)
QB_SWEEP_OP(/)
#undef QB_SWEEP_OP

// x in every lane (a broadcast; x - 0 is x, the sign of zero included).
inline V splat(double x) {
    V v;
    for (std::size_t k = 0; k < K; ++k) v.r[k] = x - V8{};
    return v;
}
inline V zero() { return splat(0.0); }
inline double lane(const V& v, std::size_t l) { return v.r[l / kGroup][l % kGroup]; }
inline void put(double* dst, const V& v) { std::memcpy(dst, &v, sizeof(V)); }

// The smoother's floor rule: the floor where v is NaN or below it.
inline V floored(const V& v, const V& floor) {
    V o;
    for (std::size_t k = 0; k < K; ++k) o.r[k] = v.r[k] >= floor.r[k] ? v.r[k] : floor.r[k];
    return o;
}

// log det A as a running product of mantissas and a sum of exponents (no log per row).
// Pivots that are not positive normal numbers make the lane's log det NaN.
struct LogDet {
    static constexpr std::int64_t kMantissa = 0x000fffffffffffffLL;
    static constexpr std::int64_t kOne = 0x3ff0000000000000LL;
    V mant = splat(1.0);
    IV exps{};  // summed as integers: no conversion per row
    IV bad{};

    // Moves the exponent of v into exps and returns its mantissa in [1, 2).
    V split(const V& v, bool check) {
        V m;
        for (std::size_t k = 0; k < K; ++k) {
            I8 bits;
            std::memcpy(&bits, &v.r[k], sizeof(I8));
            const I8 e = (bits >> 52) & 0x7ff;
            if (check) bad.r[k] |= (e == 0) | (e == 0x7ff) | (bits < 0);
            exps.r[k] += e - 1023;
            bits = (bits & kMantissa) | kOne;
            std::memcpy(&m.r[k], &bits, sizeof(I8));
        }
        return m;
    }
    void add(const V& pivot) { mant *= split(pivot, true); }
    // Every 512 products at most: a product of 512 mantissas stays below 2^512.
    void renormalise() { mant = split(mant, false); }
    void store(double* out) {
        renormalise();
        for (std::size_t l = 0; l < kSweepLanes; ++l) {
            const std::size_t k = l / kGroup, i = l % kGroup;
            out[l] = bad.r[k][i] ? std::numeric_limits<double>::quiet_NaN()
                                 : static_cast<double>(exps.r[k][i]) * 0.6931471805599453 +
                                       std::log(mant.r[k][i]);
        }
    }
};

// Qc is q fixed at compile time (kAnyQ: read from the input).
constexpr std::size_t kAnyQ = ~std::size_t(0);

// What a sweep computes besides RSS, sum w y r and z'Pz; each is paid for only when asked
// (the leave-one-out sum costs a division per row, as much as the factorisation's).
enum Needs : unsigned { kInverse = 1, kLoo = 2, kLogdet = 4, kPenalty = 8 };

template <std::size_t Qc, unsigned N>
void sweep_q(const SweepInput& in, SweepSums& out) {
    constexpr bool inverse = (N & kInverse) != 0;
    constexpr bool loo_sum = inverse && (N & kLoo) != 0;
    constexpr bool with_logdet = (N & kLogdet) != 0;
    constexpr bool with_penalty = (N & kPenalty) != 0;
    const std::size_t q = Qc != kAnyQ ? Qc : in.q;
    const std::size_t T = in.T;
    const std::size_t R = q + 1;  // ring of columns of A^-1's band
    V lam;
    static_assert(sizeof(V) == sizeof(in.lam), "one lane per value of lam");
    std::memcpy(&lam, in.lam, sizeof(V));
    const V ridge = splat(in.ridge);
    const V eps = splat(in.eps);
    const V one = splat(1.0);
    const double* pb = in.pb;
    const double* w = in.w;
    const double* y = in.y;

    V* const L = static_cast<V*>(in.work);  // L[i q + j - 1] = L(i, i - j)
    V* const inv_d = L + T * q;             // 1 / pivot
    V* const u = inv_d + T;                 // forward solution, then z
    V* const ring = u + T;                  // R columns of q + 1 values

    // Factor and forward substitution, row by row.  Row i's off-diagonal entries are first
    // formed unscaled (E = L D) from the farthest column inwards, then scaled.
    LogDet logdet;
    V inv_prev = zero();  // inv_d[i - 1], kept out of memory: it is on the chain
    // Row i with jm = min(i, q) columns left of the diagonal (a compile-time constant in
    // the rows past the first q when q is).
    auto factor_row = [&](std::size_t i, auto jm_c) {
        const std::size_t jm = jm_c;
        V* const Li = L + i * q;
        for (std::size_t j = jm; j >= 1; --j) {
            const std::size_t c = i - j;
            V t = lam * splat(pb[j * T + i]);
            for (std::size_t k = j + 1; k <= jm; ++k) t -= Li[k - 1] * L[c * q + (k - j - 1)];
            Li[j - 1] = t;
        }
        // The pivot is a chain from row to row through 1 / pivot of the row before: the
        // farthest columns are subtracted first, and the nearest one's e^2 is formed before
        // its reciprocal pivot arrives, so that a row's chain is one product and one
        // difference before the floor and the division.
        V a = lam * splat(pb[i]) + splat(w[i]) + ridge;
        V b = splat(w[i] * y[i]);
        for (std::size_t j = jm; j >= 1; --j) {
            const V e = Li[j - 1];
            const V inv = j == 1 ? inv_prev : inv_d[i - j];
            const V l = e * inv;
            a -= (e * e) * inv;
            b -= l * u[i - j];
            Li[j - 1] = l;
        }
        const V pivot = floored(a, eps);
        inv_prev = one / pivot;
        inv_d[i] = inv_prev;
        u[i] = b;
        if constexpr (with_logdet) {
            logdet.add(pivot);
            if ((i & 511) == 511) logdet.renormalise();
        }
    };
    const std::size_t head = T < q ? T : q;  // rows with fewer than q columns left
    for (std::size_t i = 0; i < head; ++i) factor_row(i, i);
    for (std::size_t i = head; i < T; ++i) {
        if constexpr (Qc != kAnyQ)
            factor_row(i, std::integral_constant<std::size_t, Qc>{});
        else
            factor_row(i, q);
    }
    if constexpr (with_logdet)
        logdet.store(out.logdet);
    else
        put(out.logdet, splat(std::numeric_limits<double>::quiet_NaN()));

    // Back substitution with the selected inversion and the sums.
    V rss = zero(), wyr = zero(), zpz = zero(), zpz_mag = zero(), wzz = zero(), edf = zero(),
      loo = zero(), loo_sens = zero();
    // The condition estimate: max diag(A) <= lam max P_ii + max w + ridge, times the largest
    // of diag(A^-1) (which is >= 1 / pivot row by row) or, without the inverse, 1 / the
    // last pivot.
    double pb_max = 0, w_max = 0;
    for (std::size_t i = 0; i < T; ++i) {
        pb_max = pb[i] > pb_max ? pb[i] : pb_max;
        w_max = w[i] > w_max ? w[i] : w_max;
    }
    const V diag_max = lam * splat(pb_max) + splat(w_max) + ridge;
    // max diag(A^-1) from above by the 4-norm of the diagonal (within T^(1/4); a running
    // maximum would cost a select per row that does not vectorise).
    V diag4 = zero();
    const double* const dc = in.dcoef;
    V z_next = zero(), diag_next = zero();  // z[i + 1] and S(i + 1, i + 1), in registers
    std::size_t slot = (T - 1) % R;         // ring slot of column i
    // Row i with jm = min(T - 1 - i, q) columns right of the diagonal.  Every chain from
    // row to row (z, and A^-1's band) takes the row just done last.
    auto back_row = [&](std::size_t i, auto jm_c) {
        const std::size_t jm = jm_c;
        V z = u[i] * inv_d[i];
        for (std::size_t j = jm; j >= 1; --j)
            z -= L[(i + j) * q + j - 1] * (j == 1 ? z_next : u[i + j]);
        u[i] = z;

        const V wi = splat(w[i]);
        const V r = splat(y[i]) - z;
        rss += wi * r * r;
        wyr += wi * splat(y[i]) * r;
        wzz += wi * z * z;
        if constexpr (with_penalty) {
            if (q == 0) {
                zpz += z * (splat(pb[i]) * z);
            } else if (jm == q && dc != nullptr) {
                // Row i of D: positions i .. i + q (z[i + j] is in u[i + j] by now).
                const double* const c = dc + i * (q + 1);
                // The terms' size: (sum |t|)^2 <= (q + 1) sum t^2, without a per-lane abs.
                V dz = splat(c[0]) * z;
                V mag = dz * dz;
                for (std::size_t j = 1; j <= q; ++j) {
                    const V t = splat(c[j]) * u[i + j];
                    dz += t;
                    mag += t * t;
                }
                zpz += dz * dz;
                zpz_mag += mag;
            }
        }
        z_next = z;

        if constexpr (inverse) {
            // Column i of A^-1 below the diagonal: S(k, i) = -sum_j S(k, i + j) L(i + j, i).
            V* const col = ring + slot * R;
            auto sigma = [&](std::size_t k, std::size_t l) -> V {  // k, l in i+1 .. i+q
                if (k == i + 1 && l == i + 1) return diag_next;
                const std::size_t lo = k < l ? k : l;
                const std::size_t gap = k < l ? l - k : k - l;
                const std::size_t s = slot + (lo - i);  // below 2 R
                return ring[(s >= R ? s - R : s) * R + gap];
            };
            V diag = inv_d[i];
            for (std::size_t a = 1; a <= jm; ++a) {
                V s = zero();
                for (std::size_t j = jm; j >= 1; --j)
                    s -= sigma(i + a, i + j) * L[(i + j) * q + j - 1];
                col[a] = s;
            }
            for (std::size_t a = jm; a >= 1; --a) diag -= L[(i + a) * q + a - 1] * col[a];
            col[0] = diag;
            diag_next = diag;
            if (in.diag != nullptr) in.diag[i] = lane(diag, 0);
            const V h = wi * diag;
            edf += h;
            const V d2 = diag * diag;
            diag4 += d2 * d2;
            if constexpr (loo_sum) {
                const V rl = r / (one - h);
                const V term = wi * rl * rl;
                loo += term;
                loo_sens += term * (h / (one - h));
            }
        }
        slot = slot == 0 ? R - 1 : slot - 1;
    };
    const std::size_t tail = T < q ? T : q;  // rows with fewer than q columns right
    for (std::size_t k = 0; k < tail; ++k) back_row(T - 1 - k, k);
    for (std::size_t i = T - tail; i-- > 0;) {
        if constexpr (Qc != kAnyQ)
            back_row(i, std::integral_constant<std::size_t, Qc>{});
        else
            back_row(i, q);
    }
    put(out.rss, rss);
    put(out.wyr, wyr);
    put(out.zpz, with_penalty ? zpz : splat(std::numeric_limits<double>::quiet_NaN()));
    put(out.zpz_mag, zpz_mag * splat(static_cast<double>(q + 1)));
    put(out.wzz, wzz);
    V inv_max = inv_prev;  // 1 / the last pivot
    if constexpr (inverse) {
        for (std::size_t k = 0; k < K; ++k)
            for (std::size_t i = 0; i < kGroup; ++i)
                inv_max.r[k][i] = std::sqrt(std::sqrt(diag4.r[k][i]));
    }
    put(out.cond, diag_max * inv_max);
    put(out.edf, edf);
    put(out.loo, loo);
    put(out.loo_sens, loo_sens);
}

template <unsigned N>
void sweep_needs(const SweepInput& in, SweepSums& out) {
    switch (in.q) {
        case 0:
            sweep_q<0, N>(in, out);
            break;
        case 1:
            sweep_q<1, N>(in, out);
            break;
        case 2:
            sweep_q<2, N>(in, out);
            break;
        case 3:
            sweep_q<3, N>(in, out);
            break;
        default:
            sweep_q<kAnyQ, N>(in, out);
            break;
    }
}

void sweep(const SweepInput& in, SweepSums& out) {
    if (in.T == 0) {
        std::memset(&out, 0, sizeof(out));
        return;
    }
    const bool penalty = in.penalty && (in.q == 0 || in.dcoef != nullptr);
    const unsigned needs = (in.inverse ? kInverse : 0u) | (in.inverse && in.loo ? kLoo : 0u) |
                           (in.logdet ? kLogdet : 0u) | (penalty ? kPenalty : 0u);
    // The combinations the criteria ask for have their own instances; any other computes
    // everything.
    switch (needs) {
        case kInverse:
            sweep_needs<kInverse>(in, out);
            break;
        case kInverse | kLoo:
            sweep_needs<kInverse | kLoo>(in, out);
            break;
        case kInverse | kPenalty:
            sweep_needs<kInverse | kPenalty>(in, out);
            break;
        case kInverse | kLogdet | kPenalty:
            sweep_needs<kInverse | kLogdet | kPenalty>(in, out);
            break;
        default:
            sweep_needs<kInverse | kLoo | kLogdet | kPenalty>(in, out);
            break;
    }
}

}  // namespace
}  // namespace quelbrin::selection
