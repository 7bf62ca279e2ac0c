// The one place where the process gives up: a failure of the pool's own machinery
// (a mutex refused, a queue that cannot grow while taking work back), outside any job,
// leaves no thread able to report it to a caller.
#pragma once

namespace quelbrin::parallel {

[[noreturn]] void machinery_failure() noexcept;

}  // namespace quelbrin::parallel
