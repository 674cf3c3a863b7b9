#include "repetitions.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "catalogue.h"
#include "stats.h"

namespace report {

namespace {

const Test* find_test(const Run& run, std::string_view key) {
    for (const Test& t : run.tests)
        if (t.key == key)
            return &t;
    return nullptr;
}

}  // namespace

std::vector<Table> repetition_tables(const std::vector<Run>& runs) {
    // Groups by program and label, in order of first appearance.
    std::vector<std::vector<const Run*>> groups;
    for (const Run& r : runs) {
        auto g = std::find_if(groups.begin(), groups.end(), [&](const auto& group) {
            return group.front()->program == r.program && group.front()->label == r.label;
        });
        if (g == groups.end())
            groups.push_back({&r});
        else
            g->push_back(&r);
    }
    struct Figure_ {
        const char* name;
        std::optional<Figure> Test::*member;
    };
    const Figure_ figures[] = {{"single rate", &Test::single_rate},
                               {"overall rate", &Test::overall_rate},
                               {"improvement", &Test::improvement}};
    std::vector<Table> tables;
    for (const auto& group : groups) {
        if (group.size() < 2)
            continue;
        Table t;
        t.title = fmt::format("{}: {}, {} repetitions", escape_path(group.front()->label),
                              program_name(group.front()->program), group.size());
        t.header = {"Test", "Figure", "Median", "Min", "Max", "CV", "n"};
        for (const TestInfo& info : catalogue(group.front()->program)) {
            bool first = true;
            for (const Figure_& f : figures) {
                std::vector<double> values;
                for (const Run* r : group)
                    if (const Test* test = find_test(*r, info.key))
                        if (const auto& figure = test->*f.member;
                            figure && std::isfinite(figure->value) && !test->incomplete_threads)
                            values.push_back(figure->value);
                if (values.empty())
                    continue;
                std::optional<stats::Range> range = stats::range(values);
                std::optional<double> cv = stats::coefficient_of_variation(values);
                t.rows.push_back({first ? std::string(info.name) : "", f.name,
                                  number_cell(fmt::format("{:.6g}", *stats::median(values))),
                                  number_cell(fmt::format("{:.6g}", range->min)),
                                  number_cell(fmt::format("{:.6g}", range->max)),
                                  number_cell(cv ? fmt::format("{:.2f}%", *cv * 100) : "-"),
                                  number_cell(std::to_string(values.size()))});
                first = false;
            }
        }
        t.notes.push_back(
            "Runs that share a label are repetitions of one measurement; CV: the "
            "coefficient of variation (standard deviation over mean). A figure "
            "missing from a repetition, or summed over threads that ran out of "
            "memory, is left out, so n can be smaller than the repetitions.");
        tables.push_back(std::move(t));
    }
    return tables;
}

}  // namespace report
