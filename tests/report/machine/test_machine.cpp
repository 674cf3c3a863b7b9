// The machine readers on captured /proc and /sys trees: this machine (a VM
// without cpufreq, cgroup v1), a KVM guest in a cgroup v2 service, a desktop
// in a Docker container (cgroup v1, powersave), and a hybrid laptop processor.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "analysis/machine_differences.h"
#include "machine/input_file.h"
#include "machine/machine.h"
#include "machine/record.h"
#include "machine/record_json.h"

namespace {

using report::Machine;

Machine read(const std::string& tree, std::vector<std::string> env = {}) {
    report::MachineSource source;
    source.root = std::filesystem::path(REPORT_DATA) / "machines" / tree;
    source.environment = std::move(env);
    source.live = false;
    return report::read_machine(source);
}

std::vector<std::string> checks(const Machine& m) {
    std::vector<std::string> out;
    for (const auto& d : report::disturbances(m))
        out.push_back(d.check);
    return out;
}

struct Expected {
    std::string tree;
    std::vector<std::string> env;
    int logical, cores, sockets;
    bool smt;
    std::size_t policies, core_types, cache_kinds;
    std::optional<std::string> governor;
    std::optional<bool> boost;
    std::optional<double> max_mhz;
    int cgroup_version;
    std::optional<double> cpu_quota;
    std::optional<long long> memory_limit;
    std::optional<std::string> dmi_product;
    std::string affinity;
    std::vector<std::string> warnings;
};

// clang-format off
const Expected trees[] = {
    // tree, environment,
    // logical, cores, sockets, smt, policies, core types, cache kinds,
    // governor, boost, max MHz, cgroup, CPU quota, memory limit, DMI product, affinity, warnings
    {"this_machine", {},
     2, 2, 1, false, 0, 0, 4,
     std::nullopt, std::nullopt, std::nullopt, 1, std::nullopt, std::nullopt, std::nullopt, "0-1",
     {"load", "hypervisor"}},
    {"kvm_guest_cgroup2", {"OMP_NUM_THREADS=2", "HOME=/root", "GOMP_SPINCOUNT=0"},
     4, 4, 1, false, 0, 0, 4,
     std::nullopt, std::nullopt, std::nullopt, 2, 1.5, 2147483648LL,
     "Standard PC (Q35 + ICH9, 2009)", "0-3",
     {"cpu_quota", "openmp_environment", "swap", "hypervisor"}},
    {"desktop_cgroup1", {},
     8, 4, 1, true, 8, 0, 4,
     "powersave", true, 4200.0, 1, 2.0, std::nullopt, "OptiPlex 7050", "0-3",
     {"governor", "load", "cpu_quota", "affinity"}},
    {"hybrid_laptop", {},
     8, 6, 1, true, 8, 2, 7,
     "performance", true, 4400.0, 2, std::nullopt, std::nullopt, "21AH00BUGE", "0-7",
     {}},
};
// clang-format on

TEST(MachineReader, CapturedTrees) {
    for (const Expected& e : trees) {
        SCOPED_TRACE(e.tree);
        Machine m = read(e.tree, e.env);
        EXPECT_EQ(m.logical_cpus, e.logical);
        EXPECT_EQ(m.cores, e.cores);
        EXPECT_EQ(m.sockets, e.sockets);
        EXPECT_EQ(m.smt_active, e.smt);
        EXPECT_EQ(m.numa_nodes, 1);
        EXPECT_EQ(m.policies.size(), e.policies);
        EXPECT_EQ(m.core_types.size(), e.core_types);
        EXPECT_EQ(m.caches.size(), e.cache_kinds);
        if (!m.policies.empty()) {
            EXPECT_EQ(m.policies.front().governor, e.governor);
        }
        EXPECT_EQ(m.boost, e.boost);
        EXPECT_EQ(m.max_mhz, e.max_mhz);
        EXPECT_EQ(m.cgroup_version, e.cgroup_version);
        EXPECT_EQ(m.cpu_quota, e.cpu_quota);
        EXPECT_EQ(m.memory_limit_bytes, e.memory_limit);
        EXPECT_EQ(m.dmi_product, e.dmi_product);
        EXPECT_EQ(m.affinity, e.affinity);
        EXPECT_EQ(m.thp_enabled, "madvise");
        EXPECT_TRUE(m.model_name && m.hostname && m.kernel_release && m.os_pretty_name);
        EXPECT_EQ(m.state.current_mhz.size(), static_cast<std::size_t>(e.logical));
        EXPECT_EQ(checks(m), e.warnings);
    }
}

TEST(MachineReader, HybridProcessorKeepsEachKindOfCoreAndCache) {
    Machine m = read("hybrid_laptop");
    ASSERT_EQ(m.core_types.size(), 2u);
    EXPECT_EQ(m.core_types[0].name, "cpu_atom");
    EXPECT_EQ(m.core_types[0].count, 4);
    EXPECT_EQ(m.core_types[1].cpus, "0-3");
    EXPECT_EQ(m.min_mhz, 400.0);
    EXPECT_EQ(m.policies[4].max_mhz, 3300.0);  // an efficient core's limit
    // The efficient cores' level-2 cache is one, shared by four.
    bool shared_l2 = false;
    for (const report::Cache& c : m.caches)
        if (c.level == 2 && c.size_kib == 2048)
            shared_l2 = c.instances == 1;
    EXPECT_TRUE(shared_l2);
    EXPECT_EQ(m.state.current_mhz[7], 1300.0);
}

// What the machine does not expose is null in machine.json, not a guess.
TEST(MachineReader, AbsentFieldsAreNull) {
    auto vm = report::machine_json(read("this_machine"));
    EXPECT_TRUE(vm["frequency"]["policies"].is_null());
    EXPECT_TRUE(vm["frequency"]["max_mhz"].is_null());
    EXPECT_TRUE(vm["frequency"]["boost"].is_null());
    EXPECT_TRUE(vm["virtualisation"]["dmi_product"].is_null());
    EXPECT_TRUE(vm["cgroup"]["cpu_quota"].is_null());
    EXPECT_TRUE(vm["cpu"]["core_types"].is_null());
    EXPECT_TRUE(vm["libc"].is_null());  // not asked of a captured tree
    EXPECT_EQ(vm["cpu"]["model_name"], "Intel(R) Xeon(R) Processor");
    EXPECT_TRUE(report::machine_json(read("no_such_tree"))["cpu"]["logical_cpus"].is_null());

    auto desk = report::machine_json(read("desktop_cgroup1"));
    EXPECT_EQ(desk["frequency"]["policies"][3]["governor"], "powersave");
    EXPECT_EQ(desk["frequency"]["min_mhz"], 800.0);
}

TEST(MachineState, BusySharesBetweenTwoReadings) {
    const std::string before =
        "cpu  100 0 100 800 0 0 0 0 0 0\ncpu0 50 0 50 400 0 0 0 0 0 0\n"
        "cpu1 50 0 50 400 0 0 0 0 0 0\nintr 1\n";
    // cpu0 busy for 90 of 100 ticks, cpu1 idle (iowait counts as idle).
    const std::string after =
        "cpu  190 0 100 900 10 0 0 0 0 0\ncpu0 130 0 60 410 0 0 0 0 0 0\n"
        "cpu1 60 0 40 490 10 0 0 0 0 0\n";
    auto a = report::parse_cpu_times(before), b = report::parse_cpu_times(after);
    ASSERT_TRUE(a && b);
    report::MachineState s;
    report::busy_shares(*a, *b, s);
    EXPECT_DOUBLE_EQ(*s.busy, 90.0 / 200.0);
    ASSERT_EQ(s.cpu_busy.size(), 2u);
    EXPECT_DOUBLE_EQ(s.cpu_busy[0], 0.9);
    EXPECT_DOUBLE_EQ(s.cpu_busy[1], 0.0);  // went backwards: not counted as busy
    report::busy_shares(*a, *a, s);        // no tick passed
    EXPECT_FALSE(s.busy);

    Machine m;
    m.state.cpu_busy = {0.9, 0.1};
    m.state.window_seconds = 1.0;
    auto found = report::disturbances(m);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].message, "processors were busy in the 1.0 s before the run: cpu0 90%");
    EXPECT_FALSE(report::parse_cpu_times("intr 1\n"));
}

TEST(MachineReader, CpuLists) {
    const std::pair<std::string, std::optional<int>> lists[] = {
        {"0-3", 4},          {"0-3,8,10-11", 7},  {"5", 1}, {"", 0}, {"3-1", std::nullopt},
        {"a", std::nullopt}, {"0-", std::nullopt}};
    for (const auto& [list, count] : lists)
        EXPECT_EQ(report::count_cpu_list(list), count) << list;
}

// The program's digest and the OpenMP runtime it names, on a file made here.
TEST(ProgramFile, DigestAndRuntime) {
    auto dir =
        std::filesystem::temp_directory_path() / ("machine_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream f(dir / "prog", std::ios::binary);
        f << "abc";
    }
    auto p = report::describe_program(dir / "prog", dir);
    EXPECT_EQ(p.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(p.size, 3u);
    EXPECT_FALSE(p.openmp_library);
    EXPECT_FALSE(p.package_version);
    {
        std::ofstream f(dir / "prog", std::ios::binary);
        f << std::string(70000, 'x') << "libm.so.6" << '\0' << "libgomp.so.1" << '\0';
    }
    // Installed from packages: the versions come from the dpkg database.
    namespace fs = std::filesystem;
    fs::path lib = dir / "usr/lib/x86_64-linux-gnu", info = dir / "var/lib/dpkg/info";
    fs::create_directories(lib);
    fs::create_directories(info);
    std::ofstream(lib / "libgomp.so.1.0.0") << "";
    fs::create_symlink("libgomp.so.1.0.0", lib / "libgomp.so.1");
    std::ofstream(info / "libgomp1:amd64.list") << "/usr/lib/x86_64-linux-gnu/libgomp.so.1.0.0\n";
    std::ofstream(info / "ombrelune-bench.list") << "/usr\n"
                                                 << fs::canonical(dir / "prog").string() << "\n";
    std::ofstream(dir / "var/lib/dpkg/status")
        << "Package: libgomp1\nStatus: install ok installed\nVersion: 12.2.0-14\n\n"
           "Package: ombrelune-bench\nStatus: deinstall ok config-files\nVersion: 0.9.0\n\n"
           "Package: ombrelune-bench\nStatus: install ok installed\nVersion: 1.0.0\n";
    p = report::describe_program(dir / "prog", dir);
    EXPECT_EQ(p.openmp_library, "libgomp.so.1");
    EXPECT_EQ(p.openmp_path, "/usr/lib/x86_64-linux-gnu/libgomp.so.1.0.0");
    EXPECT_EQ(p.openmp_version, "12.2.0-14");
    EXPECT_EQ(p.package_version, "1.0.0");
    fs::remove_all(dir);
}

}  // namespace

namespace {

// machine.json is written and read through one table: every captured tree
// comes back field for field, a file of the first layout still reads, and a
// field of the wrong type, out of range or misplaced is absent, never a throw
// or a wrapped number.
TEST(MachineRecord, WrittenAndReadThroughOneTable) {
    for (const Expected& e : trees) {
        report::MachineRecord r;
        r.machine = read(e.tree, e.env);
        r.before = r.machine.state;
        r.repetition.program = "bench_memory";
        r.repetition.number = 2;
        r.repetition.outcome = "completed";
        r.repetition.seconds = 1.25;
        r.program.path = "/usr/bin/bench_memory";
        r.program.size = 47248;
        r.warnings = report::disturbances(r.machine);
        auto back = report::parse_record(report::record_text(r));
        ASSERT_TRUE(back) << e.tree << ": " << back.failure().message;
        EXPECT_EQ(report::record_text(*back), report::record_text(r)) << e.tree;
        EXPECT_EQ(back->machine.caches.size(), e.cache_kinds) << e.tree;
        EXPECT_EQ(back->machine.microcode, r.machine.microcode) << e.tree;
        EXPECT_EQ(back->warnings.size(), e.warnings.size()) << e.tree;
    }

    std::ifstream in(std::string(REPORT_DATA) + "/context/host-a.json");
    std::string first_layout((std::istreambuf_iterator<char>(in)), {});
    auto old = report::parse_record(first_layout);
    ASSERT_TRUE(old) << old.failure().message;
    EXPECT_EQ(old->schema_version, 1);
    EXPECT_EQ(old->repetition.outcome, "completed");
    EXPECT_EQ(report::governors(old->machine), "performance");
    EXPECT_EQ(report::machine_summary(*old, true),
              "host-a, Intel(R) Xeon(R) Processor, 2 logical CPUs, kernel 6.1.0-18-amd64, "
              "governor performance, boost on");
    EXPECT_FALSE(old->repetition.round);

    auto odd = report::parse_record(
        R"({"repetition": {"number": 1e300, "seconds": "slow", "round": -3},
            "program": {"size": -1},
            "machine": {"cpu": {"logical_cpus": 99999999999, "caches": {"level": 1}},
                        "frequency": {"policies": [7, {"governor": 5, "name": "p0"}]},
                        "openmp_environment": {"OMP_NUM_THREADS": 4}},
            "before": {"load_average": [1, "x", 2], "current_mhz": [1200, null]},
            "warnings": [{"check": 1}]})");
    ASSERT_TRUE(odd);
    EXPECT_FALSE(odd->repetition.number);
    EXPECT_FALSE(odd->repetition.seconds);
    EXPECT_EQ(odd->repetition.round, -3);
    EXPECT_FALSE(odd->program.size);
    EXPECT_FALSE(odd->machine.logical_cpus);
    EXPECT_TRUE(odd->machine.caches.empty());
    ASSERT_EQ(odd->machine.policies.size(), 1u);
    EXPECT_FALSE(odd->machine.policies[0].governor);
    EXPECT_EQ(report::openmp_text(odd->machine), "OMP_NUM_THREADS=4");
    EXPECT_EQ(odd->before->load1, 1.0);
    EXPECT_FALSE(odd->before->load5);
    EXPECT_EQ(odd->before->current_mhz.size(), 2u);
    for (const char* text : {"[]", "nonsense", "", "\"machine\""})
        EXPECT_FALSE(report::parse_record(text)) << text;
}

// Each field that changes figures is compared, the microcode like the kernel.
TEST(MachineRecord, DifferencesNameTheField) {
    report::MachineRecord a, b;
    a.machine = read("desktop_cgroup1");
    b = a;
    EXPECT_TRUE(report::context_differences(a, b).empty());
    b.machine.microcode = "0xf6";
    b.machine.kernel_release = "6.1.0-99";
    a.machine.microcode = "0xf0";
    auto d = report::context_differences(a, b);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].field, "kernel");
    EXPECT_EQ(d[1].field, "microcode");
    EXPECT_EQ(d[1].first, "0xf0");
    EXPECT_EQ(d[1].second, "0xf6");
}

}  // namespace

namespace {

using report::CoreClass;
using report::CpuSet;

std::string text(const CpuSet& cpus) {
    return report::cpu_list_text(cpus);
}

CpuSet cpus(const std::string& list) {
    return report::parse_cpu_list(list).value();
}

std::string texts(const std::vector<CpuSet>& sets) {
    std::string out;
    for (const CpuSet& s : sets)
        out += (out.empty() ? "" : " ") + text(s);
    return out;
}

std::string groups(const std::vector<report::CpuGroup>& gs) {
    std::string out;
    for (const report::CpuGroup& g : gs)
        out += (out.empty() ? "" : " ") + std::to_string(g.id) + ":" + text(g.cpus);
    return out;
}

// Each captured shape: which CPUs share a core, a socket, a last-level cache
// and a node, the class of each core, and what the sweep asks of them.
struct Shape {
    std::string tree;
    std::string online, possible, cores, packages;
    std::string llc;  // "LEVEL:SETS"
    std::string nodes;
    report::CoreClassSource from;
    std::string performance, efficiency;
    std::optional<std::string> cpuset;
    std::string affinity;
    std::string one_per_core;  // of the allowed CPUs
    std::string siblings;      // of those
    int node;                  // a node, and its CPUs
    std::string node_cpus;
};

// clang-format off
const Shape shapes[] = {
    {"smt_desktop", "0-15", "0-15", "0,8 1,9 2,10 3,11 4,12 5,13 6,14 7,15", "0:0-15",
     "3:0-15", "0:0-15", report::CoreClassSource::max_frequency, "0-15", "",
     "0-3,8-11", "0-3,8-11", "0-3", "8-11", 0, "0-15"},
    {"numa_server", "0-15", "0-31", "0,8 1,9 2,10 3,11 4,12 5,13 6,14 7,15",
     "0:0-3,8-11 1:4-7,12-15", "3:0-3,8-11 4-7,12-15", "0:0-3,8-11 1:4-7,12-15",
     report::CoreClassSource::max_frequency, "0-15", "", std::nullopt, "0-15", "0-7", "8-15",
     1, "4-7,12-15"},
    {"hybrid_p_e_laptop", "0-15", "0-15", "0-1 2-3 4-5 6-7 8 9 10 11 12 13 14 15", "0:0-15",
     "3:0-15", "0:0-15", report::CoreClassSource::kernel, "0-7", "8-15", std::nullopt, "0-15",
     "0,2,4,6,8-15", "1,3,5,7", 0, "0-15"},
    // Without sibling lists, cores are told by their package and core numbers.
    {"desktop_cgroup1", "0-7", "", "0,4 1,5 2,6 3,7", "0:0-7", "3:0-7", "0:0-7",
     report::CoreClassSource::max_frequency, "0-7", "", std::nullopt, "0-3", "0-3", "4-7", 0,
     "0-7"},
    {"hybrid_laptop", "0-7", "", "0-1 2-3 4 5 6 7", "0:0-7", "3:0-7", "0:0-7",
     report::CoreClassSource::kernel, "0-3", "4-7", std::nullopt, "0-7", "0,2,4-7", "1,3", 0,
     "0-7"},
    // A virtual machine without cpufreq: no class can be told.
    {"this_machine", "0-1", "", "0 1", "0:0-1", "3:0-1", "0:0-1",
     report::CoreClassSource::not_known, "", "", std::nullopt, "0-1", "0-1", "", 0, "0-1"},
};
// clang-format on

TEST(MachineTopology, CapturedShapesAndWhatASweepAsksOfThem) {
    for (const Shape& e : shapes) {
        SCOPED_TRACE(e.tree);
        Machine m = read(e.tree);
        const report::Topology& t = m.topology;
        EXPECT_EQ(text(t.online), e.online);
        EXPECT_EQ(text(t.possible), e.possible);
        EXPECT_EQ(texts(t.cores), e.cores);
        EXPECT_EQ(groups(t.packages), e.packages);
        EXPECT_EQ(std::to_string(t.last_level.value_or(0)) + ":" + texts(t.last_level_caches),
                  e.llc);
        EXPECT_EQ(groups(t.nodes), e.nodes);
        EXPECT_EQ(t.classes_from, e.from);
        EXPECT_EQ(text(t.performance), e.performance);
        EXPECT_EQ(text(t.efficiency), e.efficiency);
        EXPECT_EQ(m.cpuset, e.cpuset);
        EXPECT_EQ(m.affinity, e.affinity);
        CpuSet allowed = t.one_per_core(cpus(e.affinity));
        EXPECT_EQ(text(allowed), e.one_per_core);
        EXPECT_EQ(text(t.siblings_of(allowed)), e.siblings);
        EXPECT_EQ(text(t.cpus_of_node(e.node)), e.node_cpus);
        for (int c : t.online) {
            EXPECT_EQ(t.node_of(c).has_value(), true) << c;
            EXPECT_EQ(t.class_of(c) == CoreClass::unknown,
                      e.from == report::CoreClassSource::not_known)
                << c;
        }

        // machine.json carries it whole, and reads back the same.
        report::MachineRecord r;
        r.machine = m;
        auto back = report::parse_record(report::record_text(r));
        ASSERT_TRUE(back) << back.failure().message;
        EXPECT_EQ(back->machine.topology, t);
        EXPECT_EQ(back->machine.cpuset, m.cpuset);
    }
}

// The sets a sweep runs on each captured shape, among the CPUs allowed:
// "CPUS/PLACES/CORES/SIBLINGS/NODES" each. The cores come first, one CPU
// each, node by node with a step at each node's (and core class's) end; the
// SMT point follows with the siblings after the cores in the places.
TEST(MachineTopology, ScalingSetsOfEachShape) {
    struct Sweep {
        std::string tree, allowed;
        std::vector<std::string> sets;
    };
    auto described = [](const report::ScalingSet& s) {
        std::string places;
        for (int p : s.places)
            places += (places.empty() ? "" : " ") + std::to_string(p);
        return text(s.cpus) + "/" + places + "/" + std::to_string(s.cores) + "/" +
               text(s.siblings) + "/" + text(s.nodes);
    };
    // clang-format off
    const Sweep sweeps[] = {
        {"this_machine", "0-1", {"0/0/1//0", "0-1/0 1/2//0"}},
        // A cgroup's cpuset leaves four cores and their siblings.
        {"smt_desktop", "0-3,8-11", {"0/0/1//0", "0-1/0 1/2//0", "0-3/0 1 2 3/4//0",
                                     "0-3,8-11/0 1 2 3 8 9 10 11/4/0-3,8-11/0"}},
        // Node 0 holds cores 0-3: the step of 4 ends there, 8 crosses to node 1.
        {"numa_server", "0-15", {"0/0/1//0", "0-1/0 1/2//0", "0-3/0 1 2 3/4//0",
                                 "0-7/0 1 2 3 4 5 6 7/8//0-1",
                                 "0-15/0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15/8/0-15/0-1"}},
        // Four performance cores with SMT, then eight efficiency cores.
        {"hybrid_p_e_laptop", "0-15", {"0/0/1//0", "0,2/0 2/2//0", "0,2,4,6/0 2 4 6/4//0",
                                       "0,2,4,6,8-11/0 2 4 6 8 9 10 11/8//0",
                                       "0,2,4,6,8-15/0 2 4 6 8 9 10 11 12 13 14 15/12//0",
                                       "0-15/0 2 4 6 8 9 10 11 12 13 14 15 1 3 5 7/12/0-7/0"}},
        // taskset -c 0,8: one core and its sibling.
        {"smt_desktop", "0,8", {"0/0/1//0", "0,8/0 8/1/0,8/0"}},
        {"this_machine", "1", {"1/1/1//0"}},
    };
    // clang-format on
    for (const Sweep& e : sweeps) {
        SCOPED_TRACE(e.tree + " " + e.allowed);
        Machine m = read(e.tree);
        std::vector<std::string> got;
        for (const report::ScalingSet& s : report::scaling_sets(m.topology, cpus(e.allowed))) {
            EXPECT_EQ(text(s.allowed), e.allowed);
            got.push_back(described(s));
        }
        EXPECT_EQ(got, e.sets);
    }
    // A point's machine.json says its set and reads back the same; other
    // repetitions have no "scaling" key at all.
    report::MachineRecord r;
    EXPECT_EQ(report::record_text(r).find("\"scaling\""), std::string::npos);
    r.scaling = report::scaling_sets(read("numa_server").topology, cpus("0-15")).back();
    r.scaling->sweep = "20261208T231500Z-4711";
    auto back = report::parse_record(report::record_text(r));
    ASSERT_TRUE(back) << back.failure().message;
    EXPECT_EQ(back->scaling, r.scaling);
}

// Where the kernel lists no kinds of core, a CPU far slower at its best than
// the fastest is an efficiency core.
TEST(MachineTopology, CoreClassesFallBackOnTheMaximumFrequency) {
    namespace fs = std::filesystem;
    fs::path copy = fs::temp_directory_path() / ("topology_" + std::to_string(::getpid()));
    fs::remove_all(copy);
    fs::copy(fs::path(REPORT_DATA) / "machines/hybrid_p_e_laptop", copy,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove_all(copy / "sys/devices/cpu_core");
    fs::remove_all(copy / "sys/devices/cpu_atom");
    report::MachineSource source;
    source.root = copy;
    source.live = false;
    const report::Topology t = report::read_machine(source).topology;
    EXPECT_EQ(t.classes_from, report::CoreClassSource::max_frequency);
    EXPECT_EQ(text(t.performance), "0-7");
    EXPECT_EQ(text(t.efficiency), "8-15");
    fs::remove_all(copy);
}

// Lists as the kernel writes them, and as a hand-made machine.json may not:
// the CPUs each once and in order, nothing past a million CPUs, and a
// record's lists together held to a bound.
TEST(MachineTopology, CpuListsAndTheirBounds) {
    const std::pair<std::string, std::optional<std::string>> lists[] = {
        {"0-3,8,10-11", "0-3,8,10-11"},
        {" 3,1,1-2\n", "1-3"},
        {"", ""},
        {"5-5", "5"},
        {"0-1048576", "0-1048576"},
        {"1048577", std::nullopt},
        {"2-1", std::nullopt},
        {"0,,1", std::nullopt},
        {"-1", std::nullopt},
        {"0-3:2/4", std::nullopt}};
    for (const auto& [list, expected] : lists) {
        auto set = report::parse_cpu_list(list);
        EXPECT_EQ(set ? std::optional(text(*set)) : std::nullopt, expected) << list;
    }
    std::string many = "0-99999";
    for (int i = 0; i < 2000; ++i)
        many += ",0-99999";
    EXPECT_EQ(report::parse_cpu_list(many)->size(), 100000u);

    std::string cores;
    for (int i = 0; i < 40; ++i)
        cores += std::string(i ? "," : "") + "\"0-99999\"";
    auto r = report::parse_record(
        R"({"machine": {"cpu": {"topology": {"online": "0-7", "cores": [)" + cores +
        R"(], "core_classes": {"source": "kernel", "performance": "x"}}}}})");
    ASSERT_TRUE(r) << r.failure().message;
    EXPECT_EQ(text(r->machine.topology.online), "0-7");
    EXPECT_EQ(r->machine.topology.cores.size(), 10u);  // a million CPUs in all, then no more
    EXPECT_EQ(r->machine.topology.classes_from, report::CoreClassSource::kernel);
    EXPECT_TRUE(r->machine.topology.performance.empty());
}

}  // namespace

// An input that cannot be read is one failure, its status that of an
// unreadable input and its message the reason alone, for the caller to put
// after the path; the record beside a results file is absent only when there
// is none.
namespace {

namespace fs = std::filesystem;

struct Unreadable {
    const char* name;
    void (*make)(const fs::path& at);  // puts what is read at `at`
    bool text;                         // read as a text (then perhaps no record)
    const char* reason;                // the failure's message; empty: a record
};

const Unreadable unreadable[] = {
    {"regular", [](const fs::path& at) { std::ofstream(at) << "{}"; }, true, ""},
    {"missing", [](const fs::path&) {}, false, "No such file or directory"},
    {"fifo", [](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }, false,
     "a FIFO, not a regular file"},
    {"directory", [](const fs::path& at) { fs::create_directories(at); }, false,
     "a directory, not a regular file"},
    {"too_large",
     [](const fs::path& at) {
         std::ofstream(at).close();
         fs::resize_file(at, (std::uintmax_t{16} << 20) + 1);
     },
     false, "larger than the 16 MiB an input may hold"},
    {"not_json", [](const fs::path& at) { std::ofstream(at) << "{\n  \"a\": ,"; }, true,
     "not JSON: it does not read at line 2, column 8"},
    {"not_an_object", [](const fs::path& at) { std::ofstream(at) << "[1]"; }, true,
     "not a JSON object"},
};

class InputFile : public testing::TestWithParam<Unreadable> {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("input_file_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_P(InputFile, FailsWithItsReasonAndTheStatusOfABadInput) {
    const Unreadable& u = GetParam();
    const fs::path at = dir / "machine.json";
    u.make(at);
    const std::string reason = u.reason;
    report::Expected<std::string> text = report::read_input_file(at.string());
    EXPECT_EQ(bool(text), u.text);
    if (!text) {
        EXPECT_EQ(text.failure().status, static_cast<int>(report::Exit::bad_input));
        EXPECT_EQ(text.failure().message, reason);
    }
    report::Expected<std::optional<report::MachineRecord>> record =
        report::read_record((dir / "results").string());
    if (reason.empty()) {
        ASSERT_TRUE(record) << record.failure().message;
        EXPECT_EQ(record->has_value(), true);
    } else if (std::string(u.name) == "missing") {
        ASSERT_TRUE(record);
        EXPECT_FALSE(record->has_value());
    } else {
        ASSERT_FALSE(record);
        EXPECT_EQ(record.failure().status, static_cast<int>(report::Exit::bad_input));
        EXPECT_EQ(record.failure().message, reason);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, InputFile, testing::ValuesIn(unreadable),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
