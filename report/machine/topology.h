// The shape of a machine's processors: which logical CPUs share a physical
// core (SMT siblings), a socket, a last-level cache and a NUMA node, and which
// are performance or efficiency cores. Read from /sys (machine/machine.h),
// recorded in machine.json, and asked by whatever places threads on CPUs: "one
// CPU per physical core", "the SMT siblings of these", "the CPUs of node N",
// "the class of CPU c".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace report {

// Logical CPUs by the kernel's numbers, ascending, each once.
using CpuSet = std::vector<int>;

// The kernel's list form of a set, "0-3,8,10-11"; "" for none.
std::string cpu_list_text(const CpuSet& cpus);

// The CPUs of a list in the kernel's form, sorted and each once; absent when
// it is malformed or names a CPU past any machine's (over a million).
std::optional<CpuSet> parse_cpu_list(std::string_view list);

// The CPUs in both sets.
CpuSet intersection(const CpuSet& a, const CpuSet& b);

enum class CoreClass { performance, efficiency, unknown };

// Where the classes of the cores come from: the kernel, which lists a hybrid
// processor's kinds of core (cpu_core, cpu_atom); each CPU's maximum
// frequency, where the kernel lists no kinds (a CPU far slower than the
// fastest counts as an efficiency core); or nowhere.
enum class CoreClassSource { kernel, max_frequency, not_known };

// A socket or a NUMA node: its number and its CPUs.
struct CpuGroup {
    int id = 0;
    CpuSet cpus;
    bool operator==(const CpuGroup&) const = default;
};

struct Topology {
    CpuSet online;    // the CPUs the kernel runs
    CpuSet possible;  // those it could run (hot-pluggable ones included)
    // Each physical core's online CPUs (SMT siblings share one), in the
    // order of their first CPU.
    std::vector<CpuSet> cores;
    std::vector<CpuGroup> packages;  // sockets, by number
    // The CPUs sharing each last-level cache, in the order of their first CPU.
    std::vector<CpuSet> last_level_caches;
    std::optional<int> last_level;  // that cache's level
    std::vector<CpuGroup> nodes;    // NUMA nodes with CPUs, by number
    CoreClassSource classes_from = CoreClassSource::not_known;
    CpuSet performance, efficiency;  // empty while the classes are not known

    bool operator==(const Topology&) const = default;

    // Whether anything of it was read.
    bool known() const { return !online.empty(); }
    // The first CPU of each physical core that has one in `among`, in the
    // order of the cores: one thread per core, no two sharing one.
    CpuSet one_per_core(const CpuSet& among) const;
    // The CPUs sharing a core with one of `cpus`, `cpus` left out.
    CpuSet siblings_of(const CpuSet& cpus) const;
    // The CPUs of NUMA node `node`; empty when it has none.
    CpuSet cpus_of_node(int node) const;
    // The NUMA node of `cpu`, absent when no node lists it.
    std::optional<int> node_of(int cpu) const;
    // The NUMA nodes that list one of `cpus`, by number: each node's CPUs
    // looked up in `cpus`, so that the cost grows with the CPUs the nodes
    // list, not with nodes times CPUs.
    CpuSet nodes_of(const CpuSet& cpus) const;
    CoreClass class_of(int cpu) const;
};

// One point of a scaling sweep: the CPUs a repetition ran on and how its
// threads were placed on them. Thread t runs on places[t] (the OpenMP
// runtime's places, one CPU each, bound in that order), so a thread's rate
// belongs to a known CPU.
struct ScalingSet {
    CpuSet cpus;              // the child's affinity
    std::vector<int> places;  // the same CPUs in the order of the threads
    int cores = 0;            // physical cores the set touches
    CpuSet siblings;          // its CPUs that share a core with another of the set
    CpuSet nodes;             // NUMA nodes the set touches (node numbers, list form)
    std::string binding = "close";  // OMP_PROC_BIND
    CpuSet allowed;           // what the sweep could choose from (affinity, cpuset)
    std::string sweep;        // the sweep's name, shared by its points
    bool operator==(const ScalingSet&) const = default;
};

// The sets a sweep runs on `allowed` (the CPUs this process may use, among
// the online ones): 1, then one CPU per physical core in steps 1, 2, 4, ...
// and every core, taking the cores node by node so that a step ends at each
// NUMA node's last core where there are several; then the SMT siblings of
// those cores added; then every allowed CPU. Sets that repeat the one before
// are dropped. A CPU that no core lists counts as a core of its own.
std::vector<ScalingSet> scaling_sets(const Topology& topology, const CpuSet& allowed);

// "performance", "efficiency", "not known"; and "kernel", "max_frequency", "not_known".
const char* core_class_name(CoreClass c);
const char* core_class_source_name(CoreClassSource s);

}  // namespace report
