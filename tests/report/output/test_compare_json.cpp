// compare --format json on a generated fleet: the document written member by
// member is the one the JSON library would print from the same values, with
// each label a column holding all its repetitions.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "fleet.h"
#include "input/load.h"
#include "output/compare_formats.h"

namespace fs = std::filesystem;
using namespace report;

TEST(CompareJson, FleetDocumentIsTheLibrarysOwnPrinting) {
    fs::path dir = fs::temp_directory_path() / ("compare_json_" + std::to_string(getpid()));
    fs::remove_all(dir);
    write_fleet(dir, 40, 11);
    // Three labels with four nightly repetitions each, one of them a name
    // that needs escaping, so that cells carry tests and intervals.
    const std::vector<std::string> nightly = {"nightly-a", "nightly \"b\"\x01", "nightly-\xff"};
    for (std::size_t h = 0; h < nightly.size(); ++h)
        for (Program p : {Program::processors, Program::memory})
            write_host_history(
                dir, nightly[h], p, 20000, 4, [&](int day) { return 1 + 0.03 * h + 0.01 * day; },
                [](int) { return std::string("6.1.0-27"); }, static_cast<unsigned>(h + 1));
    Loaded loaded = load_runs({dir.string()}, {});
    fs::remove_all(dir);
    ASSERT_EQ(loaded.runs.size(), 2u * (40 + 3 * 4));
    std::vector<const report::Run*> runs, host_one;
    for (const report::Run& r : loaded.runs) {
        runs.push_back(&r);
        if (r.label == "host-001")
            host_one.push_back(&r);
    }
    ASSERT_EQ(host_one.size(), 2u);

    struct Case {
        const char* name;
        bool median;
        bool gate;
    };
    for (const Case& c : {Case{"median", true, false}, Case{"named baseline", false, false},
                          Case{"named baseline and gate", false, true}}) {
        SCOPED_TRACE(c.name);
        CompareSettings settings;
        settings.median = c.median;
        if (!c.median)
            settings.baselines = host_one;
        std::vector<ProgramComparison> cs = compare_runs(runs, settings);
        ASSERT_EQ(cs.size(), 2u);
        for (const ProgramComparison& pc : cs) {
            ASSERT_EQ(pc.runs.size(), 43u);  // one column per label
            for (std::size_t i = 0; i < pc.runs.size(); ++i)
                EXPECT_EQ(pc.samples[i].size(),
                          pc.runs[i]->label.rfind("nightly", 0) == 0 ? 4u : 1u)
                    << pc.runs[i]->label;
        }
        ViewOptions options;
        GateVerdict verdict = decide_gate(cs, {}, {dir.string()}, 5);
        options.gate = c.gate ? &verdict : nullptr;
        std::string text = compare_json(cs, options);
        nlohmann::ordered_json doc = nlohmann::ordered_json::parse(text);
        std::string printed =
            doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        // Where they part, not the whole document: it runs to 300 KB.
        auto at = std::mismatch(text.begin(), text.end(), printed.begin(), printed.end());
        std::size_t from = static_cast<std::size_t>(at.first - text.begin());
        from = from < 200 ? 0 : from - 200;
        EXPECT_EQ(text.substr(from, 400), printed.substr(from, 400));
        EXPECT_EQ(text.size(), printed.size());
        EXPECT_EQ(doc["programs"][0]["runs"].size(), 43u);
        EXPECT_EQ(doc["gate"].is_null(), !c.gate);
    }
}
