// The cgroup limits of this process, from cgroup v1 and v2.
#include "machine/machine.h"
#include "machine/readers.h"
#include "machine/topology.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <sstream>
#include <system_error>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

namespace {

// A cgroup file system as mountinfo lists it.
struct Mount {
    std::string root, point, type;
    std::vector<std::string> options;
};

std::vector<Mount> cgroup_mounts(const std::string& mountinfo) {
    std::vector<Mount> mounts;
    std::istringstream in(mountinfo);
    for (std::string line; std::getline(in, line);) {
        auto w = words(line);
        auto dash = std::find(w.begin(), w.end(), "-");
        if (w.size() < 5 || dash == w.end() || dash + 1 == w.end())
            continue;
        Mount mount{w[3], w[4], *(dash + 1), {}};
        if (dash + 3 < w.end())
            mount.options = split(*(dash + 3), ',');
        if (mount.type == "cgroup" || mount.type == "cgroup2")
            mounts.push_back(std::move(mount));
    }
    return mounts;
}

// The cgroups of this process, from /proc/self/cgroup: the unified (v2)
// one, and the cpu and memory hierarchies' (v1).
struct Membership {
    std::optional<std::string> unified, cpu, memory, cpuset;
};

Membership cgroup_membership(const std::string& text) {
    Membership m;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        auto first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        std::string id = line.substr(0, first);
        std::string path = line.substr(second + 1);
        auto controllers = split(line.substr(first + 1, second - first - 1), ',');
        if (id == "0" && controllers.size() == 1 && controllers[0].empty())
            m.unified = path;
        for (const std::string& c : controllers) {
            if (c == "cpu")
                m.cpu = path;
            if (c == "memory")
                m.memory = path;
            if (c == "cpuset")
                m.cpuset = path;
        }
    }
    return m;
}

// The directory of a cgroup under the root, and its mount point, above
// which a limit is not looked for.
struct CgroupDir {
    fs::path dir, top;
};

// Where cgroup `path` of `controller` ("" for the unified hierarchy) is.
std::optional<CgroupDir> locate(const fs::path& root, const std::vector<Mount>& mounts,
                                const std::string& type, const std::string& controller,
                                const std::string& path) {
    for (const Mount& mount : mounts) {
        if (mount.type != type)
            continue;
        if (type == "cgroup" && std::find(mount.options.begin(), mount.options.end(), controller) ==
                                    mount.options.end())
            continue;
        std::string rel = path;
        if (mount.root != "/" && rel.rfind(mount.root, 0) == 0)
            rel = rel.substr(mount.root.size());
        fs::path top = root / fs::path(mount.point).relative_path();
        return CgroupDir{(top / fs::path(rel).relative_path()).lexically_normal(), top};
    }
    return std::nullopt;
}

// The smallest value `read` finds in the cgroup's directory and each parent
// up to its mount point: a limit set on a parent applies too.
template <typename Read>
std::optional<double> tightest(Files& files, const std::optional<CgroupDir>& where, Read read) {
    if (!where)
        return std::nullopt;
    std::optional<double> best;
    fs::path dir = where->dir;
    for (int depth = 0; depth < 64; ++depth) {
        if (auto v = read(files, dir); v && (!best || *v < *best))
            best = v;
        if (dir == where->top || !dir.has_parent_path() || dir.parent_path() == dir)
            break;
        dir = dir.parent_path();
    }
    return best;
}

// cgroup v1 writes "no limit" as a page-rounded maximum of a signed 64-bit count.
constexpr double unlimited_v1 = 1e18;

std::optional<double> v1_cpu_quota(Files& files, const fs::path& d) {
    auto quota = files.number<long long>(d / "cpu.cfs_quota_us");
    auto period = files.number<long long>(d / "cpu.cfs_period_us");
    if (!quota || !period || *quota <= 0 || *period <= 0)
        return std::nullopt;
    return static_cast<double>(*quota) / static_cast<double>(*period);
}

std::optional<double> v1_memory_limit(Files& files, const fs::path& d) {
    auto v = files.number<long long>(d / "memory.limit_in_bytes");
    if (!v || static_cast<double>(*v) >= unlimited_v1)
        return std::nullopt;
    return static_cast<double>(*v);
}

std::optional<double> v2_cpu_quota(Files& files, const fs::path& d) {
    auto w = words(files.line(d / "cpu.max").value_or(""));
    if (w.size() != 2 || w[0] == "max")
        return std::nullopt;
    auto quota = to_number<long long>(w[0]), period = to_number<long long>(w[1]);
    if (!quota || !period || *period <= 0)
        return std::nullopt;
    return static_cast<double>(*quota) / static_cast<double>(*period);
}

std::optional<double> v2_memory_limit(Files& files, const fs::path& d) {
    auto line = files.line(d / "memory.max");
    if (!line || *line == "max")
        return std::nullopt;
    auto v = to_number<long long>(*line);
    return v ? std::optional<double>(static_cast<double>(*v)) : std::nullopt;
}

// The CPUs a cgroup may use, as the first of `names` found in its directory
// or, where its cpuset controller is off, the nearest parent's.
std::optional<std::string> effective_cpus(Files& files, const std::optional<CgroupDir>& where,
                                          std::initializer_list<const char*> names) {
    if (!where)
        return std::nullopt;
    fs::path dir = where->dir;
    for (int depth = 0; depth < 64; ++depth) {
        for (const char* name : names)
            if (auto line = files.line(dir / name); line && parse_cpu_list(*line))
                return line;
        if (dir == where->top || !dir.has_parent_path() || dir.parent_path() == dir)
            break;
        dir = dir.parent_path();
    }
    return std::nullopt;
}

}  // namespace

// The cgroup limits of this process. cgroup v2 keeps them in cpu.max and
// memory.max, cgroup v1 in the cpu and memory hierarchies; the tightest one
// on the way up counts.
void read_cgroup(Files& files, Machine& m) {
    const fs::path& root = files.root();
    auto membership = files.text(root / "proc/self/cgroup");
    auto mountinfo = files.text(root / "proc/self/mountinfo");
    if (!membership || !mountinfo)
        return;
    const std::vector<Mount> mounts = cgroup_mounts(*mountinfo);
    const Membership in = cgroup_membership(*membership);
    std::optional<double> memory;
    if (in.cpu || in.memory || in.cpuset) {
        m.cgroup_version = 1;
        m.cgroup_path = in.cpu ? in.cpu : in.memory ? in.memory : in.cpuset;
        if (in.cpuset)
            m.cpuset = effective_cpus(files, locate(root, mounts, "cgroup", "cpuset", *in.cpuset),
                                      {"cpuset.effective_cpus", "cpuset.cpus"});
        if (in.cpu)
            m.cpu_quota =
                tightest(files, locate(root, mounts, "cgroup", "cpu", *in.cpu), v1_cpu_quota);
        if (in.memory)
            memory = tightest(files, locate(root, mounts, "cgroup", "memory", *in.memory),
                              v1_memory_limit);
    } else if (in.unified) {
        m.cgroup_version = 2;
        m.cgroup_path = in.unified;
        auto where = locate(root, mounts, "cgroup2", "", *in.unified);
        m.cpu_quota = tightest(files, where, v2_cpu_quota);
        memory = tightest(files, where, v2_memory_limit);
        m.cpuset = effective_cpus(files, where, {"cpuset.cpus.effective"});
    }
    if (memory)
        m.memory_limit_bytes = static_cast<long long>(*memory);
}

}  // namespace report
