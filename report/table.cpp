#include "table.h"

#include <algorithm>
#include <cstddef>

namespace report {

namespace {

// Display width of UTF-8 text: one column per code point.
std::size_t width(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

// Cells that start like a number (or are a dash for an absent one) align right.
bool numeric(const std::string& s) {
    if (s.empty())
        return false;
    unsigned char c = static_cast<unsigned char>(s[0]);
    return (c >= '0' && c <= '9') || s == "-" || s == "—" ||
           ((c == '-' || c == '+' || c == '.') && s.size() > 1) || s == "inf" || s == "nan";
}

}  // namespace

std::string render_text(const Table& table) {
    std::vector<std::size_t> widths(table.header.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        if (row.size() > widths.size())
            widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], width(row[i]));
    };
    measure(table.header);
    for (const auto& row : table.rows)
        measure(row);

    std::string out;
    if (!table.title.empty())
        out += table.title + "\n";
    auto emit = [&](const std::vector<std::string>& row, bool header) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            std::string pad(widths[i] - width(row[i]), ' ');
            if (i > 0)
                line += "  ";
            bool right = !header ? numeric(row[i]) && i > 0 : i > 0;
            line += right ? pad + row[i] : row[i] + pad;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    };
    if (!table.header.empty()) {
        emit(table.header, true);
        std::vector<std::string> rule;
        for (std::size_t w : widths)
            rule.push_back(std::string(w, '-'));
        emit(rule, true);
    }
    for (const auto& row : table.rows)
        emit(row, false);
    for (const auto& note : table.notes)
        out += note + "\n";
    return out;
}

}  // namespace report
