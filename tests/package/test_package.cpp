// The manual pages and the bash completion, met the way a user meets them:
// pages rendered by man, completion run by bash against the live --help.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string shell_quoted(const std::string& text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct shell_run {
    int status = -1;
    std::string out, err;
};

// Runs a command line under /bin/sh, collecting both output streams.
shell_run shell(const std::string& command)
{
    char err_name[] = "/tmp/package-tests-XXXXXX";
    int fd = mkstemp(err_name);
    if (fd < 0)
        return {};
    close(fd);
    shell_run run;
    FILE* pipe = popen((command + " 2>" + shell_quoted(err_name)).c_str(), "r");
    if (pipe) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            run.out.append(buffer, n);
        int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::ifstream err(err_name);
    run.err.assign(std::istreambuf_iterator<char>(err), {});
    unlink(err_name);
    return run;
}

struct help_text {
    std::vector<std::string> options, subcommands;
};

// The option names and subcommands a --help lists: the entries of its
// "Options:" and "Subcommands:" sections, each two spaces in.
help_text help_of(const std::string& subcommand)
{
    shell_run run = shell(shell_quoted(BENCH_REPORT) + " " + subcommand + " --help");
    EXPECT_EQ(run.status, 0) << subcommand << " --help: " << run.err;
    help_text help;
    std::istringstream lines(run.out);
    std::string line, section;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != ' ') {
            section = line;
            continue;
        }
        if (line.size() < 3 || line.compare(0, 2, "  ") != 0 || line[2] == ' ')
            continue;
        std::string names = line.substr(2, line.find(' ', 2) - 2);
        if (section == "Subcommands:")
            help.subcommands.push_back(names);
        if (section != "Options:")
            continue;
        std::istringstream each(names);
        std::string name;
        while (std::getline(each, name, ','))
            help.options.push_back(name);
    }
    return help;
}

// The page as man shows it on an 80-column UTF-8 terminal, with its lines
// joined; man's warnings about the source fail the test.
std::string render(const std::string& page)
{
    shell_run run = shell("LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l " +
                          shell_quoted(std::string(MANUAL_PAGES) + "/" + page + ".1"));
    EXPECT_EQ(run.status, 0) << page;
    EXPECT_EQ(run.err, "") << page << ": man's warnings";
    std::string joined;
    for (char c : run.out)
        if (!isspace(static_cast<unsigned char>(c)))
            joined += c;
        else if (joined.empty() || joined.back() != ' ')
            joined += ' ';
    return joined;
}

// True when `name` stands in `text` as a word of its own: an option is not
// found inside a longer one (--format inside --formats, -o inside -on).
bool has_word(const std::string& text, const std::string& name)
{
    auto part_of_name = [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '-'; };
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        size_t end = at + name.size();
        if ((at == 0 || !part_of_name(text[at - 1])) &&
            (end == text.size() || !part_of_name(text[end])))
            return true;
    }
    return false;
}

TEST(ManualPages, RenderCleanlyWithTheirSectionsAndTheToolsVersion)
{
    shell_run version = shell(shell_quoted(BENCH_REPORT) + " --version");
    ASSERT_EQ(version.status, 0);
    std::string number = version.out.substr(version.out.rfind(' ') + 1);
    number.erase(number.find_last_not_of('\n') + 1);
    ASSERT_FALSE(number.empty());

    for (std::string page : {"bench_processors", "bench_memory", "bench_report"}) {
        std::string text = render(page);
        for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "FILES", "EXIT STATUS",
                                    "EXAMPLES", "SEE ALSO"})
            EXPECT_TRUE(has_word(text, section)) << page << " lacks " << section;
        EXPECT_TRUE(has_word(text, page + " -")) << page << ": no name line";
        EXPECT_NE(text.find("ombrelune-bench " + number), std::string::npos)
            << page << " does not carry version " << number;
        // No word is hyphenated at a line's end, so an option or a file name
        // is whole wherever a user copies it from.
        EXPECT_EQ(text.find("\u2010"), std::string::npos) << page << ": a hyphenated word";
    }
}

TEST(ManualPages, BenchReportPageHasEverySubcommandAndOptionOfTheHelp)
{
    std::string page = render("bench_report");
    help_text top = help_of("");
    ASSERT_FALSE(top.subcommands.empty());
    std::vector<std::string> missing;
    for (const std::string& name : top.options)
        if (!has_word(page, name))
            missing.push_back(name);
    for (const std::string& subcommand : top.subcommands) {
        if (!has_word(page, "bench_report " + subcommand))
            missing.push_back("subcommand " + subcommand);
        for (const std::string& name : help_of(subcommand).options)
            if (!has_word(page, name))
                missing.push_back(subcommand + " " + name);
    }
    std::string list;
    for (const std::string& name : missing)
        list += "\n  " + name;
    EXPECT_TRUE(missing.empty()) << "bench_report(1) does not describe:" << list;
}

class Completion : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/package-completion-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        // The results files' names end in a newline and ".txt".
        ASSERT_EQ(shell("cd " + shell_quoted(dir) + " && mkdir -p 'runs/host a' runs/host-b && "
                        "touch \"runs/host a/results_memory_Linux_x86 @ UTC time x\n.txt\" "
                        "runs/host-b/notes")
                      .status,
                  0);
        // A program whose option takes values with spaces in them.
        std::ofstream fake(dir + "/spaced");
        fake << "#!/bin/sh\necho 'Options:'\necho '  --figure TEXT:{single rate,overall rate} ...'\n";
        fake.close();
        ASSERT_EQ(chmod((dir + "/spaced").c_str(), 0755), 0);
    }
    void TearDown() override { shell("rm -rf " + shell_quoted(dir)); }

    // What the completion offers for the words typed so far, the last being
    // the one under the cursor; sorted.
    std::set<std::string> complete(const std::vector<std::string>& words)
    {
        std::string array;
        for (const std::string& word : words)
            array += " " + shell_quoted(word);
        std::string program = BENCH_REPORT;
        std::string script = "source " + shell_quoted(COMPLETION) + "\n" + "COMP_WORDS=(" + array +
                             ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) +
                             "\n_bench_report\nprintf '%s\\0' \"${COMPREPLY[@]}\"";
        shell_run run =
            shell("cd " + shell_quoted(dir) + " && PATH=" +
                  shell_quoted(program.substr(0, program.rfind('/'))) + ":$PATH bash -c " +
                  shell_quoted(script));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        std::set<std::string> offered;
        std::istringstream each(run.out);
        std::string item;
        while (std::getline(each, item, '\0'))
            if (!item.empty())
                offered.insert(item);
        return offered;
    }

    std::string dir;
};

TEST_F(Completion, OffersSubcommandsOptionsFormatValuesAndPaths)
{
    help_text top = help_of("");
    std::set<std::string> subcommands(top.subcommands.begin(), top.subcommands.end());
    EXPECT_EQ(complete({"bench_report", ""}), subcommands);

    using S = std::set<std::string>;
    struct {
        std::vector<std::string> words;
        S expected;
    } cases[] = {
        {{"bench_report", "ex"}, S{"export"}},
        {{"bench_report", "export", "--f"}, S{"--format"}},
        {{"bench_report", "export", "--format", ""}, S{"benchmark-action", "bmf", "csv", "json", "openmetrics"}},
        {{"bench_report", "export", "--format", "=", "j"}, S{"json"}},
        {{"bench_report", "export", "runs", "--format", "c"}, S{"csv"}},
        {{"bench_report", "compare", "--fail"}, S{"--fail-if-worse"}},
        {{"bench_report", "compare", "--noise", ""}, S{}},
        {{"bench_report", "chart", "-o", "runs/host-"}, S{"runs/host-b"}},
        {{"bench_report", "show", "ru"}, S{"runs"}},
        {{"bench_report", "system", ""}, S{"reset", "show", "tune"}},
        {{"bench_report", "system", "tune", "--st"}, S{"--state-file"}},
        {{"bench_report", "show", "runs/host\\ a/"},
         S{"runs/host a/results_memory_Linux_x86 @ UTC time x\n.txt"}},
        {{"bench_report", "list", "'runs/host a/res"},
         S{"runs/host a/results_memory_Linux_x86 @ UTC time x\n.txt"}},
        {{dir + "/spaced", "--figure", "ov"}, S{"overall\\ rate"}},
        {{dir + "/spaced", "--figure", "'single r"}, S{"single rate"}},
    };
    for (const auto& c : cases) {
        std::string typed;
        for (const std::string& word : c.words)
            typed += word + " ";
        EXPECT_EQ(complete(c.words), c.expected) << typed;
    }
}

}  // namespace
