// Where the runs of one path argument come from. A directory is walked (and a
// file named is read as it is: input/walk.h); a store keeps the files and
// hands over their texts, or the figures it keeps parsed (store/source.h).
// load_runs (input/load.h) reads every source the same way, without asking
// which kind it has.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

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

// What the sources of one load share.
struct LoadContext {
    std::vector<LoadNote> notes;  // in the order they arose
    bool failed = false;          // some file could not be read or parsed
    // Every file read from disk or tried, each with the machine.json beside
    // it: what an output must never replace.
    std::vector<std::string> considered;
    // The files read from disk, by device and inode, with the path each was
    // read by: a file named twice (or by two paths) is read once.
    std::map<std::pair<dev_t, ino_t>, std::string> read;
    // The symbolic links to directories said to be skipped: each said once.
    std::set<std::string> links_said;

    void note(LoadNote n, bool fails) {
        notes.push_back(std::move(n));
        failed = failed || fails;
    }
};

// One results file as its source hands it over: the runs it keeps parsed,
// taken as they are, or else a text to parse.
struct ResultsFile {
    const std::string* path = nullptr;  // as found, as outputs show it
    const std::string* text = nullptr;
    std::vector<Run>* runs = nullptr;
};

// The machine.json beside a results file: its record, or none (`why` says
// why when there is one that cannot be read). `started` is the repetition's
// start when the source keeps it apart from a record that several nights of
// one machine share.
struct RecordBeside {
    std::shared_ptr<const MachineRecord> record;
    std::optional<std::string> started;
    std::string why;
};

// A record of a repetition that `run` recorded as failed, killed,
// interrupted, timed out or still running: it may have left no results file.
struct UnfinishedRecord {
    std::string path;  // the machine.json's
    std::shared_ptr<const MachineRecord> record;
    std::optional<std::string> started;
};

class InputSource {
public:
    virtual ~InputSource() = default;

    // Finds the results files and records the source holds (walks the
    // directory, reads the store), saying in `context` what it could not.
    virtual void find(LoadContext& context) = 0;

    // The results files to read, after find().
    virtual std::size_t size() const = 0;
    // How many results files the path counts for: size(), or, for a path
    // that names what another path did, what that one found.
    virtual std::size_t counted() const { return size(); }
    // How many runs the files will give, for room to be made at once.
    virtual std::size_t expected_runs() const { return size(); }

    // Results file `i`: false when it cannot be read or was read already
    // (said in `context`). What it points to stays until done(i).
    virtual bool open(std::size_t i, ResultsFile& file, LoadContext& context) = 0;
    // Lets go of results file `i`'s text or runs: its runs are taken.
    virtual void done(std::size_t i) = 0;
    // The machine.json beside results file `i`.
    virtual RecordBeside record_beside(std::size_t i) = 0;

    // The records of repetitions that did not finish, in the order found.
    virtual std::vector<UnfinishedRecord> unfinished() = 0;

    // Whether the source holds a file at a path for which `same` holds,
    // beyond what it put in `considered`: an output never replaces it.
    virtual bool holds(const std::function<bool(const std::string&)>& same) const = 0;
};

}  // namespace report
