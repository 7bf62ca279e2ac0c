// A non-owning reference to a callable: passes lambdas across layers without allocation.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quelbrin {

template <class Sig>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
  public:
    template <class C, class = std::enable_if_t<!std::is_same_v<std::decay_t<C>, FunctionRef>>>
    FunctionRef(C&& c) noexcept
        : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(c)))),
          call_([](void* o, Args... a) -> R {
              return (*static_cast<std::remove_reference_t<C>*>(o))(std::forward<Args>(a)...);
          }) {}
    R operator()(Args... a) const { return call_(obj_, std::forward<Args>(a)...); }

  private:
    void* obj_;
    R (*call_)(void*, Args...);
};

}  // namespace quelbrin
