#include "parallel/machinery.hpp"

#include <unistd.h>

#include <cstdlib>

namespace quelbrin::parallel {

void machinery_failure() noexcept {
    static const char text[] = "Rayon: detected unexpected panic; aborting\n";
    ssize_t ignored = ::write(STDERR_FILENO, text, sizeof text - 1);
    (void)ignored;
    std::abort();
}

}  // namespace quelbrin::parallel
