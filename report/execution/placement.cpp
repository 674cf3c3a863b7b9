// Where a program's threads run: a scaling point's CPUs and places, the
// environment that carries them, and this process's own CPU affinity.
#include "execution/runner.h"
#include "execution/runner_parts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sched.h>

#include <fmt/format.h>

extern char** environ;

namespace report {

std::vector<std::string> runner_parts::placed_environment(const Placement& placement) {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = std::any_of(placement.environment.begin(), placement.environment.end(),
                                    [&](const auto& v) { return v.first == name; });
        if (!replaced)
            out.push_back(std::move(entry));
    }
    for (const auto& [name, value] : placement.environment)
        out.push_back(name + "=" + value);
    return out;
}

Placement placement_of(const ScalingSet& set) {
    Placement p;
    p.cpus = set.cpus;
    std::string places;
    for (int cpu : set.places)
        places += fmt::format("{}{{{}}}", places.empty() ? "" : ",", cpu);
    p.environment = {{"OMP_PLACES", places},
                     {"OMP_PROC_BIND", set.binding},
                     {"OMP_NUM_THREADS", std::to_string(set.places.size())}};
    return p;
}

CpuSet current_affinity() {
    // Grown until the kernel's mask fits: machines with more than 1024 CPUs.
    for (std::size_t count = 1024; count <= (std::size_t{1} << 20); count *= 4) {
        cpu_set_t* set = CPU_ALLOC(count);
        if (!set)
            return {};
        std::size_t size = CPU_ALLOC_SIZE(count);
        CPU_ZERO_S(size, set);
        if (::sched_getaffinity(0, size, set) == 0) {
            CpuSet cpus;
            for (std::size_t c = 0; c < count; ++c)
                if (CPU_ISSET_S(c, size, set))
                    cpus.push_back(static_cast<int>(c));
            CPU_FREE(set);
            return cpus;
        }
        CPU_FREE(set);
        if (errno != EINVAL)
            return {};
    }
    return {};
}

std::optional<std::string> affinity_refusal(const CpuSet& cpus) {
    CpuSet before = current_affinity();
    if (cpus.empty())
        return std::string("no CPU in the set");
    if (before.empty())
        return std::string("this process's own CPU affinity cannot be read");
    int error = runner_parts::KernelCpuSet(cpus).apply();
    if (!before.empty())
        runner_parts::KernelCpuSet(before).apply();
    if (error)
        return std::string(std::strerror(error));
    return std::nullopt;
}

}  // namespace report
