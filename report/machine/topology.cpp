#include "machine/topology.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <utility>

namespace report {

namespace {

// No machine has a million CPUs; a list naming more is not one of the kernel's.
constexpr int highest_cpu = 1 << 20;

std::string_view trimmed(std::string_view s);

std::optional<int> cpu_number(std::string_view s) {
    s = trimmed(s);
    int n = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || n < 0 || n > highest_cpu)
        return std::nullopt;
    return n;
}

std::string_view trimmed(std::string_view s) {
    const char* space = " \t\n\r";
    std::size_t b = s.find_first_not_of(space);
    if (b == std::string_view::npos)
        return {};
    return s.substr(b, s.find_last_not_of(space) - b + 1);
}

// The ranges of a list, "3" as 3-3; absent when a part is malformed.
std::optional<std::vector<std::pair<int, int>>> ranges(std::string_view list) {
    std::vector<std::pair<int, int>> out;
    while (true) {
        std::size_t comma = list.find(',');
        std::string_view part = list.substr(0, comma);
        std::size_t dash = part.find('-');
        auto first = cpu_number(part.substr(0, dash));
        auto last = dash == std::string_view::npos ? first : cpu_number(part.substr(dash + 1));
        if (!first || !last || *last < *first)
            return std::nullopt;
        out.emplace_back(*first, *last);
        if (comma == std::string_view::npos)
            return out;
        list.remove_prefix(comma + 1);
    }
}

}  // namespace

std::optional<CpuSet> parse_cpu_list(std::string_view list) {
    list = trimmed(list);
    if (list.empty())
        return CpuSet{};
    auto parts = ranges(list);
    if (!parts)
        return std::nullopt;
    // Overlapping ranges merged first, so that a list repeating a long range
    // costs no more than the CPUs it names.
    std::sort(parts->begin(), parts->end());
    CpuSet cpus;
    int next = 0;
    for (auto [first, last] : *parts)
        for (int c = std::max(first, next); c <= last; ++c) {
            cpus.push_back(c);
            next = c + 1;
        }
    return cpus;
}

std::string cpu_list_text(const CpuSet& cpus) {
    std::string out;
    for (std::size_t i = 0; i < cpus.size();) {
        std::size_t j = i;
        while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1)
            ++j;
        out += (out.empty() ? "" : ",") + std::to_string(cpus[i]);
        if (j > i)
            out += "-" + std::to_string(cpus[j]);
        i = j + 1;
    }
    return out;
}

CpuSet intersection(const CpuSet& a, const CpuSet& b) {
    CpuSet out;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

CpuSet Topology::one_per_core(const CpuSet& among) const {
    // A CPU that no core lists counts as a core of its own.
    std::map<int, int> core_of;
    for (std::size_t k = 0; k < cores.size(); ++k)
        for (int cpu : cores[k])
            core_of.emplace(cpu, static_cast<int>(k));
    std::map<int, int> first;  // core (or -1 - cpu) -> its first CPU in `among`
    for (int cpu : among) {
        auto it = core_of.find(cpu);
        first.emplace(it == core_of.end() ? -1 - cpu : it->second, cpu);
    }
    CpuSet out;
    for (const auto& [core, cpu] : first)
        out.push_back(cpu);
    std::sort(out.begin(), out.end());
    return out;
}

CpuSet Topology::siblings_of(const CpuSet& cpus) const {
    CpuSet out;
    for (const CpuSet& core : cores)
        if (!intersection(core, cpus).empty())
            for (int cpu : core)
                if (!std::binary_search(cpus.begin(), cpus.end(), cpu))
                    out.push_back(cpu);
    std::sort(out.begin(), out.end());
    return out;
}

CpuSet Topology::cpus_of_node(int node) const {
    for (const CpuGroup& n : nodes)
        if (n.id == node)
            return n.cpus;
    return {};
}

std::optional<int> Topology::node_of(int cpu) const {
    for (const CpuGroup& n : nodes)
        if (std::binary_search(n.cpus.begin(), n.cpus.end(), cpu))
            return n.id;
    return std::nullopt;
}

CpuSet Topology::nodes_of(const CpuSet& cpus) const {
    CpuSet out;
    for (const CpuGroup& n : nodes)
        if (std::any_of(n.cpus.begin(), n.cpus.end(), [&](int cpu) {
                return std::binary_search(cpus.begin(), cpus.end(), cpu);
            }))
            out.push_back(n.id);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

CoreClass Topology::class_of(int cpu) const {
    if (std::binary_search(performance.begin(), performance.end(), cpu))
        return CoreClass::performance;
    if (std::binary_search(efficiency.begin(), efficiency.end(), cpu))
        return CoreClass::efficiency;
    return CoreClass::unknown;
}

namespace {

// The set of `places` (in thread order) with what it touches of the machine.
ScalingSet described_set(const Topology& t, const CpuSet& places, const CpuSet& allowed) {
    ScalingSet s;
    s.places = places;
    s.cpus = places;
    std::sort(s.cpus.begin(), s.cpus.end());
    s.allowed = allowed;
    s.cores = static_cast<int>(t.one_per_core(s.cpus).size());
    for (int cpu : s.cpus)
        if (!intersection(t.siblings_of({cpu}), s.cpus).empty())
            s.siblings.push_back(cpu);
    s.nodes = t.nodes_of(s.cpus);
    return s;
}

// One CPU of each core among `allowed`, node by node (a CPU of no node last).
CpuSet cores_by_node(const Topology& t, const CpuSet& allowed) {
    CpuSet firsts = t.one_per_core(allowed);
    auto key = [&](int cpu) { return std::pair{t.node_of(cpu).value_or(highest_cpu), cpu}; };
    std::sort(firsts.begin(), firsts.end(), [&](int a, int b) { return key(a) < key(b); });
    return firsts;
}

// How many of `firsts` each step takes: powers of two, the end of each
// node's cores where there are several nodes (and of each class of core on a
// hybrid processor), and all of them.
std::vector<std::size_t> core_steps(const Topology& t, const CpuSet& firsts) {
    std::vector<std::size_t> steps;
    for (std::size_t k = 1; k < firsts.size(); k *= 2)
        steps.push_back(k);
    for (std::size_t i = 0; i + 1 < firsts.size(); ++i)
        if (t.node_of(firsts[i]) != t.node_of(firsts[i + 1]) ||
            t.class_of(firsts[i]) != t.class_of(firsts[i + 1]))
            steps.push_back(i + 1);
    steps.push_back(firsts.size());
    std::sort(steps.begin(), steps.end());
    steps.erase(std::unique(steps.begin(), steps.end()), steps.end());
    return steps;
}

}  // namespace

std::vector<ScalingSet> scaling_sets(const Topology& t, const CpuSet& allowed) {
    std::vector<ScalingSet> sets;
    auto add = [&](const CpuSet& places) {
        ScalingSet s = described_set(t, places, allowed);
        if (!places.empty() && (sets.empty() || sets.back().cpus != s.cpus))
            sets.push_back(std::move(s));
    };
    CpuSet firsts = cores_by_node(t, allowed);
    for (std::size_t k : core_steps(t, firsts))
        add(CpuSet(firsts.begin(), firsts.begin() + static_cast<long>(k)));
    // The siblings next, each after the cores: threads 0..cores-1 keep a core each.
    CpuSet places = firsts;
    CpuSet sorted_firsts = firsts;
    std::sort(sorted_firsts.begin(), sorted_firsts.end());
    for (int cpu : intersection(t.siblings_of(sorted_firsts), allowed))
        places.push_back(cpu);
    add(places);
    CpuSet taken = places;
    std::sort(taken.begin(), taken.end());
    for (int cpu : allowed)
        if (!std::binary_search(taken.begin(), taken.end(), cpu))
            places.push_back(cpu);
    add(places);
    return sets;
}

const char* core_class_name(CoreClass c) {
    switch (c) {
        case CoreClass::performance: return "performance";
        case CoreClass::efficiency: return "efficiency";
        case CoreClass::unknown: break;
    }
    return "not known";
}

const char* core_class_source_name(CoreClassSource s) {
    switch (s) {
        case CoreClassSource::kernel: return "kernel";
        case CoreClassSource::max_frequency: return "max_frequency";
        case CoreClassSource::not_known: break;
    }
    return "not_known";
}

}  // namespace report
