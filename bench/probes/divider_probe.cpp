// Throughput of the AVX2 divide and square-root instructions (eight independent chains)
// and the latency of a dependent divide: the bound of a block kernel that performs four
// divisions and one square root per position and lane.
//   g++ -O2 -mavx2 -ffp-contract=off bench/probes/divider_probe.cpp -o /tmp/divider_probe
#include <immintrin.h>
#include <chrono>
#include <cstdio>
template <class Op> double bench(Op op, long n) {
    auto t0 = std::chrono::steady_clock::now();
    double r = op(n);
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  (%g)", r); return t / n * 1e9;
}
int main() {
    long n = 100000000;
    // 8 independent divpd ymm chains
    double tdiv = bench([](long n) {
        __m256d a[8], b = _mm256_set1_pd(1.0000001);
        for (int k = 0; k < 8; ++k) a[k] = _mm256_set1_pd(1.0 + k);
        for (long i = 0; i < n; i += 8) for (int k = 0; k < 8; ++k) a[k] = _mm256_div_pd(a[k], b);
        double s = 0; for (int k = 0; k < 8; ++k) s += a[k][0]; return s; }, n);
    double tdivps = bench([](long n) {
        __m256 a[8], b = _mm256_set1_ps(1.0000001f);
        for (int k = 0; k < 8; ++k) a[k] = _mm256_set1_ps(1.0f + k);
        for (long i = 0; i < n; i += 8) for (int k = 0; k < 8; ++k) a[k] = _mm256_div_ps(a[k], b);
        float s = 0; for (int k = 0; k < 8; ++k) s += a[k][0]; return (double)s; }, n);
    double tsq = bench([](long n) {
        __m256d a[8];
        for (int k = 0; k < 8; ++k) a[k] = _mm256_set1_pd(1.0 + k);
        for (long i = 0; i < n; i += 8) for (int k = 0; k < 8; ++k) a[k] = _mm256_sqrt_pd(a[k]);
        double s = 0; for (int k = 0; k < 8; ++k) s += a[k][0]; return s; }, n);
    double tsqps = bench([](long n) {
        __m256 a[8];
        for (int k = 0; k < 8; ++k) a[k] = _mm256_set1_ps(1.0f + k);
        for (long i = 0; i < n; i += 8) for (int k = 0; k < 8; ++k) a[k] = _mm256_sqrt_ps(a[k]);
        float s = 0; for (int k = 0; k < 8; ++k) s += a[k][0]; return (double)s; }, n);
    double tlat = bench([](long n) {
        __m256d a = _mm256_set1_pd(3.0), b = _mm256_set1_pd(1.0000001);
        for (long i = 0; i < n; ++i) a = _mm256_div_pd(a, b);
        return a[0]; }, n / 8);
    std::printf("\ndivpd ymm %.3f ns, divps ymm %.3f, sqrtpd ymm %.3f, sqrtps %.3f ns each; divpd latency %.3f ns\n", tdiv, tdivps, tsq, tsqps, tlat);
}
