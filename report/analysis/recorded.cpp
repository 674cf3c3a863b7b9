#include "analysis/recorded.h"

#include <map>
#include <set>

#include "machine/record.h"

namespace report {

std::optional<std::string> build_identity(const Run& run) {
    if (!run.machine || !run.machine->program_sha256 || run.machine->program_sha256->empty())
        return std::nullopt;
    return run.machine->program_sha256;
}

std::optional<std::string> unfinished_outcome(const Run& run) {
    if (!run.machine || !run.machine->outcome || *run.machine->outcome == "completed")
        return std::nullopt;
    return run.machine->outcome;
}

std::vector<std::string> recorded_warnings(const Run&) {
    return {};
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

}  // namespace report
