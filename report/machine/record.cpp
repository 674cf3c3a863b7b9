// What a record says in a few words: the governors, boost, OpenMP
// variables, the machine's summary, and whether the repetition finished.
#include "machine/record.h"

#include <algorithm>

#include <fmt/format.h>

#include "model/utf8.h"

namespace report {

std::optional<std::string> governors(const Machine& m) {
    std::vector<std::string> seen;
    for (const FrequencyPolicy& p : m.policies)
        if (p.governor && std::find(seen.begin(), seen.end(), *p.governor) == seen.end())
            seen.push_back(*p.governor);
    if (seen.empty())
        return std::nullopt;
    return fmt::format("{}", fmt::join(seen, ","));
}

std::optional<std::string> boost_text(const Machine& m) {
    if (!m.boost)
        return std::nullopt;
    return *m.boost ? "on" : "off";
}

std::string openmp_text(const Machine& m) {
    std::string all;
    for (const auto& [name, value] : m.openmp_environment)
        all += (all.empty() ? "" : " ") + name + "=" + value;
    return all;
}

namespace {

// A name as a summary shows it: a host name is at most 64 bytes and a CPU's
// model name 48, so anything much longer is cut (on a character's boundary)
// rather than filling a terminal with megabytes of one line.
std::string shortened(const std::string& name) {
    constexpr std::size_t longest = 256;
    if (name.size() <= longest)
        return name;
    return fmt::format("{}... ({} bytes)", name.substr(0, utf8_cut(name, longest)), name.size());
}

}  // namespace

std::string machine_summary(const MachineRecord& r, bool details) {
    const Machine& m = r.machine;
    std::vector<std::string> parts;
    if (m.hostname)
        parts.push_back(shortened(*m.hostname));
    if (m.model_name)
        parts.push_back(shortened(*m.model_name));
    if (details) {
        if (m.logical_cpus)
            parts.push_back(fmt::format("{} logical CPUs", *m.logical_cpus));
        if (m.kernel_release)
            parts.push_back("kernel " + *m.kernel_release);
        if (auto g = governors(m))
            parts.push_back("governor " + *g);
        if (auto b = boost_text(m))
            parts.push_back("boost " + *b);
    }
    return fmt::format("{}", fmt::join(parts, ", "));
}

std::optional<std::string> unfinished_outcome(const RepetitionRecord& repetition) {
    if (!repetition.outcome || *repetition.outcome == "completed")
        return std::nullopt;
    return repetition.outcome;
}

}  // namespace report
