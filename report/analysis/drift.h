// A drift in a plain series: a level that moves gradually over weeks or
// months instead of at once. The step search cuts such a slope into a
// staircase of change points, each a real but misleading finding; here the
// staircase a step search found is weighed against a ramp (constant, then
// linear, then constant) by a penalised fit on the log series, and where the
// ramp wins the series is said to drift, with the steps left on top of it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "analysis/change_search.h"

namespace report {

struct SeriesDrift {
    std::size_t start = 0, end = 0;  // the ramp's first and last values (indexes)
    double log_change = 0;           // the ramp's rise over [start, end], in log units
    double log_low = 0, log_high = 0;  // its 95% interval
    // The ramp's fitted log level at each index (for the steps on top of it).
    std::vector<double> fitted;
};

// What the step search and the drift fit find in one series together: the
// steps (on top of the drift, when there is one) and the drift.
struct SeriesFindings {
    std::size_t staircase = 0;  // the step search's change points, before a drift replaced them
    std::vector<SeriesChange> steps;
    std::optional<SeriesDrift> drift;
    // The ramp that lost to the steps, when it explains them all but the
    // steps left on top of it (each other step goes its way): the same drift
    // seen through more noise, should the series' siblings drift that way,
    // with those steps on it.
    std::optional<SeriesDrift> lost;
    std::vector<SeriesChange> lost_steps;
};

// The findings of `values` (finite logs, in time order). Without a change
// point from the step search there is no drift either: the ramp only ever
// re-describes a change the calibrated step test has shown, so the false
// findings on pure noise are the step search's own.
SeriesFindings series_findings(std::span<const double> values,
                               const ChangePointSettings& settings = {});

// The series of one program of one machine: where some drift one way, each
// that lost its ramp in the same direction drifts too, its staircase told as
// the drift and the steps left on top of it. A machine that drifts drifts in
// all its figures, and a figure whose every step but those the ramp leaves
// goes the drift's way is that drift.
// `values` are the series' values, in the same order.
void adopt_sibling_drifts(std::vector<SeriesFindings>& figures,
                          const std::vector<std::vector<double>>& values,
                          const ChangePointSettings& settings = {});

// The least-squares ramp of `values` with its start and end searched, a
// ramp at least `shortest` values long; absent when the series is shorter.
// The fitted levels, the change and its interval as in SeriesDrift.
std::optional<SeriesDrift> fit_ramp(std::span<const double> values, std::size_t shortest);

}  // namespace report
