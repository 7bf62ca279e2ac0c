// Transparent huge pages for large work arrays.  On systems that hand them out only on
// request, first-touch page faults of fresh 4 KiB pages can cost more than the arithmetic
// on a long series; asking for huge pages before the first touch avoids most of them.
// Advice only: nothing changes where the system declines.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quelbrin {

inline constexpr std::size_t kHugePage = std::size_t(2) << 20;

// Advises huge pages for the whole 2 MiB pages inside [p, p + bytes).
inline void advise_huge_pages(void* p, std::size_t bytes) {
    if (bytes < 2 * kHugePage) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// v.assign(n, value) with huge pages advised between the allocation and the first touch.
template <class F>
void assign_on_huge_pages(std::vector<F>& v, std::size_t n, F value) {
    v.clear();
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(F));
    v.assign(n, value);
}

// v.assign(first, last) likewise.
template <class F, class It>
void assign_on_huge_pages(std::vector<F>& v, It first, It last) {
    v.clear();
    v.reserve(static_cast<std::size_t>(last - first));
    advise_huge_pages(v.data(), v.capacity() * sizeof(F));
    v.assign(first, last);
}

}  // namespace quelbrin
