#include "input/load.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <unordered_map>
#include <variant>

#include <sys/stat.h>

#include "input/checks.h"
#include "input/parse.h"
#include "input/store.h"
#include "machine/input_file.h"
#include "machine/record.h"

namespace report {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view name_prefixes[] = {"results_processors_Linux_x86 @ ",
                                              "results_memory_Linux_x86 @ "};

bool results_name(const std::string& name) {
    bool prefix = std::any_of(std::begin(name_prefixes), std::end(name_prefixes),
                              [&](std::string_view p) { return name.rfind(p, 0) == 0; });
    return prefix && name.size() >= 4 && name.compare(name.size() - 4, 4, ".txt") == 0;
}

// Every results file under `top`, sorted by path. Symbolic links to
// directories are not followed, so a link loop cannot trap the walk. Each
// directory is listed whole and closed before the walk goes into the ones it
// holds: the walk keeps one descriptor open whatever the depth, and holds the
// path of each directory still to list, no more. A directory that cannot be
// listed (no permission, no descriptor left, a path too long) is named once
// and the walk goes on with the rest.
void scan(const fs::path& top, std::vector<std::string>& found, std::vector<LoadNote>& notes,
          bool& failed, std::set<std::string>& links_said, std::vector<std::string>& records) {
    std::vector<std::string> files;
    std::vector<fs::path> pending{top};
    std::vector<fs::path> below;
    // Scanning "." lists "name", not "./name".
    bool dot = top == "." || top == "./";
    auto shown = [&](const fs::path& p) {
        std::string path = p.string();
        if (dot && path.rfind("./", 0) == 0)
            path.erase(0, 2);
        return path;
    };
    while (!pending.empty()) {
        fs::path dir = std::move(pending.back());
        pending.pop_back();
        below.clear();
        std::error_code ec;
        fs::directory_iterator it(dir, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            const fs::directory_entry& entry = *it;
            std::error_code type_ec;
            fs::file_status link = entry.symlink_status(type_ec);
            if (type_ec) {
                // Past the longest path the system takes, for one.
                notes.push_back({LoadNote::unreadable, shown(entry.path()), type_ec.message()});
                failed = true;
                continue;
            }
            if (fs::is_directory(link)) {
                below.push_back(entry.path());
                continue;
            }
            bool is_link = fs::is_symlink(link);
            if (is_link && entry.is_directory(type_ec)) {
                if (links_said.insert(entry.path().lexically_normal().string()).second)
                    notes.push_back({LoadNote::link_not_followed, entry.path().string()});
                continue;
            }
            if (entry.path().filename() == "machine.json") {
                if (entry.is_regular_file(type_ec))
                    records.push_back(entry.path().string());
                continue;
            }
            if (!results_name(entry.path().filename().string()))
                continue;
            // Anything else by a results file's name is read, and refused
            // there when it is not a regular file (a FIFO would block the walk).
            if (is_link && !fs::exists(entry.status(type_ec)))
                continue;
            files.push_back(shown(entry.path()));
        }
        if (ec) {
            notes.push_back({LoadNote::unreadable_directory, shown(dir), ec.message()});
            failed = true;
        }
        // Deepest last, so that the directories are listed in order of their names.
        std::sort(below.begin(), below.end(), std::greater<>());
        for (fs::path& d : below)
            pending.push_back(std::move(d));
    }
    std::sort(files.begin(), files.end());
    std::sort(records.begin(), records.end());
    found.insert(found.end(), files.begin(), files.end());
}

// Whether `path` names a file plainly enough to be cut as text: no "//",
// and a last part that is a name, not "", "." or "..".
bool plain_file_path(std::string_view path) {
    std::size_t slash = path.rfind('/');
    std::string_view file = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
    return path.find("//") == std::string_view::npos && !file.empty() && file != "." &&
           file != "..";
}

// The file `name` in the directory of file `path`: "a/b/machine.json" for
// "a/b/results.txt". Plain paths are cut as text, the rest by the library.
std::string beside(const std::string& path, const char* name) {
    if (!plain_file_path(path))
        return (fs::path(path).parent_path() / name).string();
    std::size_t slash = path.rfind('/');
    return path.substr(0, slash == std::string::npos ? 0 : slash + 1) + name;
}

// The text of `path` up to and with its last '/' ("a/b/" for "a/b/c"), or
// "" when it has none: what two files of one directory share, for a path as
// plain as beside() cuts by text.
std::string_view directory_text(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return path.substr(0, slash == std::string_view::npos ? 0 : slash + 1);
}

// A machine.json found, with its input; `stored` is the store's copy when it
// comes from a store.
struct RecordFile {
    std::string path;
    std::size_t input;
    const StoredFile* stored = nullptr;
};

// A stored machine.json's record: as the store keeps it parsed, else parsed
// from its text; absent with `why` when it is no record.
std::shared_ptr<const MachineRecord> stored_record(const StoredFile& f, std::string& why) {
    if (f.record || !f.record_error.empty()) {
        why = f.record_error;
        return f.record;
    }
    std::optional<MachineRecord> record = parse_record(f.text, why);
    return record ? std::make_shared<const MachineRecord>(std::move(*record)) : nullptr;
}

// A repetition that `run` recorded as failed, killed, interrupted, timed out
// or still running may have left no results file: it still counts for its
// label, as a run without figures that carries its record. `records` are the
// machine.json files found, with their input.
void add_unfinished(const std::vector<RecordFile>& records, Loaded& loaded,
                    std::vector<bool>& labelled, const std::vector<std::string>& labels) {
    // The program and directory of every results file's run, worked out once
    // when a record needs them: a fleet's failed nights are each looked up,
    // not each compared with every run.
    std::set<std::pair<Program, fs::path>> with_file;
    bool listed = false;
    for (const auto& [path, input, stored] : records) {
        std::string why;
        std::shared_ptr<const MachineRecord> record;
        if (stored) {
            record = stored_record(*stored, why);
        } else if (std::optional<MachineRecord> read = read_record(path, why)) {
            record = std::make_shared<const MachineRecord>(std::move(*read));
        }
        if (!record || !unfinished_outcome(record->repetition))
            continue;
        const std::string& name = record->repetition.program;
        if (name != program_name(Program::processors) && name != program_name(Program::memory))
            continue;
        Program program =
            name == program_name(Program::memory) ? Program::memory : Program::processors;
        if (!listed) {
            for (const Run& r : loaded.runs)
                with_file.emplace(r.program, fs::path(r.path).parent_path());
            listed = true;
        }
        // One run a directory and program, this one's too (a record found
        // under two paths is added once).
        if (!with_file.emplace(program, fs::path(path).parent_path()).second)
            continue;
        Run run;
        run.path = path;
        run.input = input;
        run.program = program;
        run.partial = true;  // nothing of it was read
        run.machine = std::move(record);
        if (stored)
            run.started = stored->started;
        if (input < labels.size())
            run.label = labels[input];
        labelled.push_back(input < labels.size());
        loaded.runs.push_back(std::move(run));
    }
}


// Label of a run without --label: its directory relative to the deepest
// directory all the runs share ("hostA/day1" for hist/hostA/day1 among
// hist/hostB/...), so a deeper layout never loses the host; when the runs all
// sit in one directory, their local time, else their file name.
// A run's own directory, named by its UTC start ("20261208T100220Z-1"),
// is never a label: the runs take the name of the directory above it.
bool is_run_directory(std::string_view name) {
    if (name.size() < 16 || name[8] != 'T' || name[15] != 'Z')
        return false;
    for (std::size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14})
        if (name[i] < '0' || name[i] > '9')
            return false;
    return name.size() == 16 || name[16] == '-';
}

void default_labels(std::vector<Run>& runs, const std::vector<bool>& labelled) {
    // Each directory is worked out once: a fleet's runs share theirs by twos,
    // and a host's year of nights the directory above them. A run is placed
    // by the text of its path before its file name, less a last run's own
    // directory: the same text names the same directory whatever the file.
    struct Place {
        fs::path dir;  // absolute and normal, less the runs' own directories
        bool repetition = false;
    };
    std::vector<Place> places;
    std::vector<std::size_t> place_of;  // each run's, index into places
    // by_text holds views of the runs' paths, which stay put meanwhile: a
    // directory's text less a last run's own directory, with or without one.
    std::unordered_map<std::string_view, std::size_t> by_text[2];
    std::unordered_map<std::string, std::size_t> by_dir;
    std::error_code cwd_error;
    const fs::path cwd = fs::current_path(cwd_error);
    auto place = [&](const std::string& text, bool repetition) {
        fs::path p(text);
        std::error_code ec;
        fs::path dir = (cwd_error || p.empty() ? fs::absolute(p.empty() ? "." : p, ec)
                        : p.is_absolute()      ? p
                                               : cwd / p)
                           .lexically_normal();
        if (!dir.has_filename() && dir != dir.parent_path())
            dir = dir.parent_path();  // "a/b/" is "a/b"
        while (is_run_directory(dir.filename().string()) && dir != dir.parent_path()) {
            dir = dir.parent_path();
            repetition = true;
        }
        std::string key = dir.string() + (repetition ? "\n1" : "\n0");
        auto [it, fresh] = by_dir.emplace(std::move(key), places.size());
        if (fresh)
            places.push_back({std::move(dir), repetition});
        return it->second;
    };
    std::optional<std::pair<bool, std::string_view>> last_text;  // the last run's, placed
    place_of.reserve(runs.size());
    for (const Run& r : runs) {
        std::size_t slash = r.path.rfind('/');
        std::string_view name(r.path);
        if (slash != std::string::npos)
            name.remove_prefix(slash + 1);
        if (name.empty() || name == "." || name == "..") {
            // Not a file's name: the directory is the path's own parent.
            fs::path p(r.path);
            std::error_code ec;
            fs::path dir = fs::absolute(p, ec).lexically_normal().parent_path();
            place_of.push_back(place(dir.string(), false));
            last_text.reset();
            continue;
        }
        // "fleet/host-001/20241004T050000Z-1/" is placed as "fleet/host-001/":
        // a host's nights are worked out once.
        std::string_view dir = directory_text(r.path);
        bool repetition = false;
        if (dir.size() > 1) {
            std::size_t before = dir.rfind('/', dir.size() - 2);
            std::string_view last = dir.substr(before == std::string::npos ? 0 : before + 1);
            last.remove_suffix(1);
            if (is_run_directory(last)) {
                dir.remove_suffix(last.size() + 1);
                repetition = true;
            }
        }
        // A host's runs come one after another: the last directory is tried first.
        if (last_text && last_text->first == repetition && last_text->second == dir) {
            place_of.push_back(place_of.back());
            continue;
        }
        auto it = by_text[repetition].find(dir);
        if (it == by_text[repetition].end())
            it = by_text[repetition].emplace(dir, place(std::string(dir), repetition)).first;
        place_of.push_back(it->second);
        last_text.emplace(repetition, dir);
    }
    std::vector<const fs::path*> holders;  // each directory once
    {
        std::unordered_map<std::string, std::size_t> seen;
        for (const Place& p : places)
            if (seen.emplace(p.dir.string(), holders.size()).second)
                holders.push_back(&p.dir);
    }
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

}  // namespace

InputFiles find_input_files(const std::vector<std::string>& paths) {
    InputFiles out;
    std::set<std::string> links_said;  // each skipped link said once
    for (std::size_t input = 0; input < paths.size(); ++input) {
        const std::string& p = paths[input];
        std::error_code ec;
        std::vector<std::string> found, machine_files;
        if (fs::is_directory(p, ec))
            scan(p, found, out.notes, out.failed, links_said, machine_files);
        else
            found.push_back(p);
        for (std::string& m : machine_files)
            out.records.emplace_back(std::move(m), input);
        out.files_per_input.push_back(found.size());
        for (std::string& f : found)
            out.results.emplace_back(std::move(f), input);
    }
    return out;
}

Loaded load_runs(const std::vector<std::string>& paths, const std::vector<std::string>& labels,
                 StoreReading reading) {
    Loaded loaded;
    struct Found {
        std::string path;
        std::size_t input;
        StoredFile* stored = nullptr;  // its text or runs, when it comes from a store
    };
    std::vector<Found> files;
    std::vector<RecordFile> records;
    // A store named among the paths stands for the files it keeps: they are
    // read from it in the order a walk of their directories gives.
    std::vector<std::vector<StoredFile>> stores(paths.size());
    // Each store's machine.json files by the text of their directory (views
    // into the store's paths, which stay put): a results file finds the one
    // beside it without a path being built.
    std::vector<std::unordered_map<std::string_view, const StoredFile*>> stored_records(
        paths.size());
    // Every path but the stores is walked; `walked[k]` is the input of the
    // k-th path walked.
    std::vector<std::string> walk;
    std::vector<std::size_t> walked;
    std::vector<bool> is_store(paths.size(), false);
    for (std::size_t input = 0; input < paths.size(); ++input) {
        is_store[input] = is_sqlite_file(paths[input]);
        if (!is_store[input]) {
            walk.push_back(paths[input]);
            walked.push_back(input);
        }
    }
    InputFiles inputs = find_input_files(walk);
    loaded.notes = std::move(inputs.notes);
    loaded.failed = inputs.failed;
    std::vector<std::vector<Found>> found_under(paths.size());
    for (auto& [path, k] : inputs.results)
        found_under[walked[k]].push_back({std::move(path), walked[k]});
    for (auto& [path, k] : inputs.records) {
        loaded.considered.push_back(path);
        records.push_back({std::move(path), walked[k]});
    }
    // The same file named twice (or by two paths) is read once: a store too,
    // whose files then count for each path that names it.
    std::map<std::pair<dev_t, ino_t>, std::string> seen_files;
    std::map<std::pair<dev_t, ino_t>, std::size_t> store_inputs;
    std::vector<std::size_t> also_found(paths.size(), 0);
    for (std::size_t input = 0; input < paths.size(); ++input) {
        if (!is_store[input])
            continue;
        loaded.considered.push_back(paths[input]);
        struct stat st {};
        if (::stat(paths[input].c_str(), &st) == 0) {
            auto [it, fresh] = store_inputs.emplace(std::pair{st.st_dev, st.st_ino}, input);
            if (!fresh) {
                loaded.notes.push_back(
                    {LoadNote::same_file, paths[input], {}, paths[it->second]});
                also_found[input] = found_under[it->second].size();
                continue;
            }
        }
        std::string why;
        if (!read_store(paths[input], stores[input], why, reading)) {
            loaded.notes.push_back({LoadNote::unreadable, paths[input], why});
            loaded.failed = true;
        }
        found_under[input].reserve(stores[input].size());
        stored_records[input].reserve(stores[input].size() / 2);
        for (StoredFile& f : stores[input]) {
            if (f.kind == StoredFile::machine) {
                std::string_view name(f.path);
                name.remove_prefix(directory_text(f.path).size());
                if (name == "machine.json")
                    stored_records[input][directory_text(f.path)] = &f;
                // Only a record of a repetition that did not finish adds a
                // run of its own (add_unfinished).
                bool finished =
                    f.record ? !unfinished_outcome(f.record->repetition) : !f.record_error.empty();
                if (!finished)
                    records.push_back({f.path, input, &f});
            } else {
                found_under[input].push_back({{}, input, &f});  // its path is the store's
            }
        }
    }
    {
        std::size_t all = 0;
        for (const std::vector<Found>& under : found_under)
            all += under.size();
        files.reserve(all);
    }
    for (std::size_t input = 0; input < paths.size(); ++input) {
        loaded.files_per_input.push_back(found_under[input].size() + also_found[input]);
        for (Found& f : found_under[input])
            files.push_back(std::move(f));
    }
    // add_unfinished reads the records in the order the paths were named.
    std::stable_sort(records.begin(), records.end(),
                     [](const RecordFile& a, const RecordFile& b) { return a.input < b.input; });
    std::vector<bool> labelled;
    std::string text;
    {
        std::size_t expected = 0;  // one run a file, or as many as a store kept
        for (const Found& f : files)
            expected += f.stored && f.stored->runs ? f.stored->runs->size() : 1;
        loaded.runs.reserve(expected);
    }
    // The machine.json beside the last stored file looked up, by its input
    // and directory (a view of a stored path, which stays put).
    std::optional<std::pair<std::size_t, std::string_view>> last_record;
    const StoredFile* beside_record = nullptr;
    for (const Found& found : files) {
        const std::string& path = found.stored ? found.stored->path : found.path;
        // A stored file's is looked up by its directory's text alone.
        std::string machine_path =
            found.stored && plain_file_path(path) ? std::string() : beside(path, "machine.json");
        // A stored file's text and record are the store's; a file's are read.
        const std::string* source = &text;
        if (found.stored) {
            source = &found.stored->text;
        } else {
            loaded.considered.push_back(path);
            loaded.considered.push_back(machine_path);
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                auto [it, fresh] = seen_files.emplace(std::pair{st.st_dev, st.st_ino}, path);
                if (!fresh) {
                    loaded.notes.push_back({LoadNote::same_file, path, {}, it->second});
                    continue;
                }
            }
            std::string error;
            if (!read_input_file(path, text, error)) {
                loaded.notes.push_back({LoadNote::unreadable, path, error});
                loaded.failed = true;
                continue;
            }
        }
        auto record =
            [&](std::string& why,
                std::optional<std::string>& started) -> std::shared_ptr<const MachineRecord> {
            if (!found.stored) {
                std::optional<MachineRecord> read = read_record(path, why);
                return read ? std::make_shared<const MachineRecord>(std::move(*read)) : nullptr;
            }
            // A night's files share their directory: the last one found is
            // tried first.
            std::string_view dir = directory_text(machine_path.empty() ? path : machine_path);
            if (!last_record || last_record->first != found.input || last_record->second != dir) {
                const auto& in = stored_records[found.input];
                auto it = in.find(dir);
                beside_record = it == in.end() ? nullptr : it->second;
                last_record.emplace(found.input, dir);
            }
            if (!beside_record)
                return nullptr;
            started = beside_record->started;
            return stored_record(*beside_record, why);
        };
        // Runs the store keeps parsed are taken as they are: the figures a
        // history reads, without the findings of the checks.
        bool kept = found.stored && found.stored->runs;
        auto take = [&](Run&& run) {
            run.input = found.input;
            if (run.source == Source::results_file) {
                std::string why;
                std::optional<std::string> started;
                if (auto context = record(why, started)) {
                    run.machine = std::move(context);
                    run.started = std::move(started);
                } else if (!why.empty())
                    loaded.notes.push_back({LoadNote::machine_json_unreadable, path, why});
            }
            if (!kept)
                check_run(run);
            if (found.input < labels.size())
                run.label = labels[found.input];
            labelled.push_back(found.input < labels.size());
            loaded.runs.push_back(std::move(run));
        };
        if (kept) {
            for (Run& r : *found.stored->runs)
                take(std::move(r));
            found.stored->runs.reset();  // its room, for what is read next
            continue;
        }
        std::vector<std::variant<Run, ParseError>> parsed_runs = parse_runs(*source, path);
        if (found.stored)
            found.stored->text = std::string();  // parsed: its room, for what is read next
        for (auto& parsed : parsed_runs) {
            if (auto* e = std::get_if<ParseError>(&parsed)) {
                loaded.notes.push_back({LoadNote::not_results, path, e->expected, {}, e->line,
                                        e->found.empty() && e->line > 0
                                            ? std::nullopt
                                            : std::optional<std::string>(e->found)});
                loaded.failed = true;
                continue;
            }
            take(std::move(std::get<Run>(parsed)));
        }
    }

    add_unfinished(records, loaded, labelled, labels);

    // A console transcript saved beside its own results file is the same run.
    std::vector<bool> drop(loaded.runs.size(), false);
    for (std::size_t i = 0; i < loaded.runs.size(); ++i) {
        const Run& t = loaded.runs[i];
        if (t.source != Source::transcript || t.tests.empty())
            continue;
        fs::path dir = fs::path(t.path).parent_path();
        std::string print = fingerprint(t);
        for (std::size_t j = 0; j < loaded.runs.size(); ++j) {
            const Run& r = loaded.runs[j];
            if (j == i || drop[j] || r.source != Source::results_file ||
                fs::path(r.path).parent_path() != dir || fingerprint(r) != print)
                continue;
            loaded.notes.push_back({LoadNote::transcript_read_once, t.path, {}, r.path});
            drop[i] = true;
            break;
        }
    }
    std::vector<bool> kept_labelled;
    if (std::find(drop.begin(), drop.end(), true) == drop.end()) {
        kept_labelled = std::move(labelled);
    } else {
        std::vector<Run> kept;
        for (std::size_t i = 0; i < loaded.runs.size(); ++i)
            if (!drop[i]) {
                kept.push_back(std::move(loaded.runs[i]));
                kept_labelled.push_back(labelled[i]);
            }
        loaded.runs = std::move(kept);
    }

    default_labels(loaded.runs, kept_labelled);
    // A store read for its figures is kept as it was read (freeing its files
    // one by one would cost more than keeping them); of one read for its
    // texts, whose files are far larger, the paths alone are kept.
    for (std::vector<StoredFile>& s : stores) {
        if (reading == StoreReading::figures && !s.empty()) {
            loaded.stored.push_back(std::move(s));
            continue;
        }
        for (StoredFile& f : s)
            loaded.considered.push_back(std::move(f.path));
        s.clear();
    }
    return loaded;
}

void consider_also(Loaded& loaded, Loaded& other) {
    loaded.considered.insert(loaded.considered.end(), other.considered.begin(),
                             other.considered.end());
    for (std::vector<StoredFile>& s : other.stored)
        loaded.stored.push_back(std::move(s));
    other.stored.clear();
}

}  // namespace report
