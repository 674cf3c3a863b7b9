#include "input/load.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>

#include "input/checks.h"
#include "input/parse.h"
#include "input/walk.h"
#include "machine/record.h"

namespace report {

namespace fs = std::filesystem;

namespace {

// The directory a run is labelled by.
struct Place {
    fs::path dir;  // absolute and normal, less the runs' own directories
    bool repetition = false;
};

// Places the runs, each directory worked out once: a fleet's runs share
// theirs by twos, and a host's year of nights the directory above them. A
// run is placed by the text of its path before its file name, less a last
// run's own directory: the same text names the same directory whatever the
// file.
class Places {
public:
    Places() : cwd_(fs::current_path(cwd_error_)) {}

    // The index in places() of each run's place.
    std::vector<std::size_t> place_all(const std::vector<Run>& runs) {
        std::vector<std::size_t> place_of;
        place_of.reserve(runs.size());
        for (const Run& r : runs)
            place_of.push_back(place_run(r, place_of));
        return place_of;
    }
    const std::vector<Place>& places() const { return places_; }

private:
    std::size_t place_run(const Run& r, const std::vector<std::size_t>& placed) {
        std::size_t slash = r.path.rfind('/');
        std::string_view name(r.path);
        if (slash != std::string::npos)
            name.remove_prefix(slash + 1);
        if (name.empty() || name == "." || name == "..") {
            // Not a file's name: the directory is the path's own parent.
            std::error_code ec;
            fs::path dir = fs::absolute(fs::path(r.path), ec).lexically_normal().parent_path();
            last_text_.reset();
            return place(dir.string(), false);
        }
        // "fleet/host-001/20241004T050000Z-1/" is placed as "fleet/host-001/":
        // a host's nights are worked out once.
        std::string_view dir = directory_text(r.path);
        bool repetition = drop_run_directory(dir);
        // A host's runs come one after another: the last directory is tried first.
        if (last_text_ && last_text_->first == repetition && last_text_->second == dir)
            return placed.back();
        auto it = by_text_[repetition].find(dir);
        if (it == by_text_[repetition].end())
            it = by_text_[repetition].emplace(dir, place(std::string(dir), repetition)).first;
        last_text_.emplace(repetition, dir);
        return it->second;
    }

    // Cuts a last run's own directory off `dir` ("a/20241004T050000Z-1/" to
    // "a/"); true when there was one.
    static bool drop_run_directory(std::string_view& dir) {
        if (dir.size() <= 1)
            return false;
        std::size_t before = dir.rfind('/', dir.size() - 2);
        std::string_view last = dir.substr(before == std::string::npos ? 0 : before + 1);
        last.remove_suffix(1);
        if (!is_run_directory(last))
            return false;
        dir.remove_suffix(last.size() + 1);
        return true;
    }

    // The place of the directory `text` names, added when new.
    std::size_t place(const std::string& text, bool repetition) {
        fs::path p(text);
        std::error_code ec;
        fs::path dir = (cwd_error_ || p.empty() ? fs::absolute(p.empty() ? "." : p, ec)
                        : p.is_absolute()       ? p
                                                : cwd_ / p)
                           .lexically_normal();
        if (!dir.has_filename() && dir != dir.parent_path())
            dir = dir.parent_path();  // "a/b/" is "a/b"
        while (is_run_directory(dir.filename().string()) && dir != dir.parent_path()) {
            dir = dir.parent_path();
            repetition = true;
        }
        std::string key = dir.string() + (repetition ? "\n1" : "\n0");
        auto [it, fresh] = by_dir_.emplace(std::move(key), places_.size());
        if (fresh)
            places_.push_back({std::move(dir), repetition});
        return it->second;
    }

    std::error_code cwd_error_;
    const fs::path cwd_;
    std::vector<Place> places_;
    // Views of the runs' paths, which stay put meanwhile: a directory's text
    // less a last run's own directory, without [0] or with [1] one.
    std::unordered_map<std::string_view, std::size_t> by_text_[2];
    std::unordered_map<std::string, std::size_t> by_dir_;
    std::optional<std::pair<bool, std::string_view>> last_text_;  // the last run's, placed
};

// Each directory of `places` once.
std::vector<const fs::path*> directories(const std::vector<Place>& places) {
    std::vector<const fs::path*> holders;
    std::unordered_map<std::string, std::size_t> seen;
    for (const Place& p : places)
        if (seen.emplace(p.dir.string(), holders.size()).second)
            holders.push_back(&p.dir);
    return holders;
}

// The deepest directory that holds every one of `holders`.
fs::path common_directory(const std::vector<const fs::path*>& holders) {
    fs::path common;
    bool first = true;
    for (const fs::path* held : holders) {
        const fs::path& d = *held;
        if (first) {
            common = d;
            first = false;
            continue;
        }
        fs::path shared;
        auto a = common.begin(), b = d.begin();
        for (; a != common.end() && b != d.end() && *a == *b; ++a, ++b)
            shared /= *a;
        common = shared;
    }
    return common;
}

// Label of a run named without --label: its directory relative to the
// deepest directory all the runs share ("hostA/day1" for hist/hostA/day1
// among hist/hostB/...), so a deeper layout never loses the host; when the
// runs all sit in one directory, their local time, else their file name. A
// run's own directory, named by its UTC start ("20261208T100220Z-1"), is
// never a label: the runs take the name of the directory above it.
void default_labels(std::vector<Run>& runs, const std::vector<bool>& labelled) {
    Places placing;
    std::vector<std::size_t> place_of = placing.place_all(runs);
    const std::vector<Place>& places = placing.places();
    std::vector<const fs::path*> holders = directories(places);
    fs::path common = common_directory(holders);
    bool one_directory = std::all_of(holders.begin(), holders.end(),
                                     [&](const fs::path* d) { return *d == *holders.front(); });
    std::vector<std::optional<std::string>> names(places.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (labelled[i])
            continue;
        Run& r = runs[i];
        const Place& at = places[place_of[i]];
        std::optional<std::string>& name = names[place_of[i]];
        if (!one_directory) {
            if (!name) {
                fs::path rel = at.dir.lexically_relative(common);
                name = rel.empty() || rel == "." ? at.dir.filename().string() : rel.string();
            }
            r.label = *name;
        } else if (at.repetition) {
            r.label = at.dir.filename().string();
        }
        if (r.label.empty())
            r.label = r.local_time;
        if (r.label.empty())
            r.label = fs::path(r.path).filename().string();
    }
}

// Every figure a run printed, in order: two runs with the same are the same
// run read twice.
std::string fingerprint(const Run& run) {
    std::string out = program_name(run.program);
    auto add = [&](const std::optional<Figure>& f) { out += "|" + (f ? f->text : std::string()); };
    for (const Test& t : run.tests) {
        out += "|" + t.key;
        add(t.single_seconds);
        add(t.single_rate);
        for (const ThreadResult& r : t.threads) {
            add(r.seconds);
            add(r.rate);
        }
        add(t.overall_rate);
        add(t.improvement);
    }
    return out;
}

// Says that part of the text of `path` is no run.
void note_not_results(const ParseError& e, const std::string& path, LoadContext& context) {
    context.note(
        {LoadNote::not_results,
         path,
         e.expected,
         {},
         e.line,
         e.found.empty() && e.line > 0 ? std::nullopt : std::optional<std::string>(e.found)},
        true);
}

// The runs loaded so far, with whether each has its label from --label.
class Loader {
public:
    Loader(Loaded& loaded, LoadContext& context, const std::vector<std::string>& labels)
        : loaded_(loaded), context_(context), labels_(labels) {}

    // Reads every results file of `source`, the path argument `input`.
    void read_source(InputSource& source, std::size_t input) {
        for (std::size_t i = 0; i < source.size(); ++i) {
            ResultsFile file;
            if (!source.open(i, file, context_))
                continue;
            const At at{source, i, input, *file.path};
            if (file.runs) {
                // Runs kept parsed are taken as they are: the figures a
                // history reads, without the findings of the checks.
                for (Run& r : *file.runs)
                    take(std::move(r), at, false);
            } else {
                for (auto& part : parse_runs(*file.text, *file.path)) {
                    if (Run* r = std::get_if<Run>(&part))
                        take(std::move(*r), at, true);
                    else
                        note_not_results(std::get<ParseError>(part), *file.path, context_);
                }
            }
            source.done(i);  // its room, for what is read next
        }
    }

    // A repetition that `run` recorded as failed, killed, interrupted, timed
    // out or still running may have left no results file: it still counts
    // for its label, as a run without figures that carries its record.
    void add_unfinished(InputSource& source, std::size_t input);

    // A console transcript saved beside its own results file is the same
    // run: read once, with a note.
    void drop_transcripts_read_twice();

    std::vector<bool>& labelled() { return labelled_; }

private:
    // Where a run was read: results file `i` of `source`, the path argument
    // `input`, at `path`.
    struct At {
        InputSource& source;
        std::size_t i, input;
        const std::string& path;
    };

    // Adds a run read from a results file, with the record beside it.
    void take(Run&& run, const At& at, bool check) {
        run.input = at.input;
        if (run.source == Source::results_file) {
            RecordBeside beside = at.source.record_beside(at.i);
            if (beside.record) {
                run.machine = std::move(beside.record);
                run.started = std::move(beside.started);
            } else if (!beside.why.empty()) {
                context_.note({LoadNote::machine_json_unreadable, at.path, beside.why}, false);
            }
        }
        if (check)
            check_run(run);
        add(std::move(run), at.input);
    }

    void add(Run&& run, std::size_t input) {
        if (input < labels_.size())
            run.label = labels_[input];
        labelled_.push_back(input < labels_.size());
        loaded_.runs.push_back(std::move(run));
    }

    Loaded& loaded_;
    LoadContext& context_;
    const std::vector<std::string>& labels_;
    std::vector<bool> labelled_;
    // The program and directory of every run, worked out once when a record
    // needs them: a fleet's failed nights are each looked up, not each
    // compared with every run.
    std::set<std::pair<Program, fs::path>> with_file_;
    bool listed_ = false;
};

void Loader::add_unfinished(InputSource& source, std::size_t input) {
    for (UnfinishedRecord& u : source.unfinished()) {
        const std::string& name = u.record->repetition.program;
        if (name != program_name(Program::processors) && name != program_name(Program::memory))
            continue;
        Program program =
            name == program_name(Program::memory) ? Program::memory : Program::processors;
        if (!listed_) {
            for (const Run& r : loaded_.runs)
                with_file_.emplace(r.program, fs::path(r.path).parent_path());
            listed_ = true;
        }
        // One run a directory and program, this one's too (a record found
        // under two paths is added once).
        if (!with_file_.emplace(program, fs::path(u.path).parent_path()).second)
            continue;
        Run run;
        run.path = std::move(u.path);
        run.input = input;
        run.program = program;
        run.partial = true;  // nothing of it was read
        run.machine = std::move(u.record);
        run.started = std::move(u.started);
        add(std::move(run), input);
    }
}

void Loader::drop_transcripts_read_twice() {
    std::vector<Run>& runs = loaded_.runs;
    std::vector<bool> drop(runs.size(), false);
    bool any = false;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Run& t = runs[i];
        if (t.source != Source::transcript || t.tests.empty())
            continue;
        fs::path dir = fs::path(t.path).parent_path();
        std::string print = fingerprint(t);
        for (std::size_t j = 0; j < runs.size(); ++j) {
            const Run& r = runs[j];
            if (j == i || drop[j] || r.source != Source::results_file ||
                fs::path(r.path).parent_path() != dir || fingerprint(r) != print)
                continue;
            context_.note({LoadNote::transcript_read_once, t.path, {}, r.path}, false);
            drop[i] = any = true;
            break;
        }
    }
    if (!any)
        return;
    std::vector<Run> kept;
    std::vector<bool> kept_labelled;
    for (std::size_t i = 0; i < runs.size(); ++i)
        if (!drop[i]) {
            kept.push_back(std::move(runs[i]));
            kept_labelled.push_back(labelled_[i]);
        }
    runs = std::move(kept);
    labelled_ = std::move(kept_labelled);
}

}  // namespace

std::optional<std::vector<Run>> parse_results(std::string_view text, const std::string& path,
                                              LoadContext& context) {
    std::vector<Run> runs;
    bool parsed = true;
    for (auto& part : parse_runs(text, path)) {
        if (Run* r = std::get_if<Run>(&part)) {
            runs.push_back(std::move(*r));
        } else {
            note_not_results(std::get<ParseError>(part), path, context);
            parsed = false;
        }
    }
    if (!parsed)
        return std::nullopt;
    return runs;
}

Loaded load_runs(std::vector<std::shared_ptr<InputSource>> sources,
                 const std::vector<std::string>& labels) {
    Loaded loaded;
    LoadContext context;
    for (const auto& source : sources)
        source->find(context);
    std::size_t expected = 0;
    for (const auto& source : sources) {
        loaded.files_per_input.push_back(source->counted());
        expected += source->expected_runs();
    }
    loaded.runs.reserve(expected);
    Loader loader(loaded, context, labels);
    for (std::size_t input = 0; input < sources.size(); ++input)
        loader.read_source(*sources[input], input);
    for (std::size_t input = 0; input < sources.size(); ++input)
        loader.add_unfinished(*sources[input], input);
    loader.drop_transcripts_read_twice();
    default_labels(loaded.runs, loader.labelled());
    loaded.notes = std::move(context.notes);
    loaded.failed = context.failed;
    loaded.considered = std::move(context.considered);
    loaded.sources = std::move(sources);
    return loaded;
}

Loaded load_runs(const std::vector<std::string>& paths, const std::vector<std::string>& labels) {
    std::vector<std::shared_ptr<InputSource>> sources;
    sources.reserve(paths.size());
    for (const std::string& p : paths)
        sources.push_back(std::make_shared<DirectorySource>(p));
    return load_runs(std::move(sources), labels);
}

void consider_also(Loaded& loaded, Loaded& other) {
    loaded.considered.insert(loaded.considered.end(), other.considered.begin(),
                             other.considered.end());
    for (std::shared_ptr<InputSource>& s : other.sources)
        loaded.sources.push_back(std::move(s));
    other.sources.clear();
}

}  // namespace report
