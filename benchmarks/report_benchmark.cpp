// 10,000 results files (100 hosts x 100 runs, both programs) read from disk,
// parsed, checked, labelled and exported as CSV: what `bench_report export
// --format csv runs/` does for a fleet's history; then the same as JSON, which
// must take at most 1.5 times as long. Reports MB/s of parsed text and files/s;
// the whole CSV load must take well under 2 s.
//
// Then the analysis of `bench_report history` over a fleet's year held in
// memory (200 hosts x 365 nights of both programs, 3,400 series): the whole
// `analyse_history`, and the change-point search of its series alone.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include <fmt/format.h>

#include "analysis/change_points.h"
#include "input/load.h"
#include "machine/record.h"
#include "model/catalogue.h"
#include "output/export.h"

namespace fs = std::filesystem;

namespace {

constexpr int hosts = 100;
constexpr int runs_per_host = 100;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes the fleet once; returns its root and the bytes of all its files.
const fs::path& fleet(std::size_t& bytes) {
    static fs::path root;
    static std::size_t total = 0;
    if (root.empty()) {
        root = fs::temp_directory_path() / fmt::format("bench_report_fleet_{}", ::getpid());
        fs::remove_all(root);
        const std::string texts[] = {
            slurp(fs::path(REPORT_DATA) / "processors_2threads.results.txt"),
            slurp(fs::path(REPORT_DATA) / "memory_2threads.results.txt")};
        const char* programs[] = {"processors", "memory"};
        for (int h = 0; h < hosts; ++h) {
            fs::path dir = root / fmt::format("host-{:03}", h);
            fs::create_directories(dir);
            for (int r = 0; r < runs_per_host; ++r) {
                int p = r % 2;
                std::string name = fmt::format(
                    "results_{}_Linux_x86 @ UTC time Tue Dec  8 {:02}:{:02}:{:02} 2026\n.txt",
                    programs[p], r / 60 % 24, r % 60, h % 60);
                std::ofstream(dir / name, std::ios::binary) << texts[p];
                total += texts[p].size();
            }
        }
        std::atexit([] { fs::remove_all(root); });
    }
    bytes = total;
    return root;
}

// Loads the fleet and exports it as the command does, one run at a time into
// one buffer: `begin` and `end` write what comes before and after the runs.
template <typename Begin, typename Each, typename End>
void load_and_export(benchmark::State& state, Begin begin, Each each, End end) {
    std::size_t bytes = 0;
    const fs::path& root = fleet(bytes);
    std::size_t files = 0;
    for (auto _ : state) {
        report::Loaded loaded = report::load_runs({root.string()}, {});
        std::string out;
        begin(out);
        std::size_t written = 0;
        for (std::size_t i = 0; i < loaded.runs.size(); ++i) {
            each(loaded.runs[i], i == 0, out);
            written += out.size();
            benchmark::DoNotOptimize(out.data());
            out.clear();
        }
        end(!loaded.runs.empty(), out);
        state.counters["output_bytes"] = static_cast<double>(written + out.size());
        files = loaded.runs.size();
        if (loaded.failed || files != hosts * runs_per_host)
            state.SkipWithError("the fleet did not load");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * files));
    state.counters["files"] = static_cast<double>(files);
}

void LoadAndExportCsv(benchmark::State& state) {
    load_and_export(
        state, [](std::string& out) { out = report::csv_header(); },
        [](const report::Run& run, bool, std::string& out) { report::export_csv_rows(run, out); },
        [](bool, std::string&) {});
}
BENCHMARK(LoadAndExportCsv)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

// The same fleet as JSON, streamed as the command writes it.
void LoadAndExportJson(benchmark::State& state) {
    load_and_export(state, report::export_json_begin, report::export_json_run,
                    report::export_json_end);
}
BENCHMARK(LoadAndExportJson)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

// A fleet's year in memory: `history_hosts` hosts, each running both programs
// every night from 2024-10-01 with 2% noise per figure; one host in ten gets a
// kernel on night 200 that costs every figure 5%. Made once.
constexpr int history_hosts = 200;
constexpr int history_nights = 365;

struct HistoryFleet {
    std::vector<report::Run> runs;
    std::vector<const report::Run*> given;
};

const HistoryFleet& history_fleet() {
    static const HistoryFleet fleet = [] {
        HistoryFleet f;
        const std::chrono::sys_days first =
            std::chrono::year_month_day{std::chrono::year{2024}, std::chrono::October,
                                        std::chrono::day{1}};
        // One record per night and kernel, shared by the hosts that have it.
        std::vector<std::shared_ptr<const report::MachineRecord>> machines;
        for (int d = 0; d < history_nights; ++d)
            for (const char* kernel : {"6.1.0-27", "6.1.0-28"}) {
                std::chrono::year_month_day ymd{first + std::chrono::days{d}};
                std::string date = fmt::format("{:04}-{:02}-{:02}", static_cast<int>(ymd.year()),
                                               static_cast<unsigned>(ymd.month()),
                                               static_cast<unsigned>(ymd.day()));
                auto record = report::parse_record(
                    fmt::format(R"({{"repetition": {{"started": "{}T05:00:00Z"}}, )"
                                R"("machine": {{"kernel": {{"release": "{}"}}}}}})",
                                date, kernel));
                machines.push_back(std::make_shared<const report::MachineRecord>(*record));
            }
        std::mt19937 rng(42);
        std::normal_distribution<double> noise(0, 0.02);
        f.runs.reserve(static_cast<std::size_t>(history_hosts) * history_nights * 2);
        for (int h = 0; h < history_hosts; ++h)
            for (report::Program program : {report::Program::processors, report::Program::memory})
                for (int d = 0; d < history_nights; ++d) {
                    bool updated = h % 10 == 0 && d >= 200;
                    report::Run r;
                    r.label = fmt::format("host-{:03}", h);
                    r.program = program;
                    r.machine = machines[static_cast<std::size_t>(d * 2 + updated)];
                    double base = 10;
                    for (const report::TestInfo& info : report::catalogue(program)) {
                        double level = (updated ? 0.95 : 1.0) * base;
                        report::Test t;
                        t.key = std::string(info.key);
                        if (info.has_single())
                            t.single_rate = report::Figure{"", level * (1 + noise(rng))};
                        t.overall_rate = report::Figure{"", 4 * level * (1 + noise(rng))};
                        r.tests.push_back(std::move(t));
                        base *= 1.7;
                    }
                    f.runs.push_back(std::move(r));
                }
        for (const report::Run& r : f.runs)
            f.given.push_back(&r);
        return f;
    }();
    return fleet;
}

void AnalyseHistory(benchmark::State& state) {
    const HistoryFleet& fleet = history_fleet();
    std::size_t series = 0, found = 0;
    for (auto _ : state) {
        report::HistoryAnalysis a = report::analyse_history(fleet.given);
        series = a.series.size();
        found = a.change_points.size();
        benchmark::DoNotOptimize(a.change_points.data());
    }
    state.counters["series"] = static_cast<double>(series);
    state.counters["change_points"] = static_cast<double>(found);
}
BENCHMARK(AnalyseHistory)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

// The search alone, one series after another on one thread, over the series
// the analysis builds.
void SeriesChangePoints(benchmark::State& state) {
    const HistoryFleet& fleet = history_fleet();
    std::vector<std::vector<double>> logs;
    for (const report::HistorySeries& s : report::analyse_history(fleet.given).series) {
        std::vector<double>& v = logs.emplace_back();
        for (double x : s.values)
            v.push_back(std::log(x));
    }
    std::size_t found = 0;
    for (auto _ : state) {
        found = 0;
        for (const std::vector<double>& v : logs)
            found += report::series_change_points(v).size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["series"] = static_cast<double>(logs.size());
    state.counters["change_points"] = static_cast<double>(found);
}
BENCHMARK(SeriesChangePoints)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
