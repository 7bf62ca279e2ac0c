// The block kernel: W series solved at once, one per lane, each lane performing exactly the
// operation sequence of the scalar solver (solver.cpp), so every lane rounds like it.
//
// Included once by each kernel translation unit, which defines QB_KERNEL_NATIVE_BYTES (the
// width of its vector registers) and is compiled for its instruction set.  Everything here
// has internal linkage, and nothing outside this file is called except memcpy and the
// intrinsics, so no code compiled for one instruction set can be picked by the linker for
// another.
#pragma once

#ifndef QB_KERNEL_NATIVE_BYTES
#error "define QB_KERNEL_NATIVE_BYTES before including block_kernel.hpp"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/kernels/block_api.hpp"

namespace quelbrin::core::kernels {
namespace {

template <class F>
struct IntOf;
template <>
struct IntOf<float> {
    using type = std::int32_t;
};
template <>
struct IntOf<double> {
    using type = std::int64_t;
};

inline std::size_t min_of(std::size_t a, std::size_t b) { return b < a ? b : a; }

// One native register of F (QB_KERNEL_NATIVE_BYTES wide) and its mask type.
template <class F>
struct Native {
    using I = typename IntOf<F>::type;
    typedef F V __attribute__((vector_size(QB_KERNEL_NATIVE_BYTES), __may_alias__));
    typedef I M __attribute__((vector_size(QB_KERNEL_NATIVE_BYTES), __may_alias__));
    static constexpr std::size_t lanes = QB_KERNEL_NATIVE_BYTES / sizeof(F);

    typedef F U
        __attribute__((vector_size(QB_KERNEL_NATIVE_BYTES), aligned(sizeof(F)), __may_alias__));

    // p is aligned to the register width (the block buffers are; see batch.cpp).
    static V load(const F* p) { return *reinterpret_cast<const V*>(p); }
    static void store(F* p, V v) { *reinterpret_cast<V*>(p) = v; }
    // Any p.
    static V loadu(const F* p) { return *reinterpret_cast<const U*>(p); }
    static void storeu(F* p, V v) { *reinterpret_cast<U*>(p) = v; }

    // The instruction max(v, floor) = (v > floor) ? v : floor, floor for a NaN v.
    static V max(V v, V floor) {
#if QB_KERNEL_NATIVE_BYTES == 64
        if constexpr (sizeof(F) == 8)
            return reinterpret_cast<V>(
                _mm512_max_pd(reinterpret_cast<__m512d>(v), reinterpret_cast<__m512d>(floor)));
        else
            return reinterpret_cast<V>(
                _mm512_max_ps(reinterpret_cast<__m512>(v), reinterpret_cast<__m512>(floor)));
#elif QB_KERNEL_NATIVE_BYTES == 32
        if constexpr (sizeof(F) == 8)
            return reinterpret_cast<V>(
                _mm256_max_pd(reinterpret_cast<__m256d>(v), reinterpret_cast<__m256d>(floor)));
        else
            return reinterpret_cast<V>(
                _mm256_max_ps(reinterpret_cast<__m256>(v), reinterpret_cast<__m256>(floor)));
#else
        if constexpr (sizeof(F) == 8)
            return reinterpret_cast<V>(
                _mm_max_pd(reinterpret_cast<__m128d>(v), reinterpret_cast<__m128d>(floor)));
        else
            return reinterpret_cast<V>(
                _mm_max_ps(reinterpret_cast<__m128>(v), reinterpret_cast<__m128>(floor)));
#endif
    }

    // Correctly rounded, like the scalar std::sqrt.
    static V sqrt(V v) {
        V r;
#if QB_KERNEL_NATIVE_BYTES == 64
        if constexpr (sizeof(F) == 8)
            r = reinterpret_cast<V>(_mm512_sqrt_pd(reinterpret_cast<__m512d>(v)));
        else
            r = reinterpret_cast<V>(_mm512_sqrt_ps(reinterpret_cast<__m512>(v)));
#elif QB_KERNEL_NATIVE_BYTES == 32
        if constexpr (sizeof(F) == 8)
            r = reinterpret_cast<V>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(v)));
        else
            r = reinterpret_cast<V>(_mm256_sqrt_ps(reinterpret_cast<__m256>(v)));
#else
        if constexpr (sizeof(F) == 8)
            r = reinterpret_cast<V>(_mm_sqrt_pd(reinterpret_cast<__m128d>(v)));
        else
            r = reinterpret_cast<V>(_mm_sqrt_ps(reinterpret_cast<__m128>(v)));
#endif
        return r;
    }
};

// One step of the in-register transpose: exchanges the off-diagonal h-blocks of rows a, b.
template <class F, std::size_t h, bool second, std::size_t... j>
inline typename Native<F>::V half_swap(typename Native<F>::V a, typename Native<F>::V b,
                                       std::index_sequence<j...>) {
    using M = typename Native<F>::M;
    using I = typename Native<F>::I;
    constexpr std::size_t n = sizeof...(j);
    if constexpr (second) {
        return __builtin_shuffle(a, b, M{static_cast<I>((j & h) ? n + j : j + h)...});
    } else {
        return __builtin_shuffle(a, b, M{static_cast<I>((j & h) ? n + j - h : j)...});
    }
}

// Transposes the square matrix of registers r[0 .. lanes-1] (row i, element j) in place.
template <class F, std::size_t h = Native<F>::lanes / 2>
inline void transpose(typename Native<F>::V* r) {
    constexpr std::size_t n = Native<F>::lanes;
    if constexpr (h >= 1) {
        for (std::size_t i = 0; i < n; ++i) {
            if (i & h) continue;
            const auto a = r[i];
            const auto b = r[i + h];
            r[i] = half_swap<F, h, false>(a, b, std::make_index_sequence<n>{});
            r[i + h] = half_swap<F, h, true>(a, b, std::make_index_sequence<n>{});
        }
        transpose<F, h / 2>(r);
    }
}

// K native registers side by side: the lanes of a block.  Two registers per operation let
// the two independent halves overlap in the pipeline.
template <class F, std::size_t K>
struct Pack {
    typename Native<F>::V r[K];
};
template <class F, std::size_t K>
struct MaskPack {
    typename Native<F>::M r[K];
};

#define QB_PACK_OP(op)                                                        \
    template <class F, std::size_t K>                                         \
    inline Pack<F, K> operator op(const Pack<F, K>& a, const Pack<F, K>& b) { \
        Pack<F, K> o;                                                         \
        for (std::size_t k = 0; k < K; ++k) o.r[k] = a.r[k] op b.r[k];        \
        return o;                                                             \
    }
QB_PACK_OP(+)
QB_PACK_OP(-)
QB_PACK_OP(*)
QB_PACK_OP(/)
#undef QB_PACK_OP

template <class F, std::size_t K>
inline MaskPack<F, K>& operator|=(MaskPack<F, K>& a, const MaskPack<F, K>& b) {
    for (std::size_t k = 0; k < K; ++k) a.r[k] |= b.r[k];
    return a;
}
template <class F, std::size_t K>
inline MaskPack<F, K> operator|(const MaskPack<F, K>& a, const MaskPack<F, K>& b) {
    MaskPack<F, K> o = a;
    o |= b;
    return o;
}

// B lanes of F as B / native registers.
template <class F, std::size_t B>
struct Lanes {
    using N = Native<F>;
    using I = typename N::I;
    static constexpr std::size_t K = B / N::lanes;
    static_assert(K >= 1 && K * N::lanes == B, "a block is whole registers");
    using V = Pack<F, K>;
    using M = MaskPack<F, K>;
    using NV = typename N::V;
    using NM = typename N::M;

    static V load(const F* p) {
        V v;
        for (std::size_t k = 0; k < K; ++k) v.r[k] = N::load(p + k * N::lanes);
        return v;
    }
    static void store(F* p, const V& v) {
        for (std::size_t k = 0; k < K; ++k) N::store(p + k * N::lanes, v.r[k]);
    }
    // One broadcast per register (element-wise stores compile to masked inserts).
    static V splat(F x) {
        const NV one = broadcast(x, std::make_index_sequence<N::lanes>{});
        V v;
        for (std::size_t k = 0; k < K; ++k) v.r[k] = one;
        return v;
    }
    static M none() { return M{}; }
    static V sqrt(const V& v) {
        V o;
        for (std::size_t k = 0; k < K; ++k) o.r[k] = N::sqrt(v.r[k]);
        return o;
    }
    // floor_eps when the floor is a positive normal number or +inf: then v == floor means
    // the same bits, and the max instruction gives the same lanes in one step.
    static V floor_positive(const V& v, const V& floor) {
        V o;
        for (std::size_t k = 0; k < K; ++k) o.r[k] = N::max(v.r[k], floor.r[k]);
        return o;
    }
    // floor_eps of every lane: the floor where v is NaN or below it, v otherwise.
    static V floor_eps(const V& v, const V& floor) {
        V o;
        for (std::size_t k = 0; k < K; ++k) {
            o.r[k] = ((v.r[k] != v.r[k]) | (v.r[k] < floor.r[k])) ? floor.r[k] : v.r[k];
        }
        return o;
    }
    static V abs(const V& v) {
        V o;
        for (std::size_t k = 0; k < K; ++k) {
            NM m = reinterpret_cast<NM>(v.r[k]) & ~splat_int(sign_bit());
            o.r[k] = reinterpret_cast<NV>(m);
        }
        return o;
    }
    static V select(const M& m, const V& a, const V& b) {
        V o;
        for (std::size_t k = 0; k < K; ++k) o.r[k] = m.r[k] ? a.r[k] : b.r[k];
        return o;
    }
    // std::max(m, v) of the scalar code: (m < v) ? v : m.
    static V max_of(const V& m, const V& v) {
        V o;
        for (std::size_t k = 0; k < K; ++k) o.r[k] = (m.r[k] < v.r[k]) ? v.r[k] : m.r[k];
        return o;
    }
    static M finite(const V& v) {
        M o;
        for (std::size_t k = 0; k < K; ++k) o.r[k] = (v.r[k] - v.r[k]) == NV{};
        return o;
    }
    static M nonfinite(const V& v) {
        M o;
        for (std::size_t k = 0; k < K; ++k) o.r[k] = ~((v.r[k] - v.r[k]) == NV{});
        return o;
    }
    static M neg_zero(const V& v) {
        M o;
        for (std::size_t k = 0; k < K; ++k) {
            o.r[k] = reinterpret_cast<NM>(v.r[k]) == splat_int(sign_bit());
        }
        return o;
    }
    static M greater(const V& a, const V& b) {
        M o;
        for (std::size_t k = 0; k < K; ++k) o.r[k] = a.r[k] > b.r[k];
        return o;
    }
    static bool lane(const M& m, std::size_t l) { return m.r[l / N::lanes][l % N::lanes] != 0; }

  private:
    template <std::size_t... l>
    static NV broadcast(F x, std::index_sequence<l...>) {
        return NV{((void)l, x)...};
    }
    static constexpr I sign_bit() {
        return static_cast<I>(static_cast<std::make_unsigned_t<I>>(1) << (sizeof(I) * 8 - 1));
    }
    template <std::size_t... l>
    static NM broadcast_int(I x, std::index_sequence<l...>) {
        return NM{((void)l, x)...};
    }
    static NM splat_int(I x) { return broadcast_int(x, std::make_index_sequence<N::lanes>{}); }
};

// One lane: plain scalar arithmetic with the same helpers.
template <class F>
struct Lanes<F, 1> {
    using I = typename IntOf<F>::type;
    using V = F;
    using M = I;

    static V load(const F* p) { return *p; }
    static void store(F* p, V v) { *p = v; }
    static V splat(F x) { return x; }
    static M none() { return 0; }
    static V sqrt(V v) {
        if constexpr (sizeof(F) == 8) {
            return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(v)));
        } else {
            return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(v)));
        }
    }
    static V floor_eps(V v, V floor) { return (v != v || v < floor) ? floor : v; }
    static V floor_positive(V v, V floor) {
        if constexpr (sizeof(F) == 8)
            return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(v), _mm_set_sd(floor)));
        else
            return _mm_cvtss_f32(_mm_max_ss(_mm_set_ss(v), _mm_set_ss(floor)));
    }
    static V abs(V v) {
        I m;
        std::memcpy(&m, &v, sizeof m);
        m &= ~sign_bit();
        V r;
        std::memcpy(&r, &m, sizeof r);
        return r;
    }
    static V select(M m, V a, V b) { return m ? a : b; }
    static V max_of(V m, V v) { return (m < v) ? v : m; }
    static M finite(V v) { return (v - v) == V(0) ? M(-1) : M(0); }
    static M nonfinite(V v) { return ~finite(v); }
    static M neg_zero(V v) {
        I m;
        std::memcpy(&m, &v, sizeof m);
        return m == sign_bit() ? M(-1) : M(0);
    }
    static M greater(V a, V b) { return a > b ? M(-1) : M(0); }
    static bool lane(M m, std::size_t) { return m != 0; }

  private:
    static constexpr I sign_bit() {
        return static_cast<I>(static_cast<std::make_unsigned_t<I>>(1) << (sizeof(I) * 8 - 1));
    }
};

// Writes positions i0 .. i0+n-1 (n = lanes of a register) of lane l of the interleaved b
// to out[l], l < count: register squares are transposed and stored as row pieces.
template <class F, std::size_t B>
inline void scatter_square(const F* b, std::size_t i0, F* const* out, std::size_t count) {
    using N = Native<F>;
    constexpr std::size_t n = N::lanes;
    for (std::size_t k = 0; k * n < count; ++k) {
        typename N::V r[n];
        for (std::size_t j = 0; j < n; ++j) r[j] = N::load(b + (i0 + j) * B + k * n);
        transpose<F>(r);
        for (std::size_t m = 0; m < n && k * n + m < count; ++m)
            N::storeu(out[k * n + m] + i0, r[m]);
    }
}

// The inverse of scatter_square for one tile of n <= stride columns: row l of `stage` (at
// l * stride) goes to lane l of the interleaved dst (element (t, l) at t * B + l), for all B
// lanes (rows of padding lanes hold anything; the block overwrites those lanes).
template <class F, std::size_t B>
void gather_tile(const F* stage, std::size_t stride, std::size_t n, F* dst) {
    if constexpr (B == 1) {
        std::memcpy(dst, stage, n * sizeof(F));
    } else {
        using N = Native<F>;
        constexpr std::size_t nl = N::lanes;
        std::size_t t = 0;
        for (; t + nl <= n; t += nl) {
            for (std::size_t k = 0; k < B / nl; ++k) {
                typename N::V r[nl];
                for (std::size_t m = 0; m < nl; ++m)
                    r[m] = N::loadu(stage + (k * nl + m) * stride + t);
                transpose<F>(r);
                for (std::size_t j = 0; j < nl; ++j) N::store(dst + (t + j) * B + k * nl, r[j]);
            }
        }
        for (; t < n; ++t) {
            for (std::size_t l = 0; l < B; ++l) dst[t * B + l] = stage[l * stride + t];
        }
    }
}

// MaskFn (block_api.hpp) with the choices fixed.  Every result is a selection or the one
// product base * scale, so a vector of lanes gives the scalar rule's bits.
template <class F, bool has_base, bool has_scale, bool zero_missing>
void mask_lanes(const F* y, const F* base, const F* scale, std::size_t n, F* w, F* yv) {
    using N = Native<F>;
    using V = typename N::V;
    constexpr std::size_t nl = N::lanes;
    std::size_t t = 0;
    V one;
    for (std::size_t l = 0; l < nl; ++l) one[l] = F(1);
    for (; t + nl <= n; t += nl) {
        const V v = N::loadu(y + t);
        V g = one;
        if constexpr (has_base) g = N::loadu(base + t);
        if constexpr (has_scale) g = g * N::loadu(scale + t);
        const auto finite = (v - v) == V{};
        if constexpr (zero_missing) g = finite ? g : V{};
        const V kept = (finite & (g > V{})) ? v : V{};
        N::storeu(w + t, g);
        N::storeu(yv + t, kept);
    }
    for (; t < n; ++t) {
        const F v = y[t];
        F g = has_base ? base[t] : F(1);
        if constexpr (has_scale) g = g * scale[t];
        const bool finite = (v - v) == F(0);
        if constexpr (zero_missing) g = finite ? g : F(0);
        w[t] = g;
        yv[t] = (finite && g > F(0)) ? v : F(0);
    }
}

template <class F>
void mask_series(const F* y, const F* base, const F* scale, std::size_t n, bool zero_missing, F* w,
                 F* yv) {
    if (base && scale) {
        if (zero_missing)
            mask_lanes<F, true, true, true>(y, base, scale, n, w, yv);
        else
            mask_lanes<F, true, true, false>(y, base, scale, n, w, yv);
    } else if (base) {
        if (zero_missing)
            mask_lanes<F, true, false, true>(y, base, scale, n, w, yv);
        else
            mask_lanes<F, true, false, false>(y, base, scale, n, w, yv);
    } else if (scale) {
        if (zero_missing)
            mask_lanes<F, false, true, true>(y, base, scale, n, w, yv);
        else
            mask_lanes<F, false, true, false>(y, base, scale, n, w, yv);
    } else {
        if (zero_missing)
            mask_lanes<F, false, false, true>(y, base, scale, n, w, yv);
        else
            mask_lanes<F, false, false, false>(y, base, scale, n, w, yv);
    }
}

// The solve of one block.  The numbers of every lane are those of solve_banded: the same
// operations on the same operands in the same order.  The forward substitution of column i
// runs right after its factorisation (it needs only that column and what came before), and
// the loops run to dl instead of kk.
//
// Guarded (dl < kk): the rows dl+1 .. kk of the factor, and every term they contribute, are
// skipped.  That changes no bit of a lane under the caller's conditions (batch.cpp: band
// rows beyond dl are +0.0, lam finite and > 0, eps a normal number > 0 or +inf, no live
// off-diagonal pb * lam is -0.0) when the lane's result z is finite and no forward value u
// is -0.0:
// - every pivot is > 0, and a finite z implies finite live factor entries and u (a
//   non-finite one would have spread into z), so by induction over the columns every
//   skipped entry is (+0.0 - sum of zeros) / pivot = +0.0, and every skipped term is a
//   zero; x - (+-0) == x bit for bit unless x is -0.0;
// - the skipped terms come last in each off-diagonal sum, whose partial values are never
//   -0.0 (x - y is -0.0 only for x = -0.0, and the sum starts at pb * lam); the diagonal
//   subtracts squares, +0.0;
// - in the substitutions they come first.  In the back substitution the value is then the
//   forward u, tested.  In the forward one it is the initial w*y: a skipped term can turn
//   a -0.0 there into +0.0, but the live terms that follow give both the same value unless
//   all of them are zeros too, and then the kernel's u is -0.0 and the lane is flagged.
// Lanes that fail are flagged for the scalar routine.  A non-finite z is flagged in every
// mode, so every NaN or infinity that reaches the caller comes from the scalar routine.
template <class F, std::size_t B, int DLc, bool guarded>
std::uint64_t solve_block(const BlockArgs<F>& a) {
    using S = Lanes<F, B>;
    using V = typename S::V;
    using M = typename S::M;
    const std::size_t T = a.T;
    const std::size_t dl = DLc >= 0 ? static_cast<std::size_t>(DLc) : a.dl;
    const F* const pb = a.pb;
    // pb * lam is formed per lane: a lane's product rounds exactly as the scalar one, so a
    // lane with its own lam gets the bits of a solve at that lam alone.
    const V lam = a.lams ? S::load(a.lams) : S::splat(a.lam);
    const V ridge = S::splat(a.ridge);
    const V eps = S::splat(a.eps);
    F* const w = a.w;
    F* const b = a.y;
    F* const L = a.L;
    // Factor entry (p, i) = L[i, i-p], 1 <= p <= dl: the entries of row i lie together.
    auto at = [L, dl](std::size_t p, std::size_t i) { return L + (i * dl + (p - 1)) * B; };

    if (a.count < B) {  // padding lanes get harmless values
        for (std::size_t t = 0; t < T; ++t) {
            for (std::size_t l = a.count; l < B; ++l) {
                w[t * B + l] = F(1);
                b[t * B + l] = F(0);
            }
        }
    }

    M bad = S::none();
    V max_y = S::splat(F(0));
    // Right-hand side of position j: b = w * y, formed just before the first forward
    // update that reaches it (at column j - dl); the trust test's max|y| on the way.
    const auto init = [&](std::size_t j) {
        const V yv = S::load(b + j * B);
        const V ay = S::abs(yv);
        max_y = S::select(S::finite(yv), S::max_of(max_y, ay), max_y);
        S::store(b + j * B, S::load(w + j * B) * yv);
    };
    for (std::size_t j = 0; j < dl && j < T; ++j) init(j);

    for (std::size_t i = 0; i < T; ++i) {
        if (i + dl < T) init(i + dl);
        V d = S::splat(pb[i]) * lam;
        d = d + S::load(w + i * B);
        d = d + ridge;
        const std::size_t above = min_of(dl, i);
        for (std::size_t j = 1; j <= above; ++j) {
            const V l = S::load(at(j, i));
            d = d - l * l;
        }
        // The guard's eps is a positive normal number (or +inf): floor_positive applies.
        V diag, pivot;
        if constexpr (guarded) {
            diag = S::sqrt(S::floor_positive(d, eps));
            pivot = S::floor_positive(diag, eps);
        } else {
            diag = S::sqrt(S::floor_eps(d, eps));
            pivot = S::floor_eps(diag, eps);
        }
        S::store(w + i * B, pivot);
        const V u = S::load(b + i * B) / pivot;
        S::store(b + i * B, u);
        if constexpr (guarded) bad |= S::neg_zero(u);
        const std::size_t below = min_of(dl, T - 1 - i);
        for (std::size_t p = 1; p <= below; ++p) {
            V acc = S::splat(pb[p * T + i + p]) * lam;
            const std::size_t terms = min_of(dl - p, above);
            for (std::size_t m = 1; m <= terms; ++m) {
                acc = acc - S::load(at(p + m, i + p)) * S::load(at(m, i));
            }
            const V l = acc / diag;
            S::store(at(p, i + p), l);
            F* const bp = b + (i + p) * B;
            S::store(bp, S::load(bp) - l * u);
        }
    }

    // Back substitution; every position is final as soon as it is computed, so whole
    // register squares of positions go out to the rows on the way down.
    V max_z = S::splat(F(0));
    constexpr std::size_t square = B == 1 ? 1 : Native<F>::lanes;
    const std::size_t whole = T - T % square;
    for (std::size_t i = T; i-- > 0;) {
        const V z = S::load(b + i * B) / S::load(w + i * B);
        S::store(b + i * B, z);
        bad |= S::nonfinite(z);
        max_z = S::max_of(max_z, S::abs(z));
        const std::size_t above = min_of(dl, i);
        for (std::size_t p = 1; p <= above; ++p) {
            F* const bp = b + (i - p) * B;
            S::store(bp, S::load(bp) - S::load(at(p, i)) * z);
        }
        if constexpr (B > 1) {
            if (i % square == 0 && i < whole) scatter_square<F, B>(b, i, a.out, a.count);
        }
    }
    // The trust test (core/trust.hpp): max|z| above max(1, max|y| over finite y) * 1e6.
    bad |= S::greater(max_z, S::max_of(S::splat(F(1)), max_y) * S::splat(F(1000000)));
    if constexpr (B > 1) {
        for (std::size_t i = whole; i < T; ++i) {
            for (std::size_t l = 0; l < a.count; ++l) a.out[l][i] = b[i * B + l];
        }
    } else if (a.out[0] != b) {
        std::memcpy(a.out[0], b, T * sizeof(F));
    }
    std::uint64_t redo = 0;
    for (std::size_t l = 0; l < a.count; ++l) {
        if (S::lane(bad, l)) redo |= std::uint64_t(1) << l;
    }
    return redo;
}

// B float lanes at p (interleaved position, any alignment) as float64 lanes, exactly.
template <std::size_t B>
inline typename Lanes<double, B>::V widen(const float* p) {
    if constexpr (B == 1) {
        return static_cast<double>(*p);
    } else {
        using ND = Native<double>;
        typedef float H __attribute__((vector_size(QB_KERNEL_NATIVE_BYTES / 2), __may_alias__));
        typename Lanes<double, B>::V v;
        for (std::size_t k = 0; k < Lanes<double, B>::K; ++k) {
            H h;
            std::memcpy(&h, p + k * ND::lanes, sizeof h);
            v.r[k] = __builtin_convertvector(h, typename ND::V);
        }
        return v;
    }
}

// Two registers of float64 lanes rounded to float32 (as a scalar cast rounds) and joined
// into one register of float32 lanes, without a trip through memory.
template <std::size_t... I>
inline typename Native<float>::V join_narrowed(typename Native<double>::V lo,
                                               typename Native<double>::V hi,
                                               std::index_sequence<I...>) {
    typedef float H __attribute__((vector_size(QB_KERNEL_NATIVE_BYTES / 2)));
    return __builtin_shufflevector(__builtin_convertvector(lo, H), __builtin_convertvector(hi, H),
                                   I...);
}

template <std::size_t B>
inline typename Lanes<float, B>::V narrow(const typename Lanes<double, B>::V& v) {
    if constexpr (B == 1) {
        return static_cast<float>(v);
    } else {
        typename Lanes<float, B>::V o;
        for (std::size_t k = 0; k < Lanes<float, B>::K; ++k) {
            o.r[k] = join_narrowed(v.r[2 * k], v.r[2 * k + 1],
                                   std::make_index_sequence<Native<float>::lanes>{});
        }
        return o;
    }
}

// The state of one accuracy check (CheckFn in block_api.hpp) and its per-position steps.
template <std::size_t B>
struct Check {
    using S = Lanes<float, B>;
    using D = Lanes<double, B>;
    using V = typename S::V;
    const CheckArgs& a;
    float* u;     // masked y, then the forward solution, then the correction
    float* inv;   // the weights, then the inverse pivots
    double* z64;  // z widened once: each value serves 2 dc + 1 residuals

    const float* at(std::size_t p, std::size_t i) const { return a.L + (i * a.dl + (p - 1)) * B; }

    // The float64 residual of position i, rounded to float32, substituted forward at once
    // (the terms below i are final).  `above` / `below`: the band terms that exist.
    __attribute__((always_inline)) inline V forward(std::size_t i, std::size_t above,
                                                    std::size_t below) const {
        const std::size_t T = a.T;
        const V y = S::load(u + i * B);
        const typename D::V wi = widen<B>(inv + i * B);
        typename D::V r = wi * widen<B>(u + i * B) - (D::splat(a.A[i]) + wi) * D::load(z64 + i * B);
        for (std::size_t p = 1; p <= above; ++p) {
            r = r - D::splat(a.A[p * T + i]) * D::load(z64 + (i - p) * B);
        }
        for (std::size_t p = 1; p <= below; ++p) {
            r = r - D::splat(a.A[p * T + i + p]) * D::load(z64 + (i + p) * B);
        }
        V acc = narrow<B>(r);
        for (std::size_t p = 1; p <= above; ++p) {
            acc = acc - S::load(at(p, i)) * S::load(u + (i - p) * B);
        }
        // An estimate needs no correctly rounded quotient: one division per position,
        // shared by both passes.
        const V inverse = S::splat(1.0f) / S::load(a.piv + i * B);
        S::store(inv + i * B, inverse);
        S::store(u + i * B, acc * inverse);
        return y;
    }

    __attribute__((always_inline)) inline V backward(std::size_t i, std::size_t below) const {
        V acc = S::load(u + i * B);
        for (std::size_t p = 1; p <= below; ++p) {
            acc = acc - S::load(at(p, i + p)) * S::load(u + (i + p) * B);
        }
        const V delta = acc * S::load(inv + i * B);
        S::store(u + i * B, delta);
        return delta;
    }
};

// CheckFn (block_api.hpp) for B lanes, DLc rows used (-1: a.dc).  The forward pass forms
// each position's float64 residual from the finished solution and substitutes it at once;
// the backward pass yields the correction.  Both passes run row-wise over the factor, in
// the same order for every block width; positions away from both ends take the full band
// (with DLc known, those loops unroll).
template <std::size_t B, int DLc>
std::uint64_t check_block(const CheckArgs& a) {
    using C = Check<B>;
    using S = typename C::S;
    using V = typename S::V;
    const std::size_t T = a.T;
    const std::size_t dc = DLc >= 0 ? static_cast<std::size_t>(DLc) : a.dc;
    const C c{a, a.y, a.w, a.z64};
    for (std::size_t i = 0; i < T; ++i) C::D::store(c.z64 + i * B, widen<B>(a.z + i * B));
    const std::size_t inner_end = T > dc ? T - dc : 0;

    V max_y = S::splat(0.0f);
    std::size_t i = 0;
    for (; i < T && i < dc; ++i) {
        max_y = S::max_of(max_y, S::abs(c.forward(i, i, min_of(dc, T - 1 - i))));
    }
    for (; i < inner_end; ++i) max_y = S::max_of(max_y, S::abs(c.forward(i, dc, dc)));
    for (; i < T; ++i) max_y = S::max_of(max_y, S::abs(c.forward(i, min_of(dc, i), T - 1 - i)));

    typename S::M bad = S::none();
    V max_delta = S::splat(0.0f);
    const auto track = [&](const V& delta) {
        bad |= S::nonfinite(delta);
        max_delta = S::max_of(max_delta, S::abs(delta));
    };
    std::size_t j = T;
    for (; j > inner_end && j > 0; --j) track(c.backward(j - 1, T - j));
    for (; j > dc; --j) track(c.backward(j - 1, dc));
    for (; j > 0; --j) track(c.backward(j - 1, min_of(dc, T - j)));
    bad |= S::greater(max_delta, S::splat(a.tol) * max_y);
    std::uint64_t fails = 0;
    for (std::size_t l = 0; l < a.count; ++l) {
        if (S::lane(bad, l)) fails |= std::uint64_t(1) << l;
    }
    return fails;
}

template <std::size_t B>
void fill_checks(CheckFn* f) {
    f[0] = &check_block<B, 0>;
    f[1] = &check_block<B, 1>;
    f[2] = &check_block<B, 2>;
    f[3] = &check_block<B, 3>;
    f[kSpecialisedDl] = &check_block<B, -1>;
}

template <class F, std::size_t B, bool guarded>
void fill_kernels(BlockFn<F>* f) {
    f[0] = &solve_block<F, B, 0, guarded>;
    f[1] = &solve_block<F, B, 1, guarded>;
    f[2] = &solve_block<F, B, 2, guarded>;
    f[3] = &solve_block<F, B, 3, guarded>;
    f[kSpecialisedDl] = &solve_block<F, B, -1, guarded>;
}

template <class F, std::size_t B>
void fill_kernels(BlockFn<F> (*f)[kSpecialisedDl + 1]) {
    fill_kernels<F, B, false>(f[0]);
    fill_kernels<F, B, true>(f[1]);
}

// Registers per operation in the wide kernels: enough independent lanes to keep the
// divider busy through the latency of each column's chain.
constexpr std::size_t kWide = 4;

template <class F>
KernelSet<F> make_kernel_set() {
    constexpr std::size_t native = QB_KERNEL_NATIVE_BYTES / sizeof(F);
    KernelSet<F> s{};
    s.wide_lanes = kWide * native;
    s.native_lanes = native;
    fill_kernels<F, kWide * native>(s.wide);
    fill_kernels<F, native>(s.native);
    fill_kernels<F, 1>(s.single);
    s.gather_wide = &gather_tile<F, kWide * native>;
    s.gather_native = &gather_tile<F, native>;
    s.gather_single = &gather_tile<F, 1>;
    s.mask = &mask_series<F>;
    if constexpr (sizeof(F) == 4) {
        fill_checks<kWide * native>(s.check_wide);
        fill_checks<native>(s.check_native);
        fill_checks<1>(s.check_single);
    }
    return s;
}

}  // namespace
}  // namespace quelbrin::core::kernels
