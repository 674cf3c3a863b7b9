// `bench_report system show|tune|reset` as a process, on copies of the built
// /sys trees: what it prints, its exit statuses and its messages on standard
// error, tune refused to anyone but root on the live machine, and a write
// that fails halfway.
#include <gtest/gtest.h>

#include <unistd.h>

#include "system_trees.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace system_trees;

std::string bench() {
    return BENCH_REPORT;
}

// `system ARGS --root ROOT`, run in a folder of its own beside the tree, on a
// wide terminal, so that each line is found whole.
Result system_command(const Copy& c, const std::string& args) {
    fs::path dir = c.root.string() + "-cwd";
    fs::create_directories(dir);
    Result r = run_in(dir, "COLUMNS=400 " + bench() + " system " + args + " --root '" + c.root.string() + "'");
    fs::remove_all(dir);
    return r;
}

TEST(SystemCommand, ShowSaysWhatDisturbsAndWhatTuneChanges) {
    struct Case {
        const char* tree;
        std::vector<std::string> lines;  // each found whole on standard output
    };
    const Case cases[] = {
        {"acpi_cpufreq",
         {"!  boost (cpufreq/boost)", "on", "turns it off",
          "!  policy0 governor (processors 0, acpi-cpufreq)", "sets \"performance\"",
          "2200 MHz (maximum 3600 MHz)", "sets 3600 MHz", "   transparent huge pages",
          "madvise, defrag madvise", "   isolated processors", "none (no isolcpus= or nohz_full=)",
          "! policy0 governor (processors 0, acpi-cpufreq): the clock follows the load, so a "
          "test's first seconds run slower",
          "Not exposed on this machine:\n  cgroup CPU quota: no cgroup in /proc/self/cgroup\n",
          "Not tuned by `bench_report system tune` (no changes in "}},
        {"intel_pstate",
         {"!  turbo (intel_pstate/no_turbo)", "isolcpus=3 nohz_full=3",
          "! load average: the load average is 0.52, above 10% of the 4 processors"}},
        {"amd_pstate",
         {"!  policy1 boost", "address space randomisation (ASLR)", "off (randomize_va_space 0)",
          "SMT (hyper-threading)", "off"}},
        {"vm_none",
         {"hypervisor", "yes: QEMU Standard PC (Q35 + ICH9, 2009)",
          "  boost: no cpufreq/boost, intel_pstate/no_turbo or policy boost switch",
          "  frequency governor and minimum frequency: no cpufreq policy: the firmware or the "
          "hypervisor sets the clock"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.tree);
        Copy c(k.tree);
        const auto before = contents(c.root);
        Result r = system_command(c, "show");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        for (const std::string& line : k.lines)
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
        EXPECT_EQ(contents(c.root), before);  // show writes nothing
    }
}

TEST(SystemCommand, TuneThenResetAsAProcess) {
    Copy c("acpi_cpufreq");
    const auto before = contents(c.root);
    const std::string state = c.state().string();
    Result tune = system_command(c, "tune");
    EXPECT_EQ(tune.status, 0);
    EXPECT_EQ(tune.err, "");
    EXPECT_EQ(tune.out.substr(0, tune.out.find('\n') + 1),
              "/sys/devices/system/cpu/cpufreq/boost: 1 -> 0\n");
    EXPECT_NE(tune.out.find("/sys/devices/system/cpu/cpufreq/policy3/scaling_min_freq: 2200000 -> "
                            "3600000\n"),
              std::string::npos);
    EXPECT_NE(tune.out.find("tuned: 9 values changed, remembered in " + state +
                            "; `bench_report system reset` puts them back\n"),
              std::string::npos);

    Result show = system_command(c, "show");
    EXPECT_NE(show.out.find("Tuned by `bench_report system tune` at "), std::string::npos);
    EXPECT_NE(show.out.find("`bench_report system reset` puts back 9 values (" + state + ")."),
              std::string::npos);
    // Tuned, the frequency no longer disturbs; SMT still does.
    EXPECT_EQ(show.out.find("!  policy0 governor"), std::string::npos);
    EXPECT_NE(show.out.find("   policy0 governor"), std::string::npos);
    EXPECT_NE(show.out.find("!  SMT"), std::string::npos);

    Result again = system_command(c, "tune");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out,
              "nothing to change: the governors, minimum frequencies and boost are already as "
              "tune sets them (an earlier tune's values are in " +
                  state + ", for reset)\n");

    Result reset = system_command(c, "reset");
    EXPECT_EQ(reset.status, 0);
    EXPECT_EQ(reset.err, "");
    EXPECT_NE(reset.out.find("/sys/devices/system/cpu/cpufreq/policy0/scaling_governor: "
                             "performance -> schedutil\n"),
              std::string::npos);
    EXPECT_NE(reset.out.find("reset: 9 values put back; " + state + " removed\n"),
              std::string::npos);
    EXPECT_EQ(contents(c.root), before);

    Result nothing = system_command(c, "reset");
    EXPECT_EQ(nothing.status, 0);
    EXPECT_EQ(nothing.out, "nothing to reset: no state file at " + state +
                               " (tune changed nothing, or it was reset already)\n");

    Copy vm("vm_none");
    Result none = system_command(vm, "tune");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out,
              "nothing to change: this machine exposes no frequency governor, minimum frequency "
              "or boost switch (on a virtual machine the host sets the clock)\n");
    EXPECT_FALSE(fs::exists(vm.state()));
}

// Each failure: its exit status, its one line on standard error, and the
// tree left as it was.
TEST(SystemCommand, FailuresSayWhichFileAndLeaveTheMachineAsItWas) {
    const std::string governor2 = "sys/devices/system/cpu/cpufreq/policy2/scaling_governor";
    struct Case {
        const char* what;
        std::function<void(const Copy&)> prepare;
        std::string args;
        int status;
        std::string err;  // with ROOT for the copy's folder
        bool unchanged;
    };
    const Case cases[] = {
        {"a setting that cannot be written halfway",
         [&](const Copy& c) {
             put(c.root / "held", "schedutil\n");
             fs::remove(c.root / governor2);
             fs::create_symlink(c.root / "held", c.root / governor2);
         },
         "tune", 1,
         "bench_report: cannot write /" + governor2 +
             ": Too many levels of symbolic links; put back the 3 values tune had changed\n",
         true},
        {"a state file that is not one",
         [](const Copy& c) {
             fs::create_directories(c.state().parent_path());
             put(c.state(), "[1, 2]");
         },
         "tune", 2,
         "bench_report: ROOT/var/lib/bench_report/tune-state.json: not a state file of "
         "bench_report system tune; nothing was changed\n",
         true},
        {"a state file naming another file",
         [](const Copy& c) {
             fs::create_directories(c.state().parent_path());
             put(c.state(),
                 R"({"changes": [{"path": "/etc/passwd", "before": "a", "after": "b"}]})");
         },
         "reset", 2,
         "bench_report: ROOT/var/lib/bench_report/tune-state.json: \"/etc/passwd\" is no setting "
         "tune changes; nothing was reset\n",
         true},
        {"a state file that is a folder", [](const Copy& c) { fs::create_directories(c.state()); },
         "show", 2,
         "bench_report: ROOT/var/lib/bench_report/tune-state.json: a directory, not a regular "
         "file\n",
         true},
        {"a value reset cannot put back",
         [&](const Copy& c) {
             ASSERT_EQ(shell(bench() + " system tune --root '" + c.root.string() + "' >/dev/null"),
                       0);
             put(c.root / "held", "performance\n");
             fs::remove(c.root / governor2);
             fs::create_symlink(c.root / "held", c.root / governor2);
         },
         "reset", 1,
         "bench_report: cannot put back /" + governor2 +
             " (it holds performance, was schedutil): Too many levels of symbolic links\n",
         false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Copy c("acpi_cpufreq");
        k.prepare(c);
        const auto before = contents(c.root);
        Result r = system_command(c, k.args);
        EXPECT_EQ(r.status, k.status);
        std::string err = k.err;
        if (auto at = err.find("ROOT"); at != std::string::npos)
            err.replace(at, 4, c.root.string());
        EXPECT_EQ(r.err, err);
        if (k.unchanged) {
            EXPECT_EQ(contents(c.root), before);
        }
    }

    // The value reset could not put back stays in the state file, for another try.
    Copy c("acpi_cpufreq");
    shell(bench() + " system tune --root '" + c.root.string() + "' >/dev/null");
    fs::remove(c.root / governor2);
    put(c.root / "held", "performance\n");
    fs::create_symlink(c.root / "held", c.root / governor2);
    Result r = system_command(c, "reset");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("reset: 8 values put back; 1 value kept in " + c.state().string() +
                         " for another reset\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(text_of(c.state()).find(governor2), std::string::npos);
}

TEST(SystemCommand, UsageErrors) {
    fs::path dir = fs::temp_directory_path() / ("system-usage-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    struct Case {
        std::string args;
        std::string err;  // the start of standard error
    };
    const Case cases[] = {
        {"system", "bench_report: system: a subcommand is required: show, tune or reset\n"},
        {"system tune --root /nonexistent/tree",
         "bench_report: --root: /nonexistent/tree is not a folder\n"},
        {"system shwo", "bench_report: system: unknown subcommand `shwo`; did you mean `show`?\n"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.args);
        Result r = run_in(dir, bench() + " " + k.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(k.err), std::string::npos) << r.err;
    }
    fs::remove_all(dir);
}

// On the live machine tune and reset need root. As root, the test drops to
// nobody to see the refusal; the refusal comes before anything is read.
TEST(SystemCommand, TuneOnTheLiveMachineNeedsRoot) {
    fs::path dir = fs::temp_directory_path() / ("system-root-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);
    std::string as_user = "";
    if (::geteuid() == 0) {
        if (shell("command -v setpriv >/dev/null") != 0)
            GTEST_SKIP() << "setpriv is needed to run as another user";
        as_user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        if (shell(as_user + bench() + " --version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "nobody cannot run " << bench();
    }
    for (const char* command : {"tune", "reset"}) {
        SCOPED_TRACE(command);
        Result r = run_in(dir, as_user + bench() + " system " + command);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string("bench_report: system ") + command +
                             " changes the kernel's settings, which needs root: run it as root "
                             "(sudo bench_report system " +
                             command + ")\n");
        EXPECT_EQ(r.out, "");
    }
    // Show needs nothing but reading.
    EXPECT_EQ(run_in(dir, as_user + bench() + " system show").status, 0);
    fs::remove_all(dir);
}

}  // namespace
