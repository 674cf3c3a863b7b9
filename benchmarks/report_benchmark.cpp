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

#include "output/export.h"
#include "input/load.h"

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

}  // namespace

BENCHMARK_MAIN();
