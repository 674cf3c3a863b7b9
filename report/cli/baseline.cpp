#include "cli/baseline.h"

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "analysis/recorded.h"
#include "output/text.h"
#include "store/source.h"

namespace report {

namespace fs = std::filesystem;

const char* const baseline_help =
    "The run each program's figures are compared with: a label, a path (one of the inputs or "
    "another file), or \"median\" for the median of the runs (default: each program's label "
    "that ran first, from machine.json's start or the results file's date, else the first label "
    "in natural order)";

namespace {

std::vector<const Run*> labelled(const Loaded& loaded, const std::string& label) {
    std::vector<const Run*> named;
    for (const Run& r : loaded.runs)
        if (r.label == label)
            named.push_back(&r);
    return named;
}

// The runs of the input that `path` names, else the runs read from the file
// it names.
std::vector<const Run*> read_from(const Loaded& loaded, const Inputs& inputs,
                                  const std::string& path) {
    auto same = [&](const std::string& p) {
        std::error_code e;
        return fs::equivalent(path, p, e);
    };
    std::vector<const Run*> named;
    for (std::size_t k = 0; k < inputs.paths.size(); ++k)
        if (same(inputs.paths[k]))
            for (const Run& r : loaded.runs)
                if (r.input == k)
                    named.push_back(&r);
    if (named.empty())
        for (const Run& r : loaded.runs)
            if (same(r.path))
                named.push_back(&r);
    return named;
}

// A baseline outside the inputs, read into `extra`, its runs compared first.
// False when it could not be read (said).
bool read_outside(const std::string& path, Loaded& extra, std::vector<const Run*>& named,
                  BaselineChoice& choice) {
    extra = load_runs(open_inputs({path}), {});
    say_notes(extra);
    if (extra.failed)
        return false;
    for (Run& r : extra.runs) {
        r.input = static_cast<std::size_t>(-1);
        named.push_back(&r);
    }
    choice.runs.insert(choice.runs.begin(), named.begin(), named.end());
    return true;
}

// One baseline run for each program compared, from the runs `named`: they
// must hold one label of each (several repetitions of it are one baseline).
// A failure when a program has none, or several labels, each program said.
Result baselines_per_program(const std::vector<const Run*>& named, const std::string& baseline,
                             BaselineChoice& choice) {
    Result outcome;
    std::vector<Program> programs;
    for (const Run* r : choice.runs)
        if (std::find(programs.begin(), programs.end(), r->program) == programs.end())
            programs.push_back(r->program);
    for (Program p : programs) {
        std::vector<const Run*> of;
        for (const Run* r : named)
            if (r->program == p)
                of.push_back(r);
        bool one_label = !of.empty() && std::all_of(of.begin(), of.end(), [&](const Run* r) {
            return r->label == of.front()->label;
        });
        if (!one_label) {
            error(of.empty() ? fmt::format("--baseline {}: names no run of {}, which is compared",
                                           escape_path(baseline), program_name(p))
                             : fmt::format("--baseline {}: names {} runs of {} under different "
                                           "labels; name one",
                                           escape_path(baseline), of.size(), program_name(p)));
            outcome = Failed(Exit::bad_input);
            continue;
        }
        choice.baselines.push_back(of.front());
    }
    return outcome;
}

}  // namespace

Expected<BaselineChoice> resolve_baseline(const Loaded& loaded, const Inputs& inputs,
                                          const std::string& baseline, Loaded& extra) {
    BaselineChoice choice;
    for (const Run& r : loaded.runs)
        choice.runs.push_back(&r);
    if (baseline == "median") {
        choice.median = true;
        return choice;
    }
    if (baseline.empty())
        return choice;
    std::vector<const Run*> named = labelled(loaded, baseline);
    std::error_code ec;
    if (named.empty() && fs::exists(baseline, ec)) {
        named = read_from(loaded, inputs, baseline);
        // A file that could not be read was said in its note.
        if (named.empty() && !read_outside(baseline, extra, named, choice))
            return Failed(Exit::bad_input);
    }
    if (named.empty())
        return Failed(Exit::bad_input,
                      fmt::format("--baseline {}: no run has this label, and no results file "
                                  "is there",
                                  escape_path(baseline)));
    if (Result refused = baselines_per_program(named, baseline, choice))
        return *refused;
    return choice;
}

namespace {

// Takes, of each label's runs compared, those `choice` takes, each baseline
// then one of its label's runs taken; a failure when --since left a label
// none.
Result take_compared(const RunsChoice& choice, Compared& into) {
    RunsTaken taken = take_runs(into.choice.runs, choice);
    if (taken.emptied)
        return Failed(Exit::bad_input, fmt::format("--since {}: {} has no run on or after it",
                                                   *choice.since, escape_path(*taken.emptied)));
    for (const Run*& b : into.choice.baselines) {
        auto same = std::find_if(taken.runs.begin(), taken.runs.end(), [&](const Run* r) {
            return r->program == b->program && r->label == b->label;
        });
        if (same != taken.runs.end())
            b = *same;
    }
    into.compared = std::move(taken.runs);
    into.taken = std::move(taken.labels);
    return std::nullopt;
}

}  // namespace

Expected<std::unique_ptr<Compared>> load_compared(const Inputs& inputs, const std::string& baseline,
                                                  const RunsChoice& runs) {
    Expected<Read> read = load_inputs(inputs);
    if (!read)
        return read.failure();
    auto into = std::make_unique<Compared>();
    into->loaded = std::move(read->loaded);
    into->unread = std::move(read->unread);
    label_builds(into->loaded.runs);
    Expected<BaselineChoice> choice = resolve_baseline(into->loaded, inputs, baseline, into->extra);
    if (!choice)
        return choice.failure();
    into->choice = std::move(*choice);
    if (Result emptied = take_compared(runs, *into))
        return *emptied;
    return into;
}

}  // namespace report
