#include "cli/usage.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "output/text.h"

namespace report {

namespace {

// Edits (insert, delete, replace, or swap two neighbours) from `a` to `b`.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The subcommands named on the command line, the application first.
std::vector<const CLI::App*> chosen_commands(const CLI::App& app) {
    std::vector<const CLI::App*> chain{&app};
    for (;;) {
        std::vector<CLI::App*> subs = chain.back()->get_subcommands();
        if (subs.empty())
            return chain;
        chain.push_back(subs.front());
    }
}

// "system tune": the words that chose the command, empty for the application.
std::string command_words(const std::vector<const CLI::App*>& chain) {
    std::string words;
    for (std::size_t k = 1; k < chain.size(); ++k)
        words += (words.empty() ? "" : " ") + chain[k]->get_name();
    return words;
}

// The options a command takes, as they are written: "--output", "-o".
std::vector<std::string> option_names(const CLI::App& command) {
    std::vector<std::string> names;
    for (const CLI::Option* option : command.get_options()) {
        if (option->get_group().empty())  // hidden
            continue;
        for (const std::string& name : option->get_lnames())
            names.push_back("--" + name);
        for (const std::string& name : option->get_snames())
            names.push_back("-" + name);
    }
    return names;
}

// "a, b or c" (or "a, b and c").
std::string listed(const std::vector<std::string>& names, std::string_view last = " or ") {
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k)
        text += (k == 0 ? "" : k + 1 == names.size() ? std::string(last) : ", ") + names[k];
    return text;
}

// What a command did not expect: an option it does not take (with the
// nearest it does), a subcommand it does not have, or arguments too many.
std::string unexpected(const CLI::App& command, const std::string& words,
                       const std::vector<std::string>& extras) {
    const std::string& first = extras.front();
    std::string help = words.empty() ? "bench_report --help" : "bench_report " + words + " --help";
    if (first.size() > 1 && first[0] == '-') {
        std::string name = first.substr(0, first.find('='));
        std::string near = nearest_name(name, option_names(command));
        return near.empty() ? fmt::format("unknown option {}; run {} for the list",
                                          escape_path(name), help)
                            : fmt::format("unknown option {}; did you mean {}?",
                                          escape_path(name), near);
    }
    std::vector<std::string> subcommands = subcommand_names(command);
    if (!subcommands.empty()) {
        std::string near = nearest_name(first, subcommands);
        return near.empty() ? fmt::format("unknown subcommand `{}`; run {} for the list",
                                          escape_path(first), help)
                            : fmt::format("unknown subcommand `{}`; did you mean `{}`?",
                                          escape_path(first), near);
    }
    std::vector<std::string> quoted;
    for (const std::string& extra : extras)
        quoted.push_back("`" + escape_path(extra) + "`");
    return fmt::format("unexpected argument{} {}", extras.size() > 1 ? "s" : "", listed(quoted, " and "));
}

// "NAME ... missing" (a value missing): "NAME needs a value".
std::optional<std::string> missing_value(const CLI::ParseError& e, const std::string& name,
                                         const std::string& rest) {
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && !name.empty() && rest.size() > 8 &&
        rest.compare(rest.size() - 8, 8, " missing") == 0)
        return name + " needs a value";
    return std::nullopt;
}

// "NAME: VALUE not in {a,b}": "NAME VALUE: expected a or b".
std::optional<std::string> outside_set(const CLI::ParseError& e, const std::string& name,
                                       const std::string& rest) {
    std::size_t not_in = rest.find(" not in {");
    if (!dynamic_cast<const CLI::ValidationError*>(&e) || not_in == std::string::npos ||
        rest.back() != '}')
        return std::nullopt;
    std::string set = rest.substr(not_in + 9, rest.size() - not_in - 10);
    std::replace(set.begin(), set.end(), ',', ' ');
    std::vector<std::string> members;
    for (std::size_t s = 0, e2; s < set.size(); s = e2 + 1) {
        e2 = std::min(set.find(' ', s), set.size());
        members.push_back(set.substr(s, e2 - s));
    }
    return fmt::format("{} {}: expected {}", name, escape_path(rest.substr(0, not_in)),
                       listed(members));
}

// "paths is required" (a positional missing): "no paths given".
std::optional<std::string> missing_positional(const CLI::ParseError& e, const std::string& what) {
    constexpr std::string_view required = " is required";
    if (dynamic_cast<const CLI::RequiredError*>(&e) && what.find(": ") == std::string::npos &&
        what.size() > required.size() && what[0] != '-' &&
        what.compare(what.size() - required.size(), required.size(), required) == 0 &&
        what.find(' ') == what.size() - required.size())
        return "no " + what.substr(0, what.size() - required.size()) + " given";
    return std::nullopt;
}

// CLI11's own sentence, reworded where it reads as the parser's rather than
// the tool's: a missing value, a value outside a set, a missing positional.
std::string reworded(const CLI::ParseError& e) {
    std::string what = e.what();
    std::size_t colon = what.find(": ");
    std::string name = colon == std::string::npos ? "" : what.substr(0, colon);
    std::string rest = colon == std::string::npos ? what : what.substr(colon + 2);
    if (auto m = missing_value(e, name, rest))
        return *m;
    if (auto m = outside_set(e, name, rest))
        return *m;
    if (auto m = missing_positional(e, what))
        return *m;
    // "--runs: Value x not in range 1 to 1000": the sentence after the
    // name in lower case, as a message goes on.
    std::string& sentence = name.empty() || name[0] != '-' ? what : rest;
    if (sentence.size() > 1 && !std::isupper(static_cast<unsigned char>(sentence[1])))
        sentence[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(sentence[0])));
    return escape_path(&sentence == &rest ? name + ": " + rest : what);
}

// The message about command `words`: "export --format needs a value",
// "history: no paths given", or the message alone for the application.
std::string command_message(const std::string& words, const std::string& message) {
    if (words.empty())
        return message;
    return words + (message[0] == '-' ? " " : ": ") + message;
}

}  // namespace

std::string nearest_name(std::string_view word, const std::vector<std::string>& candidates) {
    std::size_t letters = word.size() - std::min(word.find_first_not_of('-'), word.size());
    std::string best;
    std::size_t best_distance = 3;
    for (const std::string& candidate : candidates) {
        std::size_t d = edit_distance(word, candidate);
        if (d < best_distance && 2 * d <= letters) {
            best_distance = d;
            best = candidate;
        }
    }
    return best;
}

std::vector<std::string> subcommand_names(const CLI::App& command) {
    std::vector<std::string> names;
    for (const CLI::App* sub : command.get_subcommands({}))
        if (!sub->get_group().empty())
            names.push_back(sub->get_name());
    return names;
}

std::string usage_message(const CLI::App& app, const CLI::ParseError& e) {
    std::vector<const CLI::App*> chain = chosen_commands(app);
    std::string words = command_words(chain);
    // What a command did not expect explains the rest (a subcommand then
    // missing, a path then required): it is said first.
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        std::vector<std::string> extras = (*it)->remaining(false);
        if (!extras.empty()) {
            std::string at =
                command_words(std::vector<const CLI::App*>(chain.begin(), it.base()));
            return command_message(at, unexpected(**it, at, extras));
        }
    }
    if (dynamic_cast<const CLI::RequiredError*>(&e) &&
        std::string_view(e.what()) == "A subcommand is required")
        return command_message(words,
                     "a subcommand is required: " + listed(subcommand_names(*chain.back())));
    return command_message(words, reworded(e));
}

}  // namespace report
