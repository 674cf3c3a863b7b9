// Every printed figure stands for the interval of values that print to it:
// plus or minus half a unit in its sixth significant digit. A relation between
// figures is flagged only when no values inside those intervals satisfy it.
#include "input/checks.h"

#include "model/catalogue.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>

#include <fmt/format.h>

namespace report {

namespace {

struct Interval {
    double lo = 0, hi = 0;
};

// Slack for the double arithmetic on top of the printed rounding.
constexpr double slack = 1e-12;

Interval interval(double v) {
    if (v == 0)
        return {0, 0};
    double a = std::fabs(v);
    double half = 0.5 * std::pow(10.0, std::floor(std::log10(a)) - 5);
    return {v - half, v + half};
}

bool finite(const std::optional<Figure>& f) {
    return f && std::isfinite(f->value);
}

Interval widen(Interval i) {
    double m = std::max(std::fabs(i.lo), std::fabs(i.hi)) * slack;
    return {i.lo - m, i.hi + m};
}

bool overlap(Interval a, Interval b) {
    a = widen(a);
    b = widen(b);
    return a.lo <= b.hi && b.lo <= a.hi;
}

Interval times(Interval a, Interval b) {
    double p[] = {a.lo * b.lo, a.lo * b.hi, a.hi * b.lo, a.hi * b.hi};
    return {*std::min_element(p, p + 4), *std::max_element(p, p + 4)};
}

Interval scaled(Interval a, double k) {
    return k >= 0 ? Interval{a.lo * k, a.hi * k} : Interval{a.hi * k, a.lo * k};
}

// a / b for b bounded away from zero (positive rates).
std::optional<Interval> divided(Interval a, Interval b) {
    if (b.lo <= 0)
        return std::nullopt;
    double p[] = {a.lo / b.lo, a.lo / b.hi, a.hi / b.lo, a.hi / b.hi};
    return Interval{*std::min_element(p, p + 4), *std::max_element(p, p + 4)};
}

// A timed pass: its rate and seconds, and the line of its seconds, where it
// starts.
struct Pass {
    const Figure* seconds;
    const Figure* rate;
    int line;
    const Test* test;
};

// The power of two inside rate x seconds, or 0 when there is none.
std::uint64_t power_of_two(const Pass& p) {
    Interval n = widen(
        times(scaled(interval(p.rate->value), p.test->unit_scale), interval(p.seconds->value)));
    if (!(n.hi >= 1) || n.hi > 0x1p62)
        return 0;
    for (int k = 0; k <= 62; ++k) {
        double v = std::ldexp(1.0, k);
        if (v >= n.lo && v <= n.hi)
            return std::uint64_t{1} << k;
    }
    return 0;
}

// The line a finding about figure `f` of test `t` points at: the figure's
// own, else (a figure not read from a text) the test's heading.
int line_of(const Figure& f, const Test& t) {
    return f.line > 0 ? f.line : t.first_line;
}

std::string fmt_count(std::uint64_t n) {
    for (int k = 0; k < 64; ++k)
        if (n == std::uint64_t{1} << k)
            return fmt::format("{} (2^{})", n, k);
    return std::to_string(n);
}

void check_iterations(Run& run) {
    std::uint64_t expected =
        run.program == Program::processors ? std::uint64_t{1} << 27 : std::uint64_t{1} << 24;
    std::vector<Pass> passes;
    for (const Test& t : run.tests) {
        if (finite(t.single_seconds) && finite(t.single_rate))
            passes.push_back({&*t.single_seconds, &*t.single_rate,
                              line_of(*t.single_seconds, t), &t});
        for (const ThreadResult& r : t.threads)
            if (finite(r.seconds) && finite(r.rate))
                passes.push_back({&*r.seconds, &*r.rate, line_of(*r.seconds, t), &t});
    }
    // The file's count: the one most passes agree on, the full-run count on a tie.
    std::vector<std::uint64_t> counts;
    std::map<std::uint64_t, int> votes;
    for (const Pass& p : passes) {
        counts.push_back(power_of_two(p));
        if (counts.back())
            ++votes[counts.back()];
    }
    std::uint64_t count = expected;
    int best = votes.count(expected) ? votes[expected] : 0;
    for (auto [n, v] : votes)
        if (v > best) {
            best = v;
            count = n;
        }
    run.iterations = count;
    if (count != expected)
        run.findings.push_back(
            {0, "", "iterations",
             fmt::format("every pass ran {} iterations instead of {}: a short-pass build, whose "
                         "figures are not comparable with full runs",
                         fmt_count(count), fmt_count(expected))});
    for (std::size_t i = 0; i < passes.size(); ++i) {
        if (counts[i] == count)
            continue;
        const Pass& p = passes[i];
        double product = p.rate->value * p.test->unit_scale * p.seconds->value;
        run.findings.push_back(
            {p.line, p.test->key, "iterations",
             fmt::format("rate {} x {} s is {:.6g} iterations, not the run's {}", p.rate->text,
                         p.seconds->text, product, fmt_count(count))});
    }
}

// The findings of one test, each on the line of the figure found wrong (a
// finding about the test's blocks as a whole, on its heading).
class TestChecks {
public:
    TestChecks(Run& run, const Test& t) : run_(run), t_(t) {}

    void add(const char* check, std::string message, int line = 0) {
        run_.findings.push_back(
            {line > 0 ? line : t_.first_line, t_.key, check, std::move(message)});
    }

    // MB/s = rate x bytes / 1048576, for every pass that prints both.
    void megabytes() {
        check_mb(t_.single_rate, t_.single_megabytes, "single thread");
        for (const ThreadResult& r : t_.threads)
            check_mb(r.rate, r.megabytes, fmt::format("thread {}", r.thread));
        check_mb(t_.overall_rate, t_.overall_megabytes, "overall");
    }

    // Every timed figure is a positive finite number: a pass takes time and
    // does work. Rules between figures cannot judge an inf, a nan, a zero or
    // a negative one, so each is flagged on its own.
    void values() {
        positive(t_.single_seconds, "single-thread seconds");
        positive(t_.single_rate, "single-thread rate");
        positive(t_.single_megabytes, "single-thread MB/s");
        for (const ThreadResult& r : t_.threads) {
            positive(r.seconds, fmt::format("thread {} seconds", r.thread));
            positive(r.rate, fmt::format("thread {} rate", r.thread));
            positive(r.megabytes, fmt::format("thread {} MB/s", r.thread));
        }
        overall(t_.overall_rate, "overall rate");
        overall(t_.overall_megabytes, "overall MB/s");
        positive(t_.improvement, "improvement");
    }

    // Overall = sum of the per-thread rates that were printed. Returns the
    // threads that ran out of memory.
    int overall_sum() {
        Interval sum{0, 0};
        bool sum_known = true;
        int out_of_memory = 0;
        for (const ThreadResult& r : t_.threads) {
            if (r.out_of_memory) {
                ++out_of_memory;
                continue;
            }
            if (!finite(r.rate)) {
                sum_known = false;
                continue;
            }
            Interval i = interval(r.rate->value);
            sum = {sum.lo + i.lo, sum.hi + i.hi};
        }
        if (sum_known && finite(t_.overall_rate) && !overlap(sum, interval(t_.overall_rate->value)))
            add("overall_sum",
                fmt::format("overall {} is not the sum of the per-thread rates ({:.6g})",
                            t_.overall_rate->text, (sum.lo + sum.hi) / 2),
                t_.overall_rate->line);
        return out_of_memory;
    }

    // Improvement = overall / single, printed only when no pass ran out of memory.
    void improvement(int out_of_memory) {
        if (finite(t_.improvement) && finite(t_.overall_rate) && finite(t_.single_rate)) {
            auto ratio =
                divided(interval(t_.overall_rate->value), interval(t_.single_rate->value));
            if (ratio && !overlap(*ratio, interval(t_.improvement->value)))
                add("improvement_ratio",
                    fmt::format("improvement {} is not overall / single ({:.6g})",
                                t_.improvement->text,
                                t_.overall_rate->value / t_.single_rate->value),
                    t_.improvement->line);
        }
        if (t_.improvement_unavailable && !t_.single_out_of_memory && out_of_memory == 0)
            add("improvement_ratio",
                "the improvement is marked not available, yet no pass ran out of memory",
                t_.improvement_line);
        if (t_.improvement && (t_.single_out_of_memory || out_of_memory > 0))
            add("improvement_ratio", "an improvement is printed, yet a pass ran out of memory",
                t_.improvement->line);
    }

    // The overall line's count of threads out of memory against the threads'.
    void incomplete(int out_of_memory) {
        if (t_.incomplete_threads != out_of_memory)
            add("incomplete",
                fmt::format("the overall line counts {} thread(s) out of memory, the "
                            "per-thread lines {}",
                            t_.incomplete_threads, out_of_memory),
                t_.overall_rate ? t_.overall_rate->line : 0);
    }

    // One block per thread of the run, each thread once.
    void thread_blocks() {
        if (!run_.threads)
            return;
        std::vector<int> seen;
        for (const ThreadResult& r : t_.threads)
            seen.push_back(r.thread);
        std::sort(seen.begin(), seen.end());
        bool repeated = std::adjacent_find(seen.begin(), seen.end()) != seen.end();
        bool outside = !seen.empty() && seen.back() >= *run_.threads;
        if (static_cast<long long>(t_.threads.size()) != *run_.threads || repeated || outside)
            add("threads", fmt::format("{} per-thread result(s) for Thread(s): {}{}",
                                       t_.threads.size(), *run_.threads,
                                       repeated  ? ", a thread appears twice"
                                       : outside ? ", a thread number beyond the count"
                                                 : ""));
    }

private:
    void check_mb(const std::optional<Figure>& rate, const std::optional<Figure>& mb,
                  const std::string& where) {
        const double to_mb = t_.bytes_per_iteration * t_.unit_scale / 1048576.0;
        if (t_.bytes_per_iteration <= 0 || !finite(rate) || !finite(mb))
            return;
        if (!overlap(scaled(interval(rate->value), to_mb), interval(mb->value)))
            add("megabytes",
                fmt::format("{}: {} MB/s is not rate {} x {} bytes / 1048576 ({:.6g})", where,
                            mb->text, rate->text, t_.bytes_per_iteration, rate->value * to_mb),
                mb->line);
    }

    void positive(const std::optional<Figure>& f, const std::string& what) {
        if (f && !(f->value > 0 && std::isfinite(f->value)))
            add("value", fmt::format("{} {} is not a positive finite number", what, f->text),
                f->line);
    }

    // An overall sum over threads that all ran out of memory is a true 0.
    void overall(const std::optional<Figure>& f, const std::string& what) {
        if (t_.incomplete_threads > 0 && f && f->value == 0)
            return;
        positive(f, what);
    }

    Run& run_;
    const Test& t_;
};

void check_test(Run& run, const Test& t) {
    TestChecks checks(run, t);
    checks.megabytes();
    checks.values();
    // A test without a single-thread pass prints no per-thread lines to sum.
    if (!has_single(t) || !t.complete)
        return;
    int out_of_memory = checks.overall_sum();
    checks.improvement(out_of_memory);
    checks.incomplete(out_of_memory);
    checks.thread_blocks();
}

}  // namespace

void check_run(Run& run) {
    check_iterations(run);
    for (const Test& t : run.tests)
        check_test(run, t);
}

}  // namespace report
