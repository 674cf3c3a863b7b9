// A table of cells, shared by the terminal output of `show` and `compare` and
// by the HTML report, so both show the same figures. Every cell says what it
// is (a number or text, and a comparison's mark), so no renderer has to guess
// from the text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "analysis/mark.h"
#include "output/text.h"

namespace report {


struct TableCell {
    std::string text;
    bool numeric = false;  // right-aligned, tabular figures
    Mark mark = Mark::none;  // the comparison's mark of the figure, if any

    TableCell() = default;
    TableCell(std::string t, bool number = false, Mark m = Mark::none)
        : text(std::move(t)), numeric(number), mark(m) {}
    TableCell(const char* t) : text(t) {}
};

// A numeric cell.
inline TableCell number_cell(std::string text, Mark mark = Mark::none) {
    return TableCell(std::move(text), true, mark);
}

struct Table {
    std::string title;
    std::vector<std::string> header;
    std::vector<std::vector<TableCell>> rows;
    std::vector<std::string> notes;  // lines printed under the table (legend, findings)
};

// Plain-text rendering for the terminal: columns padded to their widest cell,
// numeric cells right-aligned; with `colour`, better and worse cells in green
// and red.
std::string render_text(const Table& table, bool colour = false);

// Whether a text output may cut the last column of a table to fit a width:
// a figure named in words may be, a name never.
enum class LastColumn { whole, may_cut };

// The same within `width` columns (a terminal's, or 80 through a pipe),
// without ever cutting a name, the first column: when the table is wider and
// `last` allows, its last column is cut at its end to what is left, down to
// the width of its header, marked "~"; when the rows are still too wide, each
// row's name goes on a line of its own, its other cells on the line below,
// indented. Title and notes are the caller's to fit.
std::string render_text(const Table& table, std::size_t width, bool colour,
                        LastColumn last = LastColumn::whole);

// The same table as Markdown: its title a level-3 heading, the first column
// left-aligned and the others right, worse cells in bold, the notes after.
std::string render_markdown(const Table& table);

// The same table as HTML: numeric cells of class "num", marked cells of class
// "better", "worse" or "same".
std::string render_html(const Table& table);

}  // namespace report
