#include "output/text.h"

#include <algorithm>
#include <iterator>

#include <fmt/format.h>

namespace report {

namespace {

// Code points as ranges, first and last included.
struct CodePoints {
    char32_t first, last;
};

bool within(const CodePoints* begin, const CodePoints* end, char32_t cp) {
    return std::any_of(begin, end,
                       [cp](const CodePoints& r) { return cp >= r.first && cp <= r.last; });
}

// Combining marks and zero-width characters (and a byte that ends a string).
constexpr CodePoints zero_width[] = {
    {0x0000, 0x0000}, {0x0300, 0x036F}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE20, 0xFE2F}};

// East Asian wide and full-width characters, and the emoji blocks a terminal
// draws two columns wide.
constexpr CodePoints double_width[] = {
    {0x1100, 0x115F}, {0x2329, 0x232A}, {0x2E80, 0x303E},   {0x3040, 0xA4CF},
    {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD}};

// Terminal columns of one code point, after Markus Kuhn's wcwidth: combining
// marks take none, East Asian wide and full-width characters two.
int code_point_width(char32_t cp) {
    if (within(std::begin(zero_width), std::end(zero_width), cp))
        return 0;
    return within(std::begin(double_width), std::end(double_width), cp) ? 2 : 1;
}

}  // namespace

std::size_t display_width(const std::string& s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size();) {
        Utf8Char c = decode_utf8(s, i);
        n += static_cast<std::size_t>(code_point_width(c.code_point));
        i += c.length;
    }
    return n;
}

namespace {

// A code point that reorders the text around it on a terminal.
bool bidirectional_control(char32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string escape_path(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size();) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (c >= 0x80) {
            Utf8Char u = decode_utf8(path, i);
            if (!u.well_formed)
                out += fmt::format("\\x{:02x}", c);
            else if ((u.code_point >= 0x80 && u.code_point <= 0x9F) ||
                     bidirectional_control(u.code_point))
                out += fmt::format("\\u{:04x}", static_cast<unsigned>(u.code_point));
            else
                out.append(path, i, u.length);
            i += u.length;
            continue;
        }
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
        ++i;
    }
    return out;
}

std::string wrap_words(const std::string& text, std::size_t width, std::size_t indent) {
    if (std::size_t newline = text.find('\n'); newline != std::string::npos)
        return wrap_words(text.substr(0, newline), width, indent) + "\n" +
               wrap_words(text.substr(newline + 1), width, indent);
    if (display_width(text) <= width)
        return text;
    std::string out, line;
    bool fresh = true;  // the line holds no word yet
    for (std::size_t pos = 0;;) {
        std::size_t end = text.find(' ', pos);
        std::string word = text.substr(pos, end == std::string::npos ? end : end - pos);
        if (!fresh && display_width(line + " " + word) > width) {
            out += line + "\n";
            line = std::string(indent, ' ') + word;
        } else {
            line += (fresh ? "" : " ") + word;
        }
        fresh = false;
        if (end == std::string::npos)
            return out + line;
        pos = end + 1;
    }
}

std::string unwrapped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') {
            out += text[i];
            continue;
        }
        while (i + 1 < text.size() && text[i + 1] == ' ')
            ++i;
        if (i + 1 < text.size())
            out += ' ';
    }
    return out;
}

bool valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = utf8_length(text, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string json_path(const std::string& path, bool& escaped) {
    escaped = !valid_utf8(path);
    return escaped ? escape_path(path) : path;
}

namespace {

// Length of the UTF-8 sequence starting at text[i] that XML can carry, or 0.
std::size_t xml_utf8_length(std::string_view text, std::size_t i) {
    std::size_t n = report::utf8_length(text, i);
    // U+FFFE and U+FFFF are not XML characters either.
    if (n == 3 && static_cast<unsigned char>(text[i]) == 0xEF &&
        static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) == 0xBE ||
         static_cast<unsigned char>(text[i + 2]) == 0xBF))
        return 0;
    return n;
}

}  // namespace

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            std::size_t n = xml_utf8_length(text, i);
            if (n == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
            } else {
                out.append(text.substr(i, n));
                i += n;
            }
            continue;
        }
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F)
                    out += fmt::format("\\x{:02x}", c);
                else
                    out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}



void append_json_string(std::string& out_, std::string_view s) {
    out_ += '"';
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            switch (c) {
                case '\n': out_ += "\\n"; break;
                case '\t': out_ += "\\t"; break;
                case '\r': out_ += "\\r"; break;
                default: fmt::format_to(std::back_inserter(out_), "\\u{:04x}", c);
            }
            ++i;
        } else if (c < 0x80) {
            out_ += static_cast<char>(c);
            ++i;
        } else {
            std::size_t n = utf8_length(s, i);
            if (n == 0) {
                out_ += "\xef\xbf\xbd";
                ++i;
            } else {
                out_.append(s.substr(i, n));
                i += n;
            }
        }
    }
    out_ += '"';
}

std::string csv_figure(const std::string& s) {
    // Always quoted, a quote inside doubled: commas, newlines and quotes in a
    // field stay in it.
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string csv_field(const std::string& s) {
    // OWASP's advice against formula injection: the characters a spreadsheet
    // starts a formula with, and the tab and carriage return that hide one.
    bool formula = !s.empty() && std::string_view("=+-@\t\r").find(s.front()) != std::string_view::npos;
    return csv_figure(formula ? "'" + s : s);
}

std::string markdown_escape(const std::string& s) {
    std::string out;
    for (char ch : s) {
        if (ch == '|' || ch == '\\' || ch == '*' || ch == '_' || ch == '`' || ch == '<' ||
            ch == '[')
            out += '\\';
        out += ch;
    }
    return out;
}

}  // namespace report
