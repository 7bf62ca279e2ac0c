#include "core/median.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "support/panic.hpp"

namespace quelbrin::core {

namespace {

// Below this many values a histogram round does not pay for itself: nth_element is used
// directly, and a round that keeps at most this many hands them to nth_element.
constexpr std::size_t kDirectBelow = 64;
constexpr unsigned kBucketBits = 8;
constexpr std::size_t kBuckets = std::size_t{1} << kBucketBits;

template <class F>
using Bits = std::conditional_t<sizeof(F) == 4, std::uint32_t, std::uint64_t>;
template <class F>
constexpr Bits<F> kSignBit = Bits<F>{1} << (8 * sizeof(F) - 1);

// Order-preserving unsigned keys of non-NaN values: a < b gives key(a) < key(b) and
// a == b gives key(a) == key(b), so -0.0 and +0.0 share a key and the key order is exactly
// the order of the comparisons.  Keys of floats are roughly logarithmic in the value,
// which spreads heavy-tailed data over the buckets.
//
// Any values: non-negative values keep their bits with the top bit set, negative values
// take minus their magnitude bits (with -0.0 landing on the key of +0.0).
template <class F>
struct AnyKeys {
    static Bits<F> key(F v) {
        using U = Bits<F>;
        using S = std::make_signed_t<U>;
        const S bits = std::bit_cast<S>(v);
        const S negative = bits >> (8 * sizeof(S) - 1);  // all ones for a set sign bit
        const S magnitude = bits & std::numeric_limits<S>::max();
        return static_cast<U>((magnitude ^ negative) - negative) ^ kSignBit<F>;
    }
};

// Values none of which has its sign bit set (the callers' spacings and absolute values):
// the bits themselves.
template <class F>
struct PositiveKeys {
    static Bits<F> key(F v) { return std::bit_cast<Bits<F>>(v); }
};

// Values that are all >= 0 with some -0.0 among them: the bits without the sign bit, which
// puts -0.0 on the key of +0.0.
template <class F>
struct NonNegativeKeys {
    static Bits<F> key(F v) { return static_cast<Bits<F>>(std::bit_cast<Bits<F>>(v) << 1); }
};

// Smallest and largest of n >= 1 values, and whether all of them compare equal to
// themselves (no NaN).  Written on generic vectors: the compiler does not vectorise a
// floating-point min/max reduction by itself without assuming away NaNs and signed zeros,
// and this pass runs on every value.
template <class F>
struct Extremes {
    F lo;
    F hi;
    bool ordered;
    bool signed_bits;  // some value has its sign bit set (a negative value or -0.0)
};

template <class F>
Extremes<F> extremes(const F* v, std::size_t n) {
    constexpr std::size_t kLanes = 16 / sizeof(F);
    typedef F Vec __attribute__((vector_size(16)));
    using Lane = std::make_signed_t<Bits<F>>;
    typedef Lane Mask __attribute__((vector_size(16)));
    Extremes<F> e{v[0], v[0], true, false};
    Lane all_bits = 0;
    std::size_t i = 0;
    if (n >= 2 * kLanes) {
        Vec lo0;
        Vec lo1;
        std::memcpy(&lo0, v, sizeof lo0);
        std::memcpy(&lo1, v + kLanes, sizeof lo1);
        Vec hi0 = lo0;
        Vec hi1 = lo1;
        Mask nan0 = lo0 != lo0;
        Mask nan1 = lo1 != lo1;
        Mask bits0 = (Mask)lo0;
        Mask bits1 = (Mask)lo1;
        for (i = 2 * kLanes; i + 2 * kLanes <= n; i += 2 * kLanes) {
            Vec x0;
            Vec x1;
            std::memcpy(&x0, v + i, sizeof x0);
            std::memcpy(&x1, v + i + kLanes, sizeof x1);
            lo0 = x0 < lo0 ? x0 : lo0;
            hi0 = x0 > hi0 ? x0 : hi0;
            lo1 = x1 < lo1 ? x1 : lo1;
            hi1 = x1 > hi1 ? x1 : hi1;
            nan0 |= x0 != x0;
            nan1 |= x1 != x1;
            bits0 |= (Mask)x0;
            bits1 |= (Mask)x1;
        }
        lo0 = lo1 < lo0 ? lo1 : lo0;
        hi0 = hi1 > hi0 ? hi1 : hi0;
        nan0 |= nan1;
        bits0 |= bits1;
        Lane any_nan = 0;
        for (std::size_t j = 0; j < kLanes; ++j) {
            e.lo = lo0[j] < e.lo ? lo0[j] : e.lo;
            e.hi = hi0[j] > e.hi ? hi0[j] : e.hi;
            any_nan |= nan0[j];
            all_bits |= bits0[j];
        }
        e.ordered = any_nan == 0;
    }
    for (; i < n; ++i) {
        const F x = v[i];
        e.lo = x < e.lo ? x : e.lo;
        e.hi = x > e.hi ? x : e.hi;
        e.ordered &= x == x;
        all_bits |= std::bit_cast<Lane>(x);
    }
    e.signed_bits = all_bits < 0;
    return e;
}

// The selected values of ranks lo_rank and hi_rank (lo_rank == hi_rank for odd counts,
// hi_rank - 1 otherwise).
template <class F>
struct Middle {
    F lo;
    F hi;
};

template <class F>
Middle<F> middle_by_nth_element(F* v, std::size_t n, std::size_t lo_rank, std::size_t hi_rank) {
    std::nth_element(v, v + hi_rank, v + n);
    const F hi = v[hi_rank];
    if (lo_rank == hi_rank) return {hi, hi};
    // rank lo_rank = hi_rank - 1 is the largest of the part below hi_rank.
    return {*std::max_element(v, v + hi_rank), hi};
}

// One round's division of the key range [kmin, kmin + span] into buckets of 2^shift keys.
template <class F>
struct Buckets {
    Bits<F> kmin;
    unsigned shift;
    std::size_t count;
};

template <class F, class Keys>
Buckets<F> buckets_over(Extremes<F> range) {
    using U = Bits<F>;
    const U kmin = Keys::key(range.lo);
    const U span = static_cast<U>(Keys::key(range.hi) - kmin);
    const unsigned width = static_cast<unsigned>(std::bit_width(span));
    const unsigned shift = width > kBucketBits ? width - kBucketBits : 0;
    return {kmin, shift, static_cast<std::size_t>(span >> shift) + 1};
}

// Counts the values of every bucket: two counters per bucket, side by side, taken in turn
// (runs of values in one bucket would otherwise make each increment wait for the previous
// one's store); bucket b holds count[2b] + count[2b+1].  Only the buckets in use are cleared.
template <class F, class Keys>
void count_buckets(const F* v, std::size_t n, const Buckets<F>& bk, std::uint32_t* count) {
    using U = Bits<F>;
    std::memset(count, 0, 2 * bk.count * sizeof count[0]);
    const auto bucket = [&](F x) { return static_cast<U>(Keys::key(x) - bk.kmin) >> bk.shift; };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++count[2 * bucket(v[i])];
        ++count[2 * bucket(v[i + 1]) + 1];
        ++count[2 * bucket(v[i + 2])];
        ++count[2 * bucket(v[i + 3]) + 1];
    }
    for (; i < n; ++i) ++count[2 * bucket(v[i])];
}

// The largest value with a key below `split` and the smallest from it on: the middle pair
// when lo_rank is the last rank below the split and hi_rank the first from it.
template <class F, class Keys>
Middle<F> across_split(const F* v, std::size_t n, Bits<F> split, Extremes<F> range) {
    F lo = range.lo;
    F hi = range.hi;
    for (std::size_t j = 0; j < n; ++j) {
        const F x = v[j];
        const bool under = Keys::key(x) < split;
        lo = under && x > lo ? x : lo;
        hi = !under && x < hi ? x : hi;
    }
    return {lo, hi};
}

// Compacts the values whose keys lie in [first, first + 2^shift) to the front (forward, in
// place: the write index never passes the read index, and nothing is read back from where
// it writes); returns their count.
template <class F, class Keys>
std::size_t keep_bucket(F* v, std::size_t n, Bits<F> first, unsigned shift) {
    using U = Bits<F>;
    const U last_offset = static_cast<U>((U{1} << shift) - 1);
    std::size_t kept = 0;
#pragma GCC unroll 4
    for (std::size_t j = 0; j < n; ++j) {
        const F x = v[j];
        v[kept] = x;
        kept += static_cast<U>(Keys::key(x) - first) <= last_offset;
    }
    return kept;
}

// Radix-style selection on the keys.  Each round takes the key range [key(min), key(max)]
// of the current part, splits it into at most 256 buckets, counts the bucket of every value
// and finds the bucket(s) holding the two ranks.  When they fall in different buckets, the
// answer is found in one more pass (across_split).  Otherwise that bucket's values are
// compacted to the front and the ranks are shifted by the count below; the range shrinks
// at least 128-fold per round, so only a few rounds are made before the part is small or
// all equal.
template <class F, class Keys>
Middle<F> middle_by_buckets(F* v, std::size_t n, std::size_t lo_rank, std::size_t hi_rank,
                            Extremes<F> range) {
    using U = Bits<F>;
    while (n >= kDirectBelow) {
        if (!(range.lo < range.hi)) return {v[0], v[0]};  // all equal
        const Buckets<F> bk = buckets_over<F, Keys>(range);
        std::uint32_t count[2 * kBuckets];
        count_buckets<F, Keys>(v, n, bk, count);
        const auto in_bucket = [&count](std::size_t b) { return count[2 * b] + count[2 * b + 1]; };

        // The bucket b holding lo_rank, and the count below it.
        std::size_t below = 0;
        std::size_t b = 0;
        while (below + in_bucket(b) <= lo_rank) below += in_bucket(b++);
        const std::size_t in_b = in_bucket(b);
        if (below + in_b <= hi_rank) {
            // hi_rank is the first rank of the next non-empty bucket.
            std::size_t b_hi = b + 1;
            while (in_bucket(b_hi) == 0) ++b_hi;
            return across_split<F, Keys>(
                v, n, static_cast<U>(bk.kmin + (static_cast<U>(b_hi) << bk.shift)), range);
        }
        // Both ranks in bucket b: keep its values.
        const std::size_t kept = keep_bucket<F, Keys>(
            v, n, static_cast<U>(bk.kmin + (static_cast<U>(b) << bk.shift)), bk.shift);
        QB_ASSERT(kept == in_b, "median_select: bucket count and compaction disagree");
        lo_rank -= below;
        hi_rank -= below;
        n = kept;
        if (n >= kDirectBelow) range = extremes(v, n);
    }
    return middle_by_nth_element(v, n, lo_rank, hi_rank);
}

}  // namespace

// Selection, not a sort (see middle_by_buckets); small inputs go straight to nth_element.
// The result depends only on the multiset of values (where -0.0 and +0.0 both occur,
// which of them lands on a rank depends on the algorithm; the callers pass positive
// spacings and absolute values).
template <class F>
F median_select(std::span<F> values) {
    const std::size_t n = values.size();
    QB_ASSERT(n >= 1, "median_select: no values");
    const Extremes<F> range = extremes(values.data(), n);
    QB_ASSERT(range.ordered, "median_select: unordered comparison (NaN value)");
    const std::size_t hi_rank = n / 2;
    const std::size_t lo_rank = n % 2 == 1 ? hi_rank : hi_rank - 1;
    F* const v = values.data();
    Middle<F> m;
    if (n < kDirectBelow || n > std::numeric_limits<std::uint32_t>::max()) {
        m = middle_by_nth_element(v, n, lo_rank, hi_rank);
    } else if (!range.signed_bits) {
        m = middle_by_buckets<F, PositiveKeys<F>>(v, n, lo_rank, hi_rank, range);
    } else if (range.lo >= F(0)) {
        m = middle_by_buckets<F, NonNegativeKeys<F>>(v, n, lo_rank, hi_rank, range);
    } else {
        m = middle_by_buckets<F, AnyKeys<F>>(v, n, lo_rank, hi_rank, range);
    }
    if (n % 2 == 1) return m.hi;
    return (m.hi + m.lo) * F(0.5);
}

template float median_select<float>(std::span<float>);
template double median_select<double>(std::span<double>);

}  // namespace quelbrin::core
