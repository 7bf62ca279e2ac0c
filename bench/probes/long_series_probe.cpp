// One series of 1,000,000 irregular points, d = 2: the one-pass path (long_series.cpp)
// against the general path's parts (normalize_x, build_penalty_band, solve_banded), with a
// bit-for-bit check.  Build from the repo root after `make cpp-tests`:
//   g++ -O3 -std=c++20 -ffp-contract=off -Isrc bench/probes/long_series_probe.cpp \
//       build/cpp-tests/libquelbrin_native.a -lpthread -o /tmp/long_series_probe
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>
#include <cmath>
#include <cstring>
#include "core/long_series.hpp"
#include "core/band.hpp"
#include "core/normalize.hpp"
#include "core/solver.hpp"
using namespace quelbrin::core;
int main(int argc, char** argv) {
    const std::size_t T = 1000000;
    std::mt19937_64 rng(0);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<double> x(T), y(T), out(T);
    double at = 0;
    for (auto& v : x) { at += 0.2 + 1.6 * u(rng); v = at; }
    for (std::size_t t = 0; t < T; ++t) y[t] = u(rng) < 0.05 ? NAN : std::sin(x[t] / 25) + u(rng) - 0.5;
    auto now = [] { return std::chrono::steady_clock::now(); };
    for (int rep = 0; rep < 5; ++rep) {
        auto t0 = now();
        LongSeries<double> p{x, grid_map<double>(x, "mean"), 2, y.data(), nullptr, 10.0, 1e-10, 1e-10};
        bool ok = solve_long_series(p, out.data());
        auto t1 = now();
        auto xn = normalize_x<double>(x, "mean");
        auto t2 = now();
        auto band = build_penalty_band<double>(xn, 2, 1e-10);
        auto t3 = now();
        std::vector<double> w(T), yv(T);
        for (std::size_t t = 0; t < T; ++t) { bool o = std::isfinite(y[t]); w[t] = o; yv[t] = o ? y[t] : 0; }
        std::vector<double> ref(T);
        auto t4 = now();
        solve_banded(band, w.data(), yv.data(), 10.0, 1e-10, 1e-10, ref.data());
        auto t5 = now();
        auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
        std::printf("one-pass %.1f ms (ok %d, same %d) | normalize %.1f band %.1f solve_banded %.1f\n", ms(t0, t1), ok,
                    std::memcmp(out.data(), ref.data(), T * 8) == 0, ms(t1, t2), ms(t2, t3), ms(t4, t5));
    }
}
