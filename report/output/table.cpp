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

std::string render_text(const Table& table, bool colour) {
    std::vector<std::size_t> widths(table.header.size(), 0);
    for (std::size_t i = 0; i < table.header.size(); ++i)
        widths[i] = display_width(table.header[i]);
    for (const auto& row : table.rows) {
        if (row.size() > widths.size())
            widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], display_width(row[i].text));
    }

    std::string out;
    if (!table.title.empty())
        out += table.title + "\n";
    auto emit = [&](std::size_t count, auto&& cell_at) {
        std::string line;
        std::size_t pending = 0;  // spaces owed before the next text, trimmed at the end
        for (std::size_t i = 0; i < count; ++i) {
            const TableCell& cell = cell_at(i);
            std::size_t pad = widths[i] - display_width(cell.text);
            if (i > 0)
                pending += 2;
            if (cell.numeric)
                pending += pad;
            if (!cell.text.empty()) {
                line.append(pending, ' ');
                pending = 0;
                const char* on = colour ? colour_of(cell.mark) : nullptr;
                line += on ? std::string(on) + cell.text + "\x1b[0m" : cell.text;
            }
            if (!cell.numeric)
                pending += pad;
        }
        out += line + "\n";
    };
    // A header sits over its column the way the column's cells do.
    std::vector<bool> numeric(widths.size(), false);
    for (const auto& row : table.rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            numeric[i] = numeric[i] || row[i].numeric;
    if (!table.header.empty()) {
        emit(table.header.size(),
             [&](std::size_t i) { return TableCell(table.header[i], numeric[i]); });
        emit(widths.size(), [&](std::size_t i) { return TableCell(std::string(widths[i], '-')); });
    }
    for (const auto& row : table.rows)
        emit(row.size(), [&](std::size_t i) -> const TableCell& { return row[i]; });
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
