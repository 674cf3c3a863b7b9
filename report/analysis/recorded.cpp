#include "analysis/recorded.h"

#include <map>
#include <set>

#include "machine/build_identity.h"
#include "machine/record.h"

namespace report {

std::optional<std::string> unfinished_outcome(const Run& run) {
    return run.machine ? unfinished_outcome(run.machine->repetition) : std::nullopt;
}

std::vector<std::string> recorded_warnings(const Run& run) {
    std::vector<std::string> out;
    if (run.machine)
        for (const Disturbance& d : run.machine->warnings)
            out.push_back(d.message);
    return out;
}

namespace {

// What the program file of a run is, as far as its machine.json says.
const ProgramFile& program_of(const Run& run) {
    static const ProgramFile unknown;
    return run.machine ? run.machine->program : unknown;
}

}  // namespace

bool same_build(const Run& a, const Run& b) {
    return same_build(program_of(a), program_of(b));
}

std::vector<std::string> sample_labels(const std::vector<const Run*>& runs) {
    BuildClasses classes;
    for (const Run* r : runs)
        classes.add(program_of(*r));
    std::map<std::string, std::set<std::string>> builds;  // label -> its builds' classes
    for (const Run* r : runs)
        if (std::optional<std::string> c = classes.of(program_of(*r)))
            builds[r->label].insert(*c);
    std::vector<std::string> out;
    for (const Run* r : runs) {
        std::optional<std::string> c = classes.of(program_of(*r));
        if (c && builds[r->label].size() > 1)
            out.push_back(r->label + "@" + classes.name(program_of(*r))->substr(0, 8));
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
