#include "machine/machine.h"
#include "machine/build_id.h"
#include "machine/system.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include <gnu/libc-version.h>
#include <openssl/evp.h>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

namespace {

// Files of /proc and /sys are small; the limit keeps a wrong root from reading
// a device forever.
constexpr std::size_t max_read = 4 << 20;

std::optional<std::string> read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text;
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > max_read)
            break;
    }
    if (in.bad())
        return std::nullopt;
    return text;
}

std::string trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
}

// A one-line file, trimmed; absent when missing or empty.
std::optional<std::string> read_line(const fs::path& path) {
    auto text = read_text(path);
    if (!text)
        return std::nullopt;
    std::string t = trim(*text);
    if (t.empty())
        return std::nullopt;
    return t;
}

template <typename Number>
std::optional<Number> to_number(std::string_view s, int base = 10) {
    std::string t = trim(s);
    Number value{};
    const char* end = t.data() + t.size();
    std::from_chars_result r;
    if constexpr (std::is_floating_point_v<Number>)
        r = std::from_chars(t.data(), end, value);
    else
        r = std::from_chars(t.data(), end, value, base);
    if (t.empty() || r.ec != std::errc() || r.ptr != end)
        return std::nullopt;
    return value;
}

template <typename Number>
std::optional<Number> read_number(const fs::path& path) {
    auto line = read_line(path);
    return line ? to_number<Number>(*line) : std::nullopt;
}

// kHz in a cpufreq file, as MHz.
std::optional<double> read_khz(const fs::path& path) {
    auto khz = read_number<long long>(path);
    if (!khz)
        return std::nullopt;
    return static_cast<double>(*khz) / 1000.0;
}

// The value in brackets of a sysfs choice such as "always [madvise] never".
std::optional<std::string> read_choice(const fs::path& path) {
    auto line = read_line(path);
    if (!line)
        return std::nullopt;
    auto open = line->find('['), close = line->find(']');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return line;
    return line->substr(open + 1, close - open - 1);
}

std::vector<std::string> split(std::string_view s, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= s.size()) {
        std::size_t end = s.find(sep, start);
        if (end == std::string_view::npos)
            end = s.size();
        parts.emplace_back(s.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::vector<std::string> words(std::string_view s) {
    std::vector<std::string> out;
    std::istringstream in{std::string(s)};
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// The processors of a list, in order.
std::optional<std::vector<int>> cpu_list(const std::string& list) {
    std::vector<int> cpus;
    std::string t = trim(list);
    if (t.empty())
        return cpus;
    for (const std::string& part : split(t, ',')) {
        auto dash = part.find('-');
        auto first = to_number<int>(part.substr(0, dash));
        auto last = dash == std::string::npos ? first : to_number<int>(part.substr(dash + 1));
        if (!first || !last || *first < 0 || *last < *first || *last - *first > 1 << 20)
            return std::nullopt;
        for (int c = *first; c <= *last; ++c)
            cpus.push_back(c);
    }
    return cpus;
}

// Entries of `dir` named PREFIX followed by digits, by number.
std::vector<std::pair<int, fs::path>> numbered(const fs::path& dir, std::string_view prefix) {
    std::vector<std::pair<int, fs::path>> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0)
            continue;
        if (auto n = to_number<int>(std::string_view(name).substr(prefix.size())))
            found.emplace_back(*n, it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// "key : value" lines, one map per block of /proc/cpuinfo.
std::vector<std::map<std::string, std::string>> cpuinfo_blocks(const std::string& text) {
    std::vector<std::map<std::string, std::string>> blocks(1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        auto colon = line.find(':');
        if (trim(line).empty() || colon == std::string::npos) {
            if (!blocks.back().empty())
                blocks.emplace_back();
            continue;
        }
        blocks.back()[trim(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
    if (blocks.back().empty())
        blocks.pop_back();
    return blocks;
}

std::optional<std::string> field(const std::map<std::string, std::string>& block,
                                 const std::string& key) {
    auto it = block.find(key);
    if (it == block.end() || it->second.empty())
        return std::nullopt;
    return it->second;
}

// KEY: N kB lines of /proc/meminfo.
std::map<std::string, long long> meminfo(const fs::path& root) {
    std::map<std::string, long long> values;
    auto text = read_text(root / "proc/meminfo");
    if (!text)
        return values;
    std::istringstream in(*text);
    for (std::string line; std::getline(in, line);) {
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        auto w = words(line.substr(colon + 1));
        if (!w.empty())
            if (auto v = to_number<long long>(w[0]))
                values[line.substr(0, colon)] = *v;
    }
    return values;
}

void read_processor(const fs::path& root, Machine& m) {
    auto text = read_text(root / "proc/cpuinfo");
    if (!text)
        return;
    auto blocks = cpuinfo_blocks(*text);
    if (blocks.empty())
        return;
    const auto& first = blocks.front();
    m.vendor = field(first, "vendor_id");
    m.model_name = field(first, "model name");
    if (auto v = field(first, "cpu family"))
        m.family = to_number<int>(*v);
    if (auto v = field(first, "model"))
        m.model = to_number<int>(*v);
    if (auto v = field(first, "stepping"))
        m.stepping = to_number<int>(*v);
    m.microcode = field(first, "microcode");
    if (auto flags = field(first, "flags")) {
        auto w = words(*flags);
        m.hypervisor = std::find(w.begin(), w.end(), "hypervisor") != w.end();
    }
    int processors = 0;
    std::set<std::pair<std::string, std::string>> cores;
    std::set<std::string> sockets;
    bool topology = true;
    for (const auto& b : blocks) {
        if (!field(b, "processor"))
            continue;
        ++processors;
        auto socket = field(b, "physical id"), core = field(b, "core id");
        if (!socket || !core)
            topology = false;
        else {
            cores.insert({*socket, *core});
            sockets.insert(*socket);
        }
    }
    if (processors > 0)
        m.logical_cpus = processors;
    if (topology && processors > 0) {
        m.cores = static_cast<int>(cores.size());
        m.sockets = static_cast<int>(sockets.size());
    }
}

// Processors, cores, sockets, SMT, NUMA and core types from /sys.
void read_topology(const fs::path& root, Machine& m) {
    const fs::path cpu_dir = root / "sys/devices/system/cpu";
    std::optional<std::vector<int>> online;
    if (auto list = read_line(cpu_dir / "online"))
        online = cpu_list(*list);
    if (online && !online->empty())
        m.logical_cpus = static_cast<int>(online->size());
    if (online && !online->empty()) {
        std::set<std::pair<int, int>> cores;
        std::set<int> sockets;
        bool complete = true;
        for (int c : *online) {
            fs::path t = cpu_dir / fmt::format("cpu{}", c) / "topology";
            auto socket = read_number<int>(t / "physical_package_id");
            auto core = read_number<int>(t / "core_id");
            if (!socket || !core) {
                complete = false;
                break;
            }
            cores.insert({*socket, *core});
            sockets.insert(*socket);
        }
        if (complete) {
            m.cores = static_cast<int>(cores.size());
            m.sockets = static_cast<int>(sockets.size());
        }
    }
    if (auto active = read_number<int>(cpu_dir / "smt/active"))
        m.smt_active = *active != 0;
    m.smt_control = read_line(cpu_dir / "smt/control");
    std::error_code ec;
    if (fs::is_directory(root / "sys/devices/system/node", ec))
        m.numa_nodes = static_cast<int>(numbered(root / "sys/devices/system/node", "node").size());

    // Hybrid processors have one PMU device per kind of core, each listing its processors.
    for (fs::directory_iterator it(root / "sys/devices", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind("cpu_", 0) != 0)
            continue;
        auto cpus = read_line(it->path() / "cpus");
        if (!cpus)
            continue;
        auto list = cpu_list(*cpus);
        m.core_types.push_back({name, *cpus, list ? static_cast<int>(list->size()) : 0});
    }
    std::sort(m.core_types.begin(), m.core_types.end(),
              [](const CoreType& a, const CoreType& b) { return a.name < b.name; });

    // Caches of every processor, one entry per kind with the number of instances.
    std::map<std::tuple<int, std::string, std::optional<long long>>, Cache> kinds;
    std::set<std::tuple<int, std::string, std::optional<long long>, std::string>> seen;
    for (const auto& [n, path] : numbered(cpu_dir, "cpu")) {
        for (const auto& [i, index] : numbered(path / "cache", "index")) {
            auto level = read_number<int>(index / "level");
            auto type = read_line(index / "type");
            if (!level || !type)
                continue;
            std::optional<long long> kib;
            if (auto size = read_line(index / "size")) {
                std::string s = *size;
                long long scale = 1;
                if (!s.empty() && (s.back() == 'K' || s.back() == 'M')) {
                    scale = s.back() == 'M' ? 1024 : 1;
                    s.pop_back();
                }
                if (auto v = to_number<long long>(s))
                    kib = *v * scale;
            }
            std::string shared = read_line(index / "shared_cpu_list").value_or(std::to_string(n));
            auto key = std::make_tuple(*level, *type, kib);
            if (!seen.insert({*level, *type, kib, shared}).second)
                continue;
            Cache& c = kinds[key];
            c.level = *level;
            c.type = *type;
            c.size_kib = kib;
            c.line_bytes = read_number<int>(index / "coherency_line_size");
            c.ways = read_number<int>(index / "ways_of_associativity");
            ++c.instances;
        }
    }
    for (auto& [key, cache] : kinds)
        m.caches.push_back(cache);
}

void read_frequency(const fs::path& root, Machine& m) {
    const fs::path dir = root / "sys/devices/system/cpu/cpufreq";
    for (const auto& [n, path] : numbered(dir, "policy")) {
        FrequencyPolicy p;
        p.name = path.filename().string();
        auto affected = read_line(path / "affected_cpus");
        if (affected) {
            // Space-separated numbers; written as a list like the rest.
            std::string list;
            for (const std::string& w : words(*affected))
                list += (list.empty() ? "" : ",") + w;
            p.cpus = list;
        }
        p.driver = read_line(path / "scaling_driver");
        p.governor = read_line(path / "scaling_governor");
        p.min_mhz = read_khz(path / "cpuinfo_min_freq");
        p.max_mhz = read_khz(path / "cpuinfo_max_freq");
        if (auto b = read_number<int>(path / "boost"))
            p.boost = *b != 0;
        if (p.min_mhz && (!m.min_mhz || *p.min_mhz < *m.min_mhz))
            m.min_mhz = p.min_mhz;
        if (p.max_mhz && (!m.max_mhz || *p.max_mhz > *m.max_mhz))
            m.max_mhz = p.max_mhz;
        m.policies.push_back(std::move(p));
    }
    if (auto b = read_number<int>(dir / "boost"))
        m.boost = *b != 0;
    else if (auto no_turbo =
                 read_number<int>(root / "sys/devices/system/cpu/intel_pstate/no_turbo"))
        m.boost = *no_turbo == 0;
}

void read_system(const fs::path& root, Machine& m) {
    m.hostname = read_line(root / "proc/sys/kernel/hostname");
    m.kernel_release = read_line(root / "proc/sys/kernel/osrelease");
    m.kernel_command_line = read_line(root / "proc/cmdline");
    m.thp_enabled = read_choice(root / "sys/kernel/mm/transparent_hugepage/enabled");
    m.thp_defrag = read_choice(root / "sys/kernel/mm/transparent_hugepage/defrag");
    m.dmi_vendor = read_line(root / "sys/class/dmi/id/sys_vendor");
    m.dmi_product = read_line(root / "sys/class/dmi/id/product_name");

    auto os = read_text(root / "etc/os-release");
    if (!os)
        os = read_text(root / "usr/lib/os-release");
    if (os) {
        std::istringstream in(*os);
        for (std::string line; std::getline(in, line);) {
            auto eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            std::string key = line.substr(0, eq), value = trim(line.substr(eq + 1));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            if (value.empty())
                continue;
            if (key == "ID")
                m.os_id = value;
            else if (key == "VERSION_ID")
                m.os_version_id = value;
            else if (key == "PRETTY_NAME")
                m.os_pretty_name = value;
        }
    }

    auto mem = meminfo(root);
    if (mem.count("MemTotal"))
        m.memory_total_kib = mem["MemTotal"];
    if (mem.count("SwapTotal"))
        m.swap_total_kib = mem["SwapTotal"];

    if (auto status = read_text(root / "proc/self/status")) {
        std::istringstream in(*status);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("Cpus_allowed_list:", 0) == 0) {
                m.affinity = trim(line.substr(line.find(':') + 1));
                m.affinity_cpus = count_cpu_list(*m.affinity);
            }
    }
}

struct Mount {
    std::string root, point, type;
    std::vector<std::string> options;
};

// The cgroup limits of this process. cgroup v2 keeps them in cpu.max and
// memory.max, cgroup v1 in the cpu and memory hierarchies; a limit set on a
// parent directory applies too, so the tightest one on the way up counts.
void read_cgroup(const fs::path& root, Machine& m) {
    auto membership = read_text(root / "proc/self/cgroup");
    auto mountinfo = read_text(root / "proc/self/mountinfo");
    if (!membership || !mountinfo)
        return;
    std::vector<Mount> mounts;
    std::istringstream mi(*mountinfo);
    for (std::string line; std::getline(mi, line);) {
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
    std::optional<std::string> unified, cpu_path, memory_path;
    std::istringstream in(*membership);
    for (std::string line; std::getline(in, line);) {
        auto first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        std::string id = line.substr(0, first);
        std::string path = line.substr(second + 1);
        auto controllers = split(line.substr(first + 1, second - first - 1), ',');
        if (id == "0" && controllers.size() == 1 && controllers[0].empty())
            unified = path;
        for (const std::string& c : controllers) {
            if (c == "cpu")
                cpu_path = path;
            if (c == "memory")
                memory_path = path;
        }
    }
    // The directory of cgroup `path` under a mount, and the mount point above which not to climb.
    auto locate = [&](const std::string& type, const std::string& controller,
                      const std::string& path) -> std::optional<std::pair<fs::path, fs::path>> {
        for (const Mount& mount : mounts) {
            if (mount.type != type)
                continue;
            if (type == "cgroup" && std::find(mount.options.begin(), mount.options.end(),
                                              controller) == mount.options.end())
                continue;
            std::string rel = path;
            if (mount.root != "/" && rel.rfind(mount.root, 0) == 0)
                rel = rel.substr(mount.root.size());
            fs::path top = root / fs::path(mount.point).relative_path();
            return std::make_pair((top / fs::path(rel).relative_path()).lexically_normal(), top);
        }
        return std::nullopt;
    };
    // Reads `read` at `dir` and each parent up to `top`; the smallest value found.
    auto tightest = [](fs::path dir, const fs::path& top, auto read) {
        std::optional<double> best;
        for (int depth = 0; depth < 64; ++depth) {
            if (auto v = read(dir); v && (!best || *v < *best))
                best = v;
            if (dir == top || !dir.has_parent_path() || dir.parent_path() == dir)
                break;
            dir = dir.parent_path();
        }
        return best;
    };
    // cgroup v1 writes "no limit" as a page-rounded maximum of a signed 64-bit count.
    constexpr double unlimited = 1e18;

    bool v1 = cpu_path || memory_path;
    if (v1) {
        m.cgroup_version = 1;
        m.cgroup_path = cpu_path ? cpu_path : memory_path;
        if (cpu_path)
            if (auto where = locate("cgroup", "cpu", *cpu_path))
                m.cpu_quota = tightest(
                    where->first, where->second, [](const fs::path& d) -> std::optional<double> {
                        auto quota = read_number<long long>(d / "cpu.cfs_quota_us");
                        auto period = read_number<long long>(d / "cpu.cfs_period_us");
                        if (!quota || !period || *quota <= 0 || *period <= 0)
                            return std::nullopt;
                        return static_cast<double>(*quota) / static_cast<double>(*period);
                    });
        if (memory_path)
            if (auto where = locate("cgroup", "memory", *memory_path))
                if (auto limit =
                        tightest(where->first, where->second,
                                 [&](const fs::path& d) -> std::optional<double> {
                                     auto v = read_number<long long>(d / "memory.limit_in_bytes");
                                     if (!v || static_cast<double>(*v) >= unlimited)
                                         return std::nullopt;
                                     return static_cast<double>(*v);
                                 }))
                    m.memory_limit_bytes = static_cast<long long>(*limit);
    } else if (unified) {
        m.cgroup_version = 2;
        m.cgroup_path = unified;
        if (auto where = locate("cgroup2", "", *unified)) {
            m.cpu_quota = tightest(
                where->first, where->second, [](const fs::path& d) -> std::optional<double> {
                    auto w = words(read_line(d / "cpu.max").value_or(""));
                    if (w.size() != 2 || w[0] == "max")
                        return std::nullopt;
                    auto quota = to_number<long long>(w[0]), period = to_number<long long>(w[1]);
                    if (!quota || !period || *period <= 0)
                        return std::nullopt;
                    return static_cast<double>(*quota) / static_cast<double>(*period);
                });
            if (auto limit = tightest(
                    where->first, where->second, [](const fs::path& d) -> std::optional<double> {
                        auto line = read_line(d / "memory.max");
                        if (!line || *line == "max")
                            return std::nullopt;
                        auto v = to_number<long long>(*line);
                        return v ? std::optional<double>(static_cast<double>(*v)) : std::nullopt;
                    }))
                m.memory_limit_bytes = static_cast<long long>(*limit);
        }
    }
}

// "Package: NAME" stanza's Version in the dpkg database, when installed.
std::optional<std::string> dpkg_version(const fs::path& root, const std::string& package) {
    auto status = read_text(root / "var/lib/dpkg/status");
    if (!status)
        return std::nullopt;
    std::istringstream in(*status);
    bool mine = false, installed = false;
    std::optional<std::string> version;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) {
            if (mine && installed && version)
                return version;
            mine = installed = false;
            version.reset();
        } else if (line.rfind("Package: ", 0) == 0)
            mine = trim(line.substr(9)) == package;
        else if (line.rfind("Status: ", 0) == 0)
            installed = line.find(" installed") != std::string::npos;
        else if (line.rfind("Version: ", 0) == 0)
            version = trim(line.substr(9));
    }
    if (mine && installed && version)
        return version;
    return std::nullopt;
}

// The installed package, among those whose name starts with `prefix`, that lists `file`.
std::optional<std::string> dpkg_owner(const fs::path& root, const std::string& prefix,
                                      const std::string& file) {
    std::error_code ec;
    for (fs::directory_iterator it(root / "var/lib/dpkg/info", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0 || it->path().extension() != ".list")
            continue;
        auto list = read_text(it->path());
        if (!list)
            continue;
        std::istringstream in(*list);
        for (std::string line; std::getline(in, line);)
            if (line == file) {
                std::string package = it->path().stem().string();
                return package.substr(0, package.find(':'));
            }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> read_setting(const fs::path& file) {
    return read_line(file);
}

std::optional<int> count_cpu_list(const std::string& list) {
    auto cpus = cpu_list(list);
    if (!cpus)
        return std::nullopt;
    return static_cast<int>(cpus->size());
}

std::optional<CpuTimes> parse_cpu_times(const std::string& text) {
    CpuTimes times;
    bool found = false;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("cpu", 0) != 0)
            continue;
        auto w = words(line);
        if (w.size() < 5)
            continue;
        // user nice system idle iowait irq softirq steal (guest time is already in user).
        CpuTimes::Counter c;
        for (std::size_t i = 1; i < w.size() && i <= 8; ++i) {
            auto v = to_number<unsigned long long>(w[i]);
            if (!v)
                return std::nullopt;
            c.total += *v;
            if (i != 4 && i != 5)  // idle and iowait are not busy
                c.busy += *v;
        }
        if (w[0] == "cpu") {
            times.all = c;
            found = true;
        } else
            times.cpus.push_back(c);
    }
    if (!found)
        return std::nullopt;
    return times;
}

void busy_shares(const CpuTimes& before, const CpuTimes& after, MachineState& state) {
    auto share = [](const CpuTimes::Counter& a,
                    const CpuTimes::Counter& b) -> std::optional<double> {
        if (b.total <= a.total || b.busy < a.busy)
            return std::nullopt;
        return static_cast<double>(b.busy - a.busy) / static_cast<double>(b.total - a.total);
    };
    state.busy = share(before.all, after.all);
    state.cpu_busy.clear();
    if (before.cpus.size() == after.cpus.size())
        for (std::size_t i = 0; i < before.cpus.size(); ++i)
            state.cpu_busy.push_back(share(before.cpus[i], after.cpus[i]).value_or(0.0));
}

MachineState read_state(const fs::path& root, std::chrono::milliseconds window) {
    MachineState s;
    std::optional<CpuTimes> before;
    auto start = std::chrono::steady_clock::now();
    if (window.count() > 0)
        if (auto stat = read_text(root / "proc/stat"))
            before = parse_cpu_times(*stat);

    if (auto load = read_line(root / "proc/loadavg")) {
        auto w = words(*load);
        if (w.size() >= 3) {
            s.load1 = to_number<double>(w[0]);
            s.load5 = to_number<double>(w[1]);
            s.load15 = to_number<double>(w[2]);
        }
    }
    auto mem = meminfo(root);
    if (mem.count("MemAvailable"))
        s.memory_available_kib = mem["MemAvailable"];
    if (mem.count("SwapTotal") && mem.count("SwapFree"))
        s.swap_used_kib = mem["SwapTotal"] - mem["SwapFree"];

    // Current frequency: cpufreq's figure where it exists, else /proc/cpuinfo's.
    std::vector<std::optional<double>> from_cpuinfo;
    if (auto text = read_text(root / "proc/cpuinfo"))
        for (const auto& b : cpuinfo_blocks(*text))
            if (field(b, "processor")) {
                auto mhz = field(b, "cpu MHz");
                from_cpuinfo.push_back(mhz ? to_number<double>(*mhz) : std::nullopt);
            }
    auto cpus = numbered(root / "sys/devices/system/cpu", "cpu");
    std::size_t count = std::max(from_cpuinfo.size(), cpus.size());
    for (std::size_t i = 0; i < count; ++i) {
        std::optional<double> mhz;
        if (i < cpus.size())
            mhz = read_khz(cpus[i].second / "cpufreq/scaling_cur_freq");
        if (!mhz && i < from_cpuinfo.size())
            mhz = from_cpuinfo[i];
        s.current_mhz.push_back(mhz);
    }

    if (before) {
        std::this_thread::sleep_until(start + window);
        if (auto stat = read_text(root / "proc/stat"))
            if (auto after = parse_cpu_times(*stat)) {
                busy_shares(*before, *after, s);
                s.window_seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            }
    }
    return s;
}

Machine read_machine(const MachineSource& source) {
    Machine m;
    read_processor(source.root, m);
    read_topology(source.root, m);
    read_frequency(source.root, m);
    read_system(source.root, m);
    read_cgroup(source.root, m);
    m.tuned = is_tuned(source.root, m);
    if (source.live)
        m.libc_version = std::string("glibc ") + gnu_get_libc_version();
    for (const std::string& entry : source.environment) {
        auto eq = entry.find('=');
        if (eq == std::string::npos)
            continue;
        std::string name = entry.substr(0, eq);
        if (name.rfind("OMP_", 0) == 0 || name.rfind("GOMP_", 0) == 0)
            m.openmp_environment.emplace_back(name, entry.substr(eq + 1));
    }
    std::sort(m.openmp_environment.begin(), m.openmp_environment.end());
    m.state = read_state(source.root, std::chrono::milliseconds(0));
    return m;
}

std::vector<Disturbance> disturbances(const Machine& m) {
    std::vector<Disturbance> found;
    std::vector<std::string> slow;
    for (const FrequencyPolicy& p : m.policies)
        if (p.governor && *p.governor != steady_governor)
            slow.push_back(fmt::format("{} ({}) uses \"{}\"", p.name, p.cpus, *p.governor));
    if (!slow.empty())
        found.push_back(
            {"governor", fmt::format("the frequency governor is not \"{}\": {}",
                                     steady_governor, fmt::join(slow, ", "))});
    const MachineState& s = m.state;
    if (s.load1 && m.logical_cpus && *s.load1 > 0.1 * *m.logical_cpus)
        found.push_back({"load", fmt::format("the load average is {:.2f}, above 10% of the {} "
                                             "processors",
                                             *s.load1, *m.logical_cpus)});
    std::vector<std::string> busy;
    for (std::size_t i = 0; i < s.cpu_busy.size(); ++i)
        if (s.cpu_busy[i] > busy_cpu_threshold)
            busy.push_back(fmt::format("cpu{} {:.0f}%", i, s.cpu_busy[i] * 100));
    if (!busy.empty())
        found.push_back(
            {"busy_cpu", fmt::format("processors were busy in the {:.1f} s before the run: {}",
                                     s.window_seconds.value_or(0), fmt::join(busy, ", "))});
    if (m.cpu_quota && m.logical_cpus && *m.cpu_quota < *m.logical_cpus)
        found.push_back({"cpu_quota", fmt::format("the cgroup allows {:g} processors' worth of "
                                                  "time, fewer than the {} processors",
                                                  *m.cpu_quota, *m.logical_cpus)});
    if (m.affinity_cpus && m.logical_cpus && *m.affinity_cpus < *m.logical_cpus)
        found.push_back(
            {"affinity", fmt::format("the run may use processors {} only, {} of {}",
                                     m.affinity.value_or("?"), *m.affinity_cpus, *m.logical_cpus)});
    if (!m.openmp_environment.empty()) {
        std::vector<std::string> vars;
        for (const auto& [name, value] : m.openmp_environment)
            vars.push_back(name + "=" + value);
        found.push_back({"openmp_environment",
                         fmt::format("OpenMP variables are set: {}", fmt::join(vars, " "))});
    }
    if (s.swap_used_kib && *s.swap_used_kib > 0)
        found.push_back(
            {"swap", fmt::format("{} MiB of swap is in use", (*s.swap_used_kib + 1023) / 1024)});
    if (m.hypervisor.value_or(false))
        found.push_back(
            {"hypervisor", fmt::format("the machine runs under a hypervisor{}",
                                       m.dmi_product ? " (" + *m.dmi_product + ")" : "")});
    return found;
}

ProgramFile describe_program(const fs::path& program, const fs::path& root) {
    ProgramFile f;
    std::error_code ec;
    fs::path canonical = fs::canonical(program, ec);
    f.path = ec ? program.string() : canonical.string();
    auto size = fs::file_size(f.path, ec);
    if (!ec)
        f.size = size;

    // One pass over the file: its digest, and the OpenMP runtime named among its
    // dynamic strings.
    std::ifstream in(f.path, std::ios::binary);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = in && ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    static constexpr std::string_view runtimes[] = {"libgomp.so.1", "libomp.so.5", "libiomp5.so"};
    std::string carry;
    char buffer[65536];
    while (ok && (in.read(buffer, sizeof buffer) || in.gcount() > 0)) {
        auto n = static_cast<std::size_t>(in.gcount());
        ok = EVP_DigestUpdate(ctx, buffer, n) == 1;
        if (!f.openmp_library) {
            std::string window = carry + std::string(buffer, n);
            for (std::string_view name : runtimes)
                if (window.find(std::string(name) + '\0') != std::string::npos) {
                    f.openmp_library = std::string(name);
                    break;
                }
            carry = window.substr(window.size() - std::min<std::size_t>(window.size(), 16));
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (ok && !in.bad() && EVP_DigestFinal_ex(ctx, digest, &length) == 1) {
        std::string hex;
        for (unsigned int i = 0; i < length; ++i)
            hex += fmt::format("{:02x}", digest[i]);
        f.sha256 = hex;
    }
    EVP_MD_CTX_free(ctx);
    f.build_id = elf_build_id(fs::path(f.path));

    if (auto owner = dpkg_owner(root, "ombrelune-bench", f.path))
        f.package_version = dpkg_version(root, *owner);
    if (f.openmp_library) {
        for (const char* dir :
             {"usr/lib/x86_64-linux-gnu", "lib/x86_64-linux-gnu", "usr/lib", "usr/local/lib"}) {
            fs::path candidate = root / dir / *f.openmp_library;
            if (!fs::exists(candidate, ec))
                continue;
            fs::path real = fs::canonical(candidate, ec);
            if (ec)
                continue;
            f.openmp_path = "/" + real.lexically_relative(fs::canonical(root)).string();
            // dpkg lists the path it installed, which may be the link's directory.
            for (const std::string& listed :
                 {"/" + std::string(dir) + "/" + real.filename().string(), *f.openmp_path}) {
                auto stem = f.openmp_library->substr(0, f.openmp_library->find('.'));
                if (auto owner = dpkg_owner(root, stem, listed)) {
                    f.openmp_version = dpkg_version(root, *owner);
                    break;
                }
            }
            break;
        }
    }
    return f;
}

}  // namespace report
