#include "analysis/machine_differences.h"

#include <type_traits>

#include <fmt/format.h>

#include "model/run.h"

namespace report {

std::vector<ContextDifference> context_differences(const MachineContext& a,
                                                   const MachineContext& b) {
    std::vector<ContextDifference> out;
    auto show = [](const auto& v) -> std::string {
        if (!v)
            return "unknown";
        if constexpr (std::is_same_v<std::decay_t<decltype(*v)>, std::string>)
            return v->empty() ? "none" : *v;
        else
            return fmt::format("{}", *v);
    };
    auto compare = [&](const char* field, const auto& x, const auto& y) {
        if (x != y)
            out.push_back({field, show(x), show(y)});
    };
    compare("CPU model", a.cpu_model, b.cpu_model);
    compare("logical CPUs", a.logical_cpus, b.logical_cpus);
    compare("governor", a.governor, b.governor);
    compare("boost", a.boost, b.boost);
    compare("kernel", a.kernel, b.kernel);
    compare("program SHA-256", a.program_sha256, b.program_sha256);
    compare("OMP_* variables", a.openmp, b.openmp);
    compare("CPU quota", a.cpu_quota, b.cpu_quota);
    compare("affinity", a.affinity, b.affinity);
    return out;
}

std::vector<ContextMismatch> context_mismatches(const std::vector<const Run*>& runs,
                                                const Run& baseline) {
    std::vector<ContextMismatch> out;
    if (!baseline.machine)
        return out;
    for (const Run* run : runs) {
        if (run == &baseline || !run->machine)
            continue;
        std::vector<ContextDifference> d = context_differences(*run->machine, *baseline.machine);
        if (!d.empty())
            out.push_back({run, &baseline, std::move(d)});
    }
    return out;
}

}  // namespace report
