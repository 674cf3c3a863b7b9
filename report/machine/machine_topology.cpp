// The processors' topology from /sys: cores, sockets, SMT, NUMA nodes, the
// kinds of core and the caches, and which online CPUs share each.
#include "machine/machine.h"
#include "machine/readers.h"
#include "machine/topology.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <system_error>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace report
