#include "compare.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.h"
#include "load.h"

namespace report {

namespace {

// Ratios exactly on the edge of a band (1.02 for 2%) must fall inside it even
// though 1.02 - 1 is a hair above 0.02 in binary.
constexpr double edge = 1e-9;

// A figure of one test of one run, before it is compared.
struct Value {
    std::optional<double> value;
    std::string text = "n/a";
};

Value printed(const std::optional<Figure>& figure)
{
    if (!figure)
        return {};
    return {figure->value, figure->text};
}

std::string format_value(double v) { return fmt::format("{:.6g}", v); }

Value derived(double v) { return {v, format_value(v)}; }

// The threads of the multi-thread pass: the count the run printed, else the
// threads it reported.
std::optional<double> thread_count(const Run& run, const Test& test)
{
    if (run.threads && *run.threads > 0)
        return static_cast<double>(*run.threads);
    if (!test.threads.empty())
        return static_cast<double>(test.threads.size());
    return std::nullopt;
}

// An overall figure summed over fewer threads than ran (some ran out of
// memory) is not comparable with a complete one.
Value overall(const Test& test, const std::optional<Figure>& figure)
{
    if (figure && test.incomplete_threads > 0)
        return {std::nullopt, "incomplete"};
    return printed(figure);
}

struct FigureDef {
    const char* name;
    Better better;
    bool megabytes;    // only for tests that move bytes
    std::function<std::string(const Test&)> unit;
    std::function<Value(const Run&, const Test&)> get;
};

const std::vector<FigureDef>& figure_defs()
{
    static const std::vector<FigureDef> defs = {
        {"single rate", Better::higher, false, [](const Test& t) { return t.unit; },
         [](const Run&, const Test& t) { return printed(t.single_rate); }},
        {"overall rate", Better::higher, false, [](const Test& t) { return t.unit; },
         [](const Run&, const Test& t) { return overall(t, t.overall_rate); }},
        {"overall per thread", Better::higher, false, [](const Test& t) { return t.unit; },
         [](const Run& r, const Test& t) {
             Value v = overall(t, t.overall_rate);
             std::optional<double> n = thread_count(r, t);
             if (!v.value || !n)
                 return v;
             return derived(*v.value / *n);
         }},
        {"improvement", Better::higher, false, [](const Test&) { return std::string("times"); },
         [](const Run&, const Test& t) { return printed(t.improvement); }},
        {"single MB/s", Better::higher, true, [](const Test&) { return std::string("MB/sec."); },
         [](const Run&, const Test& t) { return printed(t.single_megabytes); }},
        {"overall MB/s", Better::higher, true, [](const Test&) { return std::string("MB/sec."); },
         [](const Run&, const Test& t) { return overall(t, t.overall_megabytes); }},
        {"single seconds", Better::lower, false, [](const Test&) { return std::string("Secs."); },
         [](const Run&, const Test& t) { return printed(t.single_seconds); }},
        {"thread seconds (mean)", Better::lower, false,
         [](const Test&) { return std::string("Secs."); },
         [](const Run&, const Test& t) {
             // Only when every thread finished: a mean over the survivors of
             // an out-of-memory pass would flatter the run.
             if (t.threads.empty())
                 return Value{};
             double sum = 0;
             for (const ThreadResult& th : t.threads) {
                 if (!th.seconds || th.out_of_memory)
                     return Value{};
                 sum += th.seconds->value;
             }
             return derived(sum / static_cast<double>(t.threads.size()));
         }},
    };
    return defs;
}

// The test's name without the width note of the streaming tests
// ("Float Streaming. Float is at: 128bits" -> "Float Streaming.").
std::string short_title(const std::string& title)
{
    std::size_t end = title.find(". ");
    return end == std::string::npos ? title : title.substr(0, end + 1);
}

const Test* find_test(const Run& run, const std::string& key)
{
    for (const Test& t : run.tests)
        if (t.key == key)
            return &t;
    return nullptr;
}

std::optional<double> median(std::vector<double> v)
{
    if (v.empty())
        return std::nullopt;
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void compare_cell(Cell& cell, const Cell& base, Better better, double noise)
{
    // Rates, seconds and MB/s are never negative; a file that says so is not
    // compared rather than given a meaningless ratio.
    if (!cell.value || !base.value || *base.value <= 0 || *cell.value < 0)
        return;
    double r = *cell.value / *base.value;
    if (!std::isfinite(r))
        return;
    cell.ratio = r;
    cell.mark = classify(r, better, noise);
}

GeoMean geometric_mean(const ProgramComparison& c, std::size_t run, const char* figure,
                       double noise)
{
    GeoMean g;
    double log_sum = 0;
    for (const FigureRow& row : c.rows) {
        if (row.figure != std::string(figure))
            continue;
        ++g.total;
        const std::optional<double>& r = row.cells[run].ratio;
        if (!r || *r <= 0)
            continue;
        log_sum += std::log(*r);
        ++g.used;
    }
    if (g.used > 0) {
        g.ratio = std::exp(log_sum / g.used);
        g.mark = classify(*g.ratio, Better::higher, noise);
    }
    return g;
}

void find_outliers(ProgramComparison& c)
{
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        double distance = 0;
        bool out = false;
        for (const GeoMean* g : {&c.geo_single[i], &c.geo_overall[i]}) {
            if (!g->ratio)
                continue;
            distance = std::max(distance, std::fabs(std::log(*g->ratio)));
            out = out || g->mark == Mark::better || g->mark == Mark::worse;
        }
        if (!out)
            continue;
        std::vector<std::pair<double, std::string>> figures;
        for (const FigureRow& row : c.rows) {
            const Cell& cell = row.cells[i];
            if (cell.mark == Mark::better || cell.mark == Mark::worse)
                figures.emplace_back(std::fabs(std::log(*cell.ratio)),
                                     fmt::format("{} {} {}", row.test_title, row.figure,
                                                 format_ratio(*cell.ratio)));
        }
        std::stable_sort(figures.begin(), figures.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        Outlier o{i, distance, {}};
        for (std::size_t k = 0; k < figures.size() && k < 3; ++k)
            o.figures.push_back(figures[k].second);
        c.outliers.push_back(std::move(o));
    }
    std::stable_sort(c.outliers.begin(), c.outliers.end(),
                     [](const Outlier& a, const Outlier& b) { return a.distance > b.distance; });
}

ProgramComparison compare_program(std::vector<const Run*> runs, const Run* baseline, bool median_base,
                                  double noise)
{
    ProgramComparison c;
    c.program = runs.front()->program;
    c.runs = std::move(runs);
    if (!median_base) {
        c.baseline = 0;
        for (std::size_t i = 0; i < c.runs.size(); ++i)
            if (c.runs[i] == baseline)
                c.baseline = i;
    }

    // Tests in order of first appearance, the baseline's first.
    std::vector<const Run*> order = c.runs;
    if (c.baseline)
        std::rotate(order.begin(), order.begin() + static_cast<long>(*c.baseline),
                    order.begin() + static_cast<long>(*c.baseline) + 1);
    std::vector<std::pair<std::string, const Test*>> tests;
    for (const Run* r : order)
        for (const Test& t : r->tests)
            if (std::none_of(tests.begin(), tests.end(), [&](const auto& p) { return p.first == t.key; }))
                tests.emplace_back(t.key, &t);

    for (const auto& [key, sample] : tests) {
        for (const FigureDef& def : figure_defs()) {
            if (def.megabytes && sample->bytes_per_iteration <= 0)
                continue;
            FigureRow row{key, short_title(sample->title), def.name, def.unit(*sample), def.better, {}, {}};
            bool any = false;
            for (const Run* r : c.runs) {
                const Test* t = find_test(*r, key);
                Value v = t ? def.get(*r, *t) : Value{};
                // "inf" or "nan" as printed is shown but never compared or
                // taken into a median.
                if (v.value && !std::isfinite(*v.value))
                    v.value.reset();
                any = any || v.value || v.text != "n/a";
                row.cells.push_back({v.value, v.text, std::nullopt, Mark::none});
            }
            if (!any)
                continue;   // a figure this test never has (effective frequency's single pass)
            if (c.baseline) {
                row.baseline = row.cells[*c.baseline];
            } else {
                std::vector<double> present;
                for (const Cell& cell : row.cells)
                    if (cell.value)
                        present.push_back(*cell.value);
                std::optional<double> m = median(present);
                row.baseline = m ? Cell{m, format_value(*m), 1.0, Mark::none} : Cell{{}, "n/a", {}, Mark::none};
            }
            for (std::size_t i = 0; i < row.cells.size(); ++i)
                if (!c.baseline || i != *c.baseline)
                    compare_cell(row.cells[i], row.baseline, row.better, noise);
            if (c.baseline && row.cells[*c.baseline].value)
                row.cells[*c.baseline].ratio = 1.0;
            c.rows.push_back(std::move(row));
        }
    }
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        c.geo_single.push_back(geometric_mean(c, i, "single rate", noise));
        c.geo_overall.push_back(geometric_mean(c, i, "overall rate", noise));
        if (c.baseline && i == *c.baseline) {
            c.geo_single.back().mark = Mark::none;
            c.geo_overall.back().mark = Mark::none;
        }
    }
    if (!c.baseline)
        find_outliers(c);
    return c;
}

std::string mark_symbol(Mark m)
{
    switch (m) {
    case Mark::better: return "+";
    case Mark::worse: return "-";
    case Mark::same: return "=";
    case Mark::none: break;
    }
    return "";
}

std::string cell_text(const Cell& cell, bool is_baseline)
{
    if (!cell.ratio || is_baseline)
        return cell.text;
    return fmt::format("{} {} {}", cell.text, format_ratio(*cell.ratio), mark_symbol(cell.mark));
}

std::string geo_text(const GeoMean& g, bool is_baseline)
{
    if (!g.ratio)
        return fmt::format("n/a (0/{})", g.total);
    std::string s = format_ratio(*g.ratio);
    if (!is_baseline)
        s += " " + mark_symbol(g.mark);
    return fmt::format("{} ({}/{})", s, g.used, g.total);
}

// The run's name for a terminal or a table: its label with control characters
// escaped (a directory name could hold an escape sequence), else its path.
std::string shown(const Run& run)
{
    if (run.label.empty())
        return escape_path(run.path);
    std::string out;
    for (char ch : run.label)
        out += static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f ? escape_path(std::string(1, ch))
                                                                   : std::string(1, ch);
    return out;
}

bool flagged(const Run& run) { return run.partial || !run.findings.empty(); }

std::string column_header(const Run& run, bool is_baseline)
{
    std::string h = shown(run);
    if (flagged(run))
        h += " *";
    if (is_baseline)
        h += " (baseline)";
    return h;
}

std::string percent(double p) { return fmt::format("{:g}%", p); }

bool colour_wanted()
{
    const char* no_color = std::getenv("NO_COLOR");
    return isatty(STDOUT_FILENO) && (no_color == nullptr || *no_color == '\0');
}

}  // namespace

Mark classify(double ratio, Better better, double noise)
{
    if (std::fabs(ratio - 1) <= noise / 100 + edge)
        return Mark::same;
    bool higher = ratio > 1;
    return higher == (better == Better::higher) ? Mark::better : Mark::worse;
}

bool worse_beyond(double ratio, Better better, double percent)
{
    return better == Better::higher ? ratio < 1 - percent / 100 - edge
                                    : ratio > 1 + percent / 100 + edge;
}

std::string format_ratio(double ratio)
{
    return ratio >= 0.001 || ratio == 0 ? fmt::format("x{:.3f}", ratio) : fmt::format("x{:.1e}", ratio);
}

BaselineChoice choose_baseline(const std::vector<Run>& runs, const std::string& option,
                               Loaded& extra, std::ostream& diagnostics)
{
    BaselineChoice choice;
    for (const Run& r : runs)
        choice.runs.push_back(&r);
    if (option == "median") {
        choice.median = true;
        return choice;
    }
    if (option.empty())
        return choice;
    std::error_code ec;
    for (const Run& r : runs)
        if (r.path == option || std::filesystem::equivalent(r.path, option, ec)) {
            choice.baseline = &r;
            return choice;
        }
    extra = load_runs({option}, {}, diagnostics);
    if (extra.runs.size() != 1) {
        if (!extra.failed)
            diagnostics << "bench_report: --baseline " << escape_path(option)
                        << ": expected one results file, found " << extra.runs.size() << "\n";
        choice.failed = true;
        return choice;
    }
    choice.baseline = &extra.runs.front();
    choice.runs.insert(choice.runs.begin(), choice.baseline);
    return choice;
}

std::vector<ProgramComparison> compare_runs(const std::vector<const Run*>& runs,
                                            const Run* baseline, bool median, double noise)
{
    std::vector<std::vector<const Run*>> groups;
    for (const Run* r : runs) {
        auto g = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& group) { return group.front()->program == r->program; });
        if (g == groups.end())
            groups.push_back({r});
        else
            g->push_back(r);
    }
    std::vector<ProgramComparison> out;
    for (auto& g : groups)
        out.push_back(compare_program(std::move(g), baseline, median, noise));
    return out;
}

std::vector<Regression> regressions(const std::vector<ProgramComparison>& comparisons,
                                    double percent)
{
    std::vector<Regression> out;
    for (const ProgramComparison& c : comparisons)
        for (const FigureRow& row : c.rows)
            for (std::size_t i = 0; i < row.cells.size(); ++i) {
                const Cell& cell = row.cells[i];
                if ((c.baseline && i == *c.baseline) || !cell.ratio)
                    continue;
                if (worse_beyond(*cell.ratio, row.better, percent))
                    out.push_back({c.program, shown(*c.runs[i]), row.test_title, row.figure,
                                   cell.text, *cell.ratio});
            }
    return out;
}

std::vector<Table> compare_tables(const std::vector<ProgramComparison>& comparisons, double noise)
{
    std::vector<Table> tables;
    for (const ProgramComparison& c : comparisons) {
        Table t;
        std::string program = program_name(c.program);
        t.title = c.baseline ? fmt::format("{}: {} run(s), baseline {}", program, c.runs.size(),
                                           column_header(*c.runs[*c.baseline], false))
                             : fmt::format("{}: {} run(s), baseline the median of the runs",
                                           program, c.runs.size());
        t.header = {"Test", "Figure", "Unit"};
        if (!c.baseline)
            t.header.push_back("median");
        for (std::size_t i = 0; i < c.runs.size(); ++i)
            t.header.push_back(column_header(*c.runs[i], c.baseline == i));

        std::string previous;
        for (const FigureRow& row : c.rows) {
            std::vector<std::string> cells = {row.test_title == previous ? "" : row.test_title,
                                              row.figure, row.unit};
            previous = row.test_title;
            if (!c.baseline)
                cells.push_back(row.baseline.text);
            for (std::size_t i = 0; i < row.cells.size(); ++i)
                cells.push_back(cell_text(row.cells[i], c.baseline == i));
            t.rows.push_back(std::move(cells));
        }
        for (auto [name, geo] : {std::pair{"geomean single rate", &c.geo_single},
                                 std::pair{"geomean overall rate", &c.geo_overall}}) {
            std::vector<std::string> cells = {name == std::string("geomean single rate") ? "All tests" : "",
                                              name, "ratio"};
            if (!c.baseline)
                cells.push_back("x1.000");
            for (std::size_t i = 0; i < geo->size(); ++i)
                cells.push_back(geo_text((*geo)[i], c.baseline == i));
            t.rows.push_back(std::move(cells));
        }

        t.notes.push_back(fmt::format(
            "Legend: + better than the baseline, - worse, = within the noise band (+/-{}); "
            "xR is the figure divided by the baseline's.",
            percent(noise)));
        t.notes.push_back(
            "Rates, MB/s and improvement: higher is better; seconds: lower is better. "
            "n/a: the run has no such figure; incomplete: some threads ran out of memory, "
            "not compared. Geometric means: (tests used/tests with the figure).");
        if (c.runs.size() == 1)
            t.notes.push_back(fmt::format("Only one run of {}: nothing to compare it with.", program));
        for (const Run* r : c.runs) {
            if (!flagged(*r))
                continue;
            std::string name = shown(*r);
            if (r->partial)
                t.notes.push_back(fmt::format("* {}: partial, the file ends before the end of the run ({})",
                                              name, escape_path(r->path)));
            for (const Finding& f : r->findings)
                t.notes.push_back(fmt::format("* {}: inconsistent{}: {}", name,
                                              f.line ? fmt::format(" (line {})", f.line) : "", f.message));
        }
        tables.push_back(std::move(t));

        if (c.baseline)
            continue;
        Table o;
        o.title = fmt::format("{}: runs outside the noise band (+/-{}) around the median",
                              program, percent(noise));
        o.header = {"Run", "geomean single rate", "geomean overall rate", "furthest figures"};
        for (const Outlier& out : c.outliers) {
            std::string figures;
            for (const std::string& f : out.figures)
                figures += (figures.empty() ? "" : "; ") + f;
            o.rows.push_back({column_header(*c.runs[out.run], false),
                              geo_text(c.geo_single[out.run], false),
                              geo_text(c.geo_overall[out.run], false), figures});
        }
        o.notes.push_back(c.outliers.empty()
                              ? "No run's geometric mean lies outside the noise band."
                              : "A run is listed when a geometric mean lies outside the noise band; "
                                "furthest from the median first.");
        tables.push_back(std::move(o));
    }
    return tables;
}

std::string colour_marks(const std::string& text)
{
    // A mark is a lone "+" or "-" that follows a ratio word ("x1.034").
    std::string out;
    out.reserve(text.size() + 64);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        bool lone = (ch == '+' || ch == '-') && i >= 3 && text[i - 1] == ' ' &&
                    (i + 1 == text.size() || text[i + 1] == ' ' || text[i + 1] == '\n');
        if (lone) {
            std::size_t start = i - 1;
            while (start > 0 && text[start - 1] != ' ' && text[start - 1] != '\n')
                --start;
            lone = text[start] == 'x' && start + 1 < i - 1 &&
                   std::isdigit(static_cast<unsigned char>(text[start + 1]));
        }
        if (lone)
            out += ch == '+' ? "\x1b[32m+\x1b[0m" : "\x1b[31m-\x1b[0m";
        else
            out += ch;
    }
    return out;
}

void add_compare_command(CLI::App& app, int& status)
{
    struct Options {
        std::vector<std::string> paths;
        std::vector<std::string> labels;
        std::string baseline;
        double noise = 2;
        std::optional<double> fail_if_worse;
    };
    auto opt = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "compare", "Compare runs figure by figure, each as a ratio to a baseline run or to the "
                   "median of the runs; one table per program.");
    cmd->add_option("paths", opt->paths, "Results files, transcripts or directories")
        ->required();
    cmd->add_option("--label", opt->labels, "A run's label, repeatable, in the order of the files")
        ->allow_extra_args(false);
    cmd->add_option("--baseline", opt->baseline,
                    "The run the others are compared with: one of the files (or another file), "
                    "or \"median\" for the median of the runs (default: the first file)");
    cmd->add_option("--noise", opt->noise, "Noise band in percent: closer to the baseline is \"=\"")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    cmd->add_option("--fail-if-worse", opt->fail_if_worse,
                    "Exit with status 3 when any figure is worse than its baseline by more than "
                    "this percentage")
        ->check(CLI::NonNegativeNumber);

    cmd->callback([opt, &status] {
        Loaded loaded = load_runs(opt->paths, opt->labels, std::cerr);
        Loaded extra;
        BaselineChoice choice = choose_baseline(loaded.runs, opt->baseline, extra, std::cerr);
        if (choice.failed) {
            status = 2;
            return;
        }
        const std::vector<const Run*>& runs = choice.runs;
        if (runs.size() < 2) {
            std::cerr << "bench_report: compare needs at least two runs, found " << runs.size()
                      << "\n";
            status = 2;
            return;
        }

        std::vector<ProgramComparison> comparisons = compare_runs(runs, choice.baseline, choice.median, opt->noise);
        bool colour = colour_wanted();
        bool first = true;
        for (const Table& t : compare_tables(comparisons, opt->noise)) {
            std::string text = render_text(t);
            std::cout << (first ? "" : "\n") << (colour ? colour_marks(text) : text);
            first = false;
        }
        std::cout.flush();

        status = loaded.failed ? 2 : 0;
        if (opt->fail_if_worse) {
            std::vector<Regression> worse = regressions(comparisons, *opt->fail_if_worse);
            for (const Regression& r : worse)
                std::cerr << fmt::format("bench_report: {}: {}: {} {} is {} ({}), worse than the "
                                         "baseline by more than {}\n",
                                         program_name(r.program), r.run, r.test_title, r.figure,
                                         r.text, format_ratio(r.ratio), percent(*opt->fail_if_worse));
            if (!worse.empty() && status == 0)
                status = 3;
        }
    });
}

}  // namespace report
