#include "analysis/recorded.h"

#include <map>
#include <set>

#include "machine/record.h"

namespace report {

std::optional<std::string> build_identity(const Run& run) {
    if (!run.machine || !run.machine->program.sha256 || run.machine->program.sha256->empty())
        return std::nullopt;
    return run.machine->program.sha256;
}

std::optional<std::string> unfinished_outcome(const Run& run) {
    const std::optional<std::string>* outcome =
        run.machine ? &run.machine->repetition.outcome : nullptr;
    if (!outcome || !*outcome || **outcome == "completed")
        return std::nullopt;
    return *outcome;
}

std::vector<std::string> recorded_warnings(const Run& run) {
    std::vector<std::string> out;
    if (run.machine)
        for (const Disturbance& d : run.machine->warnings)
            out.push_back(d.message);
    return out;
}

std::vector<std::string> sample_labels(const std::vector<const Run*>& runs) {
    std::map<std::string, std::set<std::string>> builds;  // label -> its known builds
    for (const Run* r : runs)
        if (std::optional<std::string> id = build_identity(*r))
            builds[r->label].insert(*id);
    std::vector<std::string> out;
    for (const Run* r : runs) {
        std::optional<std::string> id = build_identity(*r);
        if (id && builds[r->label].size() > 1)
            out.push_back(r->label + "@" + id->substr(0, 8));
        else
            out.push_back(r->label);
    }
    return out;
}

void label_builds(std::vector<Run>& runs) {
    for (Program program : {Program::processors, Program::memory}) {
        std::vector<const Run*> of;
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < runs.size(); ++i)
            if (runs[i].program == program) {
                of.push_back(&runs[i]);
                at.push_back(i);
            }
        std::vector<std::string> labels = sample_labels(of);
        for (std::size_t k = 0; k < at.size(); ++k)
            runs[at[k]].label = labels[k];
    }
}

}  // namespace report
