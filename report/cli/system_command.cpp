// `system show|tune|reset`: what on this machine disturbs a measurement, and
// setting the frequency governor, minimum frequency and boost for measuring,
// then back.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include <unistd.h>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "machine/machine.h"
#include "machine/system.h"
#include "output/system_view.h"
#include "output/text.h"

namespace report {

namespace fs = std::filesystem;

namespace {

struct SystemOptions {
    std::string root = "/";
    std::string state_file;  // empty: the default under the root
};

void add_system_options(CLI::App* command, SystemOptions& o) {
    command->add_option("--root", o.root,
                        "Read (and write) the machine under this folder instead of / "
                        "(a copy of /proc and /sys)");
    command->add_option("--state-file", o.state_file,
                        "Where tune remembers what it changed (default: "
                        "/var/lib/bench_report/tune-state.json under the root)");
}

fs::path state_path(const SystemOptions& o) {
    return o.state_file.empty() ? default_state_file(o.root) : fs::path(o.state_file);
}

// Nothing when the options can be used; else the failure.
Result check_options(const SystemOptions& o, const char* command, bool writes) {
    std::error_code ec;
    if (!fs::is_directory(o.root, ec))
        return Failed(Exit::bad_input,
                      fmt::format("--root: {} is not a folder", escape_path(o.root)));
    // The live machine's settings are the kernel's, which only root may
    // change; a copied tree belongs to whoever copied it.
    if (writes && fs::equivalent(o.root, "/", ec) && ::geteuid() != 0)
        return Failed(Exit::bad_input,
                      fmt::format("system {} changes the kernel's settings, which needs root: "
                                  "run it as root (sudo bench_report system {})",
                                  command, command));
    return std::nullopt;
}

// Writes `text` on standard output; a failure is said at once, for the lines
// that follow it.
Result print(const std::string& text) {
    Result printed = write_output("", Loaded{}, Inputs{}, [&](Output& out) { out.write(text); });
    return printed ? Result(said(*printed)) : std::nullopt;
}

Result show(const SystemOptions& o) {
    if (Result refused = check_options(o, "show", false))
        return refused;
    MachineSource source;
    source.root = o.root;
    source.live = false;
    Machine machine = read_machine(source);
    fs::path file = state_path(o);
    Expected<std::optional<TuneState>> read = read_state_file(file);
    std::vector<std::string> unread;
    std::vector<SystemFinding> findings = system_findings(o.root, machine, &unread);
    Result printed = print(
        show_system_text(findings, read ? *read : std::nullopt, file.string(), output_width()));
    // A file where the kernel keeps a value that is no regular file (a FIFO
    // in a copied tree) was left unread: what show says of it is not known.
    for (const std::string& file_refused : unread)
        error(escape_path(file_refused));
    if (!read)
        return read.failure();
    if (!unread.empty())
        return Failed(Exit::bad_input);
    return printed;
}

Result tune(const SystemOptions& o) {
    if (Result refused = check_options(o, "tune", true))
        return refused;
    fs::path file = state_path(o);
    Expected<TuneResult> tuned = tune_machine(o.root, file, write_setting);
    if (!tuned)
        return Failed(tuned.failure().status, tuned.failure().message + "; nothing was changed");
    const TuneResult& result = *tuned;
    if (!result.refused.empty()) {
        for (const std::string& why : result.refused)
            error(escape_path(why) + "; nothing was changed");
        return Failed(Exit::bad_input);
    }
    Result printed = print(tune_text(result, file.string()));
    for (const std::string& message : tune_errors(result))
        error(message);
    return result.failed ? Result(Failed(Exit::write_failed)) : printed;
}

Result reset(const SystemOptions& o) {
    if (Result refused = check_options(o, "reset", true))
        return refused;
    fs::path file = state_path(o);
    Expected<ResetResult> reset = reset_machine(o.root, file, write_setting);
    if (!reset)
        return Failed(reset.failure().status, reset.failure().message + "; nothing was reset");
    const ResetResult& result = *reset;
    Result printed = print(reset_text(result, file.string()));
    std::vector<std::string> errors = reset_errors(result, file.string());
    for (const std::string& message : errors)
        error(message);
    return errors.empty() ? printed : Result(Failed(Exit::write_failed));
}

// A subcommand of `system` with the options they share, running `action`.
void add_action(CLI::App* system, Commands& commands, const char* name, const char* description,
                Result (*action)(const SystemOptions&)) {
    auto options = std::make_shared<SystemOptions>();
    auto* command = system->add_subcommand(name, description);
    add_system_options(command, *options);
    commands.add(command, [options, action] { return action(*options); });
}

}  // namespace

void add_system_command(CLI::App& app, Commands& commands) {
    auto* system = app.add_subcommand(
        "system",
        "What on this machine disturbs a measurement (show), setting the frequency governor, "
        "minimum frequency and boost for measuring (tune, as root), and putting them back "
        "(reset).");
    system->require_subcommand(1);
    add_action(system, commands, "show",
               "What may disturb a measurement now (governor and minimum frequency per policy, "
               "boost, SMT, transparent huge pages, ASLR, isolated processors, load, cgroup "
               "quota, hypervisor), what tune would change, and what the machine does not "
               "expose.",
               show);
    add_action(system, commands, "tune",
               "As root: sets every cpufreq policy's governor to \"performance\" and its minimum "
               "frequency to its maximum, and turns boost off, remembering each value changed in "
               "the state file; a write that fails puts back what was changed.",
               tune);
    add_action(system, commands, "reset",
               "As root: puts back every value tune changed that still holds what tune set, "
               "leaves those changed since, and removes the state file.",
               reset);
}

}  // namespace report
