// A minimal test harness: QB_TEST(name) { ... QB_CHECK(cond); ... }
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace quelbrin_test {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}
inline int& failures_in_case() {
    static int n = 0;
    return n;
}

struct Register {
    Register(const char* name, std::function<void()> body) {
        registry().push_back({name, std::move(body)});
    }
};

inline void check(bool ok, const char* expr, const char* file, int line) {
    if (!ok) {
        std::fprintf(stderr, "  check failed: %s at %s:%d\n", expr, file, line);
        ++failures_in_case();
    }
}

inline int run_all() {
    int passed = 0, failed = 0;
    for (auto& c : registry()) {
        failures_in_case() = 0;
        try {
            c.body();
        } catch (...) {
            std::fprintf(stderr, "  uncaught exception\n");
            ++failures_in_case();
        }
        if (failures_in_case() == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED %s\n", c.name);
        }
    }
    std::printf("cpp: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace quelbrin_test

#define QB_TEST_CAT2(a, b) a##b
#define QB_TEST_CAT(a, b) QB_TEST_CAT2(a, b)
#define QB_TEST(name)                                                          \
    static void name();                                                        \
    static ::quelbrin_test::Register QB_TEST_CAT(qb_reg_, name)(#name, &name); \
    static void name()
#define QB_CHECK(cond) ::quelbrin_test::check(static_cast<bool>(cond), #cond, __FILE__, __LINE__)
