#include "cli/cli.h"
#include "output/load_notes.h"
#include "output/text.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>

#include <sys/ioctl.h>
#include <unistd.h>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

namespace report {

namespace fs = std::filesystem;

const char* const exit_status_help =
    "Exit status: 0 fine; 1 the output could not be written; 2 usage error, unreadable or "
    "unrecognised input, or nothing to work on; 3 the regression gate (compare "
    "--fail-if-worse) tripped, or history --fail-on-change-since found a change for the worse.";

void error(std::string_view message) {
    std::string line = fmt::format("bench_report: {}\n", message);
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void add_inputs(CLI::App* command, Inputs& inputs, bool labels, bool required) {
    CLI::Option* paths = command->add_option(
        "paths", inputs.paths,
        required ? "Results files, transcripts or directories"
                 : "Results files, transcripts or directories (default: the current directory)");
    if (required)
        paths->required();
    if (labels)
        command
            ->add_option("--label", inputs.labels,
                         "A label for the runs found under a path: one per path, in their order")
            ->allow_extra_args(false);
}

void say_notes(const Loaded& loaded) {
    for (const LoadNote& note : loaded.notes)
        std::cerr << describe(note);
}

Loaded load_inputs(const Inputs& inputs, int& status) {
    std::vector<std::string> paths = inputs.paths;
    if (paths.empty())
        paths.push_back(".");
    if (!inputs.labels.empty() && inputs.labels.size() != paths.size()) {
        error(fmt::format("--label given {} time(s) for {} path(s): give one label per path",
                          inputs.labels.size(), paths.size()));
        status = static_cast<int>(Exit::bad_input);
        return {};
    }
    Loaded loaded = load_runs(paths, inputs.labels);
    say_notes(loaded);
    if (loaded.failed)
        status = static_cast<int>(Exit::bad_input);
    if (loaded.runs.empty()) {
        std::string where;
        for (const std::string& p : paths)
            where += (where.empty() ? "" : ", ") + escape_path(p);
        if (!loaded.failed)
            error(fmt::format("no results file found in {}", where));
        status = static_cast<int>(Exit::bad_input);
        return loaded;
    }
    // A path that holds nothing among others that do is still an input
    // missing: a comparison or a gate must not quietly go on without it.
    for (std::size_t k = 0; k < paths.size() && k < loaded.files_per_input.size(); ++k)
        if (loaded.files_per_input[k] == 0) {
            error(fmt::format("no results file found in {}", escape_path(paths[k])));
            status = static_cast<int>(Exit::bad_input);
        }
    return loaded;
}

int Output::open(const std::string& path, const Loaded& inputs, const Inputs& arguments) {
    if (path.empty() || path == "-")
        return 0;
    std::error_code ec;
    if (fs::exists(path, ec)) {
        auto same = [&](const std::string& other) {
            std::error_code e;
            return fs::equivalent(path, other, e);
        };
        for (const std::string& p : arguments.paths)
            if (same(p)) {
                error(
                    fmt::format("-o {}: is one of the inputs; not overwritten", escape_path(path)));
                return static_cast<int>(Exit::bad_input);
            }
        for (const Run& r : inputs.runs)
            if (same(r.path)) {
                error(
                    fmt::format("-o {}: is one of the inputs; not overwritten", escape_path(path)));
                return static_cast<int>(Exit::bad_input);
            }
    }
    file_ = std::fopen(path.c_str(), "wb");
    name_ = escape_path(path);
    if (!file_) {
        error(fmt::format("cannot write {}: {}", name_, std::strerror(errno)));
        file_ = nullptr;
        return static_cast<int>(Exit::write_failed);
    }
    return 0;
}

void Output::write(std::string_view text) {
    if (!file_ || error_)
        return;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
        error_ = errno ? errno : EIO;
}

bool Output::finish() {
    if (!file_)
        return false;
    if (!error_ && std::fflush(file_) != 0)
        error_ = errno ? errno : EIO;
    if (file_ != stdout) {
        if (std::fclose(file_) != 0 && !error_)
            error_ = errno ? errno : EIO;
        file_ = nullptr;
    } else if (!error_ && std::ferror(stdout)) {
        error_ = EIO;
    }
    if (error_) {
        error(fmt::format("cannot write {}: {}", name_, std::strerror(error_)));
        return false;
    }
    return true;
}

bool Output::terminal() const {
    return file_ == stdout && isatty(STDOUT_FILENO);
}

Output::~Output() {
    if (file_ && file_ != stdout)
        std::fclose(file_);
}

void write_output(const std::string& path, const Loaded& inputs, const Inputs& arguments,
                  int& status, const std::function<void(Output&)>& produce) {
    Output out;
    if (int refused = out.open(path, inputs, arguments)) {
        status = refused;
        return;
    }
    produce(out);
    if (!out.finish())
        status = static_cast<int>(Exit::write_failed);
}

const CLI::Validator& percentage() {
    static const CLI::Validator check(
        [](std::string& s) -> std::string {
            char* end = nullptr;
            double v = std::strtod(s.c_str(), &end);
            if (s.empty() || *end != '\0' || !std::isfinite(v) || v < 0)
                return "a percentage is a number of 0 or more, not \"" + s + "\"";
            return {};
        },
        "PERCENT");
    return check;
}

std::size_t output_width() {
    winsize ws{};
    if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    if (const char* columns = std::getenv("COLUMNS")) {
        char* end = nullptr;
        long n = std::strtol(columns, &end, 10);
        if (end != columns && *end == '\0' && n >= 20 && n <= 10000)
            return static_cast<std::size_t>(n);
    }
    return 80;
}

bool colour_wanted(const std::string& mode, bool terminal) {
    if (mode == "always")
        return true;
    if (mode == "never" || !terminal)
        return false;
    const char* no_color = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    return (no_color == nullptr || *no_color == '\0') &&
           !(term != nullptr && std::string_view(term) == "dumb");
}

namespace {

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

int run_application(CLI::App& app, int argc, char** argv, const int& status) {
    // A first argument that is no option and no subcommand is a mistyped
    // subcommand: name the nearest.
    if (argc > 1 && argv[1][0] != '-') {
        std::string_view word = argv[1];
        const CLI::App* found = nullptr;
        std::string nearest;
        std::size_t best = 3;
        for (const CLI::App* sub : app.get_subcommands({})) {
            if (sub->get_name() == word)
                found = sub;
            std::size_t d = edit_distance(word, sub->get_name());
            if (d < best) {
                best = d;
                nearest = sub->get_name();
            }
        }
        if (!found) {
            error(nearest.empty()
                      ? fmt::format("unknown subcommand `{}`; run bench_report --help for the list",
                                    word)
                      : fmt::format("unknown subcommand `{}`; did you mean `{}`?", word, nearest));
            return static_cast<int>(Exit::bad_input);
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);  // prints help, the version, or the usage error
        return code == 0 ? 0 : static_cast<int>(Exit::bad_input);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        error(fmt::format("internal error: {}", e.what()));
        return static_cast<int>(Exit::bad_input);
    }
    return status;
}

}  // namespace report
