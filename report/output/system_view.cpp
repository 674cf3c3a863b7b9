#include "output/system_view.h"
#include "output/table.h"
#include "output/text.h"

#include <cstring>

#include <fmt/format.h>

namespace report {

namespace {

// Values read from /proc and /sys are shown escaped: a captured tree, or a
// driver, could put anything there.
std::string shown(const std::string& text) {
    return escape_path(text);
}

std::string values(std::size_t n) {
    return fmt::format("{} value{}", n, n == 1 ? "" : "s");
}

}  // namespace

std::string show_system_text(const std::vector<SystemFinding>& findings,
                             const std::optional<TuneState>& state, const std::string& state_file,
                             std::size_t width) {
    Table table;
    table.title =
        "What may disturb a measurement here (! marks it), and what "
        "`bench_report system tune` does about it";
    // The mark leads the setting's cell, so a narrow terminal keeps the two
    // on one line, whole, the values under them.
    table.header = {"   setting", "now", "tune"};
    std::vector<std::string> reasons, missing;
    for (const SystemFinding& f : findings) {
        if (f.level == SystemFinding::Level::not_exposed) {
            missing.push_back(fmt::format("  {}: {}", f.subject, shown(f.now)));
            continue;
        }
        bool disturbs = f.level == SystemFinding::Level::disturbs;
        table.rows.push_back({(disturbs ? "!  " : "   ") + shown(f.subject), shown(f.now),
                              f.tune.empty() ? "nothing to change" : shown(f.tune)});
        if (disturbs && !f.why.empty())
            reasons.push_back(fmt::format("! {}: {}{}", shown(f.subject), f.why,
                                          f.by_hand.empty() ? "" : "; what to do: " + f.by_hand));
    }
    std::string out = wrap_words(table.title, width) + "\n";
    table.title.clear();
    out += render_text(table, width, false);
    if (!reasons.empty()) {
        out += "\n";
        for (const std::string& r : reasons)
            out += wrap_words(r, width) + "\n";
    }
    if (!missing.empty()) {
        out += "\nNot exposed on this machine:\n";
        for (const std::string& m : missing)
            out += wrap_words(m, width, 4) + "\n";
    }
    out += "\n";
    std::string tuned;
    if (state && !state->changes.empty())
        tuned = fmt::format(
            "Tuned by `bench_report system tune`{}: `bench_report system reset` "
            "puts back {} ({}).\n",
            state->tuned_at ? " at " + shown(*state->tuned_at) : "", values(state->changes.size()),
            shown(state_file));
    else
        tuned = fmt::format("Not tuned by `bench_report system tune` (no changes in {}).\n",
                            shown(state_file));
    return out + wrap_words(tuned, width);
}

std::string tune_text(const TuneResult& result, const std::string& state_file) {
    std::string out;
    for (const Change& c : result.changed)
        out += fmt::format("{}: {} -> {}\n", c.path, shown(c.before), shown(c.after));
    if (result.failed)
        return out;
    if (!result.changed.empty())
        out += fmt::format(
            "tuned: {} changed, remembered in {}; `bench_report system reset` "
            "puts them back\n",
            values(result.changed.size()), shown(state_file));
    else if (!result.exposed)
        out +=
            "nothing to change: this machine exposes no frequency governor, minimum "
            "frequency or boost switch (on a virtual machine the host sets the clock)\n";
    else
        out += fmt::format(
            "nothing to change: the governors, minimum frequencies and boost are already as "
            "tune sets them{}\n",
            result.state_kept
                ? fmt::format(" (an earlier tune's values are in {}, for reset)", shown(state_file))
                : "");
    return out;
}

std::vector<std::string> tune_errors(const TuneResult& result) {
    std::vector<std::string> out;
    auto describe = [](const Failure& f) {
        return f.error ? fmt::format("cannot write {}: {}", shown(f.path), std::strerror(f.error))
                       : shown(f.message);
    };
    if (result.failed) {
        std::string after =
            result.put_back + result.left_changed.size() == 0
                ? "nothing was changed"
                : fmt::format("put back the {} tune had changed", values(result.put_back));
        if (!result.left_changed.empty())
            after += fmt::format(", but not {}", values(result.left_changed.size()));
        out.push_back(fmt::format("{}; {}", describe(*result.failed), after));
    }
    for (const Failure& f : result.not_put_back) {
        if (f.error == 0) {
            out.push_back(describe(f));
            continue;
        }
        Change left{f.path, "?", "?"};
        for (const Change& c : result.left_changed)
            if (c.path == f.path)
                left = c;
        out.push_back(fmt::format("cannot put back {} (it holds {}, was {}): {}{}", shown(f.path),
                                  shown(left.after), shown(left.before), std::strerror(f.error),
                                  result.state_kept ? "; the state file keeps it for reset" : ""));
    }
    return out;
}

std::string reset_text(const ResetResult& result, const std::string& state_file) {
    if (!result.found)
        return fmt::format(
            "nothing to reset: no state file at {} (tune changed nothing, or it "
            "was reset already)\n",
            shown(state_file));
    std::string out;
    std::size_t put_back = 0, kept = 0;
    for (const ResetStep& s : result.steps) {
        const Change& c = s.change;
        switch (s.outcome) {
            case ResetStep::Outcome::put_back:
                ++put_back;
                out += fmt::format("{}: {} -> {}\n", c.path, shown(c.after), shown(c.before));
                break;
            case ResetStep::Outcome::already:
                out += fmt::format("{}: already {}\n", c.path, shown(c.before));
                break;
            case ResetStep::Outcome::changed_since:
                out += fmt::format("{}: now {}, not the {} tune set: left as it is (it was {})\n",
                                   c.path, shown(s.now), shown(c.after), shown(c.before));
                break;
            case ResetStep::Outcome::gone:
                out += fmt::format("{}: no longer there: nothing to put back\n", c.path);
                break;
            case ResetStep::Outcome::unreadable:
            case ResetStep::Outcome::failed: ++kept; break;
        }
    }
    if (kept == 0 && !result.state_error)
        out += fmt::format("reset: {} put back; {} removed\n", values(put_back), shown(state_file));
    else if (kept > 0)
        out += fmt::format("reset: {} put back; {} kept in {} for another reset\n",
                           values(put_back), values(kept), shown(state_file));
    else
        out += fmt::format("reset: {} put back\n", values(put_back));
    return out;
}

std::vector<std::string> reset_errors(const ResetResult& result, const std::string& state_file) {
    std::vector<std::string> out;
    for (const ResetStep& s : result.steps) {
        if (s.outcome == ResetStep::Outcome::failed)
            out.push_back(fmt::format("cannot put back {} (it holds {}, was {}): {}", s.change.path,
                                      shown(s.now), shown(s.change.before),
                                      std::strerror(s.error)));
        else if (s.outcome == ResetStep::Outcome::unreadable)
            out.push_back(fmt::format("cannot read {}: it stays in {} for another reset",
                                      s.change.path, shown(state_file)));
    }
    if (result.state_error)
        out.push_back(shown(*result.state_error));
    return out;
}

}  // namespace report
