// `compare --format markdown`: for a CI job's summary, the gate's verdict and
// the answer first (a summary cut at its size limit keeps them), then the
// tables, and the gate's lines under them, ending in the verdict again.
#include "output/compare_formats.h"
#include "output/text.h"
#include "output/gate_view.h"

namespace report {

std::string compare_markdown(const std::vector<ProgramComparison>& comparisons,
                             const ViewOptions& options) {
    std::string out;
    if (options.gate)
        out += "**" + markdown_escape(verdict_line(*options.gate, comparisons)) + "**\n\n";
    std::vector<std::string> headline = headline_lines(comparisons, options.gate);
    for (const std::string& line : headline)
        out += "- " + markdown_escape(line) + "\n";
    if (!headline.empty())
        out += "\n";
    for (const Table& t : compare_tables(comparisons, options))
        out += render_markdown(t);
    if (options.gate) {
        std::vector<std::string> lines = gate_lines(*options.gate, comparisons);
        out += "### Gate\n\n";
        for (std::size_t k = 0; k + 1 < lines.size(); ++k)
            out += "- " + markdown_escape(lines[k]) + "\n";
        out += (lines.size() > 1 ? "\n**" : "**") + markdown_escape(lines.back()) + "**\n";
    }
    return out;
}

}  // namespace report
