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

namespace {

// Display columns of the widest line of `text`.
std::size_t widest_line(const std::string& text) {
    std::size_t widest = 0;
    for (std::size_t s = 0, e; (e = text.find('\n', s)) != std::string::npos; s = e + 1)
        widest = std::max(widest, display_width(text.substr(s, e - s)));
    return widest;
}

// `text` cut at its end to `keep` display columns, the last of them "~".
std::string cut_end(const std::string& text, std::size_t keep) {
    if (display_width(text) <= keep || keep == 0)
        return text;
    std::string kept;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = decode_utf8(text, i).length;
        if (display_width(kept + text.substr(i, n)) + 1 > keep)
            break;
        kept += text.substr(i, n);
        i += n;
    }
    return kept + "~";
}

// Cuts the last column, when it is text, by up to `over` columns, to no
// less than its header's width.
void narrow_last_column(Table& t, std::size_t over) {
    if (t.header.size() < 2)
        return;
    std::size_t col = t.header.size() - 1;
    std::size_t widest = 0;
    for (const auto& row : t.rows)
        if (col < row.size()) {
            if (row[col].numeric)
                return;
            widest = std::max(widest, display_width(row[col].text));
        }
    std::size_t floor = std::max<std::size_t>(display_width(t.header[col]), 8);
    if (widest <= floor)
        return;
    std::size_t keep = widest - std::min(over, widest - floor);
    for (auto& row : t.rows)
        if (col < row.size())
            row[col].text = cut_end(row[col].text, keep);
}

// The table's header and rows without its name column.
Table without_names(const Table& t) {
    Table rest;
    for (std::size_t i = 1; i < t.header.size(); ++i)
        rest.header.push_back(t.header[i]);
    for (const auto& row : t.rows)
        rest.rows.emplace_back(row.begin() + std::min<std::size_t>(1, row.size()), row.end());
    return rest;
}

// The table's header and rows alone, as wide as render_text draws them.
std::size_t rows_width(const Table& t) {
    Table bare = t;
    bare.title.clear();
    bare.notes.clear();
    return widest_line(render_text(bare));
}

// The table with each row's name on a line of its own, above its other
// cells, which are indented by two columns.
std::string render_names_apart(const Table& t, bool colour) {
    Table rest = without_names(t);
    std::string body = render_text(rest, colour);
    std::string out = t.title.empty() ? "" : t.title + "\n";
    if (!t.header.empty())
        out += t.header[0] + "\n";
    std::size_t line = 0, row = 0;
    for (std::size_t s = 0, e; (e = body.find('\n', s)) != std::string::npos; s = e + 1, ++line) {
        bool is_row = line >= (rest.header.empty() ? 0u : 2u);
        if (is_row && row < t.rows.size())
            out += (t.rows[row].empty() ? std::string() : t.rows[row][0].text) + "\n";
        row += is_row;
        out += e > s ? "  " + body.substr(s, e - s) + "\n" : "\n";
    }
    for (const auto& note : t.notes)
        out += note + "\n";
    return out;
}

// The table as records, for a width its columns do not fit even with the
// names apart: each row's name on a line of its own, then its other cells,
// two spaces apart, as many to a line as fit, each whole.
std::string render_records(const Table& t, std::size_t width) {
    std::string out = t.title.empty() ? "" : t.title + "\n";
    for (const auto& row : t.rows) {
        out += (row.empty() ? std::string() : row[0].text) + "\n";
        std::string line;
        for (std::size_t i = 1; i < row.size(); ++i) {
            if (row[i].text.empty())
                continue;
            std::string cell = i < t.header.size() && row[i].numeric
                                   ? t.header[i] + " " + row[i].text
                                   : row[i].text;
            if (!line.empty() && display_width(line + "  " + cell) > width) {
                out += line + "\n";
                line.clear();
            }
            line += "  " + cell;
        }
        if (!line.empty())
            out += line + "\n";
    }
    for (const auto& note : t.notes)
        out += note + "\n";
    return out;
}

}  // namespace

std::string render_text(const Table& table, std::size_t width, bool colour, LastColumn last) {
    std::size_t widest = rows_width(table);
    if (widest <= width)
        return render_text(table, colour);
    Table t = table;
    if (last == LastColumn::may_cut) {
        narrow_last_column(t, widest - width);
        if (rows_width(t) <= width)
            return render_text(t, colour);
        // With the names apart, the last column has the name column's room too.
        t = table;
        std::size_t apart = rows_width(without_names(t)) + 2;
        if (apart > width)
            narrow_last_column(t, apart - width);
    }
    if (rows_width(without_names(t)) + 2 > width)
        return render_records(t, width);
    return render_names_apart(t, colour);
}

std::string render_html(const Table& table) {
    std::string out = "<div class=\"scroll\"><table>\n";
    if (!table.title.empty())
        out += "<caption>" + xml_escape(unwrapped(table.title)) + "</caption>\n";
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
        out += "<p class=\"note\">" + xml_escape(unwrapped(note)) + "</p>\n";
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
