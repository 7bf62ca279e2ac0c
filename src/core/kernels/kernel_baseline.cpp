// Block kernels for any x86-64 CPU (SSE2, 16-byte vectors).
#define QB_KERNEL_NATIVE_BYTES 16
#include "core/kernels/block_kernel.hpp"

namespace quelbrin::core::kernels {

KernelSet<float> kernel_set_baseline(float) { return make_kernel_set<float>(); }
KernelSet<double> kernel_set_baseline(double) { return make_kernel_set<double>(); }

}  // namespace quelbrin::core::kernels
