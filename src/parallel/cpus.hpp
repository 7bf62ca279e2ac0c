// The worker pool's thread count: the two environment variables, then the processors
// available to the process (control-group CPU quota, affinity mask, online processors).
//
// Everything that reads text or files takes it as an argument, so the rules can be checked
// on fake inputs; `pool_thread_count_from_environment` is the one that reads the real
// process state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quelbrin::parallel {

// An unsigned decimal count: an optional leading '+', then one or more digits and nothing
// else (no '-', no blanks, not empty).  Leading zeros are fine; a value that does not fit
// in 64 bits is rejected.
std::optional<std::uint64_t> parse_count(std::string_view text) noexcept;

// The thread-count rule, given the values of "RAYON_NUM_THREADS" and "RAYON_RS_NUM_CPUS"
// (nullptr when unset) and the number of available CPUs.  A valid value >= 1 of the first
// variable wins; a valid 0 there goes straight to the CPUs without looking at the second;
// otherwise the second is read the same way.  Never less than 1.
std::size_t thread_count_rule(const char* num_threads, const char* rs_num_cpus,
                              std::size_t available) noexcept;

// Where the control-group files live; tests point these at a temporary directory.
struct CgroupFiles {
    std::string proc_cgroup = "/proc/self/cgroup";
    std::string mountinfo = "/proc/self/mountinfo";
    std::string cgroup_root = "/sys/fs/cgroup";
};

// The CPU quota of the process's control group, rounded down and at least 1, or nothing
// when no quota applies (no group, unreadable files, "max", a quota of -1).  The group's
// directory and each ancestor up to the hierarchy's root are consulted and the smallest
// quota wins.  A version-1 group with the cpu controller takes precedence over the
// version-2 group.
std::optional<std::uint64_t> cgroup_cpu_quota(const CgroupFiles& files);

// Combines the parts of the available-CPU count: the quota (if any), the number of CPUs in
// the affinity mask (nothing if it could not be read or is empty) and the number of online
// processors (<= 0 when unknown).  Returns 0 when the count cannot be determined.
std::size_t combine_cpu_count(std::optional<std::uint64_t> quota,
                              std::optional<std::size_t> affinity, long online) noexcept;

// The number of CPUs available to this process, or 0 when it cannot be determined.
std::size_t available_cpus();

// The pool size for this process: the rule above applied to the real environment and
// CPUs.  Always >= 1.
std::size_t pool_thread_count_from_environment();

}  // namespace quelbrin::parallel
