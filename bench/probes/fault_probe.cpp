// What fresh memory costs on this machine: an 80 MiB memcpy between warm buffers from one
// and from two threads, and the first write to 80 MiB of fresh, huge-page-advised pages
// (what a new NumPy output of A's size costs) from one and from two threads.
//   g++ -O2 bench/probes/fault_probe.cpp -o /tmp/fault_probe -lpthread && /tmp/fault_probe
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <thread>
#include <vector>
#include <sys/mman.h>
using clk = std::chrono::steady_clock;
static double since(clk::time_point t) { return std::chrono::duration<double>(clk::now() - t).count() * 1e3; }
int main() {
    const size_t N = 80u << 20;
    char* src = (char*)aligned_alloc(4096, N); char* dst = (char*)aligned_alloc(4096, N);
    memset(src, 1, N); memset(dst, 2, N);
    for (int rep = 0; rep < 3; ++rep) {
        auto t = clk::now(); memcpy(dst, src, N); double t1 = since(t);
        t = clk::now();
        std::thread a([&] { memcpy(dst, src, N / 2); }); std::thread b([&] { memcpy(dst + N / 2, src + N / 2, N / 2); }); a.join(); b.join();
        double t2 = since(t);
        // fresh pages, huge-page advised, touched by 1 or 2 threads
        char* f = (char*)mmap(nullptr, N, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); madvise(f, N, MADV_HUGEPAGE);
        t = clk::now(); for (size_t i = 0; i < N; i += 4096) f[i] = 1; double t3 = since(t); munmap(f, N);
        f = (char*)mmap(nullptr, N, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); madvise(f, N, MADV_HUGEPAGE);
        t = clk::now();
        std::thread c([&] { for (size_t i = 0; i < N / 2; i += 4096) f[i] = 1; }); std::thread d([&] { for (size_t i = N / 2; i < N; i += 4096) f[i] = 1; }); c.join(); d.join();
        double t4 = since(t); munmap(f, N);
        std::printf("memcpy 80MB: 1 thread %.1f ms, 2 threads %.1f ms; fault-in fresh 80MB: 1 thread %.1f ms, 2 threads %.1f ms\n", t1, t2, t3, t4);
    }
}
