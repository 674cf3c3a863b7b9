// `show`: a summary table per file.
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "output/run_tables.h"
#include "output/scaling_view.h"
#include "analysis/scaling.h"
#include "analysis/summary.h"

namespace report {

namespace {

// Each run's tables, a note said once for the repetitions of a label: the
// machine's paragraphs (its hypervisor, NUMA nodes, clock, where the threads
// ran) and the findings that agree from one repetition to the next are not
// said again; a table that loses some says where they are.
std::vector<Table> each_run_tables(const std::vector<Run>& runs) {
    std::map<std::string, std::size_t> repetitions;
    for (const Run& run : runs)
        ++repetitions[run.label + '\0' + program_name(run.program)];
    std::map<std::string, std::set<std::string>> said;
    std::vector<Table> out;
    for (const Run& run : runs) {
        std::vector<Table> tables = show_tables(run);
        std::string key = run.label + '\0' + program_name(run.program);
        for (std::size_t k = 0; k < tables.size(); ++k) {
            Table& t = tables[k];
            if (run.label.empty() || repetitions[key] < 2) {
                out.push_back(std::move(t));
                continue;
            }
            auto [at, first] = said.try_emplace(key + '\0' + std::to_string(k));
            std::vector<std::string> notes;
            for (std::string& n : t.notes)
                if (at->second.insert(n).second)
                    notes.push_back(std::move(n));
            if (!first && notes.size() < t.notes.size())
                notes.push_back("Its other notes as for the label's first repetition above.");
            t.notes = std::move(notes);
            out.push_back(std::move(t));
        }
    }
    return out;
}

}  // namespace

void add_show_command(CLI::App& app, Commands& commands) {
    struct Options {
        Inputs inputs;
        std::string output;
        std::string format = "text";
    };
    auto o = std::make_shared<Options>();
    auto* cmd = app.add_subcommand(
        "show",
        "A summary table per file: single-thread and overall rates, improvement, parallel "
        "efficiency, per-thread minimum, median and maximum, spread, MB/s, and the "
        "consistency findings; then, for runs that share a label (repetitions), each "
        "figure's median, minimum, maximum, coefficient of variation and count.");
    add_inputs(cmd, o->inputs, true);
    add_output(cmd, o->output);
    // json: each run's scaling explained and each sweep's curve, the numbers
    // the text prints.
    add_format(cmd, o->format, {"text", "json"});
    commands.add(cmd, [o]() -> Result {
        Expected<Read> read = load_inputs(o->inputs);
        if (!read)
            return read.failure();
        const Loaded& loaded = read->loaded;
        Result written = write_output(o->output, loaded, o->inputs, [&](Output& out) {
            std::vector<const Run*> all;
            for (const Run& run : loaded.runs)
                all.push_back(&run);
            if (o->format == "json") {
                out.write(scaling_json(all, sweep_curves(all)));
                return;
            }
            // A label's summary over its repetitions first, then each run.
            std::vector<Table> tables = repetition_tables(loaded.runs);
            for (Table& t : each_run_tables(loaded.runs))
                tables.push_back(std::move(t));
            for (Table& t : curve_tables(sweep_curves(all)))
                tables.push_back(std::move(t));
            bool first = true;
            for (const Table& t : tables) {
                if (!first)
                    out.write("\n");
                first = false;
                // Title and notes wrapped at spaces, the table fitted.
                Table fitted = t;
                fitted.title = wrap_words(t.title, out.text_width());
                for (std::string& note : fitted.notes)
                    note = wrap_words(note, out.text_width());
                out.write(render_text(fitted, out.text_width(), false));
            }
        });
        return written ? written : read->unread;
    });
}

}  // namespace report
