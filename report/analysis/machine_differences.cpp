#include "analysis/machine_differences.h"

#include <type_traits>

#include <fmt/format.h>

#include "machine/build_identity.h"
#include "model/run.h"

namespace report {

std::vector<ContextDifference> context_differences(const MachineRecord& a,
                                                   const MachineRecord& b) {
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
    const Machine& x = a.machine;
    const Machine& y = b.machine;
    compare("CPU model", x.model_name, y.model_name);
    compare("logical CPUs", x.logical_cpus, y.logical_cpus);
    compare("governor", governors(x), governors(y));
    compare("boost", boost_text(x), boost_text(y));
    compare("kernel", x.kernel_release, y.kernel_release);
    compare("microcode", x.microcode, y.microcode);
    // A build and its stripped copy differ in SHA-256 but are one build.
    if (!same_build(a.program, b.program))
        compare("program SHA-256", a.program.sha256, b.program.sha256);
    compare("OMP_* variables", std::optional(openmp_text(x)), std::optional(openmp_text(y)));
    compare("CPU quota", x.cpu_quota, y.cpu_quota);
    compare("affinity", x.affinity, y.affinity);
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
