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
std::vector<CLI::App*> chosen_commands(CLI::App& app) {
    std::vector<CLI::App*> chain{&app};
    for (;;) {
        std::vector<CLI::App*> subs = chain.back()->get_subcommands();
        if (subs.empty())
            return chain;
        chain.push_back(subs.front());
    }
}

// "system tune": the words that chose the command, empty for the application.
std::string command_words(const std::vector<CLI::App*>& chain) {
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

// The options of the commands chosen, the innermost command's first.
std::vector<CLI::Option*> chosen_options(const std::vector<CLI::App*>& chain) {
    std::vector<CLI::Option*> options;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        for (CLI::Option* option : (*it)->get_options())
            options.push_back(option);
    return options;
}

// The option an error is about. CLI11 raises an option's error under the
// option's name (Option::get_name), as the first words of its text: the
// option whose name that is, the longest such, and what its text says after
// "NAME: " (or after NAME alone).
struct Concerned {
    CLI::Option* option = nullptr;
    std::string name;
    std::string said;
};
Concerned concerned_option(const std::vector<CLI::Option*>& options, const CLI::Error& e) {
    std::string_view what = e.what();
    Concerned found;
    for (CLI::Option* option : options) {
        std::string name = option->get_name();
        if (name.empty() || name.size() <= found.name.size() ||
            what.substr(0, name.size()) != name ||
            (what.size() > name.size() && what[name.size()] != ':' && what[name.size()] != ' '))
            continue;
        found.option = option;
        found.name = name;
    }
    if (found.option) {
        std::string_view rest = what.substr(found.name.size());
        rest.remove_prefix(std::min(rest.find_first_not_of(": "), rest.size()));
        found.said = std::string(rest);
    }
    return found;
}

// Words that go on after a name, in lower case as a message goes on ("Value x
// not in range" becomes "value x not in range"), unless the first word is
// all capitals.
std::string going_on(std::string words) {
    if (words.size() > 1 && !std::isupper(static_cast<unsigned char>(words[1])))
        words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
    return words;
}

constexpr const char* one_of_name = "one of";

// A value outside the set an option takes (one_of): "NAME VALUE: expected a
// or b", the first value given that is not in it.
std::optional<std::string> outside_set(CLI::Option& option, const std::string& name) {
    CLI::Validator* check = nullptr;
    try {
        check = option.get_validator(one_of_name);
    } catch (const CLI::OptionNotFound&) {
        return std::nullopt;
    }
    for (const std::string& value : option.results()) {
        std::string checked = value;
        std::string refusal = (*check)(checked);
        if (!refusal.empty())
            return fmt::format("{} {}: {}", name, escape_path(value), refusal);
    }
    return std::nullopt;
}

// What the parser found of the options as given, from their state: a
// required option or positional not given ("no paths given", "--output is
// required"), an option given that excludes another one given, or that
// needs one not given.
std::optional<std::string> requirement(const CLI::Error& e,
                                       const std::vector<CLI::Option*>& options) {
    bool required = dynamic_cast<const CLI::RequiredError*>(&e) != nullptr;
    bool excludes = dynamic_cast<const CLI::ExcludesError*>(&e) != nullptr;
    bool needs = dynamic_cast<const CLI::RequiresError*>(&e) != nullptr;
    for (const CLI::Option* option : options) {
        if (required && option->get_required() && option->count() == 0)
            return option->nonpositional() ? option->get_name() + " is required"
                                           : "no " + option->get_name(true) + " given";
        if (option->count() == 0)
            continue;
        for (const CLI::Option* other : option->get_excludes())
            if (excludes && other->count() > 0)
                return option->get_name() + " excludes " + other->get_name();
        for (const CLI::Option* other : option->get_needs())
            if (needs && other->count() == 0)
                return option->get_name() + " requires " + other->get_name();
    }
    return std::nullopt;
}

// What the parser refused, worded from the error's type and the state of
// the options it concerns: a value missing, a value outside a set, a
// requirement of the options; else the check's own words after the option's
// name, or the parser's sentence.
std::string reworded(const CLI::ParseError& e, const std::vector<CLI::App*>& chain) {
    std::vector<CLI::Option*> options = chosen_options(chain);
    if (auto m = requirement(e, options))
        return *m;
    Concerned concerned = concerned_option(options, e);
    if (!concerned.option)
        return escape_path(going_on(e.what()));
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && concerned.option->count() == 0)
        return concerned.name + " needs a value";
    if (dynamic_cast<const CLI::ValidationError*>(&e))
        if (auto m = outside_set(*concerned.option, concerned.name))
            return *m;
    return escape_path(concerned.name + ": " + going_on(concerned.said));
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

std::string usage_message(CLI::App& app, const CLI::ParseError& e) {
    std::vector<CLI::App*> chain = chosen_commands(app);
    std::string words = command_words(chain);
    // What a command did not expect explains the rest (a subcommand then
    // missing, a path then required): it is said first.
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        std::vector<std::string> extras = (*it)->remaining(false);
        if (!extras.empty()) {
            std::string at = command_words(std::vector<CLI::App*>(chain.begin(), it.base()));
            return command_message(at, unexpected(**it, at, extras));
        }
    }
    const CLI::App& innermost = *chain.back();
    if (dynamic_cast<const CLI::RequiredError*>(&e) && innermost.get_require_subcommand_min() > 0 &&
        innermost.get_subcommands().empty())
        return command_message(words,
                               "a subcommand is required: " + listed(subcommand_names(innermost)));
    return command_message(words, reworded(e, chain));
}

CLI::Validator one_of(const std::vector<std::string>& names) {
    // Described in the help as the set it takes, "{a,b,c}".
    std::string set;
    for (const std::string& name : names)
        set += (set.empty() ? "" : ",") + name;
    return CLI::Validator(
        [names](std::string& value) -> std::string {
            if (std::find(names.begin(), names.end(), value) != names.end())
                return {};
            return "expected " + listed(names);
        },
        "{" + set + "}", one_of_name);
}

}  // namespace report
