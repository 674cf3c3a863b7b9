// The settings `bench_report system` shows, tunes and resets, on built /sys
// trees (acpi-cpufreq with a machine-wide boost switch, intel_pstate,
// amd-pstate with a switch per policy, a virtual machine without cpufreq),
// each copied into a temporary folder before it is written: that tune and
// reset leave every file as it was, that a write failing halfway puts back
// what was changed, and that a state file is trusted no further than the
// settings tune knows.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

#include "machine/machine.h"
#include "machine/record.h"
#include "machine/record_json.h"
#include "machine/system.h"
#include "system_trees.h"

namespace {

namespace fs = std::filesystem;
using namespace system_trees;
using report::Change;
using report::ResetStep;
using report::Setting;
using report::SystemFinding;

report::Machine read(const fs::path& root) {
    report::MachineSource source;
    source.root = root;
    source.live = false;
    return report::read_machine(source);
}

struct Tree {
    std::string name;
    // What tune changes, in its order: the file under the cpufreq folder (or
    // the whole path) and the value it writes.
    std::vector<std::pair<std::string, std::string>> tunes;
    std::set<std::string> disturbing;   // subjects show marks
    std::set<std::string> not_exposed;  // subjects show lists as missing
};

std::string under_cpufreq(const std::string& p) {
    return p[0] == '/' ? p : cpufreq + p;
}

// clang-format off
const Tree cases[] = {
    {"acpi_cpufreq",
     {{"boost", "0"},
      {"policy0/scaling_governor", "performance"}, {"policy1/scaling_governor", "performance"},
      {"policy2/scaling_governor", "performance"}, {"policy3/scaling_governor", "performance"},
      {"policy0/scaling_min_freq", "3600000"}, {"policy1/scaling_min_freq", "3600000"},
      {"policy2/scaling_min_freq", "3600000"}, {"policy3/scaling_min_freq", "3600000"}},
     {"boost (cpufreq/boost)",
      "policy0 governor (processors 0, acpi-cpufreq)", "policy1 governor (processors 1, acpi-cpufreq)",
      "policy2 governor (processors 2, acpi-cpufreq)", "policy3 governor (processors 3, acpi-cpufreq)",
      "policy0 minimum frequency", "policy1 minimum frequency", "policy2 minimum frequency",
      "policy3 minimum frequency", "SMT (hyper-threading)", "address space randomisation (ASLR)"},
     {"cgroup CPU quota"}},
    {"intel_pstate",
     {{"/sys/devices/system/cpu/intel_pstate/no_turbo", "1"},
      {"policy0/scaling_governor", "performance"}, {"policy1/scaling_governor", "performance"},
      {"policy2/scaling_governor", "performance"}, {"policy3/scaling_governor", "performance"},
      {"policy0/scaling_min_freq", "4700000"}, {"policy1/scaling_min_freq", "4700000"},
      {"policy2/scaling_min_freq", "4700000"}, {"policy3/scaling_min_freq", "4700000"}},
     {"turbo (intel_pstate/no_turbo)",
      "policy0 governor (processors 0, intel_pstate)", "policy1 governor (processors 1, intel_pstate)",
      "policy2 governor (processors 2, intel_pstate)", "policy3 governor (processors 3, intel_pstate)",
      "policy0 minimum frequency", "policy1 minimum frequency", "policy2 minimum frequency",
      "policy3 minimum frequency", "SMT (hyper-threading)", "transparent huge pages",
      "address space randomisation (ASLR)", "isolated processors", "load average"},
     {"cgroup CPU quota"}},
    {"amd_pstate",
     {{"policy0/boost", "0"}, {"policy1/boost", "0"},
      {"policy0/scaling_governor", "performance"}, {"policy1/scaling_governor", "performance"},
      {"policy0/scaling_min_freq", "5881000"}, {"policy1/scaling_min_freq", "5881000"}},
     {"policy0 boost", "policy1 boost",
      "policy0 governor (processors 0, amd-pstate-epp)", "policy1 governor (processors 1, amd-pstate-epp)",
      "policy0 minimum frequency", "policy1 minimum frequency"},
     {"cgroup CPU quota"}},
    {"vm_none",
     {},
     {"transparent huge pages", "address space randomisation (ASLR)", "load average", "hypervisor"},
     {"boost", "frequency governor and minimum frequency", "cgroup CPU quota"}},
};
// clang-format on

TEST(SystemSettings, EachTreeShowsAndTunesWhatItExposes) {
    for (const Tree& t : cases) {
        SCOPED_TRACE(t.name);
        report::Machine m = read(trees / t.name);
        std::vector<Setting> all = report::tunable_settings(trees / t.name, m);
        ASSERT_EQ(all.size(), t.tunes.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            EXPECT_EQ(all[i].path, under_cpufreq(t.tunes[i].first));
            EXPECT_EQ(all[i].tuned, t.tunes[i].second);
            EXPECT_NE(all[i].value, all[i].tuned);
        }
        // Untuned where there is something to tune, unknown where there is not.
        EXPECT_FALSE(m.tuned);  // reading the machine runs no setting's rule
        EXPECT_EQ(report::is_tuned(trees / t.name, m), t.tunes.empty() ? std::nullopt : std::optional<bool>(false));

        std::set<std::string> disturbing, missing;
        std::size_t tune_changes = 0;
        for (const SystemFinding& f : report::system_findings(trees / t.name, m)) {
            if (f.level == SystemFinding::Level::disturbs) {
                disturbing.insert(f.subject);
                EXPECT_FALSE(f.why.empty()) << f.subject;
            }
            if (f.level == SystemFinding::Level::not_exposed)
                missing.insert(f.subject);
            tune_changes += f.tune_changes;
        }
        // Show says tune changes exactly what tune changes.
        EXPECT_EQ(tune_changes, t.tunes.size());
        EXPECT_EQ(disturbing, t.disturbing);
        for (const std::string& s : t.not_exposed)
            EXPECT_TRUE(missing.count(s)) << s;
    }
}

// Tune and reset of a tree whose state file, if any, is one they wrote.
report::TuneResult tune_tree(const fs::path& root, const fs::path& state,
                             const report::SettingWriter& write) {
    report::Expected<report::TuneResult> r = report::tune_machine(root, state, write);
    EXPECT_TRUE(r) << r.failure().message;
    return r ? *r : report::TuneResult{};
}
report::ResetResult reset_tree(const fs::path& root, const fs::path& state,
                               const report::SettingWriter& write) {
    report::Expected<report::ResetResult> r = report::reset_machine(root, state, write);
    EXPECT_TRUE(r) << r.failure().message;
    return r ? *r : report::ResetResult{};
}

// Tune sets every value, remembers each, and reset leaves every file of the
// tree as it was; a second tune has nothing to change, a second reset
// nothing to put back.
TEST(SystemSettings, TuneThenResetLeavesEveryFileAsItWas) {
    for (const Tree& t : cases) {
        SCOPED_TRACE(t.name);
        Copy c(t.name);
        const auto original = contents(c.root);
        report::TuneResult tuned = tune_tree(c.root, c.state(), report::write_setting);
        EXPECT_FALSE(tuned.failed);
        ASSERT_EQ(tuned.changed.size(), t.tunes.size());
        for (const auto& [path, value] : t.tunes)
            EXPECT_EQ(c.value(under_cpufreq(path)), value) << path;
        report::Machine after = read(c.root);
        after.tuned = report::is_tuned(c.root, after);
        EXPECT_EQ(after.tuned, t.tunes.empty() ? std::nullopt : std::optional<bool>(true));
        EXPECT_EQ(report::machine_json(after)["frequency"]["tuned"],
                  t.tunes.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(true));
        EXPECT_EQ(fs::exists(c.state()), !t.tunes.empty());

        report::TuneResult again = tune_tree(c.root, c.state(), report::write_setting);
        EXPECT_TRUE(again.changed.empty());
        EXPECT_EQ(again.exposed, !t.tunes.empty());

        report::ResetResult reset = reset_tree(c.root, c.state(), report::write_setting);
        EXPECT_EQ(reset.found, !t.tunes.empty());
        EXPECT_EQ(reset.steps.size(), t.tunes.size());
        for (const ResetStep& s : reset.steps)
            EXPECT_EQ(s.outcome, ResetStep::Outcome::put_back) << s.change.path;
        EXPECT_EQ(contents(c.root), original);
        EXPECT_FALSE(fs::exists(c.state()));
        EXPECT_FALSE(reset_tree(c.root, c.state(), report::write_setting).found);
    }
}

// Writes through the real writer, failing (with `error`) the calls numbered
// in `failing`, counted from 1.
struct FailingWriter {
    std::set<int> failing;
    int error = EACCES;
    std::shared_ptr<int> calls = std::make_shared<int>(0);
    int operator()(const fs::path& file, const std::string& value) const {
        if (failing.count(++*calls))
            return error;
        return report::write_setting(file, value);
    }
};

TEST(SystemSettings, AWriteFailingHalfwayPutsBackWhatWasChanged) {
    Copy c("acpi_cpufreq");
    const auto original = contents(c.root);
    // Boost and two governors change, the third governor fails.
    report::TuneResult r = tune_tree(c.root, c.state(), FailingWriter{{4}});
    ASSERT_TRUE(r.failed);
    EXPECT_EQ(r.failed->path, cpufreq + "policy2/scaling_governor");
    EXPECT_EQ(r.failed->error, EACCES);
    EXPECT_EQ(r.put_back, 3u);
    EXPECT_TRUE(r.not_put_back.empty());
    EXPECT_TRUE(r.changed.empty());
    EXPECT_FALSE(r.state_kept);
    EXPECT_EQ(contents(c.root), original);
    EXPECT_FALSE(fs::exists(c.state()));
}

// A value that cannot be put back either stays in the state file, and a later
// reset puts it back.
TEST(SystemSettings, AValueThatCannotBePutBackIsLeftForReset) {
    Copy c("acpi_cpufreq");
    const auto original = contents(c.root);
    // Call 3 (policy1's governor) fails; putting back policy0's governor
    // (call 4) fails too; boost (call 5) goes back.
    report::TuneResult r = tune_tree(c.root, c.state(), FailingWriter{{3, 4}});
    ASSERT_TRUE(r.failed);
    EXPECT_EQ(r.put_back, 1u);
    ASSERT_EQ(r.left_changed.size(), 1u);
    EXPECT_EQ(r.left_changed[0].path, cpufreq + "policy0/scaling_governor");
    EXPECT_TRUE(r.state_kept);
    EXPECT_EQ(c.value(cpufreq + "policy0/scaling_governor"), "performance");

    report::ResetResult reset = reset_tree(c.root, c.state(), report::write_setting);
    ASSERT_EQ(reset.steps.size(), 1u);
    EXPECT_EQ(reset.steps[0].outcome, ResetStep::Outcome::put_back);
    EXPECT_EQ(contents(c.root), original);
}

// The state file names each change before it is made: a tune that dies
// halfway leaves a state file that reset can finish from.
TEST(SystemSettings, ATuneThatDiesHalfwayIsResetFromItsStateFile) {
    Copy c("intel_pstate");
    const auto original = contents(c.root);
    int calls = 0;
    auto dying = [&](const fs::path& file, const std::string& value) {
        if (++calls == 3)
            throw std::runtime_error("killed");
        return report::write_setting(file, value);
    };
    EXPECT_THROW(tune_tree(c.root, c.state(), dying), std::runtime_error);
    report::ResetResult reset = reset_tree(c.root, c.state(), report::write_setting);
    ASSERT_EQ(reset.steps.size(), 3u);
    EXPECT_EQ(reset.steps[0].outcome, ResetStep::Outcome::already);  // never written
    EXPECT_EQ(reset.steps[1].outcome, ResetStep::Outcome::put_back);
    EXPECT_EQ(reset.steps[2].outcome, ResetStep::Outcome::put_back);
    EXPECT_EQ(contents(c.root), original);
    EXPECT_FALSE(fs::exists(c.state()));
}

// Turning boost off lowers the policies' maximum, as amd-pstate does: the
// minimum is set to the maximum after that, not before.
TEST(SystemSettings, TheMinimumFollowsAMaximumThatBoostLowered) {
    Copy c("amd_pstate");
    auto kernel = [&](const fs::path& file, const std::string& value) {
        int e = report::write_setting(file, value);
        if (!e && file.filename() == "boost" && value == "0")
            put(file.parent_path() / "scaling_max_freq", "4500000\n");
        return e;
    };
    report::TuneResult r = tune_tree(c.root, c.state(), kernel);
    EXPECT_FALSE(r.failed);
    EXPECT_EQ(c.value(cpufreq + "policy0/scaling_min_freq"), "4500000");
    EXPECT_EQ(c.value(cpufreq + "policy1/scaling_min_freq"), "4500000");
    EXPECT_EQ(report::is_tuned(c.root, read(c.root)), true);
}

// Reset puts back only what still holds tune's value; a value set since is
// someone's choice, left as it is. A second tune over a value set since
// remembers that value, not the first one.
TEST(SystemSettings, ValuesChangedSinceTuneAreLeftAsTheyAre) {
    Copy c("acpi_cpufreq");
    tune_tree(c.root, c.state(), report::write_setting);
    const std::string governor = cpufreq + "policy1/scaling_governor";
    put(c.root / governor.substr(1), "ondemand\n");
    fs::remove(c.root / (cpufreq + "policy3/scaling_min_freq").substr(1));

    report::ResetResult reset = reset_tree(c.root, c.state(), report::write_setting);
    std::map<std::string, ResetStep::Outcome> outcome;
    for (const ResetStep& s : reset.steps)
        outcome[s.change.path] = s.outcome;
    EXPECT_EQ(outcome[governor], ResetStep::Outcome::changed_since);
    EXPECT_EQ(outcome[cpufreq + "policy3/scaling_min_freq"], ResetStep::Outcome::gone);
    EXPECT_EQ(outcome[cpufreq + "policy0/scaling_governor"], ResetStep::Outcome::put_back);
    EXPECT_EQ(c.value(governor), "ondemand");
    EXPECT_EQ(c.value(cpufreq + "policy0/scaling_governor"), "schedutil");
    EXPECT_FALSE(fs::exists(c.state()));

    // Tuned twice with a change in between: reset goes back to that change.
    Copy d("acpi_cpufreq");
    tune_tree(d.root, d.state(), report::write_setting);
    put(d.root / governor.substr(1), "ondemand\n");
    report::TuneResult again = tune_tree(d.root, d.state(), report::write_setting);
    ASSERT_EQ(again.changed.size(), 1u);
    reset_tree(d.root, d.state(), report::write_setting);
    EXPECT_EQ(d.value(governor), "ondemand");
    EXPECT_EQ(d.value(cpufreq + "policy0/scaling_governor"), "schedutil");
    EXPECT_EQ(d.value(cpufreq + "boost"), "1");
}

// Reset writes, as root, what a state file names: anything but a setting tune
// changes, or a value no setting holds, refuses the whole file.
TEST(SystemSettings, AStateFileIsTrustedNoFurtherThanTheSettingsTuneKnows) {
    Copy c("acpi_cpufreq");
    const auto original = contents(c.root);
    auto change = [](const std::string& path, const std::string& before) {
        return R"({"schema_version": 1, "changes": [{"path": ")" + path + R"(", "before": ")" +
               before + R"(", "after": "performance"}]})";
    };
    const std::string governor = cpufreq + "policy0/scaling_governor";
    struct Case {
        const char* what;
        std::string text;
        std::string error;
    };
    const Case refused_files[] = {
        {"not JSON", "{\"changes\": [", "not a state file of bench_report system tune"},
        {"no changes", "{}", "not a state file of bench_report system tune"},
        {"another file", change("/etc/shadow", "x"), "\"/etc/shadow\" is no setting tune changes"},
        {"a way out", change(cpufreq + "policy0/../../../../../etc/passwd", "x"),
         "is no setting tune changes"},
        {"a policy without its number", change(cpufreq + "policy/scaling_governor", "x"),
         "is no setting tune changes"},
        {"a longer name", change(governor + "_x", "x"), "is no setting tune changes"},
        {"a value with a newline", change(governor, "a\\nb"), "that no setting holds"},
        {"an empty value", change(governor, ""), "that no setting holds"},
        {"a newer layout", R"({"schema_version": 2, "changes": []})", "schema_version is not 1"},
        {"a change twice",
         R"({"changes": [{"path": ")" + governor +
             R"(", "before": "a", "after": "b"},)"
             R"({"path": ")" +
             governor + R"(", "before": "a", "after": "b"}]})",
         "is named twice"},
    };
    int writes = 0;
    auto counting = [&](const fs::path&, const std::string&) { return ++writes, 0; };
    for (const Case& k : refused_files) {
        SCOPED_TRACE(k.what);
        fs::create_directories(c.state().parent_path());
        put(c.state(), k.text);
        auto reset = report::reset_machine(c.root, c.state(), counting);
        auto tuned = report::tune_machine(c.root, c.state(), counting);
        ASSERT_FALSE(reset || tuned);
        for (const report::Failed& f : {reset.failure(), tuned.failure()}) {
            EXPECT_EQ(f.status, 2);
            EXPECT_EQ(f.message.rfind(c.state().string() + ": ", 0), 0u);
            EXPECT_NE(f.message.find(k.error), std::string::npos) << f.message;
        }
    }
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(contents(c.root), original);

    // A folder or a FIFO where the state file should be is refused, not waited on.
    fs::remove(c.state());
    ASSERT_EQ(::mkfifo(c.state().c_str(), 0600), 0);
    auto reset = report::reset_machine(c.root, c.state(), counting);
    ASSERT_FALSE(reset);
    EXPECT_EQ(reset.failure().message, c.state().string() + ": a FIFO, not a regular file");
    EXPECT_EQ(writes, 0);
}

// The writer never follows a link at the place of a setting, and never waits
// on a FIFO.
TEST(SystemSettings, TheWriterWritesOnlyRegularFiles) {
    Copy c("vm_none");
    fs::path target = c.root / "target", link = c.root / "link", fifo = c.root / "fifo";
    put(target, "schedutil\n");
    fs::create_symlink(target, link);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(report::write_setting(link, "performance"), ELOOP);
    EXPECT_EQ(report::write_setting(fifo, "performance"), ENXIO);
    EXPECT_EQ(report::write_setting(c.root / "missing", "performance"), ENOENT);
    EXPECT_EQ(text_of(target), "schedutil\n");
    EXPECT_EQ(report::write_setting(target, "performance"), 0);
    EXPECT_EQ(text_of(target), "performance\n");
}

}  // namespace

namespace {

// What a tune or reset killed while writing left beside the state file goes
// at the next tune or reset; a live process's temporary file, or a file of
// another name, stays.
TEST(SystemSettings, TemporaryStateFilesOfGoneProcessesAreRemoved) {
    Copy c("vm_none");
    const fs::path folder = c.state().parent_path();
    fs::create_directories(folder);
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string prefix = ".tune-state.json.";
    const std::string gone = prefix + std::to_string(child),
                      mine = prefix + std::to_string(::getpid());
    // Older writers named theirs by the process id alone, newer ones add a
    // dot and six characters of their own.
    for (const std::string& name : {gone, mine, gone + ".aB3xYz", mine + ".aB3xYz",
                                    prefix + "12x", prefix + "99999999999"})
        put(folder / name, "{");
    EXPECT_FALSE(reset_tree(c.root, c.state(), report::write_setting).found);
    EXPECT_FALSE(fs::exists(folder / gone));
    EXPECT_FALSE(fs::exists(folder / (gone + ".aB3xYz")));
    EXPECT_TRUE(fs::exists(folder / (mine + ".aB3xYz")));
    EXPECT_FALSE(fs::exists(folder / (prefix + "99999999999")));
    EXPECT_TRUE(fs::exists(folder / mine));
    EXPECT_TRUE(fs::exists(folder / (prefix + "12x")));
}

}  // namespace
