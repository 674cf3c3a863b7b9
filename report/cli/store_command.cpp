// `store`: adds the results files and machine.json records under the paths to
// a store (input/store.h), skipping those already there; every reading
// command then takes the store where it takes a directory.
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <variant>

#include <sys/stat.h>
#include <time.h>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "input/parse.h"
#include "input/store.h"
#include "machine/input_file.h"
#include "output/text.h"

namespace report {

namespace fs = std::filesystem;

void add_store_command(CLI::App& app, int& status) {
    struct Options {
        std::string database;
        Inputs inputs;
    };
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "store",
        "Add the results files and machine.json records under the paths to a store (an SQLite "
        "file, created when absent), skipping those already stored; list, show, export, "
        "compare, chart and history read the store where they read a directory.");
    cmd->add_option("database", o->database, "The store; keep it on a local disk")->required();
    add_inputs(cmd, o->inputs, false);
    cmd->callback([o, &status] {
        const std::vector<std::string>& paths = o->inputs.paths;
        InputFiles inputs = find_input_files(paths);
        Loaded notes;  // what was found wrong, said as loading says it
        notes.notes = std::move(inputs.notes);
        bool failed = inputs.failed;
        std::vector<FileToStore> files;
        std::set<std::string> seen;
        std::map<std::string, std::string> records;  // by absolute path, as found
        std::vector<std::size_t> stored_per_input(paths.size(), 0);
        // A file whose size and modification time are those it was stored
        // with is not read again: a night's ingest reads that night's files.
        std::map<std::string, KnownFile> known = stored_file_times(o->database);
        std::size_t unchanged = 0;
        // A time within the last two seconds may be shared by a write still to
        // come (file times move in clock ticks): such a file is stored without
        // its time, so the next ingest digests it rather than trust the time.
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        const long long recent = (static_cast<long long>(now.tv_sec) - 2) * 1000000000LL;
        auto on_disk = [&](const std::string& path, const std::string& key, long long& mtime) {
            struct stat st {};
            if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                return false;  // reading it says why
            mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
            auto it = known.find(key);
            bool same = it != known.end() && it->second.size == static_cast<long long>(st.st_size) &&
                        it->second.mtime_ns == mtime && mtime != 0;
            if (mtime >= recent)
                mtime = 0;
            return same;
        };
        std::string text, why;
        for (auto& [path, input] : inputs.results) {
            // A file named twice (by a path and its directory) is stored once.
            std::string key = store_key(path);
            if (!seen.insert(key).second) {
                ++stored_per_input[input];
                continue;
            }
            std::error_code ec;
            long long mtime = 0;
            if (on_disk(path, key, mtime)) {
                ++unchanged;
                ++stored_per_input[input];
                fs::path beside = fs::path(path).parent_path() / "machine.json";
                if (fs::exists(beside, ec))
                    records.emplace(store_key(beside.string()), beside.string());
                continue;
            }
            if (is_sqlite_file(path)) {
                notes.notes.push_back({LoadNote::unreadable, path,
                                       "an SQLite file; a store takes results files and the "
                                       "directories that hold them"});
                failed = true;
                continue;
            }
            if (!read_input_file(path, text, why)) {
                notes.notes.push_back({LoadNote::unreadable, path, why});
                failed = true;
                continue;
            }
            // Only what reads as results is kept: a store answers as its files
            // do, without notes of its own.
            bool parsed = true;
            std::vector<Run> runs;
            for (auto& run : parse_runs(text, path))
                if (Run* r = std::get_if<Run>(&run)) {
                    runs.push_back(std::move(*r));
                } else if (auto* e = std::get_if<ParseError>(&run)) {
                    notes.notes.push_back(
                        {LoadNote::not_results, path, e->expected, {}, e->line,
                         e->found.empty() && e->line > 0 ? std::nullopt
                                                         : std::optional<std::string>(e->found)});
                    parsed = false;
                }
            if (!parsed) {
                failed = true;
                continue;
            }
            files.push_back({StoredFile::results, path, text, mtime, std::move(runs)});
            ++stored_per_input[input];
            fs::path beside = fs::path(path).parent_path() / "machine.json";
            if (fs::exists(beside, ec))
                records.emplace(store_key(beside.string()), beside.string());
        }
        for (auto& [path, input] : inputs.records) {
            records.emplace(store_key(path), path);
            ++stored_per_input[input];
        }
        for (const auto& [key, path] : records) {
            long long mtime = 0;
            if (on_disk(path, key, mtime)) {
                ++unchanged;
                continue;
            }
            if (!read_input_file(path, text, why)) {
                notes.notes.push_back({LoadNote::unreadable, path, why});
                failed = true;
                continue;
            }
            files.push_back({StoredFile::machine, path, text, mtime, {}});
        }
        say_notes(notes);
        for (std::size_t k = 0; k < paths.size(); ++k)
            if (stored_per_input[k] == 0 && inputs.files_per_input[k] == 0) {
                error(fmt::format("no results file found in {}", escape_path(paths[k])));
                failed = true;
            }
        if (files.empty() && unchanged == 0) {
            error(fmt::format("{}: nothing to store", escape_path(o->database)));
            status = static_cast<int>(Exit::bad_input);
            return;
        }
        StoreCounts counts;
        StoreFailure failure = store_files(o->database, files, counts, unchanged);
        if (failure.kind != StoreFailure::none) {
            error(fmt::format("{}: {}; nothing was stored", escape_path(o->database),
                              failure.message));
            status = static_cast<int>(failure.kind == StoreFailure::write ? Exit::write_failed
                                                                          : Exit::bad_input);
            return;
        }
        for (const std::string& path : counts.changed)
            error(fmt::format("{}: changed since it was stored; stored as a new version, which "
                              "is the one read",
                              escape_path(path)));
        std::string summary = fmt::format("{} new, {} already stored\n", counts.added, counts.already);
        std::fwrite(summary.data(), 1, summary.size(), stdout);
        if (std::fflush(stdout) != 0) {
            status = static_cast<int>(Exit::write_failed);
            return;
        }
        if (failed)
            status = static_cast<int>(Exit::bad_input);
    });
}

}  // namespace report
