// A table of text cells, shared by the terminal output of `show` and
// `compare` and by the HTML report, so both show the same figures.
#pragma once

#include <string>
#include <vector>

namespace report {

struct Table {
    std::string title;
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> notes;   // lines printed under the table (legend, findings)
};

// Plain-text rendering for the terminal: columns padded to their widest cell,
// numbers right-aligned.
std::string render_text(const Table& table);

}  // namespace report
