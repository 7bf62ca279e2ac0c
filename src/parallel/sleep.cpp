#include "parallel/sleep.hpp"

#include "parallel/machinery.hpp"

namespace quelbrin::parallel {

void Sleep::sleep_until_changed(std::uint64_t seen) {
    std::unique_lock<std::mutex> lk(m_);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    while (epoch_.load(std::memory_order_seq_cst) == seen) cv_.wait(lk);
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

void Sleep::wake_one() noexcept {
    epoch_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    lock_and_release();
    cv_.notify_one();
}

void Sleep::wake_all() noexcept {
    epoch_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) == 0 && !terminating()) return;
    lock_and_release();
    cv_.notify_all();
}

void Sleep::terminate() noexcept {
    terminating_.store(true, std::memory_order_release);
    wake_all();
}

void Sleep::lock_and_release() noexcept {
    try {
        std::lock_guard<std::mutex> lk(m_);
    } catch (...) {
        machinery_failure();
    }
}

}  // namespace quelbrin::parallel
