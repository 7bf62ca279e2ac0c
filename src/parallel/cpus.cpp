#include "parallel/cpus.hpp"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace quelbrin::parallel {
namespace {

static_assert(sizeof(std::size_t) >= sizeof(std::uint64_t),
              "thread counts are parsed as 64-bit values and must fit in size_t");

// Control-group files are tiny; anything larger than this is not one of them.
constexpr std::size_t kMaxFileBytes = 1 << 20;

// The whole content of a file, or nothing if it cannot be opened or read.
std::optional<std::string> read_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return std::nullopt;
    std::string text;
    char buf[4096];
    bool failed = false;
    while (true) {
        std::size_t n = std::fread(buf, 1, sizeof buf, f);
        text.append(buf, n);
        if (n < sizeof buf) {
            failed = std::ferror(f) != 0;
            break;
        }
        if (text.size() > kMaxFileBytes) {
            failed = true;
            break;
        }
    }
    std::fclose(f);
    if (failed) return std::nullopt;
    return text;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string_view trim(std::string_view s) {
    const char* blanks = " \t\r\n";
    std::size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string_view::npos ? at : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        std::size_t b = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
        if (i > b) out.push_back(s.substr(b, i - b));
    }
    return out;
}

bool list_contains(std::string_view comma_list, std::string_view item) {
    for (std::string_view part : split(comma_list, ','))
        if (part == item) return true;
    return false;
}

// A signed decimal integer with nothing around it but blanks and a line break.
std::optional<std::int64_t> parse_signed(std::string_view text) {
    text = trim(text);
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text[0] == '+') return std::nullopt;
    std::optional<std::uint64_t> magnitude = parse_count(text);
    if (!magnitude ||
        *magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
    std::int64_t v = static_cast<std::int64_t>(*magnitude);
    return negative ? -v : v;
}

// The parent of an absolute group path ("/a/b" -> "/a", "/a" -> "/").
std::string parent_of(const std::string& group) {
    std::size_t at = group.find_last_of('/');
    if (at == 0 || at == std::string::npos) return "/";
    return group.substr(0, at);
}

std::string under(const std::string& base, const std::string& group) {
    if (group == "/") return base;
    return base + group;
}

void lower(std::optional<std::uint64_t>& quota, std::uint64_t value) {
    if (!quota || value < *quota) quota = value;
}

// Walks `group` and its ancestors inside the hierarchy mounted at `base`, calling
// read_level(directory) for each, deepest first.
template <class ReadLevel>
void walk_up(const std::string& base, std::string group, ReadLevel read_level) {
    if (group.empty() || group[0] != '/') group = "/" + group;
    while (true) {
        read_level(under(base, group));
        if (group == "/") return;
        group = parent_of(group);
    }
}

// Version 2: "cpu.max" holds "<limit> <period>" or "max <period>".
void apply_v2(const std::string& root, const std::string& group,
              std::optional<std::uint64_t>& quota) {
    walk_up(root, group, [&](const std::string& dir) {
        std::optional<std::string> text = read_file(dir + "/cpu.max");
        if (!text) return;
        std::vector<std::string_view> w = words(trim(*text));
        if (w.size() < 2) return;
        std::optional<std::uint64_t> limit = parse_count(w[0]);
        std::optional<std::uint64_t> period = parse_count(w[1]);
        if (limit && period && *period > 0) lower(quota, *limit / *period);
    });
}

// Version 1: "cpu.cfs_quota_us" (-1 when unlimited) over "cpu.cfs_period_us".
void apply_v1(const std::string& mount, const std::string& group,
              std::optional<std::uint64_t>& quota) {
    walk_up(mount, group, [&](const std::string& dir) {
        std::optional<std::string> q = read_file(dir + "/cpu.cfs_quota_us");
        std::optional<std::string> p = read_file(dir + "/cpu.cfs_period_us");
        if (!q || !p) return;
        std::optional<std::int64_t> limit = parse_signed(*q);
        std::optional<std::int64_t> period = parse_signed(*p);
        if (limit && period && *limit >= 0 && *period > 0)
            lower(quota, static_cast<std::uint64_t>(*limit / *period));
    });
}

// Does `path` lie in the subtree `root` (component-wise)?  Gives the rest, starting '/'.
std::optional<std::string> strip_root(const std::string& path, std::string_view root) {
    if (root == "/") return path;
    if (path.compare(0, root.size(), root) != 0) return std::nullopt;
    if (path.size() == root.size()) return std::string("/");
    if (path[root.size()] != '/') return std::nullopt;
    return path.substr(root.size());
}

// The cpu controller's version-1 mount for `group`: the usual places first, then the
// first cgroup mount in mountinfo whose options name the cpu controller.  Gives the
// directory the group's path is relative to and that path.
std::optional<std::pair<std::string, std::string>> find_v1_mount(const CgroupFiles& files,
                                                                 const std::string& group) {
    for (const char* name : {"/cpu", "/cpu,cpuacct"}) {
        std::string mount = files.cgroup_root + name;
        if (is_directory(under(mount, group))) return std::make_pair(mount, group);
    }
    std::optional<std::string> info = read_file(files.mountinfo);
    if (!info) return std::nullopt;
    for (std::string_view line : split(*info, '\n')) {
        std::vector<std::string_view> w = words(line);
        auto dash = std::find(w.begin(), w.end(), std::string_view("-"));
        if (dash == w.end() || w.end() - dash < 4 || dash - w.begin() < 5) continue;
        if (dash[1] != "cgroup" || !list_contains(dash[3], "cpu")) continue;
        std::optional<std::string> rest = strip_root(group, w[3]);
        if (rest) return std::make_pair(std::string(w[4]), *rest);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> parse_count(std::string_view text) noexcept {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t thread_count_rule(const char* num_threads, const char* rs_num_cpus,
                              std::size_t available) noexcept {
    const std::size_t cpus = available > 0 ? available : 1;
    if (num_threads != nullptr) {
        if (std::optional<std::uint64_t> n = parse_count(num_threads)) {
            return *n >= 1 ? static_cast<std::size_t>(*n) : cpus;
        }
    }
    if (rs_num_cpus != nullptr) {
        std::optional<std::uint64_t> n = parse_count(rs_num_cpus);
        if (n && *n >= 1) return static_cast<std::size_t>(*n);
    }
    return cpus;
}

std::optional<std::uint64_t> cgroup_cpu_quota(const CgroupFiles& files) {
    std::optional<std::string> text = read_file(files.proc_cgroup);
    if (!text) return std::nullopt;
    std::optional<std::string> v1_group, v2_group;
    for (std::string_view line : split(*text, '\n')) {
        std::size_t a = line.find(':');
        if (a == std::string_view::npos) continue;
        std::size_t b = line.find(':', a + 1);
        if (b == std::string_view::npos) continue;
        std::string_view controllers = line.substr(a + 1, b - a - 1);
        std::string path(trim(line.substr(b + 1)));
        if (controllers.empty()) {
            if (!v2_group) v2_group = path;
        } else if (list_contains(controllers, "cpu")) {
            if (!v1_group) v1_group = path;
        }
    }
    std::optional<std::uint64_t> quota;
    if (v1_group) {
        if (auto mount = find_v1_mount(files, *v1_group))
            apply_v1(mount->first, mount->second, quota);
    } else if (v2_group) {
        apply_v2(files.cgroup_root, *v2_group, quota);
    }
    if (quota && *quota < 1) quota = 1;
    return quota;
}

std::size_t combine_cpu_count(std::optional<std::uint64_t> quota,
                              std::optional<std::size_t> affinity, long online) noexcept {
    auto capped = [&](std::uint64_t n) -> std::size_t {
        if (quota && *quota < n) n = *quota;
        return static_cast<std::size_t>(n);
    };
    if (affinity && *affinity > 0) return capped(*affinity);
    if (online > 0) return capped(static_cast<std::uint64_t>(online));
    return 0;
}

std::size_t available_cpus() {
    std::optional<std::uint64_t> quota = cgroup_cpu_quota(CgroupFiles{});
    std::optional<std::size_t> affinity;
    cpu_set_t set;  // room for 1024 CPUs
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        affinity = static_cast<std::size_t>(CPU_COUNT(&set));
    return combine_cpu_count(quota, affinity, sysconf(_SC_NPROCESSORS_ONLN));
}

std::size_t pool_thread_count_from_environment() {
    const char* num_threads = std::getenv("RAYON_NUM_THREADS");
    const char* rs_num_cpus = std::getenv("RAYON_RS_NUM_CPUS");
    return thread_count_rule(num_threads, rs_num_cpus, available_cpus());
}

}  // namespace quelbrin::parallel
