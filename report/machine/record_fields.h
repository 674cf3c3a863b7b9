// The fields of machine.json, one table per part of the record, that both
// its writer (record_write.cpp) and its reader (record_read.cpp) walk, and
// how each kind of number is kept. Not for use outside them.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <type_traits>

#include "machine/record.h"

namespace report::record_fields {

// How a number is kept: as it is, MHz to one decimal place (so the kHz of
// sysfs come out as written), a share 0..1 as per cent to two places, to
// three decimal places (seconds, processors' worth of time), or a clock's
// mean (MHz or a ratio of counters) to four significant digits.
// `count`: an integer of 0 or more, `positive`: of 1 or more; a hand-made
// file's negative count is read as not recorded rather than echoed.
enum class Unit { plain, mhz, percent, milli, clock, count, positive };
// A list that is empty on this machine is written null ("not exposed").
constexpr bool null_when_empty = true;

inline double significant4(double v) {
    if (v == 0 || !std::isfinite(v))
        return v;
    double scale = std::pow(10.0, 3 - std::floor(std::log10(std::fabs(v))));
    return std::isfinite(scale) && std::isfinite(v * scale) ? std::round(v * scale) / scale : v;
}

inline double rounded(double v, Unit u) {
    switch (u) {
        case Unit::mhz: return std::round(v * 10.0) / 10.0;
        case Unit::percent: return std::round(v * 10000.0) / 100.0;
        case Unit::milli: return std::round(v * 1000.0) / 1000.0;
        case Unit::clock: return significant4(v);
        case Unit::plain:
        case Unit::count:
        case Unit::positive: break;
    }
    return v;
}

inline double unrounded(double v, Unit u) {
    return u == Unit::percent ? v / 100.0 : v;
}

// The fields of each part of the record, as JSON pointers into the part's
// object: the one table both the writer and the reader walk.
template <typename Visit, typename C>
void cache_fields(Visit& v, C& c) {
    v("/level", c.level);
    v("/type", c.type);
    v("/size_kib", c.size_kib);
    v("/line_bytes", c.line_bytes);
    v("/ways", c.ways);
    v("/instances", c.instances);
}

template <typename Visit, typename P>
void policy_fields(Visit& v, P& p) {
    v("/name", p.name);
    v("/cpus", p.cpus);
    v("/driver", p.driver);
    v("/governor", p.governor);
    v("/min_mhz", p.min_mhz, Unit::mhz);
    v("/max_mhz", p.max_mhz, Unit::mhz);
    v("/boost", p.boost);
}

template <typename Visit, typename G>
void cpu_group_fields(Visit& v, G& g) {
    v("/id", g.id);
    v.cpus("/cpus", g.cpus);
}

template <typename Visit, typename T>
void topology_fields(Visit& v, T& t) {
    v.cpus("/cpu/topology/online", t.online);
    v.cpus("/cpu/topology/possible", t.possible);
    v.cpu_sets("/cpu/topology/cores", t.cores);
    v.list("/cpu/topology/packages", t.packages, null_when_empty);
    v("/cpu/topology/last_level_cache/level", t.last_level);
    v.cpu_sets("/cpu/topology/last_level_cache/shared", t.last_level_caches);
    v.list("/cpu/topology/numa_nodes", t.nodes, null_when_empty);
    v.source("/cpu/topology/core_classes/source", t.classes_from);
    v.cpus("/cpu/topology/core_classes/performance", t.performance);
    v.cpus("/cpu/topology/core_classes/efficiency", t.efficiency);
}

template <typename Visit, typename T>
void core_type_fields(Visit& v, T& t) {
    v("/name", t.name);
    v("/cpus", t.cpus);
    v("/count", t.count);
}

template <typename Visit, typename M>
void machine_fields(Visit& v, M& m) {
    v("/hostname", m.hostname);
    v("/cpu/vendor", m.vendor);
    v("/cpu/model_name", m.model_name);
    v("/cpu/family", m.family);
    v("/cpu/model", m.model);
    v("/cpu/stepping", m.stepping);
    v("/cpu/microcode", m.microcode);
    v("/cpu/logical_cpus", m.logical_cpus, Unit::count);
    v("/cpu/cores", m.cores, Unit::count);
    v("/cpu/sockets", m.sockets, Unit::count);
    v("/cpu/smt_active", m.smt_active);
    v("/cpu/smt_control", m.smt_control);
    v("/cpu/numa_nodes", m.numa_nodes, Unit::count);
    v.list("/cpu/core_types", m.core_types, null_when_empty);
    v.list("/cpu/caches", m.caches, !null_when_empty);
    topology_fields(v, m.topology);
    v("/frequency/min_mhz", m.min_mhz, Unit::mhz);
    v("/frequency/max_mhz", m.max_mhz, Unit::mhz);
    v("/frequency/boost", m.boost);
    v("/frequency/tuned", m.tuned);
    v.list("/frequency/policies", m.policies, null_when_empty);
    v("/transparent_hugepages/enabled", m.thp_enabled);
    v("/transparent_hugepages/defrag", m.thp_defrag);
    v("/kernel/release", m.kernel_release);
    v("/kernel/command_line", m.kernel_command_line);
    v("/os/id", m.os_id);
    v("/os/version_id", m.os_version_id);
    v("/os/pretty_name", m.os_pretty_name);
    v("/libc", m.libc_version);
    v("/virtualisation/hypervisor_flag", m.hypervisor);
    v("/virtualisation/dmi_vendor", m.dmi_vendor);
    v("/virtualisation/dmi_product", m.dmi_product);
    v("/memory/total_kib", m.memory_total_kib);
    v("/memory/swap_total_kib", m.swap_total_kib);
    v("/affinity/cpus", m.affinity);
    v("/affinity/count", m.affinity_cpus, Unit::count);
    v("/cgroup/version", m.cgroup_version);
    v("/cgroup/path", m.cgroup_path);
    v("/cgroup/cpu_quota", m.cpu_quota, Unit::milli);
    v("/cgroup/memory_limit_bytes", m.memory_limit_bytes);
    v("/cgroup/cpuset", m.cpuset);
    v.variables("/openmp_environment", m.openmp_environment);
}

template <typename Visit, typename S>
void state_fields(Visit& v, S& s) {
    v.load("/load_average", s.load1, s.load5, s.load15);
    v("/memory_available_kib", s.memory_available_kib);
    v("/swap_used_kib", s.swap_used_kib);
    v.numbers("/current_mhz", s.current_mhz, Unit::mhz);
    v("/busy_percent", s.busy, Unit::percent);
    v.shares("/cpu_busy_percent", s.cpu_busy, s.busy.has_value());
    v("/busy_window_seconds", s.window_seconds, Unit::milli);
}

template <typename Visit, typename P>
void program_fields(Visit& v, P& p) {
    v("/path", p.path);
    v("/size", p.size);
    v("/sha256", p.sha256);
    v("/build_id", p.build_id);
    v("/package_version", p.package_version);
    v("/openmp_runtime/library", p.openmp_library);
    v("/openmp_runtime/path", p.openmp_path);
    v("/openmp_runtime/package_version", p.openmp_version);
}

template <typename Visit, typename R>
void repetition_fields(Visit& v, R& r) {
    v("/program", r.program);
    v("/number", r.number);
    v("/label", r.label);
    v("/started", r.started);
    v("/finished", r.finished);
    v("/seconds", r.seconds, Unit::milli);
    v("/outcome", r.outcome);
    v("/exit_status", r.exit_status);
    v("/signal", r.signal);
    v("/results_file", r.results_file);
    v("/reason", r.reason);
    v("/interleaved", r.interleaved);
    v("/round", r.round);
    v("/position", r.position);
}

template <typename Visit, typename S>
void scaling_fields(Visit& v, S& s) {
    v.cpus("/cpus", s.cpus);
    v.places("/places", s.places);
    v("/cores", s.cores, Unit::count);
    v.cpus("/siblings", s.siblings);
    v.cpus("/nodes", s.nodes);
    v("/binding", s.binding);
    v.cpus("/allowed", s.allowed);
    v("/sweep", s.sweep);
}

template <typename Visit, typename T>
void test_clock_fields(Visit& v, T& t) {
    v("/test", t.test);
    v("/single/mean", t.single.mean, Unit::clock);
    v("/single/samples", t.single.samples, Unit::count);
    v("/multi/mean", t.multi.mean, Unit::clock);
    v("/multi/samples", t.multi.samples, Unit::count);
}

template <typename Visit, typename C>
void clock_fields(Visit& v, C& c) {
    v("/source", c.source);
    v("/reason", c.reason);
    v("/interval_ms", c.interval_ms, Unit::positive);
    v.cpus("/cpus", c.cpus);
    v.list("/tests", c.tests, !null_when_empty);
}

template <typename Visit, typename T>
void fields_of(Visit& v, T& item) {
    using Plain = std::remove_const_t<T>;
    if constexpr (std::is_same_v<Plain, Cache>)
        cache_fields(v, item);
    else if constexpr (std::is_same_v<Plain, FrequencyPolicy>)
        policy_fields(v, item);
    else if constexpr (std::is_same_v<Plain, CoreType>)
        core_type_fields(v, item);
    else if constexpr (std::is_same_v<Plain, CpuGroup>)
        cpu_group_fields(v, item);
    else if constexpr (std::is_same_v<Plain, TestClock>)
        test_clock_fields(v, item);
    else
        static_assert(sizeof(Plain) == 0, "no field table for this type");
}

template <typename T>
struct is_optional : std::false_type {};
template <typename T>
struct is_optional<std::optional<T>> : std::true_type {};

// The CPUs all the lists of one record may name: thousands on the largest
// machines, a few times over.
constexpr std::size_t record_cpus = std::size_t{1} << 20;

// The tables as callables, for write_part and read_part.
constexpr auto machine_table = [](auto& v, auto& m) { machine_fields(v, m); };
constexpr auto state_table = [](auto& v, auto& s) { state_fields(v, s); };
constexpr auto program_table = [](auto& v, auto& p) { program_fields(v, p); };
constexpr auto repetition_table = [](auto& v, auto& r) { repetition_fields(v, r); };
constexpr auto scaling_table = [](auto& v, auto& s) { scaling_fields(v, s); };
constexpr auto clock_table = [](auto& v, auto& c) { clock_fields(v, c); };

}  // namespace report::record_fields
