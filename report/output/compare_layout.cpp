// Which layout a comparison is shown in, and its tables in that layout.
#include "output/compare_layout.h"
#include "output/compare_parts.h"
#include "output/scaling_view.h"
#include "output/svg.h"
#include "output/text.h"

#include <algorithm>
#include <string>

namespace report {

namespace {

// Up to this many runs of a program, the wide layout fits whatever the width.
constexpr std::size_t few_runs = 4;

// Whether every line of the wide table, from its header to the last row
// before the legend, fits `width` columns.
bool wide_fits(const ProgramComparison& c, std::size_t width) {
    if (c.runs.size() <= few_runs)
        return true;
    std::string text = render_text(wide_table(c));
    std::size_t end = text.find('\n');
    // The header line and every row.
    std::size_t start = end + 1;
    while ((end = text.find('\n', start)) != std::string::npos) {
        if (display_width(text.substr(start, end - start)) > width && start < text.size() &&
            text.compare(start, 7, "Legend:") != 0)
            return false;
        start = end + 1;
        if (text.compare(start, 7, "Legend:") == 0)
            break;
    }
    return true;
}

}  // namespace

bool fleet_layout(const ProgramComparison& c, const ViewOptions& options) {
    if (options.layout != CompareLayout::automatic)
        return options.layout == CompareLayout::fleet;
    return c.runs.size() > colours || !wide_fits(c, options.width);
}

bool fleet_layout(const std::vector<ProgramComparison>& comparisons, const ViewOptions& options) {
    if (options.layout != CompareLayout::automatic)
        return options.layout == CompareLayout::fleet;
    return std::any_of(comparisons.begin(), comparisons.end(),
                       [&](const ProgramComparison& c) { return fleet_layout(c, options); });
}

bool narrow_wanted(const std::vector<ProgramComparison>& comparisons, const ViewOptions& options) {
    if (options.layout == CompareLayout::narrow)
        return true;
    if (!options.narrow || options.layout != CompareLayout::automatic)
        return false;
    for (const ProgramComparison& c : comparisons) {
        std::string text = render_text(wide_table(c));
        std::size_t start = text.find('\n') + 1, end = text.find('\n', start);
        if (end != std::string::npos && display_width(text.substr(start, end - start)) > options.width)
            return true;
    }
    return false;
}

std::vector<Table> compare_tables(const std::vector<ProgramComparison>& comparisons,
                                  const ViewOptions& options) {
    bool fleet = fleet_layout(comparisons, options);
    bool narrow = !fleet && narrow_wanted(comparisons, options);
    std::vector<Table> tables;
    for (const ProgramComparison& c : comparisons) {
        if (narrow) {
            for (Table& t : narrow_tables(c))
                tables.push_back(std::move(t));
        } else {
            tables.push_back(fleet ? fleet_table(c) : wide_table(c));
        }
        // The runs far from the fleet's median: always against the median;
        // against a baseline run, in the fleet layout when there are any.
        if (!c.baseline || (fleet && !c.outliers.empty()))
            tables.push_back(outlier_table(c));
    }
    // Each label's improvement figures explained, after the comparison's own tables.
    for (Table& t : compare_scaling_tables(comparisons))
        tables.push_back(std::move(t));
    return tables;
}

}  // namespace report
