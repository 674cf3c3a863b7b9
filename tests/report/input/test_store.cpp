// The store's own rules: versions of a path, what is skipped, the order files
// are read back in, and the marks that tell a store from other SQLite files.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "input/store.h"

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
        std::vector<StoredFile> files;
        std::string error;
        EXPECT_TRUE(read_store(db, files, error)) << error;
        return files;
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
    std::string error;
    std::vector<StoredFile> files;
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
    exec(db, "PRAGMA user_version = 2");
    EXPECT_FALSE(read_store(db, files, error));
    EXPECT_EQ(error, "a store of schema version 2; this bench_report reads version 1 (build a "
                     "new store from the files)");
    EXPECT_EQ(store_files(db, {{StoredFile::results, "r2", "y"}}, counts).kind,
              StoreFailure::version);

    std::string theirs = (dir / "theirs.db").string();
    exec(theirs, "CREATE TABLE t (x)");
    EXPECT_FALSE(read_store(theirs, files, error));
    EXPECT_EQ(error, "an SQLite database, not a bench_report store");
    EXPECT_EQ(store_files(theirs, {{StoredFile::results, "r", "x"}}, counts).kind,
              StoreFailure::not_a_store);

    // An empty SQLite database is nobody's store yet: not read, but written.
    std::string empty = (dir / "empty.db").string();
    exec(empty, "PRAGMA user_version = 0");
    EXPECT_FALSE(read_store(empty, files, error));
    EXPECT_EQ(store_files(empty, {{StoredFile::results, "r", "x"}}, counts).kind,
              StoreFailure::none);
}

TEST(StoreDigest, IsTheSha256OfTheText) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
