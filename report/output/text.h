// Text as each output needs it, decided here once: a terminal's escaped form
// of names read from directories, the width a string takes on a terminal,
// well-formed UTF-8, and the quoting of XML/HTML, JSON, CSV and Markdown.
// Every view and writer goes through these, so a label holding control
// characters, markup or bytes that are not UTF-8 is shown one way everywhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "model/utf8.h"

namespace report {

// Columns a string takes on a terminal: wide (East Asian) characters count
// two, combining marks none.
std::size_t display_width(const std::string& s);

// Text with control characters shown escaped, and backslashes doubled, for a
// terminal or a diagnostic: a label read from a directory name could hold an
// escape sequence, or a character that reorders what follows it. C0 controls
// and DEL read "\n" (the newline in the results files' names), "\t", "\r",
// "\x1b"; C1 controls (U+0080-U+009F) and the bidirectional controls
// (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) "\u009b", "\u202e";
// a byte that starts no well-formed UTF-8 sequence "\x9b". The form is
// reversible: every byte of the original can be read back from it.
std::string escape_path(const std::string& path);

// `text` split at spaces into lines of at most `width` display columns, the
// lines after the first indented by `indent`; a word wider than that (a long
// name) keeps a line of its own, whole. A text that already holds lines has
// each of them wrapped so.
std::string wrap_words(const std::string& text, std::size_t width, std::size_t indent = 2);

// The lines of a text that wrap_words laid out for a terminal joined again:
// each newline with the indentation after it reads as one space, as a page
// flows text itself.
std::string unwrapped(const std::string& text);

// Whether every byte of `text` is part of well-formed UTF-8.
bool valid_utf8(std::string_view text);

// A path as JSON carries it: itself when it is well-formed UTF-8, else (JSON
// cannot hold the bytes) its escape_path form, which still names the file.
// `escaped` says which, for a "path_escaped" member beside it.
std::string json_path(const std::string& path, bool& escaped);

// Text made safe for XML and HTML, as element content or attribute value:
// markup characters become entities, control characters are shown escaped
// ("\n", "\x01") because XML cannot carry them, and bytes that are not UTF-8
// become U+FFFD.
std::string xml_escape(std::string_view text);

// A JSON string literal, quotes included: control characters escaped, bytes
// that are not UTF-8 replaced by U+FFFD.
void append_json_string(std::string& out, std::string_view s);

// One CSV field of free text (a path, a label, a host name), always quoted,
// a quote inside doubled. Text that a spreadsheet would take for a formula, starting with
// "=", "+", "-", "@", a tab or a carriage return, is preceded by "'" so that
// it is shown, not evaluated.
std::string csv_field(const std::string& s);

// One CSV field holding a figure as it was printed ("6.60715", "-1e-05"):
// quoted like text but never altered, since it is a number.
std::string csv_figure(const std::string& s);

// Text for a Markdown table cell or heading: the characters Markdown reads as
// markup preceded by a backslash.
std::string markdown_escape(const std::string& s);

}  // namespace report
