// `store`: adds the results files and machine.json records under the paths to
// a store (input/store.h), skipping those already there; every reading
// command then takes the store where it takes a directory.
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <variant>

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
        std::string text, why;
        for (auto& [path, input] : inputs.results) {
            // A file named twice (by a path and its directory) is stored once.
            std::error_code ec;
            if (!seen.insert(fs::absolute(path, ec).lexically_normal().string()).second) {
                ++stored_per_input[input];
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
            for (auto& run : parse_runs(text, path))
                if (auto* e = std::get_if<ParseError>(&run)) {
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
            files.push_back({StoredFile::results, path, text});
            ++stored_per_input[input];
            fs::path beside = fs::path(path).parent_path() / "machine.json";
            if (fs::exists(beside, ec))
                records.emplace(fs::absolute(beside, ec).lexically_normal().string(),
                                beside.string());
        }
        for (auto& [path, input] : inputs.records) {
            std::error_code ec;
            records.emplace(fs::absolute(path, ec).lexically_normal().string(), path);
            ++stored_per_input[input];
        }
        for (const auto& [key, path] : records) {
            if (!read_input_file(path, text, why)) {
                notes.notes.push_back({LoadNote::unreadable, path, why});
                failed = true;
                continue;
            }
            files.push_back({StoredFile::machine, path, text});
        }
        say_notes(notes);
        for (std::size_t k = 0; k < paths.size(); ++k)
            if (stored_per_input[k] == 0 && inputs.files_per_input[k] == 0) {
                error(fmt::format("no results file found in {}", escape_path(paths[k])));
                failed = true;
            }
        if (files.empty()) {
            error(fmt::format("{}: nothing to store", escape_path(o->database)));
            status = static_cast<int>(Exit::bad_input);
            return;
        }
        StoreCounts counts;
        StoreFailure failure = store_files(o->database, files, counts);
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
