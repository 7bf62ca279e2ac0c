// The worker pool, the series dispatch and the thread-count rules.
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "parallel/cancel.hpp"
#include "parallel/cpus.hpp"
#include "parallel/for_each_series.hpp"
#include "parallel/pool.hpp"
#include "support/panic.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin;
using namespace quelbrin::parallel;

namespace {

// Private pools by size, built once and kept (pools are never freed).
Pool& pool_of(std::size_t n) {
    static std::mutex m;
    static std::vector<std::pair<std::size_t, Pool*>> pools;
    std::lock_guard<std::mutex> lk(m);
    for (auto& [size, pool] : pools)
        if (size == n) return *pool;
    PoolBuild b = build_pool(n, default_stack_size());
    if (b.os_error != 0) std::abort();
    pools.emplace_back(n, b.pool);
    return *b.pool;
}

long this_tid() { return static_cast<long>(syscall(SYS_gettid)); }

// Records which leaves ran; checks they tile [0, S) and each series ran once.
struct Coverage {
    explicit Coverage(std::size_t S) : hits(S) {}
    std::vector<std::atomic<int>> hits;
    std::mutex m;
    std::vector<std::pair<std::size_t, std::size_t>> leaves;
    std::atomic<bool> ran_on_caller{false};
    long caller = this_tid();

    void leaf(std::size_t lo, std::size_t hi) {
        if (this_tid() == caller) ran_on_caller = true;
        for (std::size_t s = lo; s < hi; ++s) hits[s].fetch_add(1);
        std::lock_guard<std::mutex> lk(m);
        leaves.emplace_back(lo, hi);
    }
    bool each_once() const {
        return std::all_of(hits.begin(), hits.end(),
                           [](const std::atomic<int>& h) { return h == 1; });
    }
    bool leaves_nonempty() const {
        return std::all_of(leaves.begin(), leaves.end(),
                           [](auto& r) { return r.first < r.second; });
    }
};

std::string panic_message_of(auto&& run) {
    try {
        run();
    } catch (const Panic& p) {
        return p.message;
    }
    return "<no panic>";
}

}  // namespace

// ---------------------------------------------------------------- thread-count rules

QB_TEST(count_parser_accepts_only_plus_and_digits) {
    const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
        {"3", 3},
        {"+3", 3},
        {"0", 0},
        {"007", 7},
        {"+0", 0},
        {"18446744073709551615", 18446744073709551615ull},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-1", std::nullopt},
        {"-0", std::nullopt},
        {" 3", std::nullopt},
        {"3 ", std::nullopt},
        {"3\n", std::nullopt},
        {"abc", std::nullopt},
        {"3x", std::nullopt},
        {"++3", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (auto& [text, expected] : cases) {
        auto got = parse_count(text);
        QB_CHECK(got == expected);
        if (got != expected) std::fprintf(stderr, "    parse_count(\"%s\")\n", text);
    }
}

QB_TEST(thread_count_rule_order_of_variables) {
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t available;
        std::size_t expected;
    };
    const Case cases[] = {
        {"0", "5", 8, 8},  // 0 goes to the CPUs without looking at the second
        {"99999999999999999999", "5", 8, 5},
        {nullptr, "0", 8, 8},
        {"abc", "abc", 6, 6},
        {nullptr, nullptr, 0, 1},  // undetermined CPUs give one thread
        {"0", "5", 0, 1},
        {"+0007", nullptr, 2, 7},
    };
    for (const Case& c : cases) {
        std::size_t got = thread_count_rule(c.num_threads, c.rs_num_cpus, c.available);
        QB_CHECK(got == c.expected);
        if (got != c.expected)
            std::fprintf(stderr, "    rule(%s, %s, %zu) = %zu\n",
                         c.num_threads ? c.num_threads : "unset",
                         c.rs_num_cpus ? c.rs_num_cpus : "unset", c.available, got);
    }
}

QB_TEST(cpu_count_combines_quota_affinity_and_online) {
    using Q = std::optional<std::uint64_t>;
    using A = std::optional<std::size_t>;
    QB_CHECK(combine_cpu_count(Q{}, A{3}, 8) == 3);   // pinned to 3, no quota
    QB_CHECK(combine_cpu_count(Q{2}, A{8}, 8) == 2);  // 2.5 CPUs on 8
    QB_CHECK(combine_cpu_count(Q{1}, A{8}, 8) == 1);  // 1.5 CPUs
    QB_CHECK(combine_cpu_count(Q{16}, A{4}, 8) == 4);
    QB_CHECK(combine_cpu_count(Q{}, A{}, 6) == 6);    // no mask: online processors
    QB_CHECK(combine_cpu_count(Q{2}, A{0}, 6) == 2);  // empty mask counts as unreadable
    QB_CHECK(combine_cpu_count(Q{}, A{}, 0) == 0);    // undetermined
    QB_CHECK(combine_cpu_count(Q{3}, A{}, -1) == 0);
    QB_CHECK(available_cpus() >= 1);
    QB_CHECK(pool_thread_count_from_environment() >= 1);
}

namespace {

// A throw-away directory tree standing in for /proc/self and /sys/fs/cgroup.
struct FakeTree {
    std::filesystem::path root;
    FakeTree() {
        char tmpl[] = "/tmp/qb-cgroup-XXXXXX";
        root = mkdtemp(tmpl);
    }
    ~FakeTree() { std::filesystem::remove_all(root); }
    std::string path(const std::string& rel) const { return root.string() + rel; }
    void write(const std::string& rel, const std::string& text) const {
        std::filesystem::path full = path(rel);
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full) << text;
    }
    CgroupFiles files() const {
        return CgroupFiles{path("/proc/cgroup"), path("/proc/mountinfo"), path("/sys")};
    }
};

}  // namespace

QB_TEST(cgroup_v2_quota_smallest_level_or_none) {
    FakeTree t;
    t.write("/proc/cgroup", "0::/a/b\n");
    t.write("/sys/a/b/cpu.max", "max 100000\n");
    t.write("/sys/a/cpu.max", "250000 100000\n");
    t.write("/sys/cpu.max", "800000 100000\n");
    QB_CHECK(cgroup_cpu_quota(t.files()) == std::optional<std::uint64_t>(2));

    t.write("/sys/a/b/cpu.max", "150000 100000\n");
    QB_CHECK(cgroup_cpu_quota(t.files()) == std::optional<std::uint64_t>(1));

    t.write("/sys/a/b/cpu.max", "50000 100000\n");  // half a CPU still gives one
    QB_CHECK(cgroup_cpu_quota(t.files()) == std::optional<std::uint64_t>(1));

    t.write("/proc/cgroup", "0::/c\n");
    t.write("/sys/cpu.max", "max 100000\n");
    t.write("/sys/c/cpu.max", "max 100000\n");
    QB_CHECK(!cgroup_cpu_quota(t.files()).has_value());
    t.write("/sys/c/cpu.max", "300000 0\n");  // period 0 is ignored
    QB_CHECK(!cgroup_cpu_quota(t.files()).has_value());
    t.write("/sys/c/cpu.max", "garbage\n");
    QB_CHECK(!cgroup_cpu_quota(t.files()).has_value());
    t.write("/proc/cgroup", "0::/missing/group\n");  // unreadable files are skipped
    QB_CHECK(!cgroup_cpu_quota(t.files()).has_value());
    FakeTree empty;  // no /proc/self/cgroup at all
    QB_CHECK(!cgroup_cpu_quota(empty.files()).has_value());
}

QB_TEST(cgroup_v1_usual_mounts_and_precedence) {
    for (const char* mount : {"/sys/cpu", "/sys/cpu,cpuacct"}) {
        FakeTree t;
        // The v1 cpu line wins over the v2 line, whichever comes first.
        t.write("/proc/cgroup", "0::/v2\n4:cpu,cpuacct:/g/h\n3:memory:/m\n");
        t.write("/sys/v2/cpu.max", "100000 100000\n");
        t.write(std::string(mount) + "/g/h/cpu.cfs_quota_us", "-1\n");
        t.write(std::string(mount) + "/g/h/cpu.cfs_period_us", "100000\n");
        t.write(std::string(mount) + "/g/cpu.cfs_quota_us", "350000\n");
        t.write(std::string(mount) + "/g/cpu.cfs_period_us", "100000\n");
        QB_CHECK(cgroup_cpu_quota(t.files()) == std::optional<std::uint64_t>(3));

        t.write(std::string(mount) + "/g/cpu.cfs_quota_us", "-1\n");
        QB_CHECK(!cgroup_cpu_quota(t.files()).has_value());
    }
}

QB_TEST(cgroup_v1_mount_from_mountinfo) {
    FakeTree t;
    std::string mp = t.path("/mnt/cpuctl");
    t.write("/proc/cgroup", "2:cpu:/outer/inner\n0::/\n");
    // Mounted with root /outer: the group's path is taken relative to it.
    t.write("/proc/mountinfo",
            "30 20 0:26 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
            "31 30 0:27 / " +
                t.path("/mnt/mem") +
                " rw shared:9 - cgroup cgroup rw,memory\n"
                "32 30 0:28 /outer " +
                mp + " rw shared:10 - cgroup cgroup rw,cpu,cpuacct\n");
    t.write("/mnt/cpuctl/inner/cpu.cfs_quota_us", "200000\n");
    t.write("/mnt/cpuctl/inner/cpu.cfs_period_us", "100000\n");
    t.write("/mnt/cpuctl/cpu.cfs_quota_us", "-1\n");
    t.write("/mnt/cpuctl/cpu.cfs_period_us", "100000\n");
    QB_CHECK(cgroup_cpu_quota(t.files()) == std::optional<std::uint64_t>(2));

    // A group outside the mount's root is not found there.
    t.write("/proc/cgroup", "2:cpu:/elsewhere\n");
    QB_CHECK(!cgroup_cpu_quota(t.files()).has_value());
}

// ---------------------------------------------------------------- dispatch

QB_TEST(every_series_processed_exactly_once) {
    const std::size_t sizes[] = {0, 1, 2, 3, 5, 16, 17, 100, 1000, 4099};
    for (std::size_t n : {1, 2, 3, 4, 7}) {
        for (std::size_t S : sizes) {
            Coverage cov(S);
            for_each_series_range_on(pool_of(n), S, 4,
                                     [&](std::size_t lo, std::size_t hi) { cov.leaf(lo, hi); });
            QB_CHECK(cov.each_once());
            QB_CHECK(cov.leaves_nonempty());
            QB_CHECK(!cov.ran_on_caller);  // the caller only waits
        }
    }
    for (bool parallel : {false, true}) {
        for (std::size_t S : sizes) {
            Coverage cov(S);
            for_each_series_range(parallel, S, 4,
                                  [&](std::size_t lo, std::size_t hi) { cov.leaf(lo, hi); });
            QB_CHECK(cov.each_once());
            QB_CHECK(cov.leaves_nonempty());
            // Serial (or fewer than two series): one leaf on the calling thread.
            const bool serial = !parallel || S < 2;
            QB_CHECK(cov.ran_on_caller == (serial && S > 0));
            if (serial) QB_CHECK(cov.leaves.size() == (S > 0 ? 1u : 0u));
        }
    }
}

QB_TEST(single_thread_pool_follows_the_split_budget) {
    // With one thread nothing is ever stolen, so the leaves are fixed: the root splits on
    // its budget, its halves count as taken over and get a budget of N again, which
    // allows two more levels.
    auto leaves_of = [](std::size_t S) {
        Coverage cov(S);
        for_each_series_range_on(pool_of(1), S, 1,
                                 [&](std::size_t lo, std::size_t hi) { cov.leaf(lo, hi); });
        std::sort(cov.leaves.begin(), cov.leaves.end());
        return cov.leaves;
    };
    using R = std::vector<std::pair<std::size_t, std::size_t>>;
    QB_CHECK(leaves_of(2) == (R{{0, 1}, {1, 2}}));
    QB_CHECK(leaves_of(3) == (R{{0, 1}, {1, 2}, {2, 3}}));
    R sixteen;
    for (std::size_t lo = 0; lo < 16; lo += 2) sixteen.emplace_back(lo, lo + 2);
    QB_CHECK(leaves_of(16) == sixteen);
    R big = leaves_of(1000);
    QB_CHECK(big.size() == 8);
    QB_CHECK(
        std::all_of(big.begin(), big.end(), [](auto& r) { return r.second - r.first == 125; }));
}

QB_TEST(parallel_section_with_zero_row_length_panics) {
    bool called = false;
    auto leaf = [&](std::size_t, std::size_t) { called = true; };
    QB_CHECK(panic_message_of([&] { for_each_series_range(true, 5, 0, leaf); }) ==
             "chunk_size must not be zero");
    QB_CHECK(quelbrin_test::contains(quelbrin_test::stderr_text(), "chunk_size must not be zero"));
    QB_CHECK(!called);
    for_each_series_range(false, 5, 0, leaf);  // the serial loop has no such precondition
    QB_CHECK(called);
}

QB_TEST(lowest_failing_series_wins_after_all_tasks_finish) {
    const std::size_t S = 64;
    const std::vector<std::size_t> failing = {41, 9, 23, 63};
    auto run_case = [&](auto&& dispatch, bool parallel) {
        std::vector<std::atomic<int>> hits(S);
        std::atomic<int> active{0};
        std::atomic<int> active_at_arrival{-1};
        auto leaf = [&](std::size_t lo, std::size_t hi) {
            active.fetch_add(1);
            struct Leave {
                std::atomic<int>& a;
                ~Leave() { a.fetch_sub(1); }
            } leave{active};
            for (std::size_t s = lo; s < hi; ++s) {
                hits[s].fetch_add(1);
                // Late series linger so that a fast failure could overtake them.
                if (s > 50) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                if (std::find(failing.begin(), failing.end(), s) != failing.end())
                    QB_PANIC("series " + std::to_string(s) + " failed");
            }
        };
        std::string msg;
        try {
            dispatch(leaf);
            msg = "<no panic>";
        } catch (const Panic& p) {
            msg = p.message;
            active_at_arrival = active.load();
        }
        QB_CHECK(msg == "series 9 failed");
        // Reported on standard error by the thread it happened on.
        QB_CHECK(quelbrin_test::contains(quelbrin_test::stderr_text(),
                                         parallel ? "panicked at" : "thread 'main' panicked at"));
        QB_CHECK(quelbrin_test::contains(quelbrin_test::stderr_text(), "series 9 failed"));
        QB_CHECK(active_at_arrival == 0);
        for (std::size_t s = 0; s < S; ++s) QB_CHECK(hits[s] <= 1);
        for (std::size_t s = 0; s <= 9; ++s) QB_CHECK(hits[s] == 1);
        if (!parallel) {
            // The serial loop stops at the failing series.
            for (std::size_t s = 10; s < S; ++s) QB_CHECK(hits[s] == 0);
        }
    };
    run_case([&](auto& leaf) { for_each_series_range(false, S, 3, leaf); }, false);
    run_case([&](auto& leaf) { for_each_series_range(true, S, 3, leaf); }, true);
    for (std::size_t n : {1, 2, 3, 5}) {
        run_case([&](auto& leaf) { for_each_series_range_on(pool_of(n), S, 3, leaf); }, true);
        // The pool is still fine afterwards.
        Coverage cov(S);
        for_each_series_range_on(pool_of(n), S, 3,
                                 [&](std::size_t lo, std::size_t hi) { cov.leaf(lo, hi); });
        QB_CHECK(cov.each_once());
    }
}

QB_TEST(allocation_failure_on_a_worker_arrives_as_bad_alloc) {
    for (std::size_t n : {1, 3}) {
        bool got_bad_alloc = false;
        try {
            for_each_series_range_on(pool_of(n), 40, 2, [&](std::size_t lo, std::size_t hi) {
                for (std::size_t s = lo; s < hi; ++s)
                    if (s == 17) throw std::bad_alloc();
            });
        } catch (const std::bad_alloc&) {
            got_bad_alloc = true;
        }
        QB_CHECK(got_bad_alloc);
    }
    // A failure that is not a panic still loses to a lower-indexed panic.
    std::string msg = panic_message_of([&] {
        for_each_series_range(true, 40, 2, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t s = lo; s < hi; ++s) {
                if (s == 30) throw std::bad_alloc();
                if (s == 12) QB_PANIC("twelve");
            }
        });
    });
    QB_CHECK(msg == "twelve");
    QB_CHECK(quelbrin_test::contains(quelbrin_test::stderr_text(), "\ntwelve\n"));
}

QB_TEST(nested_sections_run_inside_leaves) {
    const std::size_t outer = 23, inner = 31;
    for (std::size_t n : {1, 2, 4}) {
        std::vector<std::atomic<int>> hits(outer * inner);
        for_each_series_range_on(pool_of(n), outer, 1, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t o = lo; o < hi; ++o) {
                QB_CHECK(on_pool_thread());
                for_each_series(true, inner, 1,
                                [&](std::size_t i) { hits[o * inner + i].fetch_add(1); });
            }
        });
        QB_CHECK(std::all_of(hits.begin(), hits.end(), [](auto& h) { return h == 1; }));
    }
    QB_CHECK(!on_pool_thread());
}

QB_TEST(several_outside_threads_submit_at_once) {
    Pool& pool = pool_of(3);
    const std::size_t S = 500;
    std::vector<int> ok(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                Coverage cov(S);
                for_each_series_range_on(pool, S, 1,
                                         [&](std::size_t lo, std::size_t hi) { cov.leaf(lo, hi); });
                if (cov.each_once()) ++ok[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    QB_CHECK(std::all_of(ok.begin(), ok.end(), [](int v) { return v == 20; }));
}

// ---------------------------------------------------------------- creation

namespace {
std::atomic<int> g_starts{0};
int fail_third_start(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    if (g_starts.fetch_add(1) == 2) return EAGAIN;
    return pthread_create(t, a, f, arg);
}

bool eventually(auto&& cond) {
    for (int i = 0; i < 500; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}
}  // namespace

QB_TEST(failed_build_reports_the_error_and_finishes_started_threads) {
    g_starts = 0;
    PoolBuild b = build_pool(5, default_stack_size(), &fail_third_start);
    QB_CHECK(b.os_error == EAGAIN);
    QB_CHECK(g_starts == 3);  // no attempt after the failure
    QB_CHECK(eventually([&] { return pool_running_threads(*b.pool) == 0; }));

    PoolBuild refused = build_pool(2, 1, &pthread_create);  // below the minimum stack
    QB_CHECK(refused.os_error == EINVAL);
    QB_CHECK(pool_running_threads(*refused.pool) == 0);

    PoolBuild good = build_pool(3, default_stack_size());
    QB_CHECK(good.os_error == 0);
    QB_CHECK(pool_running_threads(*good.pool) == 3);
    QB_CHECK(pool_size(*good.pool) == 3);
    QB_CHECK(default_stack_size() >= 2u * 1024 * 1024);
}

QB_TEST(absurd_thread_count_is_an_allocation_failure) {
    bool got_bad_alloc = false;
    try {
        build_pool(std::size_t{1} << 62, default_stack_size());
    } catch (const std::bad_alloc&) {
        got_bad_alloc = true;
    }
    QB_CHECK(got_bad_alloc);
}

// Cancelling: once the calling thread's check says stop, the section ends at the workers'
// next chunk, every started leaf has returned, Cancelled reaches the caller, and the pool
// runs the next section in full.  The serial loop stops the same way.
QB_TEST(a_cancelled_section_stops_soon_and_leaves_the_pool_usable) {
    using quelbrin::parallel::Cancelled;
    using quelbrin::parallel::CancelToken;
    using quelbrin::parallel::TokenScope;
    const std::size_t S = 4000;
    for (const bool parallel : {false, true}) {
        std::atomic<std::size_t> done{0};
        std::atomic<int> active{0};
        std::atomic<bool> stop{false};
        const auto check = [&] { return stop.load(); };
        CancelToken token(check);
        bool cancelled = false;
        const auto start = std::chrono::steady_clock::now();
        try {
            const TokenScope scope(&token);
            for_each_series(parallel, S, 1, [&](std::size_t) {
                active.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                if (done.fetch_add(1) == 100) stop = true;  // about 50 ms in
                active.fetch_sub(1);
            });
        } catch (const Cancelled&) {
            cancelled = true;
        }
        const auto took = std::chrono::steady_clock::now() - start;
        QB_CHECK(cancelled && token.cancelled());
        QB_CHECK(active.load() == 0);
        QB_CHECK(done.load() > 100 && done.load() < S);
        QB_CHECK(took < std::chrono::seconds(1));  // the whole section would take 2 s or more
        Coverage cov(S);
        for_each_series_range(parallel, S, 1,
                              [&](std::size_t lo, std::size_t hi) { cov.leaf(lo, hi); });
        QB_CHECK(cov.each_once());
    }
    // Without a token nothing is ever cancelled.
    QB_CHECK(quelbrin::parallel::current_token() == nullptr);
}
