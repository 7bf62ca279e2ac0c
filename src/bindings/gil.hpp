// The interpreter lock around a call's numerical work.  quelbrin_auto lets other Python
// threads run while it computes (its inputs stay referenced by the call); the few Python
// operations inside that work (making an output array, checking for signals) take the lock
// back for their duration.  quelbrin keeps the lock for the whole call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quelbrin::bindings {

// The thread state this thread gave up in its current GilReleased scope; null while the
// thread holds the lock (or never took part in a call).
inline thread_local PyThreadState* t_released_state = nullptr;

// Releases the lock for the scope; takes it back on every path out.
class GilReleased {
  public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) { t_released_state = state_; }
    ~GilReleased() {
        t_released_state = nullptr;
        PyEval_RestoreThread(state_);
    }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

  private:
    PyThreadState* state_;
};

// Holds the lock for the scope: takes it back if this thread released it in a GilReleased
// scope, and gives it up again at the end; does nothing where the lock is held anyway.
class GilHeld {
  public:
    GilHeld() noexcept : state_(std::exchange(t_released_state, nullptr)) {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    ~GilHeld() {
        if (state_ != nullptr) t_released_state = PyEval_SaveThread();
    }
    GilHeld(const GilHeld&) = delete;
    GilHeld& operator=(const GilHeld&) = delete;

  private:
    PyThreadState* state_;
};

// Runs `work` without the lock.
template <class Work>
decltype(auto) without_gil(Work&& work) {
    const GilReleased released;
    return std::forward<Work>(work)();
}

}  // namespace quelbrin::bindings
