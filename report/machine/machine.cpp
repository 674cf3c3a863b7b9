// The machine as a whole: the processor, its frequency, the system, and
// read_machine, which puts every reader together.
#include "machine/machine.h"
#include "machine/readers.h"
#include "machine/topology.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include <gnu/libc-version.h>
#include <sched.h>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

namespace {

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

}  // namespace

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
    if (source.live)
        m.libc_version = std::string("glibc ") + gnu_get_libc_version();
    m.openmp_environment = openmp_variables(source.environment);
    m.state = read_state(files, std::chrono::milliseconds(0));
    m.refused_files = std::move(files.refused);
    return m;
}

}  // namespace report
