// bench_processors as a whole process, with short passes: both transcripts,
// the results file, the end of the run and what happens when the file cannot
// be written.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "processors_transcript.h"
#include "run_program.h"

namespace {

const double quick_iterations = 65536;

int team() {
    return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

class ProcessorsProgram : public ::testing::Test {
protected:
    void SetUp() override { options.dir = dir = make_temp_dir(); }
    void TearDown() override { remove_tree(dir); }
    // Runs the program; `start` is the clock just before it starts.
    program_run run() {
        start = std::time(nullptr);
        return run_program(QUICK_PROCESSORS, options);
    }
    // The console transcript followed by the end-of-run lines for `path`.
    std::vector<std::string> console(const std::string& path, bool saved) {
        std::vector<std::string> lines = processors_transcript(team(), true);
        for (const std::string& line : end_lines(path, saved))
            lines.push_back(line);
        return lines;
    }
    // Plants `what` at every name the run may give its file.
    template <typename F>
    void plant(F what) {
        std::time_t now = std::time(nullptr);
        for (std::time_t t = now; t < now + 60; ++t)
            what(results_name("processors", t));
    }
    std::string dir;
    program_options options;
    std::time_t start = 0;
};

TEST_F(ProcessorsProgram, ExactTranscriptsInBothStreams) {
    program_run r = run();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> files = list_dir(dir);
    ASSERT_EQ(files.size(), 1u);
    std::string name = files[0];
    EXPECT_TRUE(name == results_name("processors", start) ||
                name == results_name("processors", start + 1) ||
                name == results_name("processors", start + 2))
        << name;

    std::vector<double> values, file_values;
    EXPECT_TRUE(match_transcript(r.out, console(dir + "/" + name, true), values));
    check_processors_figures(values, team(), quick_iterations);
    EXPECT_TRUE(match_transcript(read_whole(dir + "/" + name), processors_transcript(team(), false),
                                 file_values));
    EXPECT_EQ(values, file_values);
}

TEST_F(ProcessorsProgram, RunInTheSameSecondRewritesTheEarlierFile) {
    plant([&](const std::string& name) {
        std::ofstream(dir + "/" + name) << std::string(100000, '~') << "\n";
    });
    program_run r = run();
    ASSERT_EQ(r.status, 0) << r.err;
    int rewritten = 0;
    for (const std::string& name : list_dir(dir)) {
        std::string text = read_whole(dir + "/" + name);
        if (text.find('~') == std::string::npos) {
            ++rewritten;
            std::vector<double> values;
            EXPECT_TRUE(match_transcript(text, processors_transcript(team(), false), values));
        }
    }
    EXPECT_EQ(rewritten, 1);
}

TEST_F(ProcessorsProgram, SymbolicLinkAtTheNameIsNotFollowed) {
    std::ofstream(dir + "/victim") << "precious\n";
    plant([&](const std::string& name) {
        ASSERT_EQ(symlink("victim", (dir + "/" + name).c_str()), 0);
    });
    program_run r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_whole(dir + "/victim"), "precious\n");
    EXPECT_NE(r.err.find("failed: a symbolic link stands at that name"), std::string::npos)
        << r.err;
    // The console still carries every result, and says nothing was saved.
    std::string end = r.out.substr(r.out.rfind("Results"));
    std::string path = end.substr(end.find(dir), end.find(".txt") + 4 - end.find(dir));
    std::vector<double> values;
    EXPECT_TRUE(match_transcript(r.out, console(path, false), values));
}

TEST_F(ProcessorsProgram, DeviceAtTheNameIsRefused) {
    // The null device: what the run wrote there would vanish unseen.
    int refused = 0;
    plant([&](const std::string& name) {
        if (!refused && mknod((dir + "/" + name).c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
            refused = errno;
    });
    if (refused)
        GTEST_SKIP() << "cannot make a device node here: " << std::strerror(refused);
    program_run r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("\" failed: something other than a regular file stands at that name\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("Results could not be saved in a file; it would have been at: "),
              std::string::npos);
    EXPECT_EQ(r.out.find("Results have been saved"), std::string::npos);
    for (const std::string& name : list_dir(dir)) {
        struct stat st;
        EXPECT_TRUE(lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISCHR(st.st_mode)) << name;
    }
}

TEST_F(ProcessorsProgram, DirectoryWhereNothingCanBeCreated) {
    options.dir = "/proc";
    program_run r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("creating the results file \"results_processors_Linux_x86 @ UTC time "),
              std::string::npos)
        << r.err;
    std::string path = r.out.substr(r.out.find("/proc/"));
    path = path.substr(0, path.find(".txt") + 4);
    std::vector<double> values;
    EXPECT_TRUE(match_transcript(r.out, console(path, false), values));
    check_processors_figures(values, team(), quick_iterations);
}

TEST_F(ProcessorsProgram, WorkingDirectoryRemovedBeforeTheStart) {
    options.remove_dir = true;
    program_run r = run();
    EXPECT_EQ(r.status, 1);
    std::string::size_type at = r.out.find("it would have been at: ./results_processors_Linux_x86");
    EXPECT_NE(at, std::string::npos) << r.out.substr(r.out.size() - 300);
}

TEST_F(ProcessorsProgram, PathLongerThanTheBufferIsPrintedWhole) {
    std::string deep = dir;
    while (deep.size() < 2600) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    }
    options.dir = deep;
    program_run r = run();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("you can find it at: " + deep + "/results_processors_Linux_x86 @ UTC "),
              std::string::npos);
}

TEST_F(ProcessorsProgram, WriteFailureMidRunIsReported) {
    options.file_size_limit = 600;
    program_run r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("writing the results file"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Results could not be saved in a file;"), std::string::npos);
    std::vector<std::string> files = list_dir(dir);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_LE(read_whole(dir + "/" + files[0]).size(), 600u);
}

TEST_F(ProcessorsProgram, WaitsForEnterAndThenExits) {
    options.hold_input = true;
    program_run r = run();
    EXPECT_TRUE(r.waited_for_enter);
    EXPECT_EQ(r.status, 0);
}

}  // namespace
