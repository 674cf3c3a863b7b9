#include "output/table.h"

#include <algorithm>
#include <cstddef>

#include <fmt/format.h>

#include "output/text.h"

namespace report {

namespace {

const char* colour_of(Mark mark) {
    switch (mark) {
        case Mark::better: return "\x1b[32m";
        case Mark::worse: return "\x1b[31m";
        default: return nullptr;
    }
}

const char* class_of(Mark mark) {
    switch (mark) {
        case Mark::better: return "better";
        case Mark::worse: return "worse";
        case Mark::same: return "same";
        case Mark::none: break;
    }
    return nullptr;
}

}  // namespace

namespace {

// The widest cell of each column, the header's included.
std::vector<std::size_t> column_widths(const Table& table) {
    std::vector<std::size_t> widths(table.header.size(), 0);
    for (std::size_t i = 0; i < table.header.size(); ++i)
        widths[i] = display_width(table.header[i]);
    for (const auto& row : table.rows) {
        if (row.size() > widths.size())
            widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], display_width(row[i].text));
    }
    return widths;
}

// The columns that hold a number in any row: their header is right-aligned
// over them.
std::vector<bool> numeric_columns(const Table& table, std::size_t columns) {
    std::vector<bool> numeric(columns, false);
    for (const auto& row : table.rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            numeric[i] = numeric[i] || row[i].numeric;
    return numeric;
}

// One line of padded cells, two spaces apart, numbers right-aligned, with no
// spaces at its end.
class TextLines {
public:
    TextLines(std::vector<std::size_t> widths, bool colour)
        : widths_(std::move(widths)), colour_(colour) {}

    const std::vector<std::size_t>& widths() const { return widths_; }

    template <typename CellAt>
    void line(std::string& out, std::size_t count, CellAt&& cell_at) const {
        std::string line;
        std::size_t pending = 0;  // spaces owed before the next text, trimmed at the end
        for (std::size_t i = 0; i < count; ++i) {
            const TableCell& cell = cell_at(i);
            std::size_t pad = widths_[i] - display_width(cell.text);
            if (i > 0)
                pending += 2;
            if (cell.numeric)
                pending += pad;
            if (!cell.text.empty()) {
                line.append(pending, ' ');
                pending = 0;
                const char* on = colour_ ? colour_of(cell.mark) : nullptr;
                line += on ? std::string(on) + cell.text + "\x1b[0m" : cell.text;
            }
            if (!cell.numeric)
                pending += pad;
        }
        out += line + "\n";
    }

private:
    std::vector<std::size_t> widths_;
    bool colour_;
};

}  // namespace

std::string render_text(const Table& table, bool colour) {
    TextLines lines(column_widths(table), colour);
    const std::vector<std::size_t>& widths = lines.widths();
    std::string out;
    if (!table.title.empty())
        out += table.title + "\n";
    if (!table.header.empty()) {
        std::vector<bool> numeric = numeric_columns(table, widths.size());
        lines.line(out, table.header.size(),
                   [&](std::size_t i) { return TableCell(table.header[i], numeric[i]); });
        lines.line(out, widths.size(),
                   [&](std::size_t i) { return TableCell(std::string(widths[i], '-')); });
    }
    for (const auto& row : table.rows)
        lines.line(out, row.size(), [&](std::size_t i) -> const TableCell& { return row[i]; });
    for (const auto& note : table.notes)
        out += note + "\n";
    return out;
}

std::string render_html(const Table& table) {
    std::string out = "<div class=\"scroll\"><table>\n";
    if (!table.title.empty())
        out += "<caption>" + xml_escape(table.title) + "</caption>\n";
    out += "<thead><tr>";
    for (const std::string& h : table.header)
        out += "<th>" + xml_escape(h) + "</th>";
    out += "</tr></thead>\n<tbody>\n";
    for (const auto& row : table.rows) {
        out += "<tr>";
        for (const TableCell& cell : row) {
            std::string cls = cell.numeric ? "num" : "";
            if (const char* mark = class_of(cell.mark))
                cls += (cls.empty() ? "" : " ") + std::string(mark);
            out += cls.empty() ? "<td>" : "<td class=\"" + cls + "\">";
            out += xml_escape(cell.text) + "</td>";
        }
        out += "</tr>\n";
    }
    out += "</tbody></table></div>\n";
    for (const std::string& note : table.notes)
        out += "<p class=\"note\">" + xml_escape(note) + "</p>\n";
    return out;
}

std::string render_markdown(const Table& t) {
    std::string out = "### " + markdown_escape(t.title) + "\n\n|";
    for (const std::string& h : t.header)
        out += " " + markdown_escape(h) + " |";
    out += "\n|";
    for (std::size_t i = 0; i < t.header.size(); ++i)
        out += i == 0 ? " --- |" : " ---: |";
    out += "\n";
    for (const auto& row : t.rows) {
        out += "|";
        for (const TableCell& cell : row) {
            std::string text = markdown_escape(cell.text);
            if (cell.mark == Mark::worse && !text.empty())
                text = "**" + text + "**";
            out += " " + text + " |";
        }
        out += "\n";
    }
    out += "\n";
    for (const std::string& n : t.notes)
        out += markdown_escape(n) + "\n\n";
    return out;
}

}  // namespace report
