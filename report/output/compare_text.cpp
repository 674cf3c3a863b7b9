// `compare --format text`: the tables as a terminal shows them. The answer
// first and the gate's verdict last fit the terminal's width, wrapped at
// spaces with every name whole; in the fleet layout titles and notes are
// wrapped too, and the table fitted without cutting a run's name (table.h).
#include "output/compare_formats.h"
#include "output/text.h"
#include "output/gate_view.h"

#include <algorithm>
#include <string>
#include <vector>

namespace report {

// Each line of `text` wrapped at spaces to `width`.
std::string wrap_lines(const std::string& text, std::size_t width) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out += wrap_words(text.substr(start, end - start), width) + "\n";
    return out + wrap_words(text.substr(start), width);
}

std::string compare_text(const std::vector<ProgramComparison>& comparisons,
                         const ViewOptions& asked) {
    ViewOptions options = asked;
    options.narrow = true;
    bool fleet = fleet_layout(comparisons, options);
    bool narrow = !fleet && narrow_wanted(comparisons, options);
    std::string out;
    for (const std::string& line : headline_lines(comparisons, options.gate))
        out += wrap_words(line, options.width) + "\n";
    for (Table t : compare_tables(comparisons, options)) {
        if (!out.empty())
            out += "\n";
        if (fleet || narrow) {
            // Every line fits the width: title and notes wrapped, and the
            // table fitted to what is left (a figure in words may be cut in
            // the fleet layout; the narrow one's ratios never are).
            t.title = wrap_lines(t.title, options.width);
            for (std::string& n : t.notes)
                n = wrap_words(n, options.width);
            out += render_text(t, options.width, options.colour,
                               fleet ? LastColumn::may_cut : LastColumn::whole);
        } else {
            out += render_text(t, options.colour);
        }
    }
    if (options.gate) {
        // The verdict's lines fit the width in either layout.
        out += "\n";
        for (const std::string& l : gate_lines(*options.gate, comparisons))
            out += wrap_words(l, options.width) + "\n";
    }
    return out;
}

}  // namespace report
