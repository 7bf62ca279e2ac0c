// The AVX2 block kernel alone, on interleaved data already in cache: nanoseconds per
// series element for the lane counts the batch solver uses (16 doubles, 32 floats) and
// their neighbours, for comparison with the divider bound of divider_probe.
// Build from the repo root after `make install` (it links the band builder):
//   g++ -std=c++20 -O3 -ffp-contract=off -mavx2 -mno-fma -Wno-psabi -Isrc \
//       bench/probes/kernel_probe.cpp build/cp313-cp313-linux_x86_64/libquelbrin_native.a \
//       -o /tmp/kernel_probe && /tmp/kernel_probe
#define QB_KERNEL_NATIVE_BYTES 32
#include "core/kernels/block_kernel.hpp"
#include "core/band.hpp"
#include "core/normalize.hpp"
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <cmath>
using namespace quelbrin::core::kernels;
template <class F, std::size_t B> void run(std::size_t T, long total) {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(0.2, 1.8), n(-1, 1);
    // a plausible d=2 band: pb0 ~ 6, pb1 ~ -4, pb2 ~ 1 (scaled), rows 3,4 zero
    std::vector<F> x(T); double acc = 0; for (auto& v : x) { acc += u(rng); v = F(acc); }
    auto xn = quelbrin::core::normalize_x(std::span<const F>(x), std::optional<std::string_view>("mean"));
    auto band = quelbrin::core::build_penalty_band(std::span<const F>(xn), 2, F(1e-10));
    const std::vector<F>& pb = band.values;
    std::vector<F> w0(T * B), y0(T * B);
    for (std::size_t i = 0; i < T * B; ++i) { w0[i] = F(1); y0[i] = F(n(rng)); if (i % 19 == 0) w0[i] = y0[i] = 0; }
    F* w = (F*)aligned_alloc(64, T * B * sizeof(F)); F* y = (F*)aligned_alloc(64, T * B * sizeof(F));
    F* L = (F*)aligned_alloc(64, 2 * T * B * sizeof(F));
    std::vector<std::vector<F>> rows(B, std::vector<F>(T)); std::vector<F*> out(B);
    for (std::size_t l = 0; l < B; ++l) out[l] = rows[l].data();
    BlockArgs<F> a{}; a.pb = pb.data(); a.T = T; a.dl = 2; a.lam = 10; a.ridge = 0; a.eps = F(1e-10);
    a.w = w; a.y = y; a.L = L; a.out = out.data(); a.count = B;
    long reps = total / (T * B);
    double tk = 0, tc = 0; std::uint64_t redo = 0;
    for (long r = 0; r < reps; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        std::memcpy(w, w0.data(), T * B * sizeof(F)); std::memcpy(y, y0.data(), T * B * sizeof(F));
        auto t1 = std::chrono::steady_clock::now();
        redo |= solve_block<F, B, 2, true>(a);
        auto t2 = std::chrono::steady_clock::now();
        tc += std::chrono::duration<double>(t1 - t0).count(); tk += std::chrono::duration<double>(t2 - t1).count();
    }
    double chk = 0; for (auto& r : rows) for (F v : r) chk += v;
    std::printf("%s B=%2zu T=%5zu: kernel %.3f ns/elem (copy %.3f) redo=%llx chk=%.6g\n", sizeof(F) == 4 ? "f32" : "f64", B, T,
                tk * 1e9 / (reps * T * B), tc * 1e9 / (reps * T * B), (unsigned long long)redo, chk);
}
int main() {
    const long total = 100000000;
    run<double, 8>(1000, total);
    run<double, 16>(1000, total);
    run<float, 16>(1000, total);
    run<float, 32>(1000, total);
    run<double, 16>(200, total);
    run<float, 32>(200, total);
}
