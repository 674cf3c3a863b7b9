// What may disturb a measurement on the machine, and how to remove it.
#include "machine/machine.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>

#include <fmt/format.h>

namespace report {

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

}  // namespace report
