// The wide and narrow layouts of a comparison: a column per run, and a table
// per label against the baseline.
#include "output/compare_views.h"
#include "output/compare_parts.h"

#include <algorithm>

#include <fmt/format.h>

#include "model/catalogue.h"

namespace report {

Table wide_table(const ProgramComparison& c) {
    Table t;
    t.title = baseline_title(c);
    t.header = {"Test", "Figure", "Unit"};
    if (!c.baseline)
        t.header.push_back("median");
    for (std::size_t i = 0; i < c.runs.size(); ++i)
        t.header.push_back(column_header(*c.runs[i], c.baseline == i, c.samples[i].size()));

    std::string previous;
    for (const FigureRow& row : c.rows) {
        std::vector<TableCell> cells = {row.test_title == previous ? "" : row.test_title,
                                        row.figure, row.unit};
        previous = row.test_title;
        if (!c.baseline)
            cells.push_back(number_cell(cell_text(row.baseline)));
        for (std::size_t i = 0; i < row.cells.size(); ++i)
            cells.push_back(ratio_cell(row.cells[i], c.baseline == i));
        t.rows.push_back(std::move(cells));
    }
    for (auto [name, geo] : {std::pair{"geomean single rate", &c.geo_single},
                             std::pair{"geomean overall rate", &c.geo_overall}}) {
        std::vector<TableCell> cells = {geo == &c.geo_single ? "All tests" : "", name, "ratio"};
        if (!c.baseline)
            cells.push_back(number_cell("x1.000"));
        for (std::size_t i = 0; i < geo->size(); ++i)
            cells.push_back(geo_cell((*geo)[i], c.baseline == i));
        t.rows.push_back(std::move(cells));
    }
    t.notes = legend(c);
    return t;
}

namespace {

// Each test's rate unit, for the narrow layout's note: "Rates in Millions
// Allocations/sec. (Allocation), Millions Executions/sec. (Low speeds, High
// speeds)."
std::string rate_units(const ProgramComparison& c) {
    std::vector<std::pair<std::string, std::vector<std::string>>> units;
    for (const FigureRow& row : c.rows) {
        if (row.id != FigureId::single_rate && row.id != FigureId::overall_rate)
            continue;
        auto same = std::find_if(units.begin(), units.end(),
                                 [&](const auto& u) { return u.first == row.unit; });
        if (same == units.end())
            units.push_back({row.unit, {row.test_title}});
        else if (same->second.back() != row.test_title)
            same->second.push_back(row.test_title);
    }
    std::vector<std::string> parts;
    for (const auto& [unit, tests] : units)
        parts.push_back(fmt::format("{} ({})", unit, fmt::join(tests, ", ")));
    return fmt::format("Rates in {}; MB/s in MB/sec.; seconds in Secs.; improvement in times.",
                       fmt::join(parts, ", "));
}

// One label against the baseline in four columns, a test's name on a row of
// its own: what the wide layout says of that label, in 80 columns.
Table narrow_table(const ProgramComparison& c, std::size_t i) {
    Table t;
    std::string against =
        c.baseline ? column_header(*c.runs[*c.baseline], false, c.samples[*c.baseline].size())
                   : std::string("the median");
    t.title = fmt::format("{}: {} against {}", program_name(c.program),
                          column_header(*c.runs[i], false, c.samples[i].size()), against);
    t.header = {"Figure", c.baseline ? "Baseline" : "Median", "This", "Ratio"};
    std::string previous;
    for (const FigureRow& row : c.rows) {
        if (row.test_title != previous)
            t.rows.push_back({row.test_title, "", "", ""});
        previous = row.test_title;
        const Cell& baseline = c.baseline ? row.cells[*c.baseline] : row.baseline;
        t.rows.push_back({"  " + row.figure, number_cell(cell_text(baseline)),
                          number_cell(cell_text(row.cells[i])), ratio_only_cell(row.cells[i])});
    }
    t.rows.push_back({"All tests", "", "", ""});
    for (auto [name, geo] : {std::pair{"geomean single rate", &c.geo_single},
                             std::pair{"geomean overall rate", &c.geo_overall}})
        t.rows.push_back({std::string("  ") + name, "", "", geo_cell((*geo)[i], false)});
    return t;
}

}  // namespace

std::vector<Table> narrow_tables(const ProgramComparison& c) {
    std::vector<Table> tables;
    for (std::size_t i = 0; i < c.runs.size(); ++i)
        if (c.baseline != i)
            tables.push_back(narrow_table(c, i));
    if (tables.empty())
        return {wide_table(c)};
    tables.front().title = baseline_title(c) + "\n" + tables.front().title;
    tables.back().notes = legend(c, false);
    tables.back().notes.insert(tables.back().notes.begin() + 1, rate_units(c));
    return tables;
}

}  // namespace report
