// The store's own rules: versions of a path, what is skipped, the order files
// are read back in, and the marks that tell a store from other SQLite files.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "analysis/machine_differences.h"
#include "model/catalogue.h"
#include "store/ingest.h"
#include "store/reader.h"

namespace fs = std::filesystem;
using namespace report;

namespace {

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("store_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        db = (dir / "s.db").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<StoredFile> read() {
        report::Expected<std::vector<StoredFile>> files = read_store(db);
        EXPECT_TRUE(files) << files.failure().message;
        return files ? *files : std::vector<StoredFile>();
    }

    fs::path dir;
    std::string db;
};

TEST_F(Store, KeepsTheNewestVersionOfEachPathAndSkipsWhatItHas) {
    StoreCounts counts;
    ASSERT_EQ(store_files(db,
                          {{StoredFile::results, "h/b/results_2", "two"},
                           {StoredFile::machine, "h/b/machine.json", "{}"},
                           {StoredFile::results, "h/a/results_1", "one"}},
                          counts)
                  .kind,
              StoreFailure::none);
    EXPECT_EQ(counts.added, 3u);
    EXPECT_EQ(counts.already, 0u);

    // The same path with the same text is skipped, also when named another
    // way; another text is a new version, and the one read.
    ASSERT_EQ(store_files(db,
                          {{StoredFile::results, "./h/a/../a/results_1", "one"},
                           {StoredFile::results, "h/b/results_2", "TWO"},
                           {StoredFile::machine, "h/b/machine.json", "{\"x\": 1}"}},
                          counts)
                  .kind,
              StoreFailure::none);
    EXPECT_EQ(counts.added, 2u);
    EXPECT_EQ(counts.already, 1u);
    EXPECT_EQ(counts.changed, std::vector<std::string>{"h/b/results_2"});  // machine.json is rewritten by design

    std::vector<StoredFile> files = read();
    ASSERT_EQ(files.size(), 3u);
    // Results by path, then the records; texts byte for byte, empty or not.
    EXPECT_EQ(files[0].path, "h/a/results_1");
    EXPECT_EQ(files[0].text, "one");
    EXPECT_EQ(files[1].text, "TWO");
    EXPECT_EQ(files[2].kind, StoredFile::machine);
    EXPECT_EQ(files[2].text, "{\"x\": 1}");

    std::string binary("a\0b\n\xff", 5);
    ASSERT_EQ(store_files(db, {{StoredFile::results, "h/c/\nname", binary}}, counts).kind,
              StoreFailure::none);
    files = read();
    EXPECT_EQ(files[2].path, "h/c/\nname");
    EXPECT_EQ(files[2].text, binary);
}

TEST_F(Store, TellsAStoreByItsMarksNotItsName) {
    StoreCounts counts;
    auto refusal = [](const std::string& path) {
        report::Expected<std::vector<StoredFile>> files = read_store(path);
        return files ? std::string("read") : files.failure().message;
    };
    EXPECT_FALSE(is_sqlite_file(db));
    ASSERT_EQ(store_files(db, {{StoredFile::results, "r", "x"}}, counts).kind, StoreFailure::none);
    EXPECT_TRUE(is_sqlite_file(db));
    EXPECT_FALSE(is_sqlite_file(dir.string()));

    auto exec = [](const std::string& path, const char* statement) {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(handle, statement, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(handle);
    };
    exec(db, "PRAGMA user_version = 5");
    EXPECT_EQ(refusal(db),
              "a store of schema version 5; this bench_report reads versions 1 to 4 "
              "(build a new store from the files)");
    EXPECT_EQ(store_files(db, {{StoredFile::results, "r2", "y"}}, counts).kind,
              StoreFailure::version);

    std::string theirs = (dir / "theirs.db").string();
    exec(theirs, "CREATE TABLE t (x)");
    EXPECT_EQ(refusal(theirs), "an SQLite database, not a bench_report store");
    EXPECT_EQ(store_files(theirs, {{StoredFile::results, "r", "x"}}, counts).kind,
              StoreFailure::not_a_store);

    // An empty SQLite database is nobody's store yet: not read, but written.
    std::string empty = (dir / "empty.db").string();
    exec(empty, "PRAGMA user_version = 0");
    EXPECT_NE(refusal(empty), "read");
    EXPECT_EQ(store_files(empty, {{StoredFile::results, "r", "x"}}, counts).kind,
              StoreFailure::none);
}

// machine.json with every field a change of the machine is told by.
std::string record(const std::string& v, const std::string& extra) {
    return R"({"repetition": {"program": "bench_memory", "started": "2026-12-0)" + v +
           R"(T05:00:00Z", "outcome": "completed"}, "program": {"sha256": "s)" + v +
           R"(", "build_id": "b)" + v + R"("}, "machine": {"cpu": {"model_name": "M)" + v +
           R"(", "microcode": "0x)" + v + R"(", "logical_cpus": )" + v +
           R"(}, "kernel": {"release": "6.1.0-)" + v + R"("}, "affinity": {"cpus": "0-)" + v +
           R"("}, "cgroup": {"cpu_quota": 1.)" + v + R"(}, "openmp_environment": {"OMP_A": "x=)" +
           v + R"(" )" + extra + R"(}, "frequency": )" +
           (v == "1" ? R"({"boost": true, "policies": [{"governor": "performance"}]})"
                     : R"({"boost": false, "policies": [{"governor": "powersave"}, )"
                       R"({"governor": "schedutil"}, {"governor": "powersave"}]})") +
           "}}";
}

TEST_F(Store, KeepsWhatAHistoryReadsAsTheFilesGiveIt) {
    report::Run run;
    run.program = Program::memory;
    run.local_time = "Tue Dec  8 05:18:54 2026";
    report::Test t;
    t.key = "allocation";
    t.single_rate = Figure{"12.3457", 12.3456789012345};
    t.overall_rate = Figure{"nan", std::nan("")};  // no figure a history reads
    t.incomplete_threads = 1;
    run.tests = {t, t};
    run.tests[1].key = "low_speeds";
    run.tests[1].single_rate.reset();
    run.tests[1].overall_rate = Figure{"5e-324", 5e-324};
    run.tests.push_back(t);
    run.tests[2].key = "float";  // a test of the other program: no figure of this one
    report::Run transcript = run;
    transcript.source = Source::transcript;
    StoreCounts counts;
    std::string later_night = record("1", "");
    later_night.replace(later_night.find("2026-12-01"), 10, "2026-12-09");
    std::string new_kernel = later_night;
    new_kernel.replace(new_kernel.find("6.1.0-1"), 7, "6.1.0-9");
    ASSERT_EQ(
        store_files(
            db,
            {{StoredFile::results, "a/r1", "one", 0, {run}},
             {StoredFile::results, "a/r2", "two", 0, {transcript}},
             {StoredFile::results, "b/r3", "three", 0, {run}},
             {StoredFile::machine, "a/machine.json", record("1", ""), 0, {}},
             {StoredFile::machine, "b/machine.json", record("2", R"(, "GOMP_B": "y")"), 0, {}},
             {StoredFile::machine, "c/machine.json", "[1]", 0, {}},
             // the machine of a/ on another night, and on a third
             // with a kernel of its own
             {StoredFile::machine, "d/machine.json", later_night, 0, {}},
             {StoredFile::machine, "e/machine.json", new_kernel, 0, {}}},
            counts)
            .kind,
        StoreFailure::none);
    report::Expected<std::vector<StoredFile>> read = read_store(db, StoreReading::figures);
    ASSERT_TRUE(read) << read.failure().message;
    std::vector<StoredFile>& files = *read;
    ASSERT_EQ(files.size(), 8u);
    // A transcript, and every results file beside it, is read from its text.
    EXPECT_FALSE(files[0].runs);
    EXPECT_EQ(files[0].text, "one");
    EXPECT_EQ(files[1].text, "two");
    ASSERT_TRUE(files[2].runs);
    EXPECT_EQ(files[2].text, "");
    ASSERT_EQ(files[2].runs->size(), 1u);
    const report::Run& kept = files[2].runs->front();
    EXPECT_EQ(kept.path, "b/r3");
    EXPECT_EQ(kept.program, Program::memory);
    EXPECT_EQ(kept.local_time, run.local_time);
    // The rates alone, by place in the program's catalogue, as test_rates
    // takes them from the tests; a test the program does not have is left out.
    EXPECT_TRUE(kept.tests.empty());
    ASSERT_EQ(kept.rates.size(), 2u);
    std::vector<report::TestRates> from_tests = report::test_rates(run);
    ASSERT_EQ(from_tests.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_EQ(kept.rates[i].test, from_tests[i].test);
    EXPECT_EQ(report::catalogue(Program::memory)[kept.rates[0].test].key, "allocation");
    EXPECT_EQ(report::catalogue(Program::memory)[kept.rates[1].test].key, "low_speeds");
    EXPECT_EQ(kept.rates[0].single, 12.3456789012345);  // every bit
    EXPECT_FALSE(kept.rates[0].overall);
    EXPECT_EQ(kept.rates[0].incomplete_threads, 1);
    EXPECT_FALSE(kept.rates[1].single);
    EXPECT_EQ(kept.rates[1].overall, 5e-324);
    EXPECT_EQ(report::test_rates(kept).size(), 2u);

    // The records: each field compared reads as in the whole record.
    report::Expected<MachineRecord> one = parse_record(record("1", ""));
    report::Expected<MachineRecord> two = parse_record(record("2", R"(, "GOMP_B": "y")"));
    ASSERT_TRUE(one && two);
    ASSERT_TRUE(files[3].record && files[4].record);
    std::vector<ContextDifference> whole = context_differences(*one, *two);
    std::vector<ContextDifference> stored = context_differences(*files[3].record, *files[4].record);
    EXPECT_EQ(whole.size(), 10u);
    ASSERT_EQ(stored.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i) {
        EXPECT_EQ(stored[i].field, whole[i].field);
        EXPECT_EQ(stored[i].first, whole[i].first) << whole[i].field;
        EXPECT_EQ(stored[i].second, whole[i].second) << whole[i].field;
    }
    EXPECT_TRUE(context_differences(*one, *files[3].record).empty());
    // Each night's start is its own; one machine's nights share one record.
    EXPECT_EQ(files[4].started, two->repetition.started);
    EXPECT_FALSE(files[4].record->repetition.started);
    EXPECT_EQ(files[6].started, "2026-12-09T05:00:00Z");
    EXPECT_EQ(files[3].started, one->repetition.started);
    EXPECT_EQ(files[6].record, files[3].record);
    ASSERT_TRUE(files[7].record);
    EXPECT_NE(files[7].record, files[3].record);
    EXPECT_EQ(files[7].started, "2026-12-09T05:00:00Z");
    EXPECT_EQ(files[7].record->machine.kernel_release, "6.1.0-9");
    EXPECT_EQ(files[3].record->machine.kernel_release, "6.1.0-1");
    EXPECT_EQ(files[4].record->repetition.outcome, two->repetition.outcome);
    EXPECT_EQ(files[4].record->repetition.program, "bench_memory");
    // A text that is no record keeps its reason.
    EXPECT_FALSE(files[5].record);
    EXPECT_EQ(files[5].record_error, parse_record("[1]").failure().message);
}

}  // namespace
