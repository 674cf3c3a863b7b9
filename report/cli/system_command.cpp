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

// 0 when the options can be used; else the exit status, the reason said.
int check_options(const SystemOptions& o, const char* command, bool writes) {
    std::error_code ec;
    if (!fs::is_directory(o.root, ec)) {
        error(fmt::format("--root: {} is not a folder", escape_path(o.root)));
        return static_cast<int>(Exit::bad_input);
    }
    // The live machine's settings are the kernel's, which only root may
    // change; a copied tree belongs to whoever copied it.
    if (writes && fs::equivalent(o.root, "/", ec) && ::geteuid() != 0) {
        error(
            fmt::format("system {} changes the kernel's settings, which needs root: run it as "
                        "root (sudo bench_report system {})",
                        command, command));
        return static_cast<int>(Exit::bad_input);
    }
    return 0;
}

void print(int& status, const std::string& text) {
    write_output("", Loaded{}, Inputs{}, status, [&](Output& out) { out.write(text); });
}

void show(const SystemOptions& o, int& status) {
    if ((status = check_options(o, "show", false)))
        return;
    MachineSource source;
    source.root = o.root;
    source.live = false;
    Machine machine = read_machine(source);
    TuneState state;
    std::string refused;
    fs::path file = state_path(o);
    StateFile read = read_state_file(file, state, refused);
    std::vector<std::string> unread;
    std::vector<SystemFinding> findings = system_findings(o.root, machine, &unread);
    print(status,
          show_system_text(findings, read == StateFile::read ? std::optional(state) : std::nullopt,
                           file.string(), output_width()));
    // A file where the kernel keeps a value that is no regular file (a FIFO
    // in a copied tree) was left unread: what show says of it is not known.
    for (const std::string& file_refused : unread)
        error(escape_path(file_refused));
    if (read == StateFile::refused)
        error(refused);
    if (read == StateFile::refused || !unread.empty())
        status = static_cast<int>(Exit::bad_input);
}

void tune(const SystemOptions& o, int& status) {
    if ((status = check_options(o, "tune", true)))
        return;
    fs::path file = state_path(o);
    std::string refused;
    TuneResult result = tune_machine(o.root, file, write_setting, refused);
    if (!refused.empty() || !result.refused.empty()) {
        if (!refused.empty())
            error(refused + "; nothing was changed");
        for (const std::string& why : result.refused)
            error(escape_path(why) + "; nothing was changed");
        status = static_cast<int>(Exit::bad_input);
        return;
    }
    print(status, tune_text(result, file.string()));
    for (const std::string& message : tune_errors(result))
        error(message);
    if (result.failed)
        status = static_cast<int>(Exit::write_failed);
}

void reset(const SystemOptions& o, int& status) {
    if ((status = check_options(o, "reset", true)))
        return;
    fs::path file = state_path(o);
    std::string refused;
    ResetResult result = reset_machine(o.root, file, write_setting, refused);
    if (!refused.empty()) {
        error(refused + "; nothing was reset");
        status = static_cast<int>(Exit::bad_input);
        return;
    }
    print(status, reset_text(result, file.string()));
    std::vector<std::string> errors = reset_errors(result, file.string());
    for (const std::string& message : errors)
        error(message);
    if (!errors.empty())
        status = static_cast<int>(Exit::write_failed);
}

// A subcommand of `system` with the options they share, running `action`.
void add_action(CLI::App* system, const char* name, const char* description, int& status,
                void (*action)(const SystemOptions&, int&)) {
    auto options = std::make_shared<SystemOptions>();
    auto* command = system->add_subcommand(name, description);
    add_system_options(command, *options);
    command->callback([options, &status, action] { action(*options, status); });
}

}  // namespace

void add_system_command(CLI::App& app, int& status) {
    auto* system = app.add_subcommand(
        "system",
        "What on this machine disturbs a measurement (show), setting the frequency governor, "
        "minimum frequency and boost for measuring (tune, as root), and putting them back "
        "(reset).");
    system->require_subcommand(1);
    add_action(system, "show",
               "What may disturb a measurement now (governor and minimum frequency per policy, "
               "boost, SMT, transparent huge pages, ASLR, isolated processors, load, cgroup "
               "quota, hypervisor), what tune would change, and what the machine does not "
               "expose.",
               status, show);
    add_action(system, "tune",
               "As root: sets every cpufreq policy's governor to \"performance\" and its minimum "
               "frequency to its maximum, and turns boost off, remembering each value changed in "
               "the state file; a write that fails puts back what was changed.",
               status, tune);
    add_action(system, "reset",
               "As root: puts back every value tune changed that still holds what tune set, "
               "leaves those changed since, and removes the state file.",
               status, reset);
}

}  // namespace report
