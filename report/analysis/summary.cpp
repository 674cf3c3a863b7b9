#include "analysis/summary.h"

#include <algorithm>

#include <fmt/format.h>

#include "model/catalogue.h"
#include "input/load.h"
#include "analysis/stats.h"

namespace report {

namespace {

std::optional<double> value(const std::optional<Figure>& f) {
    if (!f)
        return std::nullopt;
    return f->value;
}

}  // namespace

TestSummary summarize(const Run& run, const Test& test) {
    TestSummary s;
    s.threads = stats::thread_count(run, &test).value_or(0);
    s.single_rate = value(test.single_rate);
    s.overall_rate = value(test.overall_rate);
    s.single_megabytes = value(test.single_megabytes);
    s.overall_megabytes = value(test.overall_megabytes);
    if (test.improvement)
        s.improvement = test.improvement->value;
    else if (!test.improvement_unavailable && test.complete && s.single_rate && s.overall_rate &&
             *s.single_rate != 0)
        s.improvement = *s.overall_rate / *s.single_rate;
    if (s.threads > 0) {
        if (s.improvement)
            s.efficiency = *s.improvement / s.threads;
        if (s.overall_rate)
            s.per_thread_overall = *s.overall_rate / s.threads;
    }
    std::vector<double> rates;
    for (const ThreadResult& r : test.threads)
        if (r.rate)
            rates.push_back(r.rate->value);
    if (std::optional<stats::Range> r = stats::range(rates)) {
        s.thread_min = r->min;
        s.thread_max = r->max;
        s.spread = r->spread;
        s.thread_median = stats::median(rates);
    }
    return s;
}

}  // namespace report
