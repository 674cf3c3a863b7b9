#include "output/latest_figures.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <map>
#include <utility>

#include "analysis/history.h"
#include "analysis/runs_taken.h"
#include "analysis/stats.h"
#include "machine/record.h"
#include "model/calendar.h"
#include "model/catalogue.h"

namespace report {

namespace {

struct Key {
    std::string test;
    bool overall;
    LatestKind kind;
    bool operator<(const Key& o) const {
        return std::tie(test, overall, kind) < std::tie(o.test, o.overall, o.kind);
    }
};

// A label's figures as its repetitions give them, each figure's values.
class Collector {
public:
    void add(const Run& run) {
        for (const Test& t : run.tests) {
            if (std::find(tests_.begin(), tests_.end(), t.key) == tests_.end())
                tests_.push_back(t.key);
            value(t, false, LatestKind::rate, t.single_rate, t.unit_scale);
            value(t, false, LatestKind::megabytes, t.single_megabytes, 1);
            value(t, false, LatestKind::seconds, t.single_seconds, 1);
            if (t.incomplete_threads == 0) {
                value(t, true, LatestKind::rate, t.overall_rate, t.unit_scale);
                value(t, true, LatestKind::megabytes, t.overall_megabytes, 1);
            }
            value(t, true, LatestKind::improvement, t.improvement, 1);
        }
    }

    std::vector<LatestFigure> figures() const {
        std::vector<LatestFigure> out;
        for (const std::string& test : tests_)
            for (bool overall : {false, true})
                for (LatestKind kind : {LatestKind::rate, LatestKind::megabytes,
                                        LatestKind::improvement, LatestKind::seconds}) {
                    auto it = values_.find(Key{test, overall, kind});
                    if (it == values_.end())
                        continue;
                    const std::vector<double>& v = it->second.second;
                    LatestFigure f{test, overall, kind, it->second.first,
                                   *stats::median(v), *std::min_element(v.begin(), v.end()),
                                   *std::max_element(v.begin(), v.end()), v.size()};
                    out.push_back(std::move(f));
                }
        return out;
    }

private:
    void value(const Test& t, bool overall, LatestKind kind, const std::optional<Figure>& f,
               double scale) {
        if (!f || !std::isfinite(f->value * scale))
            return;
        const TestInfo* info = find_test_info(t.key);
        std::string unit = kind == LatestKind::rate ? (info ? std::string(info->base_unit)
                                                            : "executions/s")
                           : kind == LatestKind::megabytes ? "MB/s"
                           : kind == LatestKind::seconds   ? "s"
                                                           : "ratio";
        auto& slot = values_[Key{t.key, overall, kind}];
        slot.first = unit;
        slot.second.push_back(f->value * scale);
    }

    std::vector<std::string> tests_;
    std::map<Key, std::pair<std::string, std::vector<double>>> values_;
};

}  // namespace

std::vector<LatestLabel> latest_figures(const std::vector<Run>& runs) {
    std::vector<const Run*> all;
    for (const Run& r : runs)
        all.push_back(&r);
    std::vector<const Run*> taken = take_last_runs(all);
    std::vector<LatestLabel> out;
    std::vector<Collector> collectors;
    std::map<std::pair<std::string, Program>, std::size_t> place;
    std::vector<std::string> latest_start;
    for (const Run* r : taken) {
        auto [it, fresh] = place.emplace(std::pair{r->label, r->program}, out.size());
        if (fresh) {
            LatestLabel fresh_label;
            fresh_label.label = r->label;
            fresh_label.program = r->program;
            out.push_back(std::move(fresh_label));
            collectors.emplace_back();
            latest_start.emplace_back();
        }
        std::size_t i = it->second;
        LatestLabel& l = out[i];
        collectors[i].add(*r);
        ++l.repetitions;
        // The latest repetition names the host, the build and the start.
        std::string start = run_start(*r).value_or("");
        if (start < latest_start[i] && l.repetitions > 1)
            continue;
        latest_start[i] = start;
        l.started = utc_seconds(start);
        const MachineRecord* m = r->machine.get();
        l.host = m && m->machine.hostname ? *m->machine.hostname : "";
        l.build = m && m->program.sha256 ? m->program.sha256->substr(0, 12) : "";
    }
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i].figures = collectors[i].figures();
    return out;
}

std::string figure_words(const LatestFigure& f) {
    std::string pass = f.overall ? "overall " : "single ";
    switch (f.kind) {
        case LatestKind::rate: return pass + "rate";
        case LatestKind::megabytes: return pass + "MB/s";
        case LatestKind::improvement: return pass + "improvement";
        case LatestKind::seconds: break;
    }
    return pass + "seconds";
}

bool is_throughput(const LatestFigure& f) {
    return f.kind == LatestKind::rate || f.kind == LatestKind::megabytes;
}

std::string benchmark_name(const LatestLabel& l, const LatestFigure& f) {
    return l.label + "/" + program_name(l.program) + "/" + f.test + "/" + figure_words(f);
}

}  // namespace report
