// Reading, parsing, checking and labelling the runs of the sources named on
// the command line.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/source.h"
#include "model/run.h"

namespace report {

struct Loaded {
    std::vector<Run> runs;
    bool failed = false;                       // some file could not be read or parsed
    std::vector<std::size_t> files_per_input;  // results files each path counts for
    std::vector<LoadNote> notes;               // in the order they arose
    // Every file read from disk or tried, each with the machine.json beside
    // it: what an output must never replace.
    std::vector<std::string> considered;
    // The sources read, kept: an output never replaces a file they hold
    // either (a store's files are asked of the store, not copied here).
    std::vector<std::shared_ptr<InputSource>> sources;
};

// Adds what `other` considered to what `loaded` did: an output replaces
// neither's inputs.
void consider_also(Loaded& loaded, Loaded& other);

// Reads every results file of the sources, one source a path argument, and
// parses it (a file holding several runs one after the other gives each),
// checks each run and labels it: `labels[i]` labels every run of
// `sources[i]`. Runs that share a label are repetitions of one measurement.
// A file named twice, and a console transcript beside its own results file,
// are read once, with a note. Each bad file gets a note and sets `failed`.
// Runs a source keeps parsed (a store's figures: input/source.h) are taken as
// they are, unchecked. Runs come in argument order, sorted by path within a
// directory.
Loaded load_runs(std::vector<std::shared_ptr<InputSource>> sources,
                 const std::vector<std::string>& labels);

// The same, with every path walked as a directory or read as a file
// (input/walk.h): files named explicitly are recognised by their content.
Loaded load_runs(const std::vector<std::string>& paths, const std::vector<std::string>& labels);

// The runs `text` parses to, or none when any part of it is no run (each
// such part said in a note, `context.failed` set).
std::optional<std::vector<Run>> parse_results(std::string_view text, const std::string& path,
                                              LoadContext& context);

}  // namespace report
