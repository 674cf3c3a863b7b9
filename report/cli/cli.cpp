#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/usage.h"
#include "cli/help_format.h"
#include "analysis/history.h"
#include "analysis/runs_taken.h"
#include "output/load_notes.h"
#include "output/text.h"
#include "store/source.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>

#include <csignal>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

namespace report {

namespace fs = std::filesystem;

const char* const exit_status_help =
    "Exit status: 0 fine; 1 the output could not be written (for system tune and reset, a "
    "setting or the state file); 2 usage error, unreadable or "
    "unrecognised input, or nothing to work on; 3 the regression gate (compare "
    "--fail-if-worse) tripped, or history --fail-on-change-since found a change for the worse; "
    "4 either gate gave no verdict (the repetitions cannot tell, or a verdict lacks what it "
    "needs).";

void error(std::string_view message) {
    // One line whatever the message holds: a newline or carriage return that
    // reached it unescaped (a name, an exception's text) is shown as \n, \r.
    std::string line = "bench_report: ";
    for (char c : message)
        line += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

Failed said(Failed failure) {
    if (!failure.message.empty())
        error(failure.message);
    failure.message.clear();
    return failure;
}

Result first_of(Result earlier, Result later) {
    if (!earlier)
        return later;
    if (later)
        said(std::move(*later));
    return earlier;
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

std::vector<std::shared_ptr<void>>& kept_until_exit() {
    // Never destroyed, and reachable to the end: what it holds is neither
    // freed at exit nor a leak.
    static auto* kept = new std::vector<std::shared_ptr<void>>;
    return *kept;
}

Expected<Read> load_inputs(const Inputs& inputs, StoreReading reading) {
    std::vector<std::string> paths = inputs.paths;
    if (paths.empty())
        paths.push_back(".");
    if (!inputs.labels.empty() && inputs.labels.size() != paths.size())
        return Failed(Exit::bad_input,
                      fmt::format("--label given {} time(s) for {} path(s): give one label per "
                                  "path",
                                  inputs.labels.size(), paths.size()));
    Read read{load_runs(open_inputs(paths, reading), inputs.labels), std::nullopt};
    const Loaded& loaded = read.loaded;
    say_notes(loaded);
    if (loaded.runs.empty()) {
        // A file that could not be read was said in its note.
        if (loaded.failed)
            return Failed(Exit::bad_input);
        std::string where;
        for (const std::string& p : paths)
            where += (where.empty() ? "" : ", ") + escape_path(p);
        return Failed(Exit::bad_input, fmt::format("no results file found in {}", where));
    }
    if (loaded.failed)
        read.unread = Failed(Exit::bad_input);
    // A path that holds nothing among others that do is still an input
    // missing: a comparison or a gate must not quietly go on without it.
    for (std::size_t k = 0; k < paths.size() && k < loaded.files_per_input.size(); ++k)
        if (loaded.files_per_input[k] == 0) {
            error(fmt::format("no results file found in {}", escape_path(paths[k])));
            read.unread = Failed(Exit::bad_input);
        }
    return read;
}

namespace {

// The same file (device and inode) as `st`.
bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `p` names the file `path` names, or would once `path` is
// created: the same file, or the same name in the same directory. Made for
// one `path` and asked of every input, with one stat of each.
class SamePath {
public:
    explicit SamePath(const fs::path& path)
        : name_(path.filename()),
          exists_(::stat(path.c_str(), &file_) == 0),
          parent_exists_(::stat(parent(path).c_str(), &parent_) == 0) {}

    bool operator()(const fs::path& p) const {
        struct stat st {};
        if (exists_ && ::stat(p.c_str(), &st) == 0 && same_file(st, file_))
            return true;
        return parent_exists_ && p.filename() == name_ &&
               ::stat(parent(p).c_str(), &st) == 0 && same_file(st, parent_);
    }

private:
    static fs::path parent(const fs::path& p) {
        return p.has_parent_path() ? p.parent_path() : fs::path(".");
    }
    fs::path name_;
    struct stat file_ {}, parent_ {};
    bool exists_, parent_exists_;
};

}  // namespace

namespace {

// Whether `path` names an input: a path argument, a file read or considered,
// or a file a store holds.
bool names_an_input(const std::string& path, const Loaded& inputs, const Inputs& arguments) {
    SamePath same(path);
    for (const std::string& p : arguments.paths)
        if (same(p))
            return true;
    for (const std::string& p : inputs.considered)
        if (same(p))
            return true;
    for (const std::shared_ptr<InputSource>& source : inputs.sources)
        if (source->holds(same))
            return true;
    return false;
}

}  // namespace

Result Output::open(const std::string& path, const Loaded& inputs, const Inputs& arguments) {
    if (path.empty() || path == "-")
        return std::nullopt;
    name_ = escape_path(path);
    if (names_an_input(path, inputs, arguments))
        return Failed(Exit::bad_input,
                      fmt::format("-o {}: is one of the inputs; not overwritten", name_));
    struct stat st {};
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return open_device(path, st);
    if (exists)
        for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
            struct stat open_st {};
            if (::fstat(fd, &open_st) == 0 && same_file(st, open_st))
                return open_standard(fd);
        }
    return open_beside(path, exists ? &st : nullptr);
}

Failed Output::cannot(int err) {
    file_ = nullptr;
    return Failed(Exit::write_failed,
                  fmt::format("cannot write {}: {}", name_, std::strerror(err)));
}

// A file that is no regular file (a FIFO, /dev/null) is written without being
// truncated; a FIFO without a reader is refused at once rather than waited on.
Result Output::open_device(const std::string& path, const struct stat& st) {
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENXIO && S_ISFIFO(st.st_mode)) {
        file_ = nullptr;
        return Failed(Exit::write_failed,
                      fmt::format("cannot write {}: a FIFO that no process reads", name_));
    }
    if (fd < 0)
        return cannot(errno);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        int err = errno;
        ::close(fd);
        return cannot(err);
    }
    return std::nullopt;
}

// The file standard output or error already is: opening it again would start
// at its beginning and cut what the shell's ">>" keeps; its own descriptor
// appends.
Result Output::open_standard(int fd) {
    int copy = ::dup(fd);
    file_ = copy < 0 ? nullptr : ::fdopen(copy, "wb");
    if (!file_) {
        int err = errno;
        if (copy >= 0)
            ::close(copy);
        return cannot(err);
    }
    return std::nullopt;
}

// A temporary file beside the file it replaces (a link is replaced at its
// target), so that the rename stays within one file system; it gets the
// permissions a new file gets, or those of the file replaced (`existing`).
Result Output::open_beside(const std::string& path, const struct stat* existing) {
    std::error_code ec;
    fs::path target = existing ? fs::canonical(path, ec) : fs::path(path);
    if (ec)
        target = path;
    mode_t mode = existing ? (existing->st_mode & 07777) : without_umask(0666);
    if (int err = replacement_.open(target, mode)) {
        // The directory's reason (missing, not writable) is the file's.
        if (existing && S_ISDIR(existing->st_mode))
            err = EISDIR;
        return cannot(err);
    }
    // Written through a stream of its own descriptor; the replacement's
    // syncs and renames it once the stream is closed.
    int copy = ::fcntl(replacement_.descriptor(), F_DUPFD_CLOEXEC, 0);
    file_ = copy < 0 ? nullptr : ::fdopen(copy, "wb");
    if (!file_) {
        int err = errno;
        if (copy >= 0)
            ::close(copy);
        replacement_.discard();
        return cannot(err);
    }
    return std::nullopt;
}

void Output::write(std::string_view text) {
    if (!file_ || error_)
        return;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
        error_ = errno ? errno : EIO;
}

Result Output::finish() {
    // Not open: the reason was the failure open gave.
    if (!file_)
        return Failed(Exit::write_failed);
    if (!error_ && std::fflush(file_) != 0)
        error_ = errno ? errno : EIO;
    if (file_ != stdout) {
        if (std::fclose(file_) != 0 && !error_)
            error_ = errno ? errno : EIO;
        file_ = nullptr;
    } else if (!error_ && std::ferror(stdout)) {
        error_ = EIO;
    }
    if (replacement_.is_open()) {
        if (!error_)
            error_ = replacement_.commit();
        else
            replacement_.discard();
    }
    if (error_)
        return Failed(Exit::write_failed,
                      fmt::format("cannot write {}: {}", name_, std::strerror(error_)));
    return std::nullopt;
}

bool Output::terminal() const {
    return file_ == stdout && isatty(STDOUT_FILENO);
}

std::size_t Output::text_width() const {
    return file_ == stdout ? output_width() : 100000;
}

Output::~Output() {
    if (file_ && file_ != stdout)
        std::fclose(file_);
}

Result write_output(const std::string& path, const Loaded& inputs, const Inputs& arguments,
                    const std::function<void(Output&)>& produce) {
    Output out;
    if (Result refused = out.open(path, inputs, arguments))
        return refused;
    produce(out);
    return out.finish();
}

void add_runs_choice(CLI::App* command, RunsChoice& choice) {
    command->add_option("--since", choice.since,
                        "Compare each label's runs on or after this day (YYYY-MM-DD) "
                        "(default: of a label whose runs span days, its most recent)")
        ->check(calendar_date());
    command->add_flag("--all", choice.all,
                      "Compare every run of each label, a history pooled as repetitions");
    command->get_option("--since")->excludes(command->get_option("--all"));
}

const CLI::Validator& calendar_date() {
    static const CLI::Validator check(
        [](std::string& s) -> std::string {
            if (!calendar_days(s))
                return "a date is YYYY-MM-DD of the calendar, not \"" + s + "\"";
            return {};
        },
        "YYYY-MM-DD");
    return check;
}

const CLI::Validator& percentage() {
    static const CLI::Validator check(
        [](std::string& s) -> std::string {
            // A decimal number only: strtod would also take "0x10" and " 5".
            double v = 0;
            auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
            if (s.empty() || ec != std::errc() || end != s.data() + s.size() ||
                !std::isfinite(v) || v < 0)
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

void add_output(CLI::App* command, std::string& output) {
    command->add_option("-o,--output", output, "Write into this file (- for standard output)");
}

void add_format(CLI::App* command, std::string& format, const std::vector<std::string>& names) {
    std::string help;
    for (std::size_t k = 0; k < names.size(); ++k)
        help += (k == 0 ? "" : k + 1 == names.size() ? " or " : ", ") + names[k];
    command->add_option("--format", format, help)->check(one_of(names))->capture_default_str();
}

void add_colour(CLI::App* command, std::string& colour) {
    command->add_option("--color", colour, "auto, always or never")
        ->check(one_of({"auto", "always", "never"}))
        ->capture_default_str();
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

// How long a command waits for a store another process holds locked:
// BENCH_REPORT_STORE_WAIT seconds (0 to 86400), else 10 minutes; the wait
// is said once it has lasted a second. A failure for a value out of range.
Result set_up_store_waiting() {
    StoreWaiting waiting;
    if (const char* text = std::getenv("BENCH_REPORT_STORE_WAIT")) {
        std::string_view value(text);
        int seconds = -1;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (ec != std::errc() || end != value.data() + value.size() || value.empty() ||
            seconds < 0 || seconds > 86400)
            return Failed(Exit::bad_input,
                          fmt::format("BENCH_REPORT_STORE_WAIT: expected whole seconds from 0 "
                                      "to 86400, found \"{}\"",
                                      escape_path(std::string(value))));
        waiting.limit_seconds = seconds;
    }
    waiting.notice = [limit = waiting.limit_seconds](const std::string& path,
                                                     const std::string& holder) {
        error(fmt::format("{}: locked by {}; waiting up to {} s", escape_path(path), holder,
                          limit));
    };
    set_store_waiting(std::move(waiting));
    return std::nullopt;
}

// A first argument that is no option and no subcommand is a mistyped
// subcommand: the nearest is named.
Result check_subcommand(const CLI::App& app, int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-')
        return std::nullopt;
    std::string word = argv[1];
    std::vector<std::string> names = subcommand_names(app);
    if (std::find(names.begin(), names.end(), word) != names.end())
        return std::nullopt;
    std::string nearest = nearest_name(word, names);
    return Failed(Exit::bad_input,
                  nearest.empty()
                      ? fmt::format("unknown subcommand `{}`; run bench_report --help for the list",
                                    escape_path(word))
                      : fmt::format("unknown subcommand `{}`; did you mean `{}`?",
                                    escape_path(word), nearest));
}

// Parses the command line and runs the subcommand it names: how that ended,
// a usage error, or an exception no command expected.
Result parse_and_run(CLI::App& app, int argc, char** argv, const Commands& commands) {
    if (Result mistyped = check_subcommand(app, argc, argv))
        return mistyped;
    if (Result refused = set_up_store_waiting())
        return refused;
    wrap_help(app, output_width());
    try {
        app.parse(argc, argv);
        return commands.run_chosen();
    } catch (const CLI::Success& e) {
        int status = app.exit(e);  // prints the help or the version
        return status == 0 ? Result() : Failed(status);
    } catch (const CLI::ParseError& e) {
        std::fflush(stdout);
        return Failed(Exit::bad_input, usage_message(app, e));
    } catch (const std::exception& e) {
        std::fflush(stdout);
        return Failed(Exit::bad_input, fmt::format("internal error: {}", e.what()));
    }
}

}  // namespace

void Commands::add(CLI::App* command, std::function<Result()> run) {
    commands_.emplace_back(command, std::move(run));
}

Result Commands::run_chosen() const {
    for (const auto& [command, run] : commands_)
        if (command->parsed())
            return run();
    return std::nullopt;
}

int run_application(CLI::App& app, int argc, char** argv, const Commands& commands) {
    // A write into a closed pipe, or past a file-size limit, fails with an
    // error (EPIPE, EFBIG) that the output reports with exit 1, rather than
    // ending bench_report by a signal with a cut file left behind. Programs
    // that `run` starts get the default dispositions back.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    Result outcome = parse_and_run(app, argc, argv, commands);
    if (!outcome)
        return static_cast<int>(Exit::ok);
    if (!outcome->message.empty())
        error(outcome->message);
    return outcome->status;
}

}  // namespace report
