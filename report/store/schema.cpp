#include "store/schema.h"

#include <iterator>

#include "store/cache.h"
#include "store/sqlite.h"

namespace report {

namespace {

// One step of the layout: the SQL that brings a store of version v to v + 1,
// and whether it leaves the cache to be made anew from the texts.
struct Migration {
    const char* sql;
    bool empties_cache;
};

// migrations[v] brings a store of version v up to v + 1; a new store (0)
// takes every one, so that it has the very layout of an upgraded one.
const Migration migrations[] = {
    // 1: the files, each version of each with its text.
    {R"sql(
CREATE TABLE file (
    id      INTEGER PRIMARY KEY,
    path    BLOB NOT NULL,     -- absolute and normalised: what a file is known by
    shown   BLOB NOT NULL,     -- as it was found, what outputs show
    kind    TEXT NOT NULL CHECK (kind IN ('results', 'machine')),
    size    INTEGER NOT NULL,
    sha256  TEXT NOT NULL,
    content BLOB NOT NULL,     -- the file's text as read
    stored  TEXT NOT NULL,     -- when, UTC
    current INTEGER NOT NULL   -- 1 for the newest version of its path, else 0
);
CREATE UNIQUE INDEX file_current ON file (path) WHERE current = 1;
)sql",
     false},
    // 2: the texts in a table of their own, so that listing the files never
    // reads them, and each file's modification time. The table is built
    // anew rather than altered, whatever its text of creation. Version 2
    // also kept the runs, rates and records parsed in tables of their own,
    // which nothing read back (the 4th step drops them).
    {R"sql(
ALTER TABLE file RENAME TO file_v1;
DROP INDEX file_current;
CREATE TABLE file (id INTEGER PRIMARY KEY, path BLOB NOT NULL, shown BLOB NOT NULL,
    kind TEXT NOT NULL CHECK (kind IN ('results', 'machine')), size INTEGER NOT NULL,
    sha256 TEXT NOT NULL, stored TEXT NOT NULL, current INTEGER NOT NULL,
    mtime INTEGER NOT NULL DEFAULT 0  -- its modification time (ns), 0 when not trusted
);
CREATE UNIQUE INDEX file_current ON file (path) WHERE current = 1;
CREATE TABLE text (
    file    INTEGER PRIMARY KEY REFERENCES file (id),
    content BLOB NOT NULL      -- the file's text as read
);
INSERT INTO file (id, path, shown, kind, size, sha256, stored, current)
    SELECT id, path, shown, kind, size, sha256, stored, current FROM file_v1;
INSERT INTO text (file, content) SELECT id, content FROM file_v1;
DROP TABLE file_v1;
CREATE TABLE run (id INTEGER PRIMARY KEY, file INTEGER NOT NULL REFERENCES file (id),
    program TEXT NOT NULL, local_time TEXT NOT NULL, partial INTEGER NOT NULL);
CREATE INDEX run_file ON run (file);
CREATE TABLE rate (run INTEGER NOT NULL REFERENCES run (id), position INTEGER NOT NULL,
    test TEXT NOT NULL, single REAL, overall REAL, incomplete INTEGER NOT NULL,
    PRIMARY KEY (run, position)) WITHOUT ROWID;
CREATE TABLE record (file INTEGER PRIMARY KEY REFERENCES file (id), error TEXT, program TEXT,
    started TEXT, outcome TEXT, cpu_model TEXT, logical_cpus INTEGER, governors TEXT,
    boost TEXT, kernel TEXT, microcode TEXT, program_sha256 TEXT, build_id TEXT, openmp TEXT,
    cpu_quota REAL, affinity TEXT);
)sql",
     true},
    // 3: what a history reads of each current file, one row a file.
    {R"sql(
CREATE TABLE history (
    file    INTEGER PRIMARY KEY REFERENCES file (id),
    kind    TEXT NOT NULL CHECK (kind IN ('results', 'machine')),
    shown   BLOB NOT NULL,
    figures BLOB
);
)sql",
     true},
    // 4: each figure kept once: the parsed tables of version 2, never read,
    // are dropped, and the rows a history reads are named as what they are,
    // a cache of the texts.
    {R"sql(
DROP TABLE rate;
DROP TABLE run;
DROP TABLE record;
ALTER TABLE history RENAME TO history_cache;
)sql",
     false},
};
static_assert(std::size(migrations) == store_schema_version);

}  // namespace

std::string check_marks(sqlite3* db, bool& fresh, StoreFailure::Kind& kind) {
    fresh = false;
    std::optional<long long> id = sqlite::single_integer(db, "PRAGMA application_id");
    std::optional<long long> version = sqlite::single_integer(db, "PRAGMA user_version");
    std::optional<long long> tables =
        sqlite::single_integer(db, "SELECT count(*) FROM sqlite_schema");
    if (!id || !version || !tables) {
        kind = StoreFailure::not_a_store;
        return sqlite::reason(db);
    }
    if (*id == 0 && *version == 0 && *tables == 0) {
        fresh = true;
        return {};
    }
    if (*id != store_application_id) {
        kind = StoreFailure::not_a_store;
        return "an SQLite database, not a bench_report store";
    }
    if (*version < 1 || *version > store_schema_version) {
        kind = StoreFailure::version;
        return "a store of schema version " + std::to_string(*version) +
               "; this bench_report reads versions 1 to " + std::to_string(store_schema_version) +
               " (build a new store from the files)";
    }
    return {};
}

sqlite::Database open_to_read(const std::string& path, std::string& error, long long& version,
                              bool wait) {
    // Opened for writing where it may be, though only read: an ingest cut
    // short (a full disk, a kill) leaves its journal, which SQLite plays back
    // on the next reader that can write. A store that cannot be written is
    // read as it is. A connection is used by one thread at a time, so
    // SQLite's own locking of it is left out.
    sqlite::Database db =
        sqlite::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, error, wait);
    if (!db)
        db = sqlite::open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, error, wait);
    if (!db)
        return nullptr;
    if (!sqlite::exec(db.get(), "BEGIN")) {
        error = sqlite::reason(db.get());
        return nullptr;
    }
    bool fresh = false;
    StoreFailure::Kind kind{};
    error = check_marks(db.get(), fresh, kind);
    if (error.empty() && fresh)
        error = "an SQLite database, not a bench_report store";
    if (!error.empty())
        return nullptr;
    version = sqlite::single_integer(db.get(), "PRAGMA user_version").value_or(0);
    return db;
}

const char* cache_table(long long version) {
    switch (version) {
        case 3: return "history";
        case 4: return "history_cache";
        default: return nullptr;
    }
}

bool migrate(sqlite3* db, long long version) {
    if (version < 0 || version > store_schema_version)
        return false;
    if (version == 0) {
        std::string mark = "PRAGMA application_id = " + std::to_string(store_application_id);
        if (!sqlite::exec(db, mark.c_str()))
            return false;
    }
    bool empty_cache = false;
    for (auto v = static_cast<std::size_t>(version); v < std::size(migrations); ++v) {
        if (!sqlite::exec(db, migrations[v].sql))
            return false;
        empty_cache = empty_cache || migrations[v].empties_cache;
    }
    if (empty_cache && !rebuild_cache(db))
        return false;
    std::string set = "PRAGMA user_version = " + std::to_string(store_schema_version);
    return sqlite::exec(db, set.c_str());
}

}  // namespace report
