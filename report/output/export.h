// The machine-readable forms of runs, used by `export` and its benchmark.
#pragma once

#include <string>
#include <vector>

#include "model/run.h"

namespace report {

std::string export_json(const std::vector<Run>& runs);
void export_json(const std::vector<Run>& runs, std::string& out);  // appends
// The JSON document in pieces, for writing a fleet run by run: the opening,
// each run (`first` for the first), the closing.
void export_json_begin(std::string& out);
void export_json_run(const Run& run, bool first, std::string& out);
void export_json_end(bool any_run, std::string& out);
// CSV: the header line, then export_csv_rows of each run.
void export_csv(const std::vector<Run>& runs, std::string& out);  // appends
const char* csv_header();
void export_csv_rows(const Run& run, std::string& out);  // appends

}  // namespace report

namespace report {

// The latest run of each label (output/latest_figures.h) for the services
// that watch benchmarks, each a whole document:
// the Prometheus text exposition, version 0.0.4, as node_exporter's textfile
// collector reads it: a gauge family per kind of figure, no timestamps;
std::string export_openmetrics(const std::vector<Run>& runs);
// Bencher's metric format: benchmark name to `throughput` to
// {value, lower_value, upper_value};
std::string export_bmf(const std::vector<Run>& runs);
// the array a benchmark action reads as `customBiggerIsBetter`.
std::string export_benchmark_action(const std::vector<Run>& runs);

}  // namespace report
