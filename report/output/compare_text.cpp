// `compare --format text`: the tables as a terminal shows them. In the
// fleet layout every line fits the terminal's width: titles and notes are
// wrapped and the widest columns cut.
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

// Cuts a cell to `keep` display columns, marked by "~": its middle when
// `keep_end` (the start and the end of a name, host-0017, tell runs apart),
// else its end (a figure's ratio comes first and stays).
void cut(std::string& s, std::size_t keep, bool keep_end) {
    if (display_width(s) <= keep || keep < 3)
        return;
    // The code points, as byte offsets.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80)
            starts.push_back(i);
    starts.push_back(s.size());
    std::size_t head = 0;  // code points kept at the start
    std::size_t head_width = keep_end ? (keep - 1) / 2 : keep - 1;
    while (head + 1 < starts.size() && display_width(s.substr(0, starts[head + 1])) <= head_width)
        ++head;
    std::string front = s.substr(0, starts[head]);
    std::size_t tail = starts.size() - 1;  // first code point kept at the end
    while (tail > head && display_width(front + "~" + s.substr(starts[tail - 1])) <= keep)
        --tail;
    s = front + "~" + s.substr(starts[tail]);
}

// Narrows a fleet or outlier table by `over` columns: the run names first,
// down to 10 columns, then the last column (a figure, its ratio first).
void shrink_columns(Table& t, std::size_t over) {
    for (std::size_t col : {std::size_t{0}, t.header.size() - 1}) {
        std::size_t widest = 0;
        for (const auto& row : t.rows)
            if (col < row.size())
                widest = std::max(widest, display_width(row[col].text));
        std::size_t header = display_width(t.header[col]);
        std::size_t floor = std::max<std::size_t>(10, col == 0 ? header : 0);
        if (widest <= floor)
            continue;
        std::size_t keep = widest - std::min(over, widest - floor);
        for (auto& row : t.rows)
            if (col < row.size())
                cut(row[col].text, keep, col == 0);
        over -= widest - keep;
        if (over == 0)
            return;
    }
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
            // free-text column of the table cut to what is left.
            std::vector<std::string> title;
            wrap(t.title, options.width, 2, title);
            t.title.clear();
            for (const std::string& l : title)
                t.title += (t.title.empty() ? "" : "\n") + l;
            for (const std::string& n : t.notes)
                wrap(n, options.width, 2, notes);
            t.notes = std::move(notes);
            std::string text = render_text(t, false);
            std::size_t widest = 0;
            for (std::size_t s = 0, e; (e = text.find('\n', s)) != std::string::npos; s = e + 1)
                widest = std::max(widest, display_width(text.substr(s, e - s)));
            if (widest > options.width)
                shrink_columns(t, widest - options.width);
        }
        out += render_text(t, options.colour);
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
