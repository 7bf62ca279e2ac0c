// Sweep kernel for the baseline instruction set (see CMakeLists.txt for its flags).
#include "selection/sweep_kernel.hpp"

namespace quelbrin::selection {

SweepSet sweep_set_baseline() { return SweepSet{&sweep}; }

}  // namespace quelbrin::selection
