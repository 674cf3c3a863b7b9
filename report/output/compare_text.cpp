// `compare --format text`: the tables as a terminal shows them. In the
// fleet layout every line fits the terminal's width: titles and notes are
// wrapped, and the table fitted without cutting a run's name (table.h).
#include "output/compare_formats.h"
#include "output/text.h"
#include "output/gate_view.h"

#include <algorithm>
#include <string>
#include <vector>

namespace report {

namespace {

// Splits `text` into lines of at most `width` display columns at spaces;
// continuation lines are indented by `indent`.
void wrap(const std::string& text, std::size_t width, std::size_t indent,
          std::vector<std::string>& out) {
    std::string line;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(' ', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string word = text.substr(pos, end - pos);
        pos = end + 1;
        std::string candidate = line.empty() ? word : line + " " + word;
        if (!line.empty() && display_width(candidate) > width) {
            out.push_back(line);
            line = std::string(indent, ' ') + word;
        } else {
            line = candidate;
        }
        // A word longer than the width is cut.
        while (display_width(line) > width && line.size() > indent + 1) {
            std::size_t cut = width;
            while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
                --cut;
            out.push_back(line.substr(0, cut));
            line = std::string(indent, ' ') + line.substr(cut);
        }
    }
    if (!line.empty())
        out.push_back(line);
}

}  // namespace

std::string compare_text(const std::vector<ProgramComparison>& comparisons,
                         const ViewOptions& options) {
    bool fleet = options.layout == CompareLayout::fleet ||
                 (options.layout == CompareLayout::automatic && !wide_fits(comparisons, options));
    std::string out;
    for (const std::string& line : headline_lines(comparisons)) {
        std::vector<std::string> wrapped;
        wrap(line, options.width, 2, wrapped);
        for (const std::string& l : wrapped)
            out += l + "\n";
    }
    for (Table t : compare_tables(comparisons, options)) {
        if (!out.empty())
            out += "\n";
        std::vector<std::string> notes;
        if (fleet) {
            // Every line fits the width: title and notes wrapped, and the
            // table fitted to what is left.
            std::vector<std::string> title;
            wrap(t.title, options.width, 2, title);
            t.title.clear();
            for (const std::string& l : title)
                t.title += (t.title.empty() ? "" : "\n") + l;
            for (const std::string& n : t.notes)
                wrap(n, options.width, 2, notes);
            t.notes = std::move(notes);
        }
        out += fleet ? render_text(t, options.width, options.colour, LastColumn::may_cut)
                     : render_text(t, options.colour);
    }
    if (options.gate) {
        std::vector<std::string> lines = gate_lines(*options.gate, comparisons);
        out += "\n";
        if (fleet) {
            std::vector<std::string> wrapped;
            for (const std::string& l : lines)
                wrap(l, options.width, 2, wrapped);
            lines = std::move(wrapped);
        }
        for (const std::string& l : lines)
            out += l + "\n";
    }
    return out;
}

}  // namespace report
