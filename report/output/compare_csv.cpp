// `compare --format csv`: one line per run and figure, text cells quoted and
// kept from being read as spreadsheet formulas.
#include "output/compare_formats.h"
#include "output/text.h"
#include "output/gate_view.h"

#include <cmath>
#include <optional>

#include <fmt/format.h>

#include "model/catalogue.h"

namespace report {

std::string compare_csv(const std::vector<ProgramComparison>& comparisons, const ViewOptions&) {
    std::string out =
        "program,test,figure,unit,better,run,label,baseline,value,printed,ratio,mark,method,p,low,"
        "high,confidence,pairs\n";
    for (const ProgramComparison& c : comparisons)
        for (const FigureRow& row : c.rows) {
            auto line = [&](const std::string& run, const std::string& label, bool base,
                            const Cell& cell) {
                // The test that made the ratio and its interval.
                const char* method = cell.test == SignificanceTest::mann_whitney ? "mann_whitney"
                                     : cell.test == SignificanceTest::welch      ? "welch"
                                     : cell.test == SignificanceTest::signed_rank ? "signed_rank"
                                                                                 : "";
                auto number = [](const std::optional<double>& v) {
                    return v && std::isfinite(*v) ? fmt::format("{}", *v) : std::string();
                };
                const auto& i = cell.interval;
                out += fmt::format(
                    "{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n",
                    program_name(c.program), row.test,
                    csv_field(row.figure), csv_field(row.unit),
                    row.better == Better::higher ? "higher" : "lower", run, label, base ? 1 : 0,
                    cell.value ? fmt::format("{}", *cell.value) : "", csv_figure(cell_text(cell)),
                    cell.ratio ? fmt::format("{}", *cell.ratio) : "", mark_name(cell.mark), method,
                    number(cell.p), number(i ? std::optional(i->low) : std::nullopt),
                    number(i ? std::optional(i->high) : std::nullopt),
                    number(i ? std::optional(i->confidence) : std::nullopt),
                    cell.pairs ? fmt::format("{}", *cell.pairs) : "");
            };
            if (!c.baseline)
                line("median", "median", true, row.baseline);
            for (std::size_t i = 0; i < c.runs.size(); ++i)
                line(csv_field(c.runs[i]->path), csv_field(c.runs[i]->label), c.baseline == i,
                     row.cells[i]);
        }
    return out;
}

}  // namespace report
