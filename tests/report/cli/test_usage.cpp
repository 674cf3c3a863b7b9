// Usage errors worded from the parser's error types and the state of the
// options, in process, on an application of the shapes bench_report's
// commands have: a required positional and option, a set of values (one
// holding spaces), options that exclude or need another, a range.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <CLI/CLI.hpp>

#include "cli/usage.h"

namespace {

struct Values {
    std::vector<std::string> paths, kinds;
    std::string output, format, since;
    bool all = false, strict = false;
    std::optional<double> gate;
    int runs = 1;
};

// What the parser's error for `args` is said as; "" when they parse.
std::string said(const std::vector<std::string>& args) {
    CLI::App app{"", "tool"};
    Values v;
    CLI::App* cmd = app.add_subcommand("cmd", "A command");
    cmd->add_option("paths", v.paths, "Paths")->required();
    cmd->add_option("-o,--output", v.output, "Output")->required();
    cmd->add_option("--format", v.format, "Format")->check(report::one_of({"plain text", "json"}));
    cmd->add_option("--kind", v.kinds, "Kinds")
        ->allow_extra_args(false)
        ->check(report::one_of({"a b", "c"}));
    cmd->add_option("--since", v.since, "Since")->excludes(cmd->add_flag("--all", v.all, "All"));
    cmd->add_flag("--strict", v.strict, "Strict")->needs(cmd->add_option("--gate", v.gate, "Gate"));
    cmd->add_option("--runs", v.runs, "Runs")->check(CLI::Range(1, 9));
    app.require_subcommand(1);
    std::vector<std::string> words{"tool"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        return report::usage_message(app, e);
    }
    return "";
}

TEST(Usage, ErrorsAreWordedFromTheirTypeAndTheOptionsState) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<std::string> given{"cmd", "p", "-o", "x"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = given;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const Case cases[] = {
        {{}, "a subcommand is required: cmd"},
        {{"cmd"}, "cmd: no paths given"},
        {{"cmd", "p"}, "cmd --output is required"},
        {with({"--format"}), "cmd --format needs a value"},
        {with({"--format", "yaml"}), "cmd --format yaml: expected plain text or json"},
        {with({"--format", "plain text"}), ""},
        // The first value outside the set, shown escaped.
        {with({"--kind", "a b", "--kind", "d\x1b[1m"}), "cmd --kind d\\x1b[1m: expected a b or c"},
        {with({"--since", "1", "--all"}), "cmd --since excludes --all"},
        {with({"--strict"}), "cmd --strict requires --gate"},
        {with({"--strict", "--gate", "5"}), ""},
        // Another check's own words after the option's name, going on in
        // lower case.
        {with({"--runs", "0"}), "cmd --runs: value 0 not in range 1 to 9"},
        {with({"--fromat", "json"}), "cmd: unknown option --fromat; did you mean --format?"},
        {with({"extra", "--kind"}), "cmd --kind needs a value"},
    };
    for (const Case& c : cases) {
        std::string args;
        for (const std::string& a : c.args)
            args += " " + a;
        EXPECT_EQ(said(c.args), c.message) << "tool" << args;
    }
}

}  // namespace
