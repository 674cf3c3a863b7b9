// What every subcommand shares: the exit codes, the error messages on
// standard error, the input options (paths and labels), loading the runs with
// one rule for "nothing found", and an output (standard output or -o) whose
// failure to be written is a failure of the command.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/failure.h"
#include "input/load.h"
#include "machine/replace_file.h"
#include "store/store.h"

struct stat;

namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace report {

// The exit codes as `--help` and the README state them.
extern const char* const exit_status_help;

// One line on standard error: "bench_report: MESSAGE".
void error(std::string_view message);

struct RunsChoice;

// The paths (and, where the command takes them, labels) of a subcommand.
struct Inputs {
    std::vector<std::string> paths;
    std::vector<std::string> labels;  // one per path argument
};
void add_inputs(CLI::App* command, Inputs& inputs, bool labels, bool required = true);

// Says on standard error what loading found (unreadable files, files read once, ...).
void say_notes(const Loaded& loaded);

// What a command's inputs gave: the runs read and, when a file could not be
// read or a path held no results file beside paths that did (each said as
// found), the failure (bad_input) the command ends with once it has done the
// rest with the runs read.
struct Read {
    Loaded loaded;
    Result unread;
};

// Loads the runs of the inputs; a failure (bad_input) when --label does not
// give one label per path, or when no run was read at all.
Expected<Read> load_inputs(const Inputs& inputs, StoreReading reading = StoreReading::texts);

// What a command has read and found, kept until the process exits and then
// released with it at once, instead of freed a piece at a time after the
// output is written: a fleet-year's runs are a million pieces, and freeing
// them took a tenth of a second of a history's second. The returned reference
// is good until exit.
std::vector<std::shared_ptr<void>>& kept_until_exit();
template <class T>
T& keep_until_exit(T&& value) {
    auto kept = std::make_shared<std::remove_reference_t<T>>(std::move(value));
    kept_until_exit().push_back(kept);
    return *kept;
}

// Where a command writes: standard output, or the file -o names ("-" is
// standard output). A regular file is written as a temporary file beside it
// and renamed onto it only once all was written, so a failure (a full disk, a
// file-size limit) leaves the old file whole and no cut one; the file that
// standard output or error already is (`-o /dev/stdout >> log`) is written
// through that descriptor, and anything else that is no regular file (a FIFO,
// /dev/null) is written without being truncated. Refuses any file that was
// read or considered as an input, machine.json beside each included.
class Output {
public:
    // Nothing, or the failure: write_failed when the file cannot be opened,
    // bad_input when it is one of the inputs.
    Result open(const std::string& path, const Loaded& inputs, const Inputs& arguments);
    void write(std::string_view text);
    // Flushes and closes (renaming the temporary file onto the file named);
    // a failure (write_failed) when anything could not be written.
    Result finish();
    bool terminal() const;  // standard output on a terminal
    // Columns a text table fits: output_width() on standard output, no
    // limit in a file.
    std::size_t text_width() const;
    ~Output();

private:
    Failed cannot(int err);  // why the file cannot be written: write_failed
    Result open_device(const std::string& path, const struct stat& st);
    Result open_standard(int fd);
    Result open_beside(const std::string& path, const struct stat* existing);

    std::FILE* file_ = stdout;
    std::string name_ = "standard output";
    FileReplacement replacement_;  // a regular file's, committed by finish()
    int error_ = 0;  // errno of the first failure
};

// A percentage option: a finite number, 0 or more.
const CLI::Validator& percentage();
// A day option: YYYY-MM-DD of the calendar.
const CLI::Validator& calendar_date();

// --since and --all: which runs of a label whose runs span days are
// compared (analysis/runs_taken.h), the same for every subcommand that
// compares.
void add_runs_choice(CLI::App* command, RunsChoice& choice);

// Opens the command's output (-o PATH, else standard output), lets `produce`
// write into it, and finishes it; the failure when the output is refused or
// cannot be written.
Result write_output(const std::string& path, const Loaded& inputs, const Inputs& arguments,
                    const std::function<void(Output&)>& produce);

// Columns of the terminal standard output is, else $COLUMNS, else 80.
std::size_t output_width();

// The options every subcommand that writes a report shares, declared once so
// that their names, help and checks are the same everywhere:
// -o/--output FILE (- for standard output);
void add_output(CLI::App* command, std::string& output);
// --format NAME, one of `names`, its help "a, b or c" and its default shown;
void add_format(CLI::App* command, std::string& format, const std::vector<std::string>& names);
// --color auto|always|never (see colour_wanted).
void add_colour(CLI::App* command, std::string& colour);

// Whether to colour: "always", "never", or "auto" (a terminal, NO_COLOR unset
// or empty, TERM not "dumb").
bool colour_wanted(const std::string& mode, bool terminal);

class Commands;

// Parses the command line and runs the subcommand it chose; says the message
// of the failure it ends with and returns its exit status. A usage error is
// said in the tool's words (usage.h) and gives bad_input; so does an
// unexpected exception, said as what it was.
int run_application(CLI::App& app, int argc, char** argv, const Commands& commands);

}  // namespace report
