// The plain interface between the selection code and its per-instruction-set sweep
// kernels.  Only trivial aggregates live here: the kernel translation units are compiled
// with other instruction-set flags and must not share out-of-line code with the rest.
#pragma once

#include <cstddef>

namespace quelbrin::selection {

// Lanes of one sweep: one series evaluated at kSweepLanes values of lam at once.  Within
// a lane every row depends on the one before, so the lanes are the only parallelism: two
// AVX-512 registers (four AVX2) per operation keep the divider and multipliers busy.
inline constexpr std::size_t kSweepLanes = 16;

// One series (weights and masked observations, float64) and the lam of every lane.
// A(lam) = diag(w) + lam P + ridge I with P's lower band pb (row j, column i = P[i, i-j];
// rows 0 .. q, q the live half-bandwidth).
struct SweepInput {
    const double* pb;
    std::size_t T;
    std::size_t q;
    const double* w;  // T weights (0 where unobserved)
    const double* y;  // T observations (0 where unobserved)
    double ridge;
    double eps;  // pivot floor
    double lam[kSweepLanes];
    bool inverse;  // also the diagonal of A^-1 (edf, leverages)
    bool loo;      // with inverse: also the leave-one-out sum
    bool logdet;   // also log det A
    bool penalty;  // also ||Dz||^2 and its term sizes (the V-curve, REML's residual term)
    // With penalty and q > 0: the T - q rows of D, row r's q + 1 coefficients (columns
    // r .. r + q) at dcoef[r (q + 1)].  (q = 0: P is diagonal and z'Pz has no cancellation.)
    const double* dcoef;
    double* diag;  // with inverse: lane 0's diagonal of A^-1 (T values), or null
    void* work;    // sweep_work_bytes(T, q) bytes, 64-byte aligned
};

// Per-lane sums over the series, all in float64.
struct SweepSums {
    double rss[kSweepLanes];       // sum w r^2, r = y - z
    double wyr[kSweepLanes];       // sum w y r  (= RSS + lam z'Pz + ridge z'z)
    double zpz[kSweepLanes];       // ||Dz||^2 = z'Pz, summed as squared divided differences
                                   // (with penalty; NaN without)
    double zpz_mag[kSweepLanes];   // sum over D's rows of (sum |c z|)^2: the size of the terms
                                   // whose cancellation ||Dz||^2 is   (with penalty)
    double wzz[kSweepLanes];       // sum w z^2
    double cond[kSweepLanes];      // (lam max P_ii + max w + ridge) x (sum diag(A^-1)^4)^(1/4)
                                   // (with inverse; without, 1 / the last pivot): an estimate
                                   // of A's condition number (diag(A^-1) sees a poorly
                                   // determined stretch, a long extrapolation, within T)
    double loo_sens[kSweepLanes];  // sum w (r / (1 - h))^2 h / (1 - h): the leave-one-out
                                   // sum's sensitivity to relative errors of h (with loo)
    double logdet[kSweepLanes];    // log det A                        (with logdet)
    double edf[kSweepLanes];       // sum w diag(A^-1)                (with inverse)
    double loo[kSweepLanes];       // sum w (r / (1 - w diag(A^-1)))^2 (with loo)
};

using SweepFn = void (*)(const SweepInput&, SweepSums&);

struct SweepSet {
    SweepFn sweep;
};

SweepSet sweep_set_baseline();
SweepSet sweep_set_avx2();
SweepSet sweep_set_avx512();

}  // namespace quelbrin::selection
