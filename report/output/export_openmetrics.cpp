// `export --format openmetrics`: the Prometheus text exposition (0.0.4) that
// node_exporter's textfile collector serves, one gauge family per kind of
// figure and one sample per label, program, test and pass. Samples carry no
// timestamp: the collector refuses files that do.
#include <iterator>
#include <string>

#include <fmt/format.h>

#include "output/export.h"
#include "output/latest_figures.h"
#include "output/text.h"

namespace report {

namespace {

struct Family {
    const char* name;
    const char* help;
};

Family family(LatestKind kind) {
    switch (kind) {
        case LatestKind::rate:
            return {"bench_report_rate",
                    "The test's rate in its unit a second (executions or allocations), the "
                    "median of the label's latest run."};
        case LatestKind::megabytes:
            return {"bench_report_bytes_per_second",
                    "The test's memory throughput in bytes a second (the programs' MB/s are "
                    "1048576 bytes), the median of the label's latest run."};
        case LatestKind::improvement:
            return {"bench_report_improvement_ratio",
                    "The overall rate over the single-thread rate, the median of the label's "
                    "latest run."};
        case LatestKind::seconds: break;
    }
    return {"bench_report_seconds",
            "The seconds the single-thread pass took, the median of the label's latest run."};
}

// A label value: a name read from a directory shown as a terminal shows it
// (control and bidirectional characters escaped, bytes that are not UTF-8
// as \xNN, so distinct names stay distinct), then quoted as the exposition
// quotes: backslash, double quote and newline escaped.
std::string label_value(const std::string& text) {
    std::string out;
    for (char c : escape_path(text)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? 'n' : c;
    }
    return out;
}

std::string labels(const LatestLabel& l) {
    return fmt::format("host=\"{}\",label=\"{}\",program=\"{}\"", label_value(l.host),
                       label_value(l.label), program_name(l.program));
}

// In the exposition's base units: the programs' MB is 1048576 bytes.
double value(const LatestFigure& f) {
    return f.kind == LatestKind::megabytes ? f.median * 1048576 : f.median;
}

void write_family(const std::vector<LatestLabel>& latest, LatestKind kind, std::string& out) {
    Family f = family(kind);
    std::string samples;
    for (const LatestLabel& l : latest)
        for (const LatestFigure& fig : l.figures)
            if (fig.kind == kind)
                fmt::format_to(std::back_inserter(samples),
                               "{}{{{},test=\"{}\",pass=\"{}\",build=\"{}\"}} {}\n", f.name,
                               labels(l), label_value(fig.test), fig.overall ? "overall" : "single",
                               label_value(l.build), value(fig));
    if (samples.empty())
        return;
    fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} gauge\n", f.name, f.help,
                   f.name);
    out += samples;
}

}  // namespace

std::string export_openmetrics(const std::vector<Run>& runs) {
    std::vector<LatestLabel> latest = latest_figures(runs);
    std::string out;
    for (LatestKind kind : {LatestKind::rate, LatestKind::megabytes, LatestKind::improvement,
                            LatestKind::seconds})
        write_family(latest, kind, out);
    std::string starts;
    for (const LatestLabel& l : latest)
        if (l.started)
            fmt::format_to(std::back_inserter(starts),
                           "bench_report_run_timestamp_seconds{{{},build=\"{}\"}} {}\n", labels(l),
                           label_value(l.build), *l.started);
    if (!starts.empty())
        out += "# HELP bench_report_run_timestamp_seconds When the label's latest run started, "
               "in Unix seconds.\n# TYPE bench_report_run_timestamp_seconds gauge\n" +
               starts;
    return out;
}

}  // namespace report
