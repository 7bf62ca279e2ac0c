// Brent's cycle detection on one series' weight rows, for the loops that re-weight between
// fits (the robust IRLS, and quelbrin_auto's envelope and robust smoothing): one saved row,
// taken at fits whose distance doubles, compared with every later row.  A match means the
// rows repeat with the distance as period.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quelbrin::robust {

// Pass from which a loop starts looking for cycles longer than one fit; shorter runs (the
// usual iteration counts) never pay for the saved rows.
inline constexpr std::uint64_t kWatchFrom = 16;

template <class F>
struct CycleWatch {
    std::vector<F> saved;
    std::uint64_t saved_at = 0;
    std::uint64_t power = 0;

    void reset() {
        saved.clear();
        power = 0;
    }
    // Sees the row after fit k; returns the period when it repeats the saved row, else 0.
    std::uint64_t observe(const F* row, std::size_t T, std::uint64_t k) {
        if (!saved.empty() && std::memcmp(saved.data(), row, T * sizeof(F)) == 0)
            return k - saved_at;
        if (saved.empty() || k - saved_at == power) {
            saved.assign(row, row + T);
            saved_at = k;
            power = power == 0 ? 1 : 2 * power;
        }
        return 0;
    }
};

}  // namespace quelbrin::robust
