// The HTML report of `chart` as a reader sees it: generated fleets charted,
// then opened in Chromium at a desktop's width and a phone's (puppeteer-core,
// tests/report/page/measure.js). The page stays within its budget of bytes
// and elements, never scrolls sideways as a whole, no chart is wider than the
// window, and no chart text is cut at its edge or drawn over a mark, a line
// or other text.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fleet.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int shell(const std::string& cmd) {
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

struct Case {
    const char* name;
    int hosts;
    bool median;        // --baseline median, else each program's first run
    bool long_labels;   // each host given on its own with a long --label
    bool extreme;       // a fleet whose runs lie 140 times above and below the median
};

const Case cases[] = {
    {"three_hosts_long_labels", 3, false, true, false},
    {"fleet_of_50", 50, false, false, false},
    {"fleet_of_200_median", 200, true, false, false},
    {"extreme_ratios", 12, true, false, true},
};

// Twelve hosts' processors runs, most alike, one 0.007, one 0.5 and one 140
// times as fast as the rest.
std::vector<std::string> write_extreme_fleet(const fs::path& dir) {
    std::vector<std::string> hosts;
    for (int h = 1; h <= 12; ++h) {
        double factor = h == 3 ? 0.007 : h == 7 ? 140 : h == 9 ? 0.5 : 1 + 0.001 * h;
        hosts.push_back("h" + std::to_string(h));
        fs::create_directories(dir / hosts.back());
        std::ofstream(dir / hosts.back() /
                      "results_processors_Linux_x86 @ UTC time Tue Dec  8 05:00:00 2026\n.txt")
            << scaled_results_file(report::Program::processors, factor, 2, h);
    }
    return hosts;
}

class Page : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("page_test_" + std::to_string(getpid()) + "_" + GetParam().name);
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_P(Page, FitsItsBudgetAndEveryScreen) {
    if (!fs::exists("/usr/bin/chromium"))
        GTEST_SKIP() << "Chromium is not installed (Debian package chromium): the page was not measured";
    const Case& c = GetParam();
    std::vector<std::string> hosts =
        c.extreme ? write_extreme_fleet(dir / "fleet") : write_fleet(dir / "fleet", c.hosts, 11);
    std::string args;
    if (c.long_labels) {
        for (const std::string& h : hosts)
            args += " " + quoted(dir / "fleet" / h);
        for (const std::string& h : hosts)
            args += " --label 'rack-17 of the second datacentre, building West, row C, " + h + "'";
    } else {
        args = " " + quoted(dir / "fleet");
    }
    if (c.median)
        args += " --baseline median";
    fs::path html = dir / "report.html";
    ASSERT_EQ(shell("'" BENCH_REPORT "' chart" + args + " -o " + quoted(html) + " 2>" +
                    quoted(dir / "chart.err")),
              0)
        << slurp(dir / "chart.err");
    EXPECT_LE(fs::file_size(html), 1'500'000u);

    int rc = shell("'" PAGE_CHECK "' '" PAGE_CACHE "' " + quoted(html) + " 1280 390 >" +
                   quoted(dir / "page.json") + " 2>" + quoted(dir / "page.err"));
    if (rc == 77)
        GTEST_SKIP() << "the page was not measured: " << slurp(dir / "page.err");
    ASSERT_EQ(rc, 0) << slurp(dir / "page.err");

    std::istringstream lines(slurp(dir / "page.json"));
    int widths = 0;
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json m = nlohmann::json::parse(line);
        ++widths;
        SCOPED_TRACE("window " + m["width"].dump() + " pixels wide");
        EXPECT_LE(m["elements"].get<int>(), 20000);
        EXPECT_LE(m["scrollWidth"].get<int>(), m["innerWidth"].get<int>());
        EXPECT_GT(m["charts"].get<int>(), 0);
        EXPECT_TRUE(m["wide"].empty()) << m["wide"].dump(1);
        EXPECT_TRUE(m["cut"].empty()) << m["cut"].dump(1);
        EXPECT_TRUE(m["overlaps"].empty()) << m["overlaps"].dump(1).substr(0, 4000);
        RecordProperty("elements", m["elements"].get<int>());
    }
    EXPECT_EQ(widths, 2) << slurp(dir / "page.err");
}

INSTANTIATE_TEST_SUITE_P(Report, Page, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
