// `store`: adds the results files and machine.json records under the paths to
// a store (store/store.h), skipping those already there; every reading
// command then takes the store where it takes a directory.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "output/text.h"
#include "store/ingest.h"

namespace report {

namespace {

// Says what the ingest found wrong and what it stored; how the store ended.
Result report_ingest(const std::string& database, const std::vector<std::string>& paths,
                     const Ingest& done) {
    Loaded notes;  // what was found wrong, said as loading says it
    notes.notes = done.notes;
    say_notes(notes);
    for (std::size_t k = 0; k < done.another.size(); ++k)
        if (done.another[k].files > 0)
            error(fmt::format(
                "{}: {} file(s) kept by another name (the first: {}); each is "
                "stored once, by that name",
                escape_path(paths[k]), done.another[k].files, escape_path(done.another[k].first)));
    for (const std::string& path : done.empty_inputs)
        error(fmt::format("no results file found in {}", escape_path(path)));
    if (done.nothing)
        return Failed(Exit::bad_input, fmt::format("{}: nothing to store", escape_path(database)));
    if (done.failure.kind != StoreFailure::none)
        // An empty name is shown as the option that gave it.
        return Failed(
            done.failure.kind == StoreFailure::write ? Exit::write_failed : Exit::bad_input,
            fmt::format("{}: {}; nothing was stored",
                        database.empty() ? "store DATABASE" : escape_path(database),
                        done.failure.message));
    for (const std::string& path : done.counts.changed)
        error(
            fmt::format("{}: changed since it was stored; stored as a new version, which "
                        "is the one read",
                        escape_path(path)));
    std::string summary =
        fmt::format("{} new, {} already stored\n", done.counts.added, done.counts.already);
    // Said as every command's output says it, not left a bare status.
    if (std::fwrite(summary.data(), 1, summary.size(), stdout) != summary.size() ||
        std::fflush(stdout) != 0)
        return Failed(Exit::write_failed, fmt::format("cannot write standard output: {}",
                                                      std::strerror(errno ? errno : EIO)));
    return done.failed ? Result(Failed(Exit::bad_input)) : std::nullopt;
}

}  // namespace

void add_store_command(CLI::App& app, Commands& commands) {
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
    commands.add(cmd, [o] {
        return report_ingest(o->database, o->inputs.paths, ingest(o->database, o->inputs.paths));
    });
}

}  // namespace report
