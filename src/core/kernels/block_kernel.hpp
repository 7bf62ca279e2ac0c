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

// The stages of a block's solve and check: inlined into the one function the kernel table
// points to, so that their state stays in registers.
#define QB_STAGE __attribute__((always_inline)) inline

namespace quelbrin::core::kernels {
namespace {

template <class F>
using IntOf = std::conditional_t<sizeof(F) == 8, std::int64_t, std::int32_t>;

inline std::size_t min_of(std::size_t a, std::size_t b) { return b < a ? b : a; }

// The instructions that differ from one register width to the next, one row per register of
// F: the max instruction, max(v, floor) = (v > floor) ? v : floor (the floor for a NaN v),
// and the correctly rounded sqrt.  The rows of one lane (Bytes = sizeof(F)) use the scalar
// SSE forms on the low element, which round like the scalar routine's std::sqrt and floor.
template <class F, std::size_t Bytes>
struct Ops;

#define QB_VECTOR_OPS(F, bytes, reg, max_op, sqrt_op)                            \
    template <>                                                                  \
    struct Ops<F, bytes> {                                                       \
        template <class V>                                                       \
        static V max(V v, V floor) {                                             \
            return reinterpret_cast<V>(                                          \
                max_op(reinterpret_cast<reg>(v), reinterpret_cast<reg>(floor))); \
        }                                                                        \
        template <class V>                                                       \
        static V sqrt(V v) {                                                     \
            return reinterpret_cast<V>(sqrt_op(reinterpret_cast<reg>(v)));       \
        }                                                                        \
    };
QB_VECTOR_OPS(double, 16, __m128d, _mm_max_pd, _mm_sqrt_pd)
QB_VECTOR_OPS(float, 16, __m128, _mm_max_ps, _mm_sqrt_ps)
QB_VECTOR_OPS(double, 32, __m256d, _mm256_max_pd, _mm256_sqrt_pd)
QB_VECTOR_OPS(float, 32, __m256, _mm256_max_ps, _mm256_sqrt_ps)
QB_VECTOR_OPS(double, 64, __m512d, _mm512_max_pd, _mm512_sqrt_pd)
QB_VECTOR_OPS(float, 64, __m512, _mm512_max_ps, _mm512_sqrt_ps)
#undef QB_VECTOR_OPS

template <>
struct Ops<double, 8> {
    static double max(double v, double floor) {
        return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(v), _mm_set_sd(floor)));
    }
    static double sqrt(double v) {
        return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(v)));
    }
};
template <>
struct Ops<float, 4> {
    static float max(float v, float floor) {
        return _mm_cvtss_f32(_mm_max_ss(_mm_set_ss(v), _mm_set_ss(floor)));
    }
    static float sqrt(float v) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(v))); }
};

// The value and mask types of a register of Bytes: GCC vectors, or plain F and its integer
// for one lane; and the types memory is accessed through, aligned (A) or not (U).
template <class F, std::size_t Bytes, bool one_lane = (Bytes == sizeof(F))>
struct RegTypes {
    typedef F V __attribute__((vector_size(Bytes)));
    typedef IntOf<F> M __attribute__((vector_size(Bytes)));
    typedef F A __attribute__((vector_size(Bytes), __may_alias__));
    typedef F U __attribute__((vector_size(Bytes), aligned(sizeof(F)), __may_alias__));
};
template <class F, std::size_t Bytes>
struct RegTypes<F, Bytes, true> {
    using V = F;
    using M = IntOf<F>;
    using A = F;
    using U = F;
};

// One register of F, Bytes wide (one lane when Bytes = sizeof(F)), and the operations of a
// lane on it.  Masks hold all bits set where a test holds.
template <class F, std::size_t Bytes>
struct Reg {
    using I = IntOf<F>;
    using V = typename RegTypes<F, Bytes>::V;
    using M = typename RegTypes<F, Bytes>::M;
    using A = typename RegTypes<F, Bytes>::A;
    using U = typename RegTypes<F, Bytes>::U;
    static constexpr std::size_t lanes = Bytes / sizeof(F);

    // p is aligned to the register width (the block buffers are; see batch.cpp).
    static V load(const F* p) { return *reinterpret_cast<const A*>(p); }
    static void store(F* p, V v) { *reinterpret_cast<A*>(p) = v; }
    // Any p.
    static V loadu(const F* p) { return *reinterpret_cast<const U*>(p); }
    static void storeu(F* p, V v) { *reinterpret_cast<U*>(p) = v; }
    // One broadcast (element-wise stores compile to masked inserts).
    static V splat(F x) { return fill<V>(x, std::make_index_sequence<lanes>{}); }

    static V max(V v, V floor) { return Ops<F, Bytes>::max(v, floor); }
    static V sqrt(V v) { return Ops<F, Bytes>::sqrt(v); }
    static V abs(V v) { return __builtin_bit_cast(V, __builtin_bit_cast(M, v) & ~sign()); }
    static M finite(V v) { return mask((v - v) == V{}); }
    static M neg_zero(V v) { return mask(__builtin_bit_cast(M, v) == sign()); }
    // The outcome of a comparison as a mask.
    template <class C>
    static M mask(C c) {
        if constexpr (lanes == 1) {
            return c ? M(-1) : M(0);
        } else {
            return c;
        }
    }
    static bool element(M m, std::size_t l) {
        if constexpr (lanes == 1) {
            (void)l;
            return m != 0;
        } else {
            return m[l] != 0;
        }
    }

  private:
    template <class X, class E, std::size_t... l>
    static X fill(E x, std::index_sequence<l...>) {
        return X{((void)l, x)...};
    }
    static M sign() {
        const I bit =
            static_cast<I>(static_cast<std::make_unsigned_t<I>>(1) << (sizeof(I) * 8 - 1));
        return fill<M>(bit, std::make_index_sequence<lanes>{});
    }
};

// One native register of F (QB_KERNEL_NATIVE_BYTES wide).
template <class F>
using Native = Reg<F, QB_KERNEL_NATIVE_BYTES>;

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

// K registers R side by side: the lanes of a block.  Several registers per operation let
// the independent parts overlap in the pipeline.
template <class R, std::size_t K>
struct Pack {
    typename R::V r[K];
};
template <class R, std::size_t K>
struct MaskPack {
    typename R::M r[K];
};

#define QB_PACK_OP(op)                                                        \
    template <class R, std::size_t K>                                         \
    inline Pack<R, K> operator op(const Pack<R, K>& a, const Pack<R, K>& b) { \
        Pack<R, K> o;                                                         \
        for (std::size_t k = 0; k < K; ++k) o.r[k] = a.r[k] op b.r[k];        \
        return o;                                                             \
    }
QB_PACK_OP(+)
QB_PACK_OP(-)
QB_PACK_OP(*)
QB_PACK_OP(/)
#undef QB_PACK_OP

template <class R, std::size_t K>
inline MaskPack<R, K>& operator|=(MaskPack<R, K>& a, const MaskPack<R, K>& b) {
    for (std::size_t k = 0; k < K; ++k) a.r[k] |= b.r[k];
    return a;
}
template <class R, std::size_t K>
inline MaskPack<R, K> operator|(const MaskPack<R, K>& a, const MaskPack<R, K>& b) {
    MaskPack<R, K> o = a;
    o |= b;
    return o;
}

// B lanes of F: B / native registers, or for B = 1 one lane in plain scalar arithmetic (the
// scalar routine's instructions).  Every operation is the register's, on each register.
template <class F, std::size_t B>
struct Lanes {
    using R = Reg<F, B == 1 ? sizeof(F) : QB_KERNEL_NATIVE_BYTES>;
    static constexpr std::size_t K = B / R::lanes;
    static_assert(K >= 1 && K * R::lanes == B, "a block is whole registers");
    using V = Pack<R, K>;
    using M = MaskPack<R, K>;

    static V load(const F* p) {
        V v;
        for (std::size_t k = 0; k < K; ++k) v.r[k] = R::load(p + k * R::lanes);
        return v;
    }
    static void store(F* p, const V& v) {
        for (std::size_t k = 0; k < K; ++k) R::store(p + k * R::lanes, v.r[k]);
    }
    static V splat(F x) {
        const typename R::V one = R::splat(x);
        V v;
        for (std::size_t k = 0; k < K; ++k) v.r[k] = one;
        return v;
    }
    static M none() { return M{}; }
    static V sqrt(const V& v) {
        return each<V>([](auto x) { return R::sqrt(x); }, v);
    }
    // floor_eps when the floor is a positive normal number or +inf: then v == floor means
    // the same bits, and the max instruction gives the same lanes in one step.
    static V floor_positive(const V& v, const V& floor) {
        return each<V>([](auto x, auto f) { return R::max(x, f); }, v, floor);
    }
    // floor_eps of every lane: the floor where v is NaN or below it, v otherwise.
    static V floor_eps(const V& v, const V& floor) {
        return each<V>([](auto x, auto f) { return ((x != x) | (x < f)) ? f : x; }, v, floor);
    }
    static V abs(const V& v) {
        return each<V>([](auto x) { return R::abs(x); }, v);
    }
    static V select(const M& m, const V& a, const V& b) {
        return each<V>([](auto c, auto x, auto y) { return c ? x : y; }, m, a, b);
    }
    // std::max(m, v) of the scalar code: (m < v) ? v : m.
    static V max_of(const V& m, const V& v) {
        return each<V>([](auto x, auto y) { return (x < y) ? y : x; }, m, v);
    }
    static M finite(const V& v) {
        return each<M>([](auto x) { return R::finite(x); }, v);
    }
    static M nonfinite(const V& v) {
        return each<M>([](auto x) { return ~R::finite(x); }, v);
    }
    static M neg_zero(const V& v) {
        return each<M>([](auto x) { return R::neg_zero(x); }, v);
    }
    static M greater(const V& a, const V& b) {
        return each<M>([](auto x, auto y) { return R::mask(x > y); }, a, b);
    }
    // The lanes l < count set in m, as bit l.
    static std::uint64_t bits(const M& m, std::size_t count) {
        std::uint64_t out = 0;
        for (std::size_t l = 0; l < count; ++l) {
            if (R::element(m.r[l / R::lanes], l % R::lanes)) out |= std::uint64_t(1) << l;
        }
        return out;
    }

  private:
    // o.r[k] = f(x.r[k]...) for every register k.
    template <class Out, class Fn, class... X>
    static Out each(Fn f, const X&... x) {
        Out o;
        for (std::size_t k = 0; k < K; ++k) o.r[k] = f(x.r[k]...);
        return o;
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
    const V one = N::splat(F(1));
    std::size_t t = 0;
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
// The loops' view of a block (the arguments copied out of BlockArgs: the vector stores may
// alias anything, so a field read through it would be read again after every store).
template <class F, std::size_t B, int DLc>
struct BlockView {
    std::size_t T;
    std::size_t dl;  // a constant where the kernel is specialised
    F* w;            // the weights, then the floored pivots
    F* b;            // the observations, then w * y, the forward solution u and the solution z
    F* L;

    QB_STAGE explicit BlockView(const BlockArgs<F>& a)
        : T(a.T), dl(DLc >= 0 ? static_cast<std::size_t>(DLc) : a.dl), w(a.w), b(a.y), L(a.L) {}
    // Factor entry (p, i) = L[i, i-p], 1 <= p <= dl: the entries of row i lie together.
    QB_STAGE F* at(std::size_t p, std::size_t i) const { return L + (i * dl + (p - 1)) * B; }
};

// Padding lanes get harmless values.
template <class F, std::size_t B>
QB_STAGE void pad_lanes(const BlockArgs<F>& a) {
    for (std::size_t t = 0; a.count < B && t < a.T; ++t) {
        for (std::size_t l = a.count; l < B; ++l) {
            a.w[t * B + l] = F(1);
            a.y[t * B + l] = F(0);
        }
    }
}

// The factorisation and the forward substitution, column by column; the lanes flagged on
// the way into bad, max|y| over the finite y into max_y.
template <class F, std::size_t B, int DLc, bool guarded, bool indicate>
QB_STAGE void factor_and_forward(const BlockArgs<F>& a, typename Lanes<F, B>::M& bad,
                                 typename Lanes<F, B>::V& max_y, typename Lanes<F, B>::M& doubt) {
    using S = Lanes<F, B>;
    using V = typename S::V;
    const BlockView<F, B, DLc> k(a);
    const std::size_t T = k.T, dl = k.dl;
    // pb * lam is formed per lane: a lane's product rounds exactly as the scalar one, so a
    // lane with its own lam gets the bits of a solve at that lam alone.
    const V lam = a.lams ? S::load(a.lams) : S::splat(a.lam);
    const V ridge = S::splat(a.ridge);
    const V eps = S::splat(a.eps);
    // Right-hand side of position j: b = w * y, formed just before the first forward update
    // that reaches it (at column j - dl); the trust test's max|y| on the way.
    const auto rhs = [&](std::size_t j) {
        const V yv = S::load(k.b + j * B);
        max_y = S::select(S::finite(yv), S::max_of(max_y, S::abs(yv)), max_y);
        S::store(k.b + j * B, S::load(k.w + j * B) * yv);
    };
    for (std::size_t j = 0; j < dl && j < T; ++j) rhs(j);
    // The doubt indicator (core/refine.hpp): off the factorisation's dependency chain.
    [[maybe_unused]] const V zero = S::splat(F(0));
    [[maybe_unused]] const V one = S::splat(F(1));
    [[maybe_unused]] const V share = S::splat(a.pivot_share);
    [[maybe_unused]] const V run_limit = S::splat(a.run_limit - F(0.5));  // run >= limit
    [[maybe_unused]] V run = zero;
    for (std::size_t i = 0; i < T; ++i) {
        if (i + dl < T) rhs(i + dl);
        const V wi = S::load(k.w + i * B);
        V d = S::splat(a.pb[i]) * lam;
        d = d + wi;
        d = d + ridge;
        [[maybe_unused]] const V start = d;
        const std::size_t above = min_of(dl, i);
        for (std::size_t j = 1; j <= above; ++j) {
            const V l = S::load(k.at(j, i));
            d = d - l * l;
        }
        if constexpr (indicate) {
            run = S::select(S::greater(wi, zero), zero, run + one);
            doubt |= S::greater(share * start, d) | S::greater(run, run_limit);
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
        S::store(k.w + i * B, pivot);
        const V u = S::load(k.b + i * B) / pivot;
        S::store(k.b + i * B, u);
        if constexpr (guarded) bad |= S::neg_zero(u);
        const std::size_t below = min_of(dl, T - 1 - i);
        for (std::size_t p = 1; p <= below; ++p) {
            V acc = S::splat(a.pb[p * T + i + p]) * lam;
            const std::size_t terms = min_of(dl - p, above);
            for (std::size_t m = 1; m <= terms; ++m) {
                acc = acc - S::load(k.at(p + m, i + p)) * S::load(k.at(m, i));
            }
            const V l = acc / diag;
            S::store(k.at(p, i + p), l);
            F* const bp = k.b + (i + p) * B;
            S::store(bp, S::load(bp) - l * u);
        }
    }
}
// The back substitution.  Every position is final as soon as it is computed, so whole
// register squares of positions go out to the rows on the way down, the rest after; the
// lanes with a non-finite z into bad.  Returns max|z|.
template <class F, std::size_t B, int DLc>
QB_STAGE typename Lanes<F, B>::V back_substitute_and_scatter(const BlockArgs<F>& a,
                                                             typename Lanes<F, B>::M& bad) {
    using S = Lanes<F, B>;
    using V = typename S::V;
    const BlockView<F, B, DLc> k(a);
    const std::size_t T = k.T, dl = k.dl;
    V max_z = S::splat(F(0));
    constexpr std::size_t square = B == 1 ? 1 : Native<F>::lanes;
    const std::size_t whole = T - T % square;
    for (std::size_t i = T; i-- > 0;) {
        const V z = S::load(k.b + i * B) / S::load(k.w + i * B);
        S::store(k.b + i * B, z);
        bad |= S::nonfinite(z);
        max_z = S::max_of(max_z, S::abs(z));
        const std::size_t above = min_of(dl, i);
        for (std::size_t p = 1; p <= above; ++p) {
            F* const bp = k.b + (i - p) * B;
            S::store(bp, S::load(bp) - S::load(k.at(p, i)) * z);
        }
        if constexpr (B > 1) {
            if (i % square == 0 && i < whole) scatter_square<F, B>(k.b, i, a.out, a.count);
        }
    }
    if constexpr (B > 1) {
        for (std::size_t i = whole; i < T; ++i) {
            for (std::size_t l = 0; l < a.count; ++l) a.out[l][i] = k.b[i * B + l];
        }
    } else if (a.out[0] != k.b) {
        std::memcpy(a.out[0], k.b, T * sizeof(F));
    }
    return max_z;
}

// The solve of one block in its stages; returns the lanes for the scalar routine: flagged
// on the way, or not trusted (core/trust.hpp: max|z| above max(1, max|y| over finite y) *
// 1e6).
template <class F, std::size_t B, int DLc, bool guarded>
std::uint64_t solve_block(const BlockArgs<F>& a) {
    using S = Lanes<F, B>;
    typename S::M bad = S::none();
    typename S::V max_y = S::splat(F(0));
    typename S::M doubt = S::none();
    pad_lanes<F, B>(a);
    if constexpr (sizeof(F) == 8) {
        if (a.doubtful) {
            factor_and_forward<F, B, DLc, guarded, true>(a, bad, max_y, doubt);
        } else {
            factor_and_forward<F, B, DLc, guarded, false>(a, bad, max_y, doubt);
        }
    } else {
        factor_and_forward<F, B, DLc, guarded, false>(a, bad, max_y, doubt);
    }
    const auto max_z = back_substitute_and_scatter<F, B, DLc>(a, bad);
    bad |= S::greater(max_z, S::max_of(S::splat(F(1)), max_y) * S::splat(F(1000000)));
    if (a.doubtful) *a.doubtful = S::bits(doubt, a.count);
    return S::bits(bad, a.count);
}

// B float lanes at p (interleaved position, any alignment) as float64 lanes, exactly.
template <std::size_t B>
inline typename Lanes<double, B>::V widen(const float* p) {
    if constexpr (B == 1) {
        return {{static_cast<double>(*p)}};
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
        return {{static_cast<float>(v.r[0])}};
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
    QB_STAGE V forward(std::size_t i, std::size_t above, std::size_t below) const {
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

    QB_STAGE V backward(std::size_t i, std::size_t below) const {
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
    return S::bits(bad, a.count);
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

#undef QB_STAGE
