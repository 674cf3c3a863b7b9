// The formats `compare --format` writes, each a function of the comparison
// model and the view options. A new format is a writer and one line here.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "output/compare_layout.h"
#include "output/compare_views.h"

namespace report {

// Where a format that streams hands its text, piece by piece.
using CompareSink = std::function<void(std::string_view)>;

struct CompareFormat {
    std::string_view name;  // as --format takes it
    std::string (*write)(const std::vector<ProgramComparison>& comparisons,
                         const ViewOptions& options);
    // The same text in pieces, for a format whose output grows with the
    // fleet (null: `write` only).
    void (*stream)(const std::vector<ProgramComparison>& comparisons, const ViewOptions& options,
                   const CompareSink& sink) = nullptr;
};

// The writers, one file each: compare_text.cpp, compare_json.cpp,
// compare_csv.cpp, compare_markdown.cpp, compare_junit.cpp.
std::string compare_text(const std::vector<ProgramComparison>& comparisons,
                         const ViewOptions& options);
std::string compare_markdown(const std::vector<ProgramComparison>& comparisons,
                             const ViewOptions& options);
std::string compare_csv(const std::vector<ProgramComparison>& comparisons,
                        const ViewOptions& options);
std::string compare_json(const std::vector<ProgramComparison>& comparisons,
                         const ViewOptions& options);
std::string compare_junit(const std::vector<ProgramComparison>& comparisons,
                          const ViewOptions& options);
void stream_compare_json(const std::vector<ProgramComparison>& comparisons,
                         const ViewOptions& options, const CompareSink& sink);

// Every format, the default (text) first.
std::span<const CompareFormat> compare_formats();

// The format of a name, or null.
const CompareFormat* find_compare_format(std::string_view name);

}  // namespace report
