// Walking the paths named on the command line: every results file under a
// directory (by its name), or the file named, and the machine.json records
// beside them.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "input/source.h"

namespace report {

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
