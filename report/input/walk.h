// Walking the paths named on the command line: every results file under a
// directory (by its name), or the file named, and the machine.json records
// beside them; and what a path's text says (a results file's name, the file
// beside one, a run's own directory), cut as text where a path is plain, so
// that a fleet-year's paths are not each built as a path object.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "input/source.h"

namespace report {

// Whether `name` (a file's name, not its path) is a results file's:
// "results_processors_Linux_x86 @ ....txt" or "results_memory_Linux_x86 @ ....txt".
bool results_name(const std::string& name);

// Whether `path` names a file plainly enough to be cut as text: no "//",
// and a last part that is a name, not "", "." or "..".
bool plain_file_path(std::string_view path);

// The file `name` in the directory of file `path`: "a/b/machine.json" for
// "a/b/results.txt". Plain paths are cut as text, the rest by the library.
std::string beside(const std::string& path, const char* name);

// The text of `path` up to and with its last '/' ("a/b/" for "a/b/c"), or
// "" when it has none: what two files of one directory share, for a path as
// plain as beside() cuts by text.
std::string_view directory_text(std::string_view path);

// Whether `name` is a run's own directory, named by its UTC start and a
// sequence number ("20261208T100220Z-1"), as `run` makes them.
bool is_run_directory(std::string_view name);

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

// A directory walked, or a file named, as a source of runs: each results
// file is read from disk, and the machine.json beside it.
class DirectorySource : public InputSource {
public:
    explicit DirectorySource(std::string path) : path_(std::move(path)) {}

    void find(LoadContext& context) override;
    std::size_t size() const override { return found_.size(); }
    bool open(std::size_t i, ResultsFile& file, LoadContext& context) override;
    void done(std::size_t) override {}
    RecordBeside record_beside(std::size_t i) override;
    std::vector<UnfinishedRecord> unfinished() override;
    // Its files are all in `considered`.
    bool holds(const std::function<bool(const std::string&)>&) const override { return false; }

private:
    std::string path_;
    std::vector<std::string> found_;    // the results files, or the file named
    std::vector<std::string> records_;  // the machine.json files under a directory
    std::string text_;                  // the text of the file open, its room reused
};

}  // namespace report
