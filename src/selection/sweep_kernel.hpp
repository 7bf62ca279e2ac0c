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

#include "selection/sweep_api.hpp"

namespace quelbrin::selection {
namespace {

typedef double V __attribute__((vector_size(8 * kSweepLanes)));
typedef std::int64_t IV __attribute__((vector_size(8 * kSweepLanes)));
static_assert(sizeof(V) == kSweepLanes * sizeof(double), "one lane per value of lam");

inline V splat(double x) {
    V v;
    for (std::size_t l = 0; l < kSweepLanes; ++l) v[l] = x;
    return v;
}

inline void put(double* dst, V v) { std::memcpy(dst, &v, sizeof(V)); }

// The smoother's floor rule: the floor where v is NaN or below it.
inline V floored(V v, V floor) { return ((v != v) | (v < floor)) ? floor : v; }

// log det A as a running product of mantissas and a sum of exponents (no log per row).
// Pivots that are not positive normal numbers make the lane's log det NaN.
struct LogDet {
    static constexpr std::int64_t kMantissa = 0x000fffffffffffffLL;
    static constexpr std::int64_t kOne = 0x3ff0000000000000LL;
    V mant = splat(1.0);
    V exps = splat(0.0);
    IV bad = IV{} ;

    // Moves the exponent of v into exps and returns its mantissa in [1, 2).
    V split(V v, bool check) {
        IV bits;
        std::memcpy(&bits, &v, sizeof(V));
        const IV e = (bits >> 52) & 0x7ff;
        if (check) bad |= (e == 0) | (e == 0x7ff) | (bits < 0);
        exps += __builtin_convertvector(e - 1023, V);
        bits = (bits & kMantissa) | kOne;
        V m;
        std::memcpy(&m, &bits, sizeof(V));
        return m;
    }
    void add(V pivot) { mant *= split(pivot, true); }
    // Every 512 products at most: a product of 512 mantissas stays below 2^512.
    void renormalise() { mant = split(mant, false); }
    void store(double* out) {
        renormalise();
        for (std::size_t l = 0; l < kSweepLanes; ++l)
            out[l] = bad[l] ? std::numeric_limits<double>::quiet_NaN()
                            : exps[l] * 0.6931471805599453 + std::log(mant[l]);
    }
};

// Qc is q fixed at compile time (kAnyQ: read from the input).
constexpr std::size_t kAnyQ = ~std::size_t(0);

template <std::size_t Qc>
void sweep_q(const SweepInput& in, SweepSums& out) {
    const std::size_t q = Qc != kAnyQ ? Qc : in.q;
    const std::size_t T = in.T;
    const std::size_t R = q + 1;  // ring of columns of A^-1's band
    V lam;
    std::memcpy(&lam, in.lam, sizeof(V));
    const V ridge = splat(in.ridge);
    const V eps = splat(in.eps);
    const V one = splat(1.0);
    const double* pb = in.pb;
    const double* w = in.w;
    const double* y = in.y;

    V* const L = static_cast<V*>(in.work);  // L[i q + j - 1] = L(i, i - j)
    V* const inv_d = L + T * q;              // 1 / pivot
    V* const u = inv_d + T;                  // forward solution, then z
    V* const ring = u + T;                   // R columns of q + 1 values

    // Factor and forward substitution, row by row.  Row i's off-diagonal entries are first
    // formed unscaled (E = L D) from the farthest column inwards, then scaled.
    LogDet logdet;
    for (std::size_t i = 0; i < T; ++i) {
        const std::size_t jm = i < q ? i : q;
        V* const Li = L + i * q;
        for (std::size_t j = jm; j >= 1; --j) {
            const std::size_t c = i - j;
            V t = lam * splat(pb[j * T + i]);
            for (std::size_t k = j + 1; k <= jm; ++k) t -= Li[k - 1] * L[c * q + (k - j - 1)];
            Li[j - 1] = t;
        }
        V a = lam * splat(pb[i]) + splat(w[i]) + ridge;
        V b = splat(w[i] * y[i]);
        for (std::size_t j = 1; j <= jm; ++j) {
            const V e = Li[j - 1];
            const V l = e * inv_d[i - j];
            a -= l * e;
            b -= l * u[i - j];
            Li[j - 1] = l;
        }
        const V pivot = floored(a, eps);
        inv_d[i] = one / pivot;
        u[i] = b;
        logdet.add(pivot);
        if ((i & 511) == 511) logdet.renormalise();
    }
    logdet.store(out.logdet);

    // Back substitution with the selected inversion and the sums.
    V rss{}, wyr{}, zpz{}, edf{}, loo{};
    std::size_t slot = (T - 1) % R;  // ring slot of column i
    for (std::size_t i = T; i-- > 0;) {
        const std::size_t jm = T - 1 - i < q ? T - 1 - i : q;
        V z = u[i] * inv_d[i];
        for (std::size_t j = 1; j <= jm; ++j) z -= L[(i + j) * q + j - 1] * u[i + j];
        u[i] = z;

        const V wi = splat(w[i]);
        const V r = splat(y[i]) - z;
        rss += wi * r * r;
        wyr += wi * splat(y[i]) * r;
        V pz = splat(pb[i]) * z;
        for (std::size_t j = 1; j <= jm; ++j) pz += splat(2.0 * pb[j * T + i + j]) * u[i + j];
        zpz += z * pz;

        if (in.inverse) {
            // Column i of A^-1 below the diagonal: S(k, i) = -sum_j S(k, i + j) L(i + j, i).
            V* const col = ring + slot * R;
            auto sigma = [&](std::size_t k, std::size_t l) -> V {  // k, l in i+1 .. i+q
                const std::size_t lo = k < l ? k : l;
                const std::size_t gap = k < l ? l - k : k - l;
                const std::size_t s = (slot + (lo - i)) % R;
                return ring[s * R + gap];
            };
            V diag = inv_d[i];
            for (std::size_t a = 1; a <= jm; ++a) {
                V s{};
                for (std::size_t j = 1; j <= jm; ++j)
                    s -= sigma(i + a, i + j) * L[(i + j) * q + j - 1];
                col[a] = s;
            }
            for (std::size_t a = 1; a <= jm; ++a) diag -= L[(i + a) * q + a - 1] * col[a];
            col[0] = diag;
            if (in.diag != nullptr) in.diag[i] = diag[0];
            const V h = wi * diag;
            edf += h;
            const V rl = r / (one - h);
            loo += wi * rl * rl;
        }
        slot = slot == 0 ? R - 1 : slot - 1;
    }
    put(out.rss, rss);
    put(out.wyr, wyr);
    put(out.zpz, zpz);
    put(out.edf, edf);
    put(out.loo, loo);
}

void sweep(const SweepInput& in, SweepSums& out) {
    if (in.T == 0) {
        std::memset(&out, 0, sizeof(out));
        return;
    }
    switch (in.q) {
        case 0: sweep_q<0>(in, out); break;
        case 1: sweep_q<1>(in, out); break;
        case 2: sweep_q<2>(in, out); break;
        case 3: sweep_q<3>(in, out); break;
        default: sweep_q<kAnyQ>(in, out); break;
    }
}

}  // namespace
}  // namespace quelbrin::selection
