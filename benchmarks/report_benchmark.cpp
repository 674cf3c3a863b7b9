// 10,000 results files (100 hosts x 100 runs, both programs) read from disk,
// parsed, checked, labelled and exported as CSV: what `bench_report export
// --format csv runs/` does for a fleet's history; then the same as JSON, which
// must take at most 1.5 times as long. Reports MB/s of parsed text and files/s;
// the whole CSV load must take well under 2 s.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "export.h"
#include "load.h"

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

void LoadAndExportCsv(benchmark::State& state) {
    std::size_t bytes = 0;
    const fs::path& root = fleet(bytes);
    std::ostringstream diagnostics;
    std::size_t files = 0;
    for (auto _ : state) {
        report::Loaded loaded = report::load_runs({root.string()}, {}, diagnostics);
        // As the command does: the rows of one run at a time, in one buffer.
        std::string csv = report::csv_header();
        std::size_t written = 0;
        for (const report::Run& run : loaded.runs) {
            csv.clear();
            report::export_csv_rows(run, csv);
            written += csv.size();
            benchmark::DoNotOptimize(csv.data());
        }
        state.counters["csv_bytes"] = static_cast<double>(written);
        files = loaded.runs.size();
        if (loaded.failed || files != hosts * runs_per_host)
            state.SkipWithError("the fleet did not load");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * files));
    state.counters["files"] = static_cast<double>(files);
}
BENCHMARK(LoadAndExportCsv)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

// The same fleet as JSON, written run by run as the command streams it.
void LoadAndExportJson(benchmark::State& state) {
    std::size_t bytes = 0;
    const fs::path& root = fleet(bytes);
    std::ostringstream diagnostics;
    std::size_t files = 0;
    for (auto _ : state) {
        report::Loaded loaded = report::load_runs({root.string()}, {}, diagnostics);
        std::string json;
        report::export_json_begin(json);
        std::size_t written = 0;
        for (std::size_t i = 0; i < loaded.runs.size(); ++i) {
            report::export_json_run(loaded.runs[i], i == 0, json);
            written += json.size();
            benchmark::DoNotOptimize(json.data());
            json.clear();
        }
        report::export_json_end(!loaded.runs.empty(), json);
        state.counters["json_bytes"] = static_cast<double>(written + json.size());
        files = loaded.runs.size();
        if (loaded.failed || files != hosts * runs_per_host)
            state.SkipWithError("the fleet did not load");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * files));
    state.counters["files"] = static_cast<double>(files);
}
BENCHMARK(LoadAndExportJson)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
