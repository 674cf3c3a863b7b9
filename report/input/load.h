// Finding, reading, parsing, checking and labelling the runs named on the
// command line.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "input/store.h"
#include "model/run.h"

namespace report {

// Something said about the inputs while they were loaded; the command line
// says it on standard error.
struct LoadNote {
    enum Kind {
        unreadable_directory,     // a directory that cannot be listed (`reason`)
        link_not_followed,        // a symbolic link to a directory, skipped
        unreadable,               // a file or directory that cannot be read (`reason`)
        same_file,                // the same file as `other`, read once
        not_results,              // not a results file: `reason` is what was expected at
                                  // `line`, `found` the line there (absent: the end)
        machine_json_unreadable,  // machine.json beside it cannot be read (`reason`)
        transcript_read_once,     // the console transcript of `other`, read once
    } kind;
    std::string path;
    std::string reason = {};
    std::string other = {};
    int line = 0;
    std::optional<std::string> found = {};
};

struct Loaded {
    std::vector<Run> runs;
    bool failed = false;                       // some file could not be read or parsed
    std::vector<std::size_t> files_per_input;  // files found under each path argument
    std::vector<LoadNote> notes;               // in the order they arose
    // Every file read or tried, each with the machine.json beside it: what an
    // output must never replace.
    std::vector<std::string> considered;
    // The files each store read for its figures gave, their runs taken:
    // their paths are never replaced by an output either. A fleet-year's
    // files are kept as they were read, their paths not copied into
    // `considered` (a store read for its texts has its paths there).
    std::vector<std::vector<StoredFile>> stored;
};

// Adds what `other` considered to what `loaded` did: an output replaces
// neither's inputs.
void consider_also(Loaded& loaded, Loaded& other);

// The files the paths name, as loading finds them: every results file under
// a directory (by its name, sorted by path) or the file named, and every
// machine.json a directory holds, each with the index of its path. The notes
// say what could not be walked.
struct InputFiles {
    std::vector<std::pair<std::string, std::size_t>> results, records;
    std::vector<std::size_t> files_per_input;
    std::vector<LoadNote> notes;
    bool failed = false;
};
InputFiles find_input_files(const std::vector<std::string>& paths);

// Expands directories (recursively, every results file by its name), reads and
// parses every file (files named explicitly are recognised by their content;
// a file holding several runs one after the other gives each), checks each run
// and labels it: `labels[i]` labels every run found under `paths[i]`. Runs
// that share a label are repetitions of one measurement. A file
// named twice, and a console transcript beside its own results file, are read
// once, with a note. Each bad file gets a note and sets `failed`.
// A path that is a store (input/store.h, known by SQLite's header) stands
// for the files it keeps, read from it as they were read when stored.
// With `reading` figures, a store gives the figures it keeps parsed instead of
// its texts: runs with only what a history reads (input/store.h).
// Runs come in argument order, sorted by path within a directory.
Loaded load_runs(const std::vector<std::string>& paths, const std::vector<std::string>& labels,
                 StoreReading reading = StoreReading::texts);

}  // namespace report
