// The settings of a machine that move a measurement, as `bench_report system`
// shows, tunes and resets them. `tune` sets each cpufreq policy's governor to
// "performance" and its minimum frequency to its maximum, and turns boost
// (turbo) off; it remembers every value it changed (the file, the value
// before, the value after) in a state file, written before each change, so
// that `reset` can put back exactly those, even after a crash halfway.
// Everything is read and written under a root directory, "/" on the live
// machine, so a copy of /sys in a temporary folder is tuned the same way.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "model/failure.h"

namespace report {

// One value `tune` sets: a file of /sys and what it holds.
struct Setting {
    enum class Kind { boost, governor, minimum_frequency };
    Kind kind = Kind::boost;
    std::string policy;  // "policy0"; empty for a machine-wide switch
    std::string path;  // on the machine: "/sys/devices/system/cpu/cpufreq/policy0/scaling_governor"
    std::string value;  // what it holds now, as the kernel writes it
    std::string tuned;  // what tune writes into it
};

// Every setting tune knows that this machine exposes, in the order tune
// changes them: boost, then each policy's governor, then each policy's
// minimum frequency. A governor that offers no "performance", and a file
// holding something no setting holds, are left out: tune cannot set them.
std::vector<Setting> tunable_settings(const std::filesystem::path& root, const Machine& machine);

// Whether every setting tune knows holds its tuned value (whoever set it);
// absent when the machine exposes none.
std::optional<bool> is_tuned(const std::filesystem::path& root, const Machine& machine);

// One line of `system show`: a thing that can disturb a measurement, what it
// is now, and what tune does about it.
struct SystemFinding {
    enum class Level { fine, disturbs, not_exposed };
    Level level = Level::fine;
    std::string subject;  // "policy0 governor (processors 0-3, acpi-cpufreq)"
    std::string now;      // "powersave"; what is missing, when not exposed
    std::string why;      // how it moves the figures, when it disturbs
    bool tune_changes = false;
    std::string tune;     // what tune does: "sets \"performance\"", "leaves it"
    std::string by_hand;  // how to change what tune leaves, when it disturbs
};

// What disturbs a measurement on the machine now. The settings' verdicts are
// those of `settings`, the load's, quota's and hypervisor's those of
// `disturbances`, so show, tune and run's warnings cannot disagree. `refused`,
// when given, names each file left unread because it is no regular file
// (the machine's own and the settings'), once.
std::vector<SystemFinding> system_findings(const std::filesystem::path& root,
                                           const Machine& machine,
                                           std::vector<std::string>* refused = nullptr);

// The settings `system` knows, one object each: a boost switch, a policy's
// governor, a policy's minimum frequency, SMT, transparent huge pages, ASLR,
// isolated processors, the load, the cgroup quota and the hypervisor. Each
// reads itself under a root and says what it is in one line of `system
// show`; those tune changes also say what they write. The list of them is the
// one place that decides what show lists, what tune writes and what counts as
// tuned; reset puts back any of them by one rule (see reset_machine).

// What every setting is read and shown with.
struct SettingContext {
    std::filesystem::path root;  // the machine's files are under it
    const Machine& machine;
    std::vector<Disturbance> warnings;  // run's warnings about it, which show repeats
    // The files read that are no regular files, left unread (see read_setting).
    mutable std::vector<std::string> refused;
};

class SystemSetting {
public:
    virtual ~SystemSetting() = default;
    // The file tune writes for this setting and what it holds now; absent
    // for a setting tune leaves alone, or one that tune cannot set here.
    virtual std::optional<Setting> read(const SettingContext&) const { return std::nullopt; }
    // Its line in `system show`.
    virtual SystemFinding show(const SettingContext& context) const = 0;
    // The value tune writes now: what read found, unless an earlier write
    // moved it (turning boost off can lower the maximum frequency).
    virtual std::string target(const std::filesystem::path&, const Setting& now) const {
        return now.tuned;
    }
};

// Every setting of the machine, in the order show lists them: boost, each
// policy's governor and minimum frequency, then what tune leaves alone.
std::vector<std::unique_ptr<SystemSetting>> system_settings(const SettingContext& context);

// Whether `path`, as on the machine ("/sys/..."), is a file tune writes: a
// state file may name no other, since reset writes what it names as root.
bool tuned_file(const std::string& path);

// What tune changed, as the state file keeps it. Paths are as on the machine.
struct Change {
    std::string path;
    std::string before;  // what reset writes back
    std::string after;   // what tune left there
};

struct TuneState {
    std::optional<std::string>
        tuned_at;  // UTC, ISO 8601, of the latest tune that changed something
    std::vector<Change> changes;
};

// The state file's place when none is named: var/lib/bench_report/tune-state.json under the root.
std::filesystem::path default_state_file(const std::filesystem::path& root);

// Reads a state file: absent when there is none. Refused (a bad_input
// failure, "FILE: why") when it is no regular file, is not JSON of the
// layout tune writes, or names a file that is no setting tune changes, or a
// value no setting holds: reset writes those files as root, so nothing else
// is trusted from it.
Expected<std::optional<TuneState>> read_state_file(const std::filesystem::path& file);

// Writes a state file whole (a temporary file renamed onto it), creating its
// folder; a write_failed failure saying why when it cannot.
std::optional<Failed> write_state_file(const std::filesystem::path& file, const TuneState& state);

// Writes `value` into the file of /sys at `file` (never through a symbolic
// link, never into anything but a regular file); 0, or the errno of the
// failure. Tests put their own in its place.
using SettingWriter =
    std::function<int(const std::filesystem::path& file, const std::string& value)>;
int write_setting(const std::filesystem::path& file, const std::string& value);

struct Failure {
    std::string path;  // on the machine
    int error = 0;     // errno, or 0 when the state file was at fault (then `message` says why)
    std::string message;
};

struct TuneResult {
    std::vector<Change> changed;        // this time, in order, each with the value before and after
    std::optional<Failure> failed;      // the write that failed; what was changed was put back
    std::vector<Failure> not_put_back;  // after a failure, values that could not be put back
    std::vector<Change> left_changed;   // ...and are kept in the state file for reset
    std::size_t put_back = 0;           // after a failure, values put back
    bool state_kept = false;            // a state file holds changes (from this or an earlier tune)
    bool exposed = false;               // the machine has a setting tune knows
    // Files tune would read that are no regular files: then nothing is changed.
    std::vector<std::string> refused;
};

// Tunes the machine under `root`, remembering in `state_file`. A state file
// already there (tuned before, not reset) keeps the value its changes started
// from, so reset still goes back to what was there before the first tune.
// The failure of read_state_file when the state file is refused (then
// nothing changes).
Expected<TuneResult> tune_machine(const std::filesystem::path& root,
                                  const std::filesystem::path& state_file,
                                  const SettingWriter& write);

struct ResetStep {
    enum class Outcome {
        put_back,       // it held tune's value; the value before is back
        already,        // it holds the value before again
        changed_since,  // it holds neither: someone set it since; left as it is
        gone,           // the file is no longer there (the driver or processor went)
        unreadable,     // the file is there but cannot be read; kept in the state file
        failed,         // the write failed; kept in the state file
    };
    Change change;
    Outcome outcome = Outcome::put_back;
    std::string now;  // what it holds when reset looked
    int error = 0;    // errno, when failed
};

struct ResetResult {
    bool found = false;  // a state file was there
    std::vector<ResetStep> steps;
    std::optional<std::string> state_error;  // the state file could not be rewritten or removed
};

// Puts back what the state file says tune changed, in the reverse order,
// then removes the state file (or keeps in it the values that could not be
// written). The failure of read_state_file when the state file is refused
// (then nothing changes).
Expected<ResetResult> reset_machine(const std::filesystem::path& root,
                                    const std::filesystem::path& state_file,
                                    const SettingWriter& write);

}  // namespace report
