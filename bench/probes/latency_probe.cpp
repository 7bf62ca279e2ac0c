// Latencies of the scalar float64 instructions on the long-series chain, in ns and in
// cycles (a chain of dependent integer adds gives the cycle: 1 cycle each), and the
// throughput of independent scalar divisions: the latency bound of one long series.
//   g++ -O2 -ffp-contract=off bench/probes/latency_probe.cpp -o /tmp/latency_probe
#include <chrono>
#include <cstdio>
template <class Op> double per_op(Op op, long n) {
    double best = 1e30;
    for (int rep = 0; rep < 5; ++rep) {
        auto t0 = std::chrono::steady_clock::now();
        op(n);
        double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (t < best) best = t;
    }
    return best / n * 1e9;
}
#define CHAIN(name, insn, init, operand)                                                   \
    per_op([](long n) {                                                                     \
        double a = init, b = operand;                                                       \
        for (long i = 0; i < n; ++i) asm volatile(insn " %1, %0" : "+x"(a) : "x"(b));       \
        asm volatile("" ::"x"(a));                                                          \
    }, n)
int main() {
    const long n = 50000000;
    double cyc = per_op([](long n) {
        long a = 0, one = 1;  // register operands: some cores eliminate immediate adds
        for (long i = 0; i < n; ++i)
            asm volatile("add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0" : "+r"(a) : "r"(one));
    }, n) / 4;
    double div = CHAIN("divsd", "divsd", 1.0, 1.0000001);
    double sq = CHAIN("sqrtsd", "sqrtsd", 2.0, 0.0);  // sqrtsd b -> a: a = sqrt(b) not a chain
    sq = per_op([](long n) {
        double a = 2.0;
        for (long i = 0; i < n; ++i) asm volatile("sqrtsd %0, %0" : "+x"(a));
        asm volatile("" ::"x"(a));
    }, n);
    double mul = CHAIN("mulsd", "mulsd", 1.0, 1.0000001);
    double sub = CHAIN("subsd", "subsd", 1.0, 1e-300);
    double mx = CHAIN("maxsd", "maxsd", 1.0, 0.5);
    double divtp = per_op([](long n) {
        double a0 = 1, a1 = 2, a2 = 3, a3 = 4, a4 = 5, a5 = 6, a6 = 7, a7 = 8, b = 1.0000001;
        for (long i = 0; i < n; i += 8)
            asm volatile("divsd %8, %0\n\tdivsd %8, %1\n\tdivsd %8, %2\n\tdivsd %8, %3\n\t"
                         "divsd %8, %4\n\tdivsd %8, %5\n\tdivsd %8, %6\n\tdivsd %8, %7"
                         : "+x"(a0), "+x"(a1), "+x"(a2), "+x"(a3), "+x"(a4), "+x"(a5), "+x"(a6), "+x"(a7)
                         : "x"(b));
    }, n);
    std::printf("cycle %.3f ns (%.2f GHz)\n", cyc, 1 / cyc);
    std::printf("latency: divsd %.2f ns = %.1f cycles, sqrtsd %.2f ns = %.1f, mulsd %.2f = %.1f, subsd %.2f = %.1f, maxsd %.2f = %.1f\n",
                div, div / cyc, sq, sq / cyc, mul, mul / cyc, sub, sub / cyc, mx, mx / cyc);
    std::printf("throughput: divsd %.2f ns = %.1f cycles\n", divtp, divtp / cyc);
    double fwd = mul + sub + sub + sq + div, back = mul + sub + div;
    std::printf("forward chain (mul, sub, sub, sqrt, div) %.1f ns/pt; back (mul, sub, div) %.1f ns/pt; sum %.1f ns/pt; with maxsd %.1f\n",
                fwd, back, fwd + back, fwd + back + mx);
}
