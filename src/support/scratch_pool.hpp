// Work storage shared by the leaves of one parallel section.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

namespace quelbrin {

// A leaf takes a scratch object (a new one when every existing one is in use) and gives it
// back when it ends, so a call allocates, and first touches, about one per thread instead
// of one per leaf.  A leaf finds in it whatever an earlier leaf left: users must not read
// anything they have not written (the solver and IRLS scratch never do).
template <class T>
class ScratchPool {
  public:
    class Lease {
      public:
        Lease(ScratchPool& pool, std::unique_ptr<T> item) : pool_(pool), item_(std::move(item)) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { pool_.give_back(std::move(item_)); }
        T& operator*() const { return *item_; }
        T* operator->() const { return item_.get(); }

      private:
        ScratchPool& pool_;
        std::unique_ptr<T> item_;
    };

    // Throws std::bad_alloc when a new object cannot be had.
    Lease take() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                std::unique_ptr<T> item = std::move(free_.back());
                free_.pop_back();
                return Lease(*this, std::move(item));
            }
        }
        return Lease(*this, std::make_unique<T>());
    }

  private:
    void give_back(std::unique_ptr<T> item) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        try {
            free_.push_back(std::move(item));
        } catch (...) {
            // No room to keep it: it is simply released.
        }
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<T>> free_;
};

}  // namespace quelbrin
