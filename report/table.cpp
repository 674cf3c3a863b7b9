#include "table.h"

#include <algorithm>
#include <cstddef>

#include <fmt/format.h>

#include "svg.h"

namespace report {

namespace {

// One code point of UTF-8 text, or U+FFFD for a byte that starts none.
char32_t next_code_point(const std::string& s, std::size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (n == 0 || i + n > s.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (d & 0x3F);
    }
    i += n;
    return cp;
}

// Terminal columns of one code point, after Markus Kuhn's wcwidth: combining
// marks take none, East Asian wide and full-width characters two.
int code_point_width(char32_t cp) {
    if (cp == 0)
        return 0;
    if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F) ||
        (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0xFE20 && cp <= 0xFE2F))
        return 0;
    bool wide = (cp >= 0x1100 && cp <= 0x115F) || cp == 0x2329 || cp == 0x232A ||
                (cp >= 0x2E80 && cp <= 0xA4CF && cp != 0x303F) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
                (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE6F) ||
                (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) ||
                (cp >= 0x1F300 && cp <= 0x1F64F) || (cp >= 0x1F900 && cp <= 0x1F9FF) ||
                (cp >= 0x20000 && cp <= 0x3FFFD);
    return wide ? 2 : 1;
}

const char* colour_of(Tone tone) {
    switch (tone) {
        case Tone::better: return "\x1b[32m";
        case Tone::worse: return "\x1b[31m";
        default: return nullptr;
    }
}

const char* class_of(Tone tone) {
    switch (tone) {
        case Tone::better: return "better";
        case Tone::worse: return "worse";
        case Tone::same: return "same";
        case Tone::plain: break;
    }
    return nullptr;
}

}  // namespace

std::size_t display_width(const std::string& s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size();)
        n += static_cast<std::size_t>(code_point_width(next_code_point(s, i)));
    return n;
}

std::string escape_path(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (unsigned char c : path) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c == 0x7f)
            out += fmt::format("\\x{:02x}", c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

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
                const char* on = colour ? colour_of(cell.tone) : nullptr;
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
            if (const char* mark = class_of(cell.tone))
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

}  // namespace report
