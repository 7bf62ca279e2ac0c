// A minimal test harness: QB_TEST(name) { ... QB_CHECK(cond); ... }
#pragma once

#include <unistd.h>

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

// Standard error of the running case goes to a temporary file: the panic reports that
// tests provoke on purpose are checked through stderr_text() instead of being printed.  A
// failing case's output is replayed, so nothing that explains a failure is lost.
class StderrCapture {
  public:
    void start() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        if (file_ == nullptr) return;  // no capture: the output simply stays visible
        saved_ = ::dup(2);
        ::dup2(::fileno(file_), 2);
    }
    // Everything written to standard error since start().
    std::string text() const {
        std::string out;
        if (file_ == nullptr) return out;
        std::fflush(stderr);
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = ::pread(::fileno(file_), buf, sizeof buf, at)) > 0; at += n)
            out.append(buf, static_cast<std::size_t>(n));
        return out;
    }
    // Restores standard error and returns what was captured.
    std::string stop() {
        std::string out = text();
        if (file_ == nullptr) return out;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        std::fclose(file_);
        file_ = nullptr;
        return out;
    }

  private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

inline StderrCapture& capture() {
    static StderrCapture c;
    return c;
}

// What the running case has written to standard error so far (panic reports included,
// from any thread).
inline std::string stderr_text() { return capture().text(); }

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

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
        capture().start();
        try {
            c.body();
        } catch (...) {
            std::fprintf(stderr, "  uncaught exception\n");
            ++failures_in_case();
        }
        const std::string output = capture().stop();
        if (failures_in_case() != 0) std::fputs(output.c_str(), stderr);
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
