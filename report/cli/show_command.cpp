// `show`: a summary table per file.
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "output/run_tables.h"
#include "output/scaling_view.h"
#include "analysis/scaling.h"
#include "analysis/summary.h"

namespace report {

void add_show_command(CLI::App& app, int& status) {
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
    cmd->callback([o, &status] {
        Loaded loaded = load_inputs(o->inputs, status);
        if (loaded.runs.empty())
            return;
        write_output(o->output, loaded, o->inputs, status, [&](Output& out) {
            std::vector<const Run*> all;
            for (const Run& run : loaded.runs)
                all.push_back(&run);
            if (o->format == "json") {
                out.write(scaling_json(all, sweep_curves(all)));
                return;
            }
            std::vector<Table> tables;
            for (const Run& run : loaded.runs)
                for (Table& t : show_tables(run))
                    tables.push_back(std::move(t));
            for (Table& t : repetition_tables(loaded.runs))
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
    });
}

}  // namespace report
