// Sweep kernel for the avx512 instruction set (see CMakeLists.txt for its flags).
#include "selection/sweep_kernel.hpp"

namespace quelbrin::selection {

SweepSet sweep_set_avx512() { return SweepSet{&sweep}; }

}  // namespace quelbrin::selection
