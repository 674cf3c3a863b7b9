#include "analysis/scaling.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "analysis/stats.h"
#include "analysis/summary.h"
#include "machine/record.h"

namespace report {

namespace {

// The slowest thread of the multi-thread pass against the threads' mean.
void slowest_thread(const Test& test, const ScalingSet* set, TestScaling& out) {
    double sum = 0;
    int counted = 0;
    const ThreadResult* slowest = nullptr;
    for (const ThreadResult& t : test.threads)
        if (t.rate && std::isfinite(t.rate->value)) {
            sum += t.rate->value;
            ++counted;
            if (!slowest || t.rate->value < slowest->rate->value)
                slowest = &t;
        }
    if (counted < 2 || sum <= 0)
        return;
    out.slowest_share = slowest->rate->value / (sum / counted);
    out.slowest_thread = slowest->thread;
    if (set && slowest->thread >= 0 &&
        static_cast<std::size_t>(slowest->thread) < set->places.size())
        out.slowest_cpu = set->places[static_cast<std::size_t>(slowest->thread)];
}

// A cgroup's CPU quota when it allows fewer processors' worth than `threads`.
std::optional<double> quota_below(const std::optional<double>& quota, int threads) {
    if (quota && *quota > 0 && *quota < threads && threads > 1)
        return quota;
    return std::nullopt;
}

// Where the threads ran, from the point's set or the affinity recorded.
void placing_of(const MachineRecord& record, int threads, RunScaling& out) {
    const Machine& m = record.machine;
    const Topology& t = m.topology;
    if (record.scaling) {
        out.placing = Placing::bound;
        out.cpus = record.scaling->cpus;
        if (record.scaling->cores > 0)
            out.cores = record.scaling->cores;
        out.sharing = static_cast<int>(record.scaling->siblings.size());
        out.nodes = record.scaling->nodes;
        return;
    }
    std::optional<CpuSet> allowed = m.affinity ? parse_cpu_list(*m.affinity) : std::nullopt;
    if (!allowed || allowed->empty())
        return;
    out.placing = Placing::unbound;
    out.cpus = t.known() ? intersection(*allowed, t.online) : *allowed;
    if (t.known() && !t.cores.empty()) {
        out.cores = static_cast<int>(t.one_per_core(out.cpus).size());
        out.sharing = std::max(0, threads - *out.cores);
    }
    out.nodes = t.nodes_of(out.cpus);
}

ClockNote clock_of(const MachineRecord* record) {
    if (!record)
        return {false, "", "no machine.json beside the results file", 0};
    if (const std::optional<ClockRecord>& c = record->clock) {
        if (c->source == "aperf_mperf" || c->source == "scaling_cur_freq")
            return {true, *c->source, "", c->interval_ms.value_or(0)};
        if (c->source)
            return {false, "", "machine.json names an unknown clock source", 0};
        return {false, "", c->reason.value_or("machine.json gives no reason"), 0};
    }
    // Written before bench_report sampled the clock during the passes.
    if (record->machine.policies.empty())
        return {false, "",
                record->machine.hypervisor.value_or(false) ? "no cpufreq in this virtual machine"
                                                           : "no cpufreq on this machine",
                0};
    return {false, "", "the clock was read before and after the repetition, not during its passes",
            0};
}

// The test's all-core clock against its one-core clock, from the samples of its passes.
void clock_ratio(const ClockRecord& clock, TestScaling& out) {
    for (const TestClock& t : clock.tests)
        if (t.test == out.key) {
            out.clock_single_samples = t.single.samples;
            out.clock_multi_samples = t.multi.samples;
            if (t.single.mean && t.multi.mean && *t.single.mean > 0 && *t.multi.mean > 0 &&
                t.single.samples > 0 && t.multi.samples > 0 &&
                std::isfinite(*t.multi.mean / *t.single.mean))
                out.clock_ratio = *t.multi.mean / *t.single.mean;
        }
}

}  // namespace

bool above_ideal_by_design(const TestScaling& t) {
    return (t.key == "float" || t.key == "integer") && t.efficiency > 1;
}

RunScaling explain_scaling(const Run& run) {
    RunScaling out;
    const MachineRecord* record = run.machine.get();
    const ScalingSet* set = record && record->scaling ? &*record->scaling : nullptr;
    int run_threads = run.threads ? static_cast<int>(*run.threads) : 0;
    for (const Test& test : run.tests) {
        TestSummary s = summarize(run, test);
        if (!s.improvement || !std::isfinite(*s.improvement) || s.threads <= 0)
            continue;
        TestScaling ts;
        ts.key = test.key;
        ts.threads = s.threads;
        ts.improvement = *s.improvement;
        ts.efficiency = *s.improvement / s.threads;
        slowest_thread(test, set, ts);
        if (record && record->clock && record->clock->source)
            clock_ratio(*record->clock, ts);
        out.tests.push_back(ts);
        run_threads = std::max(run_threads, s.threads);
    }
    if (record) {
        out.recorded = true;
        placing_of(*record, run_threads, out);
        out.hypervisor = record->machine.hypervisor.value_or(false);
        out.cpu_quota = quota_below(record->machine.cpu_quota, run_threads);
    }
    out.clock = clock_of(record);
    return out;
}

namespace {

std::optional<double> median_of(std::vector<double> values) {
    return values.empty() ? std::nullopt : stats::median(values);
}

// The medians of one test over a label's explained repetitions.
TestScaling median_test(const std::string& key, const std::vector<RunScaling>& runs) {
    TestScaling out;
    std::vector<double> improvements, shares, clocks;
    for (const RunScaling& r : runs)
        for (const TestScaling& t : r.tests)
            if (t.key == key) {
                out.threads = out.threads ? out.threads : t.threads;
                improvements.push_back(t.improvement);
                if (t.slowest_share)
                    shares.push_back(*t.slowest_share);
                if (t.clock_ratio)
                    clocks.push_back(*t.clock_ratio);
                out.clock_single_samples += t.clock_single_samples;
                out.clock_multi_samples += t.clock_multi_samples;
            }
    out.key = key;
    out.improvement = median_of(improvements).value_or(0);
    out.efficiency = out.threads > 0 ? out.improvement / out.threads : 0;
    out.slowest_share = median_of(shares);
    out.clock_ratio = median_of(clocks);
    return out;
}

}  // namespace

LabelScaling explain_label(const std::vector<const Run*>& repetitions) {
    LabelScaling out;
    std::vector<RunScaling> runs;
    std::vector<std::string> keys;
    for (const Run* r : repetitions) {
        runs.push_back(explain_scaling(*r));
        for (const TestScaling& t : runs.back().tests)
            if (std::find(keys.begin(), keys.end(), t.key) == keys.end())
                keys.push_back(t.key);
    }
    out.repetitions = static_cast<int>(repetitions.size());
    if (runs.empty())
        return out;
    out.first = runs.front();
    out.first.tests.clear();
    for (const std::string& key : keys)
        out.tests.push_back(median_test(key, runs));
    return out;
}

namespace {

// A point's repetitions of one sweep: its set and each run.
struct PointRuns {
    const ScalingSet* set = nullptr;
    std::vector<const Run*> runs;
};

CurveTest curve_of(const Test& first, const std::map<int, PointRuns>& points) {
    CurveTest c;
    c.key = first.key;
    c.unit = first.unit;
    for (const auto& [threads, point] : points) {
        std::vector<double> rates;
        for (const Run* r : point.runs)
            for (const Test& t : r->tests)
                if (t.key == first.key && t.overall_rate && std::isfinite(t.overall_rate->value) &&
                    !t.incomplete_threads)
                    rates.push_back(t.overall_rate->value);
        if (rates.empty())
            continue;
        CurvePoint p;
        p.threads = threads;
        p.cpus = point.set->cpus;
        p.smt = !point.set->siblings.empty();
        p.rate = *stats::median(rates);
        p.low = *std::min_element(rates.begin(), rates.end());
        p.high = *std::max_element(rates.begin(), rates.end());
        p.repetitions = static_cast<int>(rates.size());
        c.points.push_back(p);
    }
    // The ideal needs the one-thread point.
    if (c.points.empty() || c.points.front().threads != 1)
        return {};
    for (CurvePoint& p : c.points) {
        p.ideal = c.points.front().rate * p.threads;
        p.efficiency = p.ideal > 0 ? p.rate / p.ideal : 0;
    }
    return c;
}

}  // namespace

std::vector<SweepCurve> sweep_curves(const std::vector<const Run*>& runs) {
    std::vector<SweepCurve> curves;
    std::map<std::pair<std::string, Program>, std::size_t> index;
    std::vector<std::map<int, PointRuns>> points;
    for (const Run* run : runs) {
        const Run& r = *run;
        if (!r.machine || !r.machine->scaling || r.machine->scaling->sweep.empty() ||
            unfinished_outcome(r.machine->repetition) || r.partial)
            continue;
        const ScalingSet& set = *r.machine->scaling;
        auto [at, fresh] = index.try_emplace({set.sweep, r.program}, curves.size());
        if (fresh) {
            curves.push_back({set.sweep, r.label, r.program, 0, std::nullopt, {}});
            points.emplace_back();
        }
        PointRuns& p = points[at->second][static_cast<int>(set.places.size())];
        p.set = &set;
        p.runs.push_back(&r);
        SweepCurve& curve = curves[at->second];
        curve.cores = std::max(curve.cores, set.cores);
        if (std::optional<double> q = r.machine->machine.cpu_quota; q && *q > 0)
            curve.cpu_quota = std::min(*q, curve.cpu_quota.value_or(*q));
    }
    for (std::size_t i = 0; i < curves.size(); ++i) {
        curves[i].cpu_quota =
            quota_below(curves[i].cpu_quota, points[i].rbegin()->first);
        const Run* first = points[i].begin()->second.runs.front();
        for (const Test& t : first->tests)
            if (CurveTest c = curve_of(t, points[i]); !c.points.empty())
                curves[i].tests.push_back(std::move(c));
    }
    return curves;
}

}  // namespace report
