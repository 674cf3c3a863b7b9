// The settings as one table: what tune writes and in which order, whether
// the machine holds tune's values, and what `system show` lists.
#include "machine/system.h"
#include "machine/system_parts.h"

#include <algorithm>
#include <memory>
#include <set>

namespace report {

namespace fs = std::filesystem;

namespace system_parts {

// Every setting tune writes on this machine, in the order it writes them:
// boost, then each policy's governor, then each policy's minimum frequency
// (turning boost off can lower the maximum the minimum is raised to).
std::vector<Tunable> tunables(const SettingContext& context,
                              const std::vector<std::unique_ptr<SystemSetting>>& settings) {
    std::vector<Tunable> out;
    for (const auto& s : settings)
        if (auto value = s->read(context))
            out.push_back({s.get(), *value});
    std::stable_sort(out.begin(), out.end(), [](const Tunable& a, const Tunable& b) {
        return a.value.kind < b.value.kind;
    });
    return out;
}

SettingContext context_of(const fs::path& root, const Machine& machine) {
    return SettingContext{root, machine, disturbances(machine), {}};
}

// The files refused while reading the machine and its settings, each once,
// in the order they were met.
std::vector<std::string> refused_files(const Machine& machine, const SettingContext& context) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    const std::vector<std::string>* lists[] = {&machine.refused_files, &context.refused};
    for (const std::vector<std::string>* list : lists)
        for (const std::string& file : *list)
            if (seen.insert(file).second)
                out.push_back(file);
    return out;
}

}  // namespace system_parts

using namespace system_parts;

std::vector<Setting> tunable_settings(const fs::path& root, const Machine& machine) {
    const SettingContext context = context_of(root, machine);
    const auto settings = system_settings(context);
    std::vector<Setting> out;
    for (const Tunable& t : tunables(context, settings))
        out.push_back(t.value);
    return out;
}

std::optional<bool> is_tuned(const fs::path& root, const Machine& machine) {
    auto all = tunable_settings(root, machine);
    if (all.empty())
        return std::nullopt;
    return std::all_of(all.begin(), all.end(), [](const Setting& s) { return s.value == s.tuned; });
}

std::vector<SystemFinding> system_findings(const fs::path& root, const Machine& machine,
                                           std::vector<std::string>* refused) {
    const SettingContext context = context_of(root, machine);
    std::vector<SystemFinding> out;
    for (const auto& setting : system_settings(context))
        out.push_back(setting->show(context));
    if (refused)
        *refused = refused_files(machine, context);
    return out;
}

}  // namespace report
