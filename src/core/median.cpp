#include "core/median.hpp"

#include <algorithm>
#include <cstdint>

#include "support/panic.hpp"

namespace quelbrin::core {

namespace {

// Below this many values the narrowing rounds do not pay for their sample.
constexpr std::size_t kNarrowFrom = 96;
constexpr std::size_t kSample = 32;
constexpr std::size_t kBracket = 6;  // sample ranks kept on each side of the target

// Batcher's odd-even merge network for kSample values, as a list of compare-exchanges.
struct Network {
    std::uint8_t lo[256];
    std::uint8_t hi[256];
    std::size_t size;
};

constexpr Network batcher_network() {
    Network net{};
    constexpr std::size_t n = kSample;
    for (std::size_t p = 1; p < n; p <<= 1) {
        for (std::size_t k = p; k >= 1; k >>= 1) {
            for (std::size_t j = k % p; j + k < n; j += 2 * k) {
                for (std::size_t i = 0; i < k && i + j + k < n; ++i) {
                    if ((i + j) / (2 * p) != (i + j + k) / (2 * p)) continue;
                    net.lo[net.size] = static_cast<std::uint8_t>(i + j);
                    net.hi[net.size] = static_cast<std::uint8_t>(i + j + k);
                    ++net.size;
                }
            }
        }
    }
    return net;
}

constexpr Network kNetwork = batcher_network();

// Sorts the kSample values (none NaN) with compare-exchanges only: no data-dependent branch.
template <class F>
void sort_sample(F* a) {
    for (std::size_t c = 0; c < kNetwork.size; ++c) {
        const F x = a[kNetwork.lo[c]];
        const F y = a[kNetwork.hi[c]];
        a[kNetwork.lo[c]] = std::min(x, y);
        a[kNetwork.hi[c]] = std::max(x, y);
    }
}

// Narrows values[0, n) to a prefix that holds the elements of ranks lo_rank .. hi_rank of
// the whole: a sorted sample gives two bounds around those ranks, one pass moves every
// value between the bounds (inclusive) to the front and counts those below, and when both
// ranks fall between the bounds the search continues in the front part.  Only swaps are
// made, so the multiset never changes; the ranks are shifted along.  Returns the new size.
template <class F>
std::size_t narrow(F* values, std::size_t n, std::size_t& lo_rank, std::size_t& hi_rank) {
    while (n >= kNarrowFrom) {
        F sample[kSample];
        for (std::size_t j = 0; j < kSample; ++j) {
            sample[j] = values[j * (n / kSample) + n / (2 * kSample)];
        }
        sort_sample(sample);
        const std::size_t centre = (hi_rank * kSample) / n;
        const std::size_t a = centre > kBracket ? centre - kBracket : 0;
        const std::size_t b = centre + kBracket < kSample ? centre + kBracket : kSample - 1;
        const F lo = sample[a];
        const F hi = sample[b];
        std::size_t below = 0;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {  // branch-free partition
            const F v = values[i];
            const std::size_t under = v < lo;
            const std::size_t inside = static_cast<std::size_t>(lo <= v) & (v <= hi);
            below += under;
            values[i] = values[kept];
            values[kept] = v;
            kept += inside;
        }
        if (below > lo_rank || hi_rank >= below + kept || kept == n) return n;
        lo_rank -= below;
        hi_rank -= below;
        n = kept;
    }
    return n;
}

}  // namespace

// Selection, not a sort: the element of rank n/2 is put in place with nth_element, and for
// even n the element of rank n/2 - 1 is the largest of the part below it.  Large inputs
// are first narrowed to the values around those ranks (see narrow).  The result depends
// only on the multiset of values (where -0.0 and +0.0 both occur, which of them lands on a
// rank depends on the algorithm; the callers pass positive spacings and absolute values).
template <class F>
F median_select(std::span<F> values) {
    const std::size_t n = values.size();
    QB_ASSERT(n >= 1, "median_select: no values");
    bool ordered = true;
    for (F v : values) ordered &= v == v;
    QB_ASSERT(ordered, "median_select: unordered comparison (NaN value)");
    std::size_t hi_rank = n / 2;
    std::size_t lo_rank = n % 2 == 1 ? hi_rank : hi_rank - 1;
    const bool odd = n % 2 == 1;
    const std::size_t m = narrow(values.data(), n, lo_rank, hi_rank);
    F* const first = values.data();
    std::nth_element(first, first + hi_rank, first + m);
    const F hi = first[hi_rank];
    if (odd) return hi;
    const F lo = *std::max_element(first, first + hi_rank);
    return (hi + lo) * F(0.5);
}

template float median_select<float>(std::span<float>);
template double median_select<double>(std::span<double>);

}  // namespace quelbrin::core
