#include "cli/gate_options.h"

#include <fmt/format.h>

#include "cli/cli.h"
#include "output/gate_view.h"
#include "output/text.h"

namespace report {

void add_gate_options(CLI::App* cmd, GateOptions& o) {
    CLI::Option* gate =
        cmd->add_option("--fail-if-worse", o.fail_if_worse,
                        "Exit 3 when a label is shown to need more than (1 + PERCENT/100) times the "
                        "baseline's time; exit 0 when every label is shown to need at most that "
                        "(with 3 or more repetitions a side: one test each way per program and "
                        "label, 5% familywise error; with fewer: the band alone, said untested); "
                        "exit 4 (no verdict) when the repetitions cannot tell or the comparison lacks "
                        "what a verdict needs")
            ->check(percentage());
    cmd->add_flag("--strict", o.strict,
                  "With --fail-if-worse: no verdict (exit 4) when a repetition was recorded with "
                  "machine warnings")
        ->needs(gate);
    cmd->add_flag("--accept-inconclusive", o.accept_inconclusive,
                  "With --fail-if-worse: count a label whose repetitions cannot tell a PERCENT "
                  "slowdown from noise as a pass, said \"accepted\"")
        ->needs(gate);
}

std::optional<GateVerdict> gate_verdict(const GateOptions& o,
                                        const std::vector<ProgramComparison>& comparisons,
                                        const std::vector<MissingProgram>& missing,
                                        const std::vector<std::string>& input_paths) {
    if (!o.fail_if_worse)
        return std::nullopt;
    return decide_gate(comparisons, missing, input_paths, *o.fail_if_worse, o.strict,
                       o.accept_inconclusive);
}

Result finish_gate(const std::optional<GateVerdict>& verdict,
                   const std::vector<ProgramComparison>& comparisons,
                   const std::vector<MissingProgram>& missing,
                   const std::vector<std::string>& input_paths) {
    if (!verdict) {
        // Without a gate an input missing a program is still said.
        for (const MissingProgram& m : missing)
            error(fmt::format("{}: no run of {}, which the baseline has",
                              escape_path(input_paths[m.input]), program_name(m.program)));
        return std::nullopt;
    }
    for (const std::string& line : gate_lines(*verdict, comparisons))
        error(line);
    // No verdict has a status of its own, apart from the usage errors and
    // unreadable inputs of 2.
    if (verdict->outcome == GateVerdict::Outcome::no_verdict)
        return Failed(Exit::no_verdict);
    if (verdict->outcome == GateVerdict::Outcome::fail)
        return Failed(Exit::gate);
    return std::nullopt;
}

}  // namespace report
