// Text as each output needs it, decided here once: a terminal's escaped form
// of names read from directories, the width a string takes on a terminal,
// well-formed UTF-8, and the quoting of XML/HTML, JSON, CSV and Markdown.
// Every view and writer goes through these, so a label holding control
// characters, markup or bytes that are not UTF-8 is shown one way everywhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace report {

// Length of the well-formed UTF-8 sequence starting at text[i], or 0 when it
// is not one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t utf8_length(std::string_view text, std::size_t i);

// Columns a string takes on a terminal: wide (East Asian) characters count
// two, combining marks none.
std::size_t display_width(const std::string& s);

// Text with control characters shown escaped ("\n" for the newline in the
// results files' names, "\x1b"), and backslashes doubled, for a terminal or a
// diagnostic: a label read from a directory name could hold an escape sequence.
std::string escape_path(const std::string& path);

// Text made safe for XML and HTML, as element content or attribute value:
// markup characters become entities, control characters are shown escaped
// ("\n", "\x01") because XML cannot carry them, and bytes that are not UTF-8
// become U+FFFD.
std::string xml_escape(std::string_view text);

// A JSON string literal, quotes included: control characters escaped, bytes
// that are not UTF-8 replaced by U+FFFD.
void append_json_string(std::string& out, std::string_view s);

// One CSV field of free text (a path, a label, a name), quoted by libcsv.
std::string csv_field(const std::string& s);

// Text for a Markdown table cell or heading: the characters Markdown reads as
// markup preceded by a backslash.
std::string markdown_escape(const std::string& s);

}  // namespace report
