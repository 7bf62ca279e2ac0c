// Element counts for work storage, computed with overflow checks.
#pragma once

#include <cstddef>
#include <limits>
#include <new>

namespace quelbrin {

// a * b as an element count for a buffer of T; a count whose byte size cannot be
// represented is reported like any other failed allocation (std::bad_alloc), so that it
// reaches Python as MemoryError instead of wrapping around to a small buffer.
template <class T>
std::size_t checked_count(std::size_t a, std::size_t b) {
    constexpr std::size_t limit = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(T);
    if (a != 0 && b > limit / a) throw std::bad_alloc();
    return a * b;
}

}  // namespace quelbrin
