// Block kernels for AVX2 (32-byte vectors); this file is compiled with -mavx2.
#define QB_KERNEL_NATIVE_BYTES 32
#include "core/kernels/block_kernel.hpp"

namespace quelbrin::core::kernels {

KernelSet<float> kernel_set_avx2(float) { return make_kernel_set<float>(); }
KernelSet<double> kernel_set_avx2(double) { return make_kernel_set<double>(); }

}  // namespace quelbrin::core::kernels
