// `bench_report store` as a person runs it: every reading command answers
// from a store exactly as from the files it was built from; ingests are
// incremental, atomic and safe to race; hostile stores are refused.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fleet.h"
#include "process.h"

namespace fs = std::filesystem;

namespace {

const std::string bench = "'" BENCH_REPORT "'";

// Runs one statement on the SQLite database at `path` (created if absent).
void sql(const fs::path& path, const char* statement) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, statement, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// The single integer a query of the database at `path` answers.
long long query(const fs::path& path, const char* statement) {
    sqlite3* db = nullptr;
    long long value = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, statement, -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            value = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return value;
}

class StoreCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("store_command_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // Three hosts, 12 nights of both programs; host-b's kernel changes on day
    // 6 and its processors get 15% slower with it.
    void write_fleet_history(int days = 12) {
        for (const char* host : {"host-a", "host-b", "host-c"})
            for (report::Program p : {report::Program::processors, report::Program::memory}) {
                bool changes = std::string(host) == "host-b";
                write_host_history(
                    dir / "fleet", host, p, 20400, days,
                    [&](int day) { return changes && day >= 6 ? 0.85 : 1.0; },
                    [&](int day) { return changes && day >= 6 ? "6.1.0-28" : "6.1.0-27"; },
                    static_cast<unsigned>(host[5]));
            }
    }

    Result run(const std::string& arguments) { return run_in(dir, bench + " " + arguments); }

    // Rewrites one of host-a's memory results files with another text of the
    // same size; returns its path.
    fs::path rewrite_a_results_file() {
        fs::path file;
        for (const auto& e : fs::recursive_directory_iterator(dir / "fleet/host-a"))
            if (e.path().filename().string().rfind("results_memory", 0) == 0)
                file = e.path();
        std::string text = slurp(file);
        text.replace(text.find("Thread(s): 4"), 12, "Thread(s): 5");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        return file;
    }

    fs::path dir;
};

TEST_F(StoreCommand, EveryReadingCommandAnswersFromTheStoreAsFromTheFiles) {
    write_fleet_history();
    // host-b's records start a month before its files' names say: a history
    // orders and dates its runs by the records.
    for (const auto& e : fs::recursive_directory_iterator(dir / "fleet/host-b"))
        if (e.path().filename() == "machine.json") {
            std::string text = slurp(e.path());
            text.replace(text.find("2025-11-"), 8, "2025-10-");
            std::ofstream(e.path(), std::ios::trunc) << text;
        }
    // A night whose memory run failed and left only its record: a run of
    // its own, once however often its directory is named.
    fs::path failed = dir / "fleet/host-c/20251113T060000Z-2";
    fs::create_directories(failed);
    std::ofstream(failed / "machine.json")
        << R"({"schema_version": 1, "repetition": {"program": "bench_memory", )"
           R"("started": "2025-11-13T06:00:00Z", "outcome": "failed"}, )"
           R"("machine": {"hostname": "host-c"}})";
    Result twice = run("list fleet fleet/host-c");
    std::size_t shown = 0;
    for (std::size_t at = 0; (at = twice.out.find("partial, failed", at)) != std::string::npos;
         ++at)
        ++shown;
    EXPECT_EQ(shown, 1u) << twice.out;
    Result stored = run("store fleet.db fleet");
    ASSERT_EQ(stored.status, 0) << stored.err;
    // 72 results files, the 36 machine.json beside them and the failed one's.
    EXPECT_EQ(stored.out, "109 new, 0 already stored\n");
    const std::vector<std::string> commands = {
        "list",
        "show",
        "export --format csv",
        "export --format json",
        "history",
        "history --format json",
        "history --format markdown --since 2025-11-10",
        "history --fail-on-change-since 2025-11-01",
        "chart -o -",
    };
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        Result files = run(command + " fleet");
        Result store = run(command + " fleet.db");
        EXPECT_EQ(store.status, files.status);
        EXPECT_EQ(store.out, files.out);
        EXPECT_EQ(store.err, files.err);
        EXPECT_FALSE(files.out.empty());
    }
    // Two labels, each its own store or directory.
    run("store a.db fleet/host-a");
    Result files = run("compare fleet/host-a fleet/host-b");
    Result store = run("compare a.db fleet/host-b");
    EXPECT_EQ(store.status, files.status);
    EXPECT_EQ(store.out, files.out);
    // A store named twice is read once, as a directory is.
    for (std::string command : {"list", "history --format json"}) {
        SCOPED_TRACE(command);
        Result once = run(command + " fleet.db");
        Result again = run(command + " fleet.db ./fleet.db");
        EXPECT_EQ(again.status, once.status);
        EXPECT_EQ(again.out, once.out);
        EXPECT_EQ(again.err, once.err + "bench_report: ./fleet.db: the same file as fleet.db, read once\n");
    }
}

TEST_F(StoreCommand, IngestsIncrementallyAndSaysWhatWasNew) {
    write_fleet_history(5);
    ASSERT_EQ(run("store fleet.db fleet").status, 0);
    Result again = run("store fleet.db fleet fleet/host-a");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "0 new, 45 already stored\n");
    EXPECT_EQ(again.err, "");

    // One more night: its files only.
    write_fleet_history(6);
    Result night = run("store fleet.db fleet");
    EXPECT_EQ(night.out, "9 new, 45 already stored\n");
    // Six more nights (host-b's change among them), and a host that joins
    // later, its name first: its rows come after all the others', and
    // history still reads them in the order of the files.
    write_fleet_history(12);
    write_host_history(
        dir / "fleet", "host-0", report::Program::memory, 20400, 12,
        [](int day) { return day >= 6 ? 0.85 : 1.0; }, [](int) { return std::string("6.1.0-27"); },
        3);
    EXPECT_EQ(run("store fleet.db fleet").out, "78 new, 54 already stored\n");
    EXPECT_EQ(run("history fleet.db").out, run("history fleet").out);

    // A results file rewritten at a stored path is stored again and read.
    rewrite_a_results_file();
    Result rewritten = run("store fleet.db fleet");
    EXPECT_EQ(rewritten.status, 0);
    EXPECT_EQ(rewritten.out, "1 new, 131 already stored\n");
    // The cache holds the current files, each once.
    EXPECT_EQ(query(dir / "fleet.db", "SELECT count(*) FROM history_cache"), 132);
    EXPECT_EQ(query(dir / "fleet.db", "SELECT count(*) FROM history_cache JOIN file ON file.id = "
                                      "history_cache.file WHERE current = 1"),
              132);
    EXPECT_NE(rewritten.err.find("changed since it was stored; stored as a new version"),
              std::string::npos)
        << rewritten.err;
    EXPECT_EQ(run("list fleet.db").out, run("list fleet").out);
    EXPECT_EQ(run("history --format json fleet.db").out, run("history --format json fleet").out);
    // Read in two ranges of ids, each of several nights' stretches, whose
    // rows interleave in the order of the files.
    sql(dir / "fleet.db",
        "UPDATE file SET id = id + 1000000 WHERE id % 2 = 0; "
        "UPDATE text SET file = file + 1000000 WHERE file % 2 = 0; "
        "UPDATE history_cache SET file = file + 1000000 WHERE file % 2 = 0");
    EXPECT_EQ(run("history --format json fleet.db").out, run("history --format json fleet").out);
}


TEST_F(StoreCommand, HistoryReadsTheFiguresKeptAtIngestNotTheTexts) {
    write_fleet_history();
    ASSERT_EQ(run("store fleet.db fleet").status, 0);
    Result files = run("history --format json fleet");
    // With every text gone, history still answers as the files do.
    sql(dir / "fleet.db", "UPDATE text SET content = 'gone'");
    Result store = run("history --format json fleet.db");
    EXPECT_EQ(store.status, files.status);
    EXPECT_EQ(store.out, files.out);
    EXPECT_EQ(store.err, files.err);
    EXPECT_EQ(run("list fleet.db").status, 2);  // the texts are what list reads
}

// A store made or mended by hand: kept figures that do not unpack are read
// from their texts, and ids far apart (read in ranges, on two connections
// where there are two processors) give the same history.
TEST_F(StoreCommand, HistoryReadsDamagedFiguresAndScatteredIdsAsTheFilesSayThem) {
    write_fleet_history();
    Result files = run("history --format json fleet");
    const char* const mended[] = {
        // cut short, one byte too many, a length past the end, a flag neither 0 nor 1
        "UPDATE history_cache SET figures = substr(figures, 1, 20) WHERE file = "
        "(SELECT min(file) FROM history_cache WHERE kind = 'results')",
        "UPDATE history_cache SET figures = figures || x'00' WHERE file = "
        "(SELECT max(file) FROM history_cache WHERE kind = 'results')",
        "UPDATE history_cache SET figures = x'00ffffffffffffff7f' WHERE file = "
        "(SELECT min(file) FROM history_cache WHERE kind = 'machine')",
        "UPDATE history_cache SET figures = x'07' || substr(figures, 2) WHERE file = "
        "(SELECT max(file) FROM history_cache WHERE kind = 'machine')",
        // a later night of a machine seen before: its last byte cut, its start's
        // flag neither 0 nor 1 (after the error's flag and the program's text)
        "UPDATE history_cache SET figures = substr(figures, 1, length(figures) - 1) WHERE file = "
        "(SELECT max(file) FROM history_cache WHERE kind = 'machine')",
        "UPDATE history_cache SET figures = substr(figures, 1, 9 + p) || x'02' || substr(figures, 11 + p) "
        "FROM (SELECT CASE hex(substr(figures, 2, 1)) WHEN '10' THEN 16 ELSE 12 END AS p "
        "FROM history_cache WHERE file = (SELECT max(file) FROM history_cache WHERE kind = 'machine')) "
        "WHERE file = (SELECT max(file) FROM history_cache WHERE kind = 'machine')",
        "UPDATE file SET id = id + 1000000 WHERE id % 2 = 0; "
        "UPDATE text SET file = file + 1000000 WHERE file % 2 = 0; "
        "UPDATE history_cache SET file = file + 1000000 WHERE file % 2 = 0",
        // rows lost (host-b's last ten results files, after its step), a
        // row of no file, the table dropped: read from the texts, and
        // mended by the next ingest
        "DELETE FROM history_cache WHERE file IN (SELECT file FROM history_cache "
        "WHERE kind = 'results' AND CAST(shown AS TEXT) LIKE 'fleet/host-b/%' "
        "ORDER BY file DESC LIMIT 10)",
        "INSERT INTO history_cache SELECT 5000000, kind, 'fleet/host-z/' || file, figures "
        "FROM history_cache WHERE kind = 'results' LIMIT 1",
        "DROP TABLE history_cache",
    };
    for (const char* change : mended) {
        SCOPED_TRACE(change);
        fs::remove(dir / "fleet.db");
        ASSERT_EQ(run("store fleet.db fleet").status, 0);
        sql(dir / "fleet.db", change);
        Result store = run("history --format json fleet.db");
        EXPECT_EQ(store.status, files.status);
        EXPECT_EQ(store.out, files.out);
        EXPECT_EQ(store.err, files.err);
        EXPECT_EQ(run("store fleet.db fleet").status, 0);
        EXPECT_EQ(query(dir / "fleet.db", "SELECT count(*) FROM history_cache JOIN file ON "
                                          "file.id = history_cache.file AND current = 1"),
                  query(dir / "fleet.db", "SELECT count(*) FROM history_cache"));
        EXPECT_EQ(query(dir / "fleet.db", "SELECT count(*) FROM history_cache"), 108);
    }
}

TEST_F(StoreCommand, HistoryFromTheFiguresSaysWhatTheFilesSayOfABrokenRecord) {
    write_fleet_history(8);
    // One machine.json that is no record, and one night of host-c without any.
    std::vector<fs::path> records;
    for (const auto& e : fs::recursive_directory_iterator(dir / "fleet"))
        if (e.path().filename() == "machine.json")
            records.push_back(e.path());
    std::sort(records.begin(), records.end());
    std::ofstream(records.front(), std::ios::trunc) << "[1]\n";
    fs::remove(records.back());
    ASSERT_EQ(run("store fleet.db fleet").status, 0);
    for (std::string command : {"history", "history --format json"}) {
        SCOPED_TRACE(command);
        Result files = run(command + " fleet");
        Result store = run(command + " fleet.db");
        EXPECT_NE(files.err.find("machine.json"), std::string::npos) << files.err;
        EXPECT_EQ(store.status, files.status);
        EXPECT_EQ(store.out, files.out);
        EXPECT_EQ(store.err, files.err);
    }
}

TEST_F(StoreCommand, AnEarlierVersionIsReadAsItIsAndMigratedByTheNextIngest) {
    write_fleet_history();
    // The parsed tables of versions 2 and 3, which nothing read.
    const std::string parsed = "CREATE TABLE run (id INTEGER PRIMARY KEY, file INTEGER); "
                               "CREATE TABLE rate (run INTEGER); "
                               "CREATE TABLE record (file INTEGER PRIMARY KEY); ";
    const struct {
        int version;
        std::string tables;  // what a store of that version held
    } versions[] = {
        {1,  // the texts alone, in `file`
         "CREATE TABLE old AS SELECT id, path, shown, kind, size, sha256, content, stored, current "
         "FROM file JOIN text ON text.file = file.id; DROP TABLE history_cache; "
         "DROP TABLE text; DROP TABLE file; ALTER TABLE old RENAME TO file; "
         "CREATE UNIQUE INDEX file_current ON file (path) WHERE current = 1; "
         "PRAGMA user_version = 1"},
        {2,  // the parsed tables, no cache
         "DROP TABLE history_cache; " + parsed + "PRAGMA user_version = 2"},
        {3,  // the parsed tables, and the cache named `history`
         "ALTER TABLE history_cache RENAME TO history; " + parsed + "PRAGMA user_version = 3"},
    };
    const std::vector<std::string> commands = {"history --format json", "list"};
    for (const auto& v : versions) {
        SCOPED_TRACE(v.version);
        fs::remove(dir / "old.db");
        ASSERT_EQ(run("store old.db fleet").status, 0);
        sql(dir / "old.db", v.tables.c_str());
        for (const std::string& command : commands)
            EXPECT_EQ(run(command + " old.db").out, run(command + " fleet").out) << command;
        Result upgraded = run("store old.db fleet");
        EXPECT_EQ(upgraded.status, 0) << upgraded.err;
        EXPECT_EQ(upgraded.out, "0 new, 108 already stored\n");
        EXPECT_EQ(query(dir / "old.db", "PRAGMA user_version"), 4);
        EXPECT_EQ(query(dir / "old.db", "SELECT count(*) FROM sqlite_schema WHERE name IN "
                                        "('run', 'rate', 'record', 'history')"),
                  0);
        EXPECT_EQ(query(dir / "old.db",
                        "SELECT count(*) FROM history_cache WHERE figures NOT NULL"),
                  108);
        for (const std::string& command : commands)
            EXPECT_EQ(run(command + " old.db").out, run(command + " fleet").out) << command;
    }
    // A new store has the layout of a migrated one.
    ASSERT_EQ(run("store new.db fleet").status, 0);
    EXPECT_EQ(query(dir / "new.db", "SELECT count(*) FROM sqlite_schema"),
              query(dir / "old.db", "SELECT count(*) FROM sqlite_schema"));
}

TEST_F(StoreCommand, AnUnchangedFileIsSkippedByItsSizeAndTimeWithoutBeingRead) {
    write_fleet_history(5);
    // Times of an hour ago: older than any write still to come.
    auto hour_ago = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const auto& e : fs::recursive_directory_iterator(dir / "fleet"))
        if (e.is_regular_file())
            fs::last_write_time(e.path(), hour_ago);
    ASSERT_EQ(run("store fleet.db fleet").out, "45 new, 0 already stored\n");
    // Another text of the same size under the same time is not read...
    fs::path file = rewrite_a_results_file();
    fs::last_write_time(file, hour_ago);
    EXPECT_EQ(run("store fleet.db fleet").out, "0 new, 45 already stored\n");
    // ...and once its time moves, it is read, digested and stored again.
    fs::last_write_time(file, hour_ago + std::chrono::minutes(1));
    Result moved = run("store fleet.db fleet");
    EXPECT_EQ(moved.out, "1 new, 44 already stored\n");
    EXPECT_NE(moved.err.find("changed since it was stored"), std::string::npos) << moved.err;
    // A file touched with its text unchanged is digested once, then skipped by its time.
    fs::path other = file.parent_path() / "machine.json";
    fs::last_write_time(other, hour_ago + std::chrono::minutes(2));
    EXPECT_EQ(run("store fleet.db fleet").out, "0 new, 45 already stored\n");
    EXPECT_EQ(query(dir / "fleet.db", "SELECT count(*) FROM file WHERE mtime = 0"), 0);
}

TEST_F(StoreCommand, TwoIngestsAtOnceStoreEachFileOnce) {
    write_fleet_history(8);
    // Both start together; the second waits for the first's transaction.
    int rc = shell("cd '" + dir.string() + "' && (" + bench + " store race.db fleet >one.txt & " +
                   bench + " store race.db fleet >two.txt; wait)");
    ASSERT_EQ(rc, 0);
    std::string one = slurp(dir / "one.txt"), two = slurp(dir / "two.txt");
    EXPECT_TRUE((one == "72 new, 0 already stored\n" && two == "0 new, 72 already stored\n") ||
                (two == "72 new, 0 already stored\n" && one == "0 new, 72 already stored\n"))
        << one << two;
    EXPECT_EQ(run("list race.db").out, run("list fleet").out);
}

TEST_F(StoreCommand, AFullDiskStoresNothingAndKeepsTheStoreAsItWas) {
    write_fleet_history(3);
    ASSERT_EQ(run("store fleet.db fleet").status, 0);
    std::string before = run("list fleet.db").out;
    write_fleet_history(40);
    // 64 KiB: the store holds the first nights, not all the new ones.
    Result full = run_in(dir, "sh -c 'ulimit -f 64; exec \"$0\" store fleet.db fleet' " + bench);
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("fleet.db: "), std::string::npos) << full.err;
    EXPECT_NE(full.err.find("; nothing was stored"), std::string::npos) << full.err;
    EXPECT_EQ(full.out, "");
    Result after = run("list fleet.db");
    EXPECT_EQ(after.out, before) << after.err;
    Result later = run("store fleet.db fleet");
    EXPECT_EQ(later.status, 0) << later.err;
}

// A store another process holds locked (an ingest storing or committing,
// or one suspended with Ctrl-Z): every command says on standard error that
// it waits and for whom, goes on once the lock is released, and gives up
// after BENCH_REPORT_STORE_WAIT seconds with exit 2.
TEST_F(StoreCommand, ALockedStoreIsWaitedForAsLongAsSaidThenGivenUp) {
    write_fleet_history(2);
    ASSERT_EQ(run("store fleet.db fleet").status, 0);
    const std::string listed = run("list fleet").out;
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "fleet.db").c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const std::string waits = "bench_report: fleet.db: locked by process " +
                              std::to_string(::getpid()) + ", storing into it; waiting up to ";
    auto waiting = [&](int seconds, const std::string& command) {
        return run_in(dir, "BENCH_REPORT_STORE_WAIT=" + std::to_string(seconds) +
                               " timeout -k 5 60 " + bench + " " + command);
    };
    const struct {
        std::string command, gives_up;
    } cases[] = {
        {"list fleet.db", "fleet.db: cannot read: still locked by another process after 2 s\n"},
        {"history fleet.db", "fleet.db: cannot read: still locked by another process after 2 s\n"},
        {"store fleet.db fleet",
         "fleet.db: still locked by another process after 2 s; nothing was stored\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        Result r = waiting(2, c.command);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(waits + "2 s\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.gives_up), std::string::npos) << r.err;
    }
    // Released while a command waits: it goes on, and answers in full.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    });
    Result later = waiting(30, "list fleet.db");
    release.join();
    sqlite3_close(holder);
    EXPECT_EQ(later.status, 0) << later.err;
    EXPECT_EQ(later.err, waits + "30 s\n");
    EXPECT_EQ(later.out, listed);
    Result hours = run_in(dir, "BENCH_REPORT_STORE_WAIT=1h " + bench + " list fleet.db");
    EXPECT_EQ(hours.status, 2);
    EXPECT_EQ(hours.err, "bench_report: BENCH_REPORT_STORE_WAIT: expected whole seconds from 0 "
                         "to 86400, found \"1h\"\n");
}

TEST_F(StoreCommand, RefusesWhatIsNotAStoreOfThisVersion) {
    write_fleet_history(2);
    std::string header("SQLite format 3\0garbage that is no database page", 48);
    std::ofstream(dir / "fake.db", std::ios::binary) << header << std::string(4000, 'x');
    std::ofstream(dir / "notes.txt") << "a file of someone else's\n";
    ASSERT_EQ(shell("cd '" + dir.string() + "' && " + bench + " store other.db fleet >/dev/null"), 0);
    sql(dir / "other.db", "PRAGMA user_version = 7");
    sql(dir / "theirs.db", "CREATE TABLE t (x)");
    struct Case {
        std::string command;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"store notes.txt fleet", 2, "notes.txt: not a bench_report store; not overwritten"},
        {"store fleet fleet", 2, "fleet: a directory, not a store; not written"},
        {"store theirs.db fleet", 2, "theirs.db: an SQLite database, not a bench_report store"},
        {"store other.db fleet", 2, "other.db: a store of schema version 7"},
        {"store fake.db fleet", 2, "fake.db: file is not a database; nothing was stored"},
        {"list theirs.db", 2, "theirs.db: cannot read: an SQLite database, not a bench_report store"},
        {"list other.db", 2, "this bench_report reads versions 1 to 4"},
        {"history fake.db", 2, "fake.db: cannot read: file is not a database"},
        {"store x.db fake.db", 2, "fake.db: cannot read: an SQLite file"},
        {"store x.db nowhere", 2, "nowhere: cannot read: No such file or directory"},
        {"store x.db nowhere", 2, "x.db: nothing to store"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        std::string fake = slurp(dir / "fake.db"), notes = slurp(dir / "notes.txt");
        Result r = run(c.command);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(slurp(dir / "fake.db"), fake);
        EXPECT_EQ(slurp(dir / "notes.txt"), notes);
    }
    EXPECT_FALSE(fs::exists(dir / "x.db"));
    // A store that cannot be written is still read.
    ::chmod((dir / "other.db").c_str(), 0444);
    ASSERT_EQ(run("store ro.db fleet").status, 0);
    ::chmod((dir / "ro.db").c_str(), 0444);
    EXPECT_EQ(run("list ro.db").out, run("list fleet").out);
    // -o never overwrites a store read.
    Result onto = run("export ro.db -o ro.db");
    EXPECT_EQ(onto.status, 2);
}

}  // namespace
