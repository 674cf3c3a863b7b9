#include "cli/baseline.h"

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "output/text.h"
#include "store/source.h"

namespace report {

namespace fs = std::filesystem;

const char* const baseline_help =
    "The run each program's figures are compared with: a label, a path (one of the inputs or "
    "another file), or \"median\" for the median of the runs (default: each program's label "
    "that ran first, from machine.json's start or the results file's date, else the first label "
    "in natural order)";

BaselineChoice resolve_baseline(const Loaded& loaded, const Inputs& inputs, const std::string& baseline,
                                Loaded& extra) {
    BaselineChoice choice;
    for (const Run& r : loaded.runs)
        choice.runs.push_back(&r);
    if (baseline == "median") {
        choice.median = true;
        return choice;
    }
    if (baseline.empty())
        return choice;

    std::vector<const Run*> named;
    for (const Run& r : loaded.runs)
        if (r.label == baseline)
            named.push_back(&r);
    std::error_code ec;
    if (named.empty() && fs::exists(baseline, ec)) {
        auto same = [&](const std::string& p) {
            std::error_code e;
            return fs::equivalent(baseline, p, e);
        };
        for (std::size_t k = 0; k < inputs.paths.size(); ++k)
            if (same(inputs.paths[k]))
                for (const Run& r : loaded.runs)
                    if (r.input == k)
                        named.push_back(&r);
        if (named.empty())
            for (const Run& r : loaded.runs)
                if (same(r.path))
                    named.push_back(&r);
        if (named.empty()) {
            extra = load_runs(open_inputs({baseline}), {});
            say_notes(extra);
            if (extra.failed) {
                choice.failed = true;
                return choice;
            }
            for (Run& r : extra.runs) {
                r.input = static_cast<std::size_t>(-1);
                named.push_back(&r);
            }
            choice.runs.insert(choice.runs.begin(), named.begin(), named.end());
        }
    }
    if (named.empty()) {
        error(fmt::format("--baseline {}: no run has this label, and no results file is there",
                          escape_path(baseline)));
        choice.failed = true;
        return choice;
    }
    std::vector<Program> programs;
    for (const Run* r : choice.runs)
        if (std::find(programs.begin(), programs.end(), r->program) == programs.end())
            programs.push_back(r->program);
    for (Program p : programs) {
        std::vector<const Run*> of;
        for (const Run* r : named)
            if (r->program == p)
                of.push_back(r);
        // Several repetitions of one label are one baseline.
        bool one_label = !of.empty() && std::all_of(of.begin(), of.end(), [&](const Run* r) {
            return r->label == of.front()->label;
        });
        if (!one_label) {
            error(of.empty() ? fmt::format("--baseline {}: names no run of {}, which is compared",
                                           escape_path(baseline), program_name(p))
                             : fmt::format("--baseline {}: names {} runs of {} under different "
                                           "labels; name one",
                                           escape_path(baseline), of.size(), program_name(p)));
            choice.failed = true;
            continue;
        }
        choice.baselines.push_back(of.front());
    }
    return choice;
}

}  // namespace report
