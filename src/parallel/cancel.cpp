#include "parallel/cancel.hpp"

#include <algorithm>

namespace quelbrin::parallel {
namespace {

thread_local CancelToken* t_token = nullptr;

using Clock = std::chrono::steady_clock;

// A chunk quicker than this doubles the next one, a slower one halves it: checks stay a
// few milliseconds apart while their cost stays out of sight.
constexpr Clock::duration kChunkShort = std::chrono::milliseconds(2);
constexpr Clock::duration kChunkLong = std::chrono::milliseconds(8);

}  // namespace

bool CancelToken::poll(bool force) {
    if (cancelled()) return true;
    if (!on_owner_thread()) return false;
    const Clock::time_point now = Clock::now();
    if (!force && now < next_check_) return false;
    next_check_ = now + kPollInterval;
    bool stop = true;  // a check that cannot even run cannot let the work go on
    try {
        stop = check_();
    } catch (...) {
    }
    if (stop) cancelled_.store(true, std::memory_order_release);
    return cancelled();
}

CancelToken* current_token() noexcept { return t_token; }

TokenScope::TokenScope(CancelToken* token) noexcept : previous_(t_token) { t_token = token; }
TokenScope::~TokenScope() { t_token = previous_; }

void interruption_point() {
    if (t_token != nullptr && t_token->poll()) throw Cancelled{};
}

void run_interruptible(CancelToken* token, std::size_t lo, std::size_t hi,
                       FunctionRef<void(std::size_t, std::size_t)> leaf) {
    if (token == nullptr) {
        if (lo < hi) leaf(lo, hi);
        return;
    }
    const TokenScope scope(token);  // nested sections and the leaf's own points see it
    std::size_t chunk = kChunkAlign;
    for (std::size_t a = lo; a < hi;) {
        interruption_point();
        const std::size_t b = hi - a <= chunk ? hi : a + chunk;
        const Clock::time_point start = Clock::now();
        leaf(a, b);
        const Clock::duration took = Clock::now() - start;
        if (took < kChunkShort && b - a == chunk) {
            chunk *= 2;
        } else if (took > kChunkLong) {
            chunk = std::max(kChunkAlign, chunk / 2);
        }
        a = b;
    }
}

}  // namespace quelbrin::parallel
