// The figures a comparison compares for each test, in the order of its rows.
#include "analysis/figures.h"

#include <algorithm>

namespace report {

const std::vector<FigureKind>& figure_kinds() {
    static const std::vector<FigureKind> kinds = {
        {FigureId::single_rate, "single rate", Better::higher, Pass::single, false},
        {FigureId::overall_rate, "overall rate", Better::higher, Pass::multi, false},
        {FigureId::overall_per_thread, "overall per thread", Better::higher, Pass::multi, false},
        {FigureId::improvement, "improvement", Better::higher, Pass::derived, false},
        {FigureId::single_megabytes, "single MB/s", Better::higher, Pass::single, true},
        {FigureId::overall_megabytes, "overall MB/s", Better::higher, Pass::multi, true},
        {FigureId::single_seconds, "single seconds", Better::lower, Pass::single, false},
        {FigureId::thread_seconds, "thread seconds (mean)", Better::lower, Pass::multi, false},
    };
    return kinds;
}

const FigureKind& figure_kind(FigureId id) {
    const std::vector<FigureKind>& all = figure_kinds();
    return *std::find_if(all.begin(), all.end(), [&](const FigureKind& f) { return f.id == id; });
}

bool pass_rate(FigureId id) {
    return id == FigureId::single_rate || id == FigureId::overall_rate;
}

}  // namespace report
