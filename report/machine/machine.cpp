#include "machine/machine.h"
#include "machine/build_id.h"
#include "machine/input_file.h"
#include "machine/system.h"
#include "machine/topology.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
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
#include <sched.h>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

namespace {

std::string trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
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

// The small text files of /proc and /sys under a root. A file that is there
// but is no regular file (a FIFO, a device, a folder where the kernel keeps a
// value) is never opened: reading one could wait forever, or act on a
// device. It is left unread, and named in `refused`.
class Files {
public:
    explicit Files(fs::path root) : root_(std::move(root)) {}
    const fs::path& root() const { return root_; }

    std::optional<std::string> text(const fs::path& path) {
        if (auto what = not_a_regular_file(path.string())) {
            refused.push_back(fmt::format("{}: {}, not a regular file", path.string(), *what));
            return std::nullopt;
        }
        std::string text, error;
        if (!read_input_file(path.string(), text, error))
            return std::nullopt;
        return text;
    }

    // A one-line file, trimmed; absent when missing or empty.
    std::optional<std::string> line(const fs::path& path) {
        auto t = text(path);
        if (!t)
            return std::nullopt;
        std::string trimmed = trim(*t);
        if (trimmed.empty())
            return std::nullopt;
        return trimmed;
    }

    template <typename Number>
    std::optional<Number> number(const fs::path& path) {
        auto l = line(path);
        return l ? to_number<Number>(*l) : std::nullopt;
    }

    // kHz in a cpufreq file, as MHz.
    std::optional<double> khz(const fs::path& path) {
        auto khz = number<long long>(path);
        if (!khz)
            return std::nullopt;
        return static_cast<double>(*khz) / 1000.0;
    }

    // The value in brackets of a sysfs choice such as "always [madvise] never".
    std::optional<std::string> choice(const fs::path& path) {
        auto l = line(path);
        if (!l)
            return std::nullopt;
        auto open = l->find('['), close = l->find(']');
        if (open == std::string::npos || close == std::string::npos || close < open)
            return l;
        return l->substr(open + 1, close - open - 1);
    }

    std::vector<std::string> refused;

private:
    fs::path root_;
};

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
    return parse_cpu_list(list);
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
std::map<std::string, long long> meminfo(Files& files) {
    const fs::path& root = files.root();
    std::map<std::string, long long> values;
    auto text = files.text(root / "proc/meminfo");
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

// What the processor is, from the first block of /proc/cpuinfo.
void read_identity(const std::map<std::string, std::string>& first, Machine& m) {
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
}

// Processors, cores and sockets as /proc/cpuinfo counts them; cores and
// sockets only when every processor names its own.
void count_cpuinfo_processors(const std::vector<std::map<std::string, std::string>>& blocks,
                              Machine& m) {
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

void read_processor(Files& files, Machine& m) {
    const fs::path& root = files.root();
    auto text = files.text(root / "proc/cpuinfo");
    if (!text)
        return;
    auto blocks = cpuinfo_blocks(*text);
    if (blocks.empty())
        return;
    read_identity(blocks.front(), m);
    count_cpuinfo_processors(blocks, m);
}

// Processors, cores and sockets of the online processors, from /sys; cores
// and sockets only when every processor names its own.
void count_online_processors(Files& files, const fs::path& cpu_dir, Machine& m) {
    std::optional<std::vector<int>> online;
    if (auto list = files.line(cpu_dir / "online"))
        online = cpu_list(*list);
    if (!online || online->empty())
        return;
    m.logical_cpus = static_cast<int>(online->size());
    std::set<std::pair<int, int>> cores;
    std::set<int> sockets;
    for (int c : *online) {
        fs::path t = cpu_dir / fmt::format("cpu{}", c) / "topology";
        auto socket = files.number<int>(t / "physical_package_id");
        auto core = files.number<int>(t / "core_id");
        if (!socket || !core)
            return;
        cores.insert({*socket, *core});
        sockets.insert(*socket);
    }
    m.cores = static_cast<int>(cores.size());
    m.sockets = static_cast<int>(sockets.size());
}

// Hybrid processors have one PMU device per kind of core, each listing its
// processors ("cpu_core", "cpu_atom"), by name.
std::vector<CoreType> read_core_types(Files& files, const fs::path& devices) {
    std::vector<CoreType> types;
    std::error_code ec;
    for (fs::directory_iterator it(devices, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind("cpu_", 0) != 0)
            continue;
        auto cpus = files.line(it->path() / "cpus");
        if (!cpus)
            continue;
        auto list = cpu_list(*cpus);
        types.push_back({name, *cpus, list ? static_cast<int>(list->size()) : 0});
    }
    std::sort(types.begin(), types.end(),
              [](const CoreType& a, const CoreType& b) { return a.name < b.name; });
    return types;
}

// A cache's size in KiB, from "32K" or "8M".
std::optional<long long> cache_kib(Files& files, const fs::path& index) {
    auto size = files.line(index / "size");
    if (!size)
        return std::nullopt;
    std::string s = *size;
    long long scale = 1;
    if (!s.empty() && (s.back() == 'K' || s.back() == 'M')) {
        scale = s.back() == 'M' ? 1024 : 1;
        s.pop_back();
    }
    auto v = to_number<long long>(s);
    return v ? std::optional<long long>(*v * scale) : std::nullopt;
}

// The caches of every processor, one entry per kind (level, type, size) with
// the number of instances: distinct sets of processors sharing one.
std::vector<Cache> read_caches(Files& files, const fs::path& cpu_dir) {
    using Kind = std::tuple<int, std::string, std::optional<long long>>;
    std::map<Kind, Cache> kinds;
    std::set<std::pair<Kind, std::string>> seen;
    for (const auto& [n, path] : numbered(cpu_dir, "cpu")) {
        for (const auto& [i, index] : numbered(path / "cache", "index")) {
            auto level = files.number<int>(index / "level");
            auto type = files.line(index / "type");
            if (!level || !type)
                continue;
            Kind kind{*level, *type, cache_kib(files, index)};
            std::string shared = files.line(index / "shared_cpu_list").value_or(std::to_string(n));
            if (!seen.insert({kind, shared}).second)
                continue;
            Cache& c = kinds[kind];
            c.level = *level;
            c.type = *type;
            c.size_kib = std::get<2>(kind);
            c.line_bytes = files.number<int>(index / "coherency_line_size");
            c.ways = files.number<int>(index / "ways_of_associativity");
            ++c.instances;
        }
    }
    std::vector<Cache> caches;
    for (auto& [kind, cache] : kinds)
        caches.push_back(cache);
    return caches;
}

// Processors, cores, sockets, SMT, NUMA, core types and caches from /sys.
void read_topology(Files& files, Machine& m) {
    const fs::path& root = files.root();
    const fs::path cpu_dir = root / "sys/devices/system/cpu";
    count_online_processors(files, cpu_dir, m);
    if (auto active = files.number<int>(cpu_dir / "smt/active"))
        m.smt_active = *active != 0;
    m.smt_control = files.line(cpu_dir / "smt/control");
    std::error_code ec;
    if (fs::is_directory(root / "sys/devices/system/node", ec))
        m.numa_nodes = static_cast<int>(numbered(root / "sys/devices/system/node", "node").size());
    m.core_types = read_core_types(files, root / "sys/devices");
    m.caches = read_caches(files, cpu_dir);
}

// Where one online CPU sits, as its topology and cache folders say.
struct CpuPlace {
    int cpu = 0;
    std::optional<int> package, die, core;
    std::optional<CpuSet> siblings;  // the CPUs of its core, itself included
    std::optional<int> cache_level;  // of its last-level cache
    std::optional<CpuSet> cache_shared;
};

// The last-level cache of a CPU: the highest level holding data.
void read_last_level_cache(Files& files, const fs::path& cpu, CpuPlace& place) {
    for (const auto& [i, index] : numbered(cpu / "cache", "index")) {
        auto level = files.number<int>(index / "level");
        auto type = files.line(index / "type");
        if (!level || !type || *type == "Instruction" ||
            (place.cache_level && *place.cache_level >= *level))
            continue;
        if (auto shared = files.line(index / "shared_cpu_list"))
            if (auto set = parse_cpu_list(*shared)) {
                place.cache_level = level;
                place.cache_shared = set;
            }
    }
}

CpuPlace read_place(Files& files, const fs::path& cpu_dir, int cpu) {
    CpuPlace place;
    place.cpu = cpu;
    const fs::path dir = cpu_dir / fmt::format("cpu{}", cpu);
    const fs::path t = dir / "topology";
    place.package = files.number<int>(t / "physical_package_id");
    place.die = files.number<int>(t / "die_id");
    place.core = files.number<int>(t / "core_id");
    // core_cpus_list is the newer name of thread_siblings_list.
    auto siblings = files.line(t / "core_cpus_list");
    if (!siblings)
        siblings = files.line(t / "thread_siblings_list");
    if (siblings)
        place.siblings = parse_cpu_list(*siblings);
    read_last_level_cache(files, dir, place);
    return place;
}

// Distinct sets, in the order of their first CPU.
std::vector<CpuSet> distinct(std::vector<CpuSet> sets) {
    sets.erase(std::remove_if(sets.begin(), sets.end(), [](const CpuSet& s) { return s.empty(); }),
               sets.end());
    std::sort(sets.begin(), sets.end());
    sets.erase(std::unique(sets.begin(), sets.end()), sets.end());
    return sets;
}

// The physical cores: from each CPU's siblings where the kernel lists them,
// else from the CPUs sharing a package, die and core number; nothing when
// neither is known for every CPU.
std::vector<CpuSet> physical_cores(const std::vector<CpuPlace>& places, const CpuSet& online) {
    std::vector<CpuSet> cores;
    std::map<std::tuple<int, int, int>, CpuSet> by_number;
    bool listed = true, numbered_all = true;
    for (const CpuPlace& p : places) {
        if (p.siblings)
            cores.push_back(intersection(*p.siblings, online));
        listed = listed && p.siblings;
        numbered_all = numbered_all && p.package && p.core;
        if (p.package && p.core)
            by_number[{*p.package, p.die.value_or(0), *p.core}].push_back(p.cpu);
    }
    if (listed)
        return distinct(cores);
    if (!numbered_all)
        return {};
    cores.clear();
    for (auto& [key, cpus] : by_number)
        cores.push_back(cpus);
    return distinct(cores);
}

std::vector<CpuGroup> packages_of(const std::vector<CpuPlace>& places) {
    std::map<int, CpuSet> by_id;
    for (const CpuPlace& p : places)
        if (p.package)
            by_id[*p.package].push_back(p.cpu);
    std::vector<CpuGroup> out;
    for (auto& [id, cpus] : by_id)
        out.push_back({id, cpus});
    return out;
}

void read_last_level_caches(const std::vector<CpuPlace>& places, Topology& t) {
    for (const CpuPlace& p : places)
        if (p.cache_level && (!t.last_level || *p.cache_level > *t.last_level))
            t.last_level = p.cache_level;
    std::vector<CpuSet> shared;
    for (const CpuPlace& p : places)
        if (p.cache_level == t.last_level && p.cache_shared)
            shared.push_back(intersection(*p.cache_shared, t.online));
    t.last_level_caches = distinct(shared);
}

std::vector<CpuGroup> numa_nodes(Files& files, const CpuSet& online) {
    std::vector<CpuGroup> nodes;
    for (const auto& [n, path] : numbered(files.root() / "sys/devices/system/node", "node")) {
        auto list = files.line(path / "cpulist");
        auto cpus = list ? parse_cpu_list(*list) : std::nullopt;
        if (cpus && !intersection(*cpus, online).empty())
            nodes.push_back({n, intersection(*cpus, online)});
    }
    return nodes;
}

// A CPU whose maximum frequency is below this share of the fastest one's
// counts as an efficiency core: big and little cores differ by a third or
// more, while the favoured cores of one kind differ by a few per cent.
constexpr double efficiency_share = 0.8;

// Each online CPU's maximum frequency: its cpufreq folder's, else its policy's.
std::map<int, double> max_mhz_by_cpu(Files& files, const Machine& m, const CpuSet& online) {
    std::map<int, double> out;
    for (const FrequencyPolicy& p : m.policies)
        if (auto cpus = parse_cpu_list(p.cpus); cpus && p.max_mhz)
            for (int c : *cpus)
                out[c] = *p.max_mhz;
    const fs::path cpu_dir = files.root() / "sys/devices/system/cpu";
    for (int c : online)
        if (auto mhz = files.khz(cpu_dir / fmt::format("cpu{}", c) / "cpufreq/cpuinfo_max_freq"))
            out[c] = *mhz;
    return out;
}

// Performance and efficiency cores: as the kernel lists a hybrid processor's
// kinds of core, else by maximum frequency when every CPU has one.
void read_core_classes(Files& files, const Machine& m, Topology& t) {
    auto listed = [&](const char* kind) -> std::optional<CpuSet> {
        auto cpus = files.line(files.root() / "sys/devices" / kind / "cpus");
        return cpus ? parse_cpu_list(*cpus) : std::nullopt;
    };
    auto core = listed("cpu_core"), atom = listed("cpu_atom");
    if (core && atom) {
        t.classes_from = CoreClassSource::kernel;
        t.performance = intersection(*core, t.online);
        t.efficiency = intersection(*atom, t.online);
        return;
    }
    auto mhz = max_mhz_by_cpu(files, m, t.online);
    if (t.online.empty() || mhz.size() < t.online.size() ||
        !std::all_of(t.online.begin(), t.online.end(), [&](int c) { return mhz.count(c); }))
        return;
    double fastest = 0;
    for (int c : t.online)
        fastest = std::max(fastest, mhz[c]);
    t.classes_from = CoreClassSource::max_frequency;
    for (int c : t.online)
        (mhz[c] < efficiency_share * fastest ? t.efficiency : t.performance).push_back(c);
}

// Which online CPUs share a core, a socket, a last-level cache and a NUMA
// node, and the class of each core.
void read_cpu_topology(Files& files, Machine& m) {
    const fs::path cpu_dir = files.root() / "sys/devices/system/cpu";
    Topology& t = m.topology;
    auto list = [&](const char* name) {
        auto text = files.line(cpu_dir / name);
        return text ? parse_cpu_list(*text).value_or(CpuSet{}) : CpuSet{};
    };
    t.online = list("online");
    t.possible = list("possible");
    std::vector<CpuPlace> places;
    for (int cpu : t.online)
        places.push_back(read_place(files, cpu_dir, cpu));
    t.cores = physical_cores(places, t.online);
    t.packages = packages_of(places);
    read_last_level_caches(places, t);
    t.nodes = numa_nodes(files, t.online);
    read_core_classes(files, m, t);
}

void read_frequency(Files& files, Machine& m) {
    const fs::path& root = files.root();
    const fs::path dir = root / "sys/devices/system/cpu/cpufreq";
    for (const auto& [n, path] : numbered(dir, "policy")) {
        FrequencyPolicy p;
        p.name = path.filename().string();
        auto affected = files.line(path / "affected_cpus");
        if (affected) {
            // Space-separated numbers; written as a list like the rest.
            std::string list;
            for (const std::string& w : words(*affected))
                list += (list.empty() ? "" : ",") + w;
            p.cpus = list;
        }
        p.driver = files.line(path / "scaling_driver");
        p.governor = files.line(path / "scaling_governor");
        p.min_mhz = files.khz(path / "cpuinfo_min_freq");
        p.max_mhz = files.khz(path / "cpuinfo_max_freq");
        if (auto b = files.number<int>(path / "boost"))
            p.boost = *b != 0;
        if (p.min_mhz && (!m.min_mhz || *p.min_mhz < *m.min_mhz))
            m.min_mhz = p.min_mhz;
        if (p.max_mhz && (!m.max_mhz || *p.max_mhz > *m.max_mhz))
            m.max_mhz = p.max_mhz;
        m.policies.push_back(std::move(p));
    }
    if (auto b = files.number<int>(dir / "boost"))
        m.boost = *b != 0;
    else if (auto no_turbo =
                 files.number<int>(root / "sys/devices/system/cpu/intel_pstate/no_turbo"))
        m.boost = *no_turbo == 0;
}

// ID, VERSION_ID and PRETTY_NAME of os-release, its quotes taken off.
void read_os_release(Files& files, Machine& m) {
    const fs::path& root = files.root();
    auto os = files.text(root / "etc/os-release");
    if (!os)
        os = files.text(root / "usr/lib/os-release");
    if (!os)
        return;
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

// The processors this process may run on, as its status lists them.
void read_affinity(Files& files, Machine& m) {
    const fs::path& root = files.root();
    auto status = files.text(root / "proc/self/status");
    if (!status)
        return;
    std::istringstream in(*status);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Cpus_allowed_list:", 0) == 0) {
            m.affinity = trim(line.substr(line.find(':') + 1));
            m.affinity_cpus = count_cpu_list(*m.affinity);
        }
}

void read_system(Files& files, Machine& m) {
    const fs::path& root = files.root();
    m.hostname = files.line(root / "proc/sys/kernel/hostname");
    m.kernel_release = files.line(root / "proc/sys/kernel/osrelease");
    m.kernel_command_line = files.line(root / "proc/cmdline");
    m.thp_enabled = files.choice(root / "sys/kernel/mm/transparent_hugepage/enabled");
    m.thp_defrag = files.choice(root / "sys/kernel/mm/transparent_hugepage/defrag");
    m.dmi_vendor = files.line(root / "sys/class/dmi/id/sys_vendor");
    m.dmi_product = files.line(root / "sys/class/dmi/id/product_name");
    read_os_release(files, m);
    auto mem = meminfo(files);
    if (mem.count("MemTotal"))
        m.memory_total_kib = mem["MemTotal"];
    if (mem.count("SwapTotal"))
        m.swap_total_kib = mem["SwapTotal"];
    read_affinity(files, m);
}

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

// "Package: NAME" stanza's Version in the dpkg database, when installed.
std::optional<std::string> dpkg_version(Files& files, const std::string& package) {
    const fs::path& root = files.root();
    auto status = files.text(root / "var/lib/dpkg/status");
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
std::optional<std::string> dpkg_owner(Files& files, const std::string& prefix,
                                      const std::string& file) {
    std::error_code ec;
    for (fs::directory_iterator it(files.root() / "var/lib/dpkg/info", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0 || it->path().extension() != ".list")
            continue;
        auto list = files.text(it->path());
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

std::optional<std::string> read_setting(const fs::path& file, std::vector<std::string>* refused) {
    Files files(file.parent_path());
    auto line = files.line(file);
    if (refused)
        refused->insert(refused->end(), files.refused.begin(), files.refused.end());
    return line;
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

namespace {

void read_load(Files& files, MachineState& s) {
    const fs::path& root = files.root();
    auto load = files.line(root / "proc/loadavg");
    if (!load)
        return;
    auto w = words(*load);
    if (w.size() >= 3) {
        s.load1 = to_number<double>(w[0]);
        s.load5 = to_number<double>(w[1]);
        s.load15 = to_number<double>(w[2]);
    }
}

// Each processor's clock now: cpufreq's figure where it exists, else
// /proc/cpuinfo's.
std::vector<std::optional<double>> current_mhz(Files& files) {
    const fs::path& root = files.root();
    std::vector<std::optional<double>> from_cpuinfo;
    if (auto text = files.text(root / "proc/cpuinfo"))
        for (const auto& b : cpuinfo_blocks(*text))
            if (field(b, "processor")) {
                auto mhz = field(b, "cpu MHz");
                from_cpuinfo.push_back(mhz ? to_number<double>(*mhz) : std::nullopt);
            }
    auto cpus = numbered(root / "sys/devices/system/cpu", "cpu");
    std::vector<std::optional<double>> out;
    std::size_t count = std::max(from_cpuinfo.size(), cpus.size());
    for (std::size_t i = 0; i < count; ++i) {
        std::optional<double> mhz;
        if (i < cpus.size())
            mhz = files.khz(cpus[i].second / "cpufreq/scaling_cur_freq");
        if (!mhz && i < from_cpuinfo.size())
            mhz = from_cpuinfo[i];
        out.push_back(mhz);
    }
    return out;
}

std::optional<CpuTimes> read_cpu_times(Files& files) {
    const fs::path& root = files.root();
    auto stat = files.text(root / "proc/stat");
    return stat ? parse_cpu_times(*stat) : std::nullopt;
}

}  // namespace

namespace {

MachineState read_state(Files& files, std::chrono::milliseconds window) {
    MachineState s;
    std::optional<CpuTimes> before;
    auto start = std::chrono::steady_clock::now();
    if (window.count() > 0)
        before = read_cpu_times(files);
    read_load(files, s);
    auto mem = meminfo(files);
    if (mem.count("MemAvailable"))
        s.memory_available_kib = mem["MemAvailable"];
    if (mem.count("SwapTotal") && mem.count("SwapFree"))
        s.swap_used_kib = mem["SwapTotal"] - mem["SwapFree"];
    s.current_mhz = current_mhz(files);
    if (before) {
        std::this_thread::sleep_until(start + window);
        if (auto after = read_cpu_times(files)) {
            busy_shares(*before, *after, s);
            s.window_seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    return s;
}

}  // namespace

MachineState read_state(const fs::path& root, std::chrono::milliseconds window) {
    Files files(root);
    return read_state(files, window);
}

namespace {

// The OMP_* and GOMP_* variables of "NAME=value" strings, by name.
std::vector<std::pair<std::string, std::string>> openmp_variables(
    const std::vector<std::string>& environment) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const std::string& entry : environment) {
        auto eq = entry.find('=');
        if (eq == std::string::npos)
            continue;
        std::string name = entry.substr(0, eq);
        if (name.rfind("OMP_", 0) == 0 || name.rfind("GOMP_", 0) == 0)
            out.emplace_back(name, entry.substr(eq + 1));
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

namespace {

// The CPUs this process may run on, as the scheduler says; absent when it
// will not say.
std::optional<CpuSet> scheduler_affinity() {
    for (int count = 1024; count <= 1 << 20; count *= 2) {
        cpu_set_t* set = CPU_ALLOC(count);
        if (!set)
            return std::nullopt;
        std::size_t size = CPU_ALLOC_SIZE(count);
        CPU_ZERO_S(size, set);
        if (::sched_getaffinity(0, size, set) == 0) {
            CpuSet cpus;
            for (int c = 0; c < count; ++c)
                if (CPU_ISSET_S(c, size, set))
                    cpus.push_back(c);
            CPU_FREE(set);
            return cpus;
        }
        int error = errno;
        CPU_FREE(set);
        if (error != EINVAL)  // EINVAL: the set is smaller than the kernel's
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

Machine read_machine(const MachineSource& source) {
    Machine m;
    Files files(source.root);
    read_processor(files, m);
    read_topology(files, m);
    read_frequency(files, m);
    read_cpu_topology(files, m);
    read_system(files, m);
    if (source.live)
        if (auto allowed = scheduler_affinity()) {
            m.affinity = cpu_list_text(*allowed);
            m.affinity_cpus = static_cast<int>(allowed->size());
        }
    read_cgroup(files, m);
    m.tuned = is_tuned(source.root, m);
    if (source.live)
        m.libc_version = std::string("glibc ") + gnu_get_libc_version();
    m.openmp_environment = openmp_variables(source.environment);
    m.state = read_state(files, std::chrono::milliseconds(0));
    m.refused_files = std::move(files.refused);
    return m;
}

namespace {

// Each check of what may disturb a measurement, absent when it does not.
using Check = std::optional<Disturbance> (*)(const Machine&);

std::optional<Disturbance> slow_governor(const Machine& m) {
    std::vector<std::string> slow;
    for (const FrequencyPolicy& p : m.policies)
        if (p.governor && *p.governor != steady_governor)
            slow.push_back(fmt::format("{} ({}) uses \"{}\"", p.name, p.cpus, *p.governor));
    if (slow.empty())
        return std::nullopt;
    return Disturbance{"governor", fmt::format("the frequency governor is not \"{}\": {}",
                                               steady_governor, fmt::join(slow, ", "))};
}

std::optional<Disturbance> high_load(const Machine& m) {
    const MachineState& s = m.state;
    if (!s.load1 || !m.logical_cpus || *s.load1 <= 0.1 * *m.logical_cpus)
        return std::nullopt;
    return Disturbance{"load", fmt::format("the load average is {:.2f}, above 10% of the {} "
                                           "processors",
                                           *s.load1, *m.logical_cpus)};
}

std::optional<Disturbance> busy_processors(const Machine& m) {
    const MachineState& s = m.state;
    std::vector<std::string> busy;
    for (std::size_t i = 0; i < s.cpu_busy.size(); ++i)
        if (s.cpu_busy[i] > busy_cpu_threshold)
            busy.push_back(fmt::format("cpu{} {:.0f}%", i, s.cpu_busy[i] * 100));
    if (busy.empty())
        return std::nullopt;
    return Disturbance{"busy_cpu",
                       fmt::format("processors were busy in the {:.1f} s before the run: {}",
                                   s.window_seconds.value_or(0), fmt::join(busy, ", "))};
}

std::optional<Disturbance> cpu_quota(const Machine& m) {
    if (!m.cpu_quota || !m.logical_cpus || *m.cpu_quota >= *m.logical_cpus)
        return std::nullopt;
    return Disturbance{"cpu_quota", fmt::format("the cgroup allows {:g} processors' worth of "
                                                "time, fewer than the {} processors",
                                                *m.cpu_quota, *m.logical_cpus)};
}

std::optional<Disturbance> restricted_affinity(const Machine& m) {
    if (!m.affinity_cpus || !m.logical_cpus || *m.affinity_cpus >= *m.logical_cpus)
        return std::nullopt;
    return Disturbance{"affinity",
                       fmt::format("the run may use processors {} only, {} of {}",
                                   m.affinity.value_or("?"), *m.affinity_cpus, *m.logical_cpus)};
}

std::optional<Disturbance> openmp_environment(const Machine& m) {
    if (m.openmp_environment.empty())
        return std::nullopt;
    std::vector<std::string> vars;
    for (const auto& [name, value] : m.openmp_environment)
        vars.push_back(name + "=" + value);
    return Disturbance{"openmp_environment",
                       fmt::format("OpenMP variables are set: {}", fmt::join(vars, " "))};
}

std::optional<Disturbance> swap_in_use(const Machine& m) {
    const MachineState& s = m.state;
    if (!s.swap_used_kib || *s.swap_used_kib <= 0)
        return std::nullopt;
    return Disturbance{"swap",
                       fmt::format("{} MiB of swap is in use", (*s.swap_used_kib + 1023) / 1024)};
}

std::optional<Disturbance> under_hypervisor(const Machine& m) {
    if (!m.hypervisor.value_or(false))
        return std::nullopt;
    return Disturbance{"hypervisor", fmt::format("the machine runs under a hypervisor{}",
                                                 m.dmi_product ? " (" + *m.dmi_product + ")" : "")};
}

}  // namespace

std::vector<Disturbance> disturbances(const Machine& m) {
    static constexpr Check checks[] = {slow_governor, high_load,           busy_processors,
                                       cpu_quota,     restricted_affinity, openmp_environment,
                                       swap_in_use,   under_hypervisor};
    std::vector<Disturbance> found;
    for (Check check : checks)
        if (auto d = check(m))
            found.push_back(std::move(*d));
    return found;
}

std::optional<std::string> removal(const Disturbance& d) {
    static const std::pair<const char*, const char*> commands[] = {
        {"governor", "sudo bench_report system tune"},
        {"load", "wait, or stop what ps -eo pid,pcpu,comm --sort=-pcpu | head lists"},
        {"busy_cpu", "wait, or stop what ps -eo pid,pcpu,comm --sort=-pcpu | head lists"},
        {"cpu_quota", "sudo systemctl set-property --runtime UNIT CPUQuota= (the cgroup's unit), "
                      "or run outside the cgroup"},
        {"affinity", "taskset -c 0-$(($(nproc --all) - 1)) bench_report run ..."},
        {"openmp_environment", "env -u VARIABLE bench_report run ... for each variable named"},
        {"swap", "sudo swapoff -a && sudo swapon -a"},
    };
    for (const auto& [check, command] : commands)
        if (d.check == check)
            return std::string(command);
    return std::nullopt;
}

namespace {

// The OpenMP runtimes a program may name among its dynamic strings.
constexpr std::string_view openmp_runtimes[] = {"libgomp.so.1", "libomp.so.5", "libiomp5.so"};

// One pass over the program file: its SHA-256, and the first OpenMP runtime
// it names.
void scan_program(ProgramFile& f) {
    std::ifstream in(f.path, std::ios::binary);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = in && ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    std::string carry;
    char buffer[65536];
    while (ok && (in.read(buffer, sizeof buffer) || in.gcount() > 0)) {
        auto n = static_cast<std::size_t>(in.gcount());
        ok = EVP_DigestUpdate(ctx, buffer, n) == 1;
        if (f.openmp_library)
            continue;
        // A name may straddle two reads: the end of the one before is kept.
        std::string window = carry + std::string(buffer, n);
        for (std::string_view name : openmp_runtimes)
            if (window.find(std::string(name) + '\0') != std::string::npos) {
                f.openmp_library = std::string(name);
                break;
            }
        carry = window.substr(window.size() - std::min<std::size_t>(window.size(), 16));
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
}

// Where the system keeps the OpenMP runtime the program names, and the
// version of the package holding it.
void locate_openmp(Files& files, ProgramFile& f) {
    const fs::path& root = files.root();
    std::error_code ec;
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
        auto stem = f.openmp_library->substr(0, f.openmp_library->find('.'));
        for (const std::string& listed :
             {"/" + std::string(dir) + "/" + real.filename().string(), *f.openmp_path})
            if (auto owner = dpkg_owner(files, stem, listed)) {
                f.openmp_version = dpkg_version(files, *owner);
                break;
            }
        return;
    }
}

}  // namespace

ProgramFile describe_program(const fs::path& program, const fs::path& root) {
    ProgramFile f;
    std::error_code ec;
    fs::path canonical = fs::canonical(program, ec);
    f.path = ec ? program.string() : canonical.string();
    auto size = fs::file_size(f.path, ec);
    if (!ec)
        f.size = size;
    scan_program(f);
    f.build_id = elf_build_id(fs::path(f.path));
    Files files(root);
    if (auto owner = dpkg_owner(files, "ombrelune-bench", f.path))
        f.package_version = dpkg_version(files, *owner);
    if (f.openmp_library)
        locate_openmp(files, f);
    return f;
}

}  // namespace report
