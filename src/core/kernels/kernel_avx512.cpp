// Block kernels for AVX-512F (64-byte vectors); this file is compiled with -mavx512f.
#define QB_KERNEL_NATIVE_BYTES 64
#include "core/kernels/block_kernel.hpp"

namespace quelbrin::core::kernels {

KernelSet<float> kernel_set_avx512(float) { return make_kernel_set<float>(); }
KernelSet<double> kernel_set_avx512(double) { return make_kernel_set<double>(); }

}  // namespace quelbrin::core::kernels
