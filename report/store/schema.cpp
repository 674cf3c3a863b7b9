#include "store/schema.h"

#include <iterator>

#include "store/cache.h"
#include "store/leftover.h"
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

namespace {

// What a reader says of a new store whose first ingest was cut short.
constexpr const char* nothing_stored_yet =
    "a new store whose first ingest did not finish; it holds nothing yet";

// Takes the read transaction on `db` and checks the store's marks: empty,
// or why it cannot be read.
std::string begin_reading(sqlite3* db, bool unfinished) {
    if (!sqlite::exec(db, "BEGIN"))
        return sqlite::reason(db);
    bool fresh = false;
    StoreFailure::Kind kind{};
    std::string error = check_marks(db, fresh, kind);
    if (error.empty() && fresh)
        error = unfinished ? nothing_stored_yet : "an SQLite database, not a bench_report store";
    return error;
}

// Whether the last failure on `db` came of its reader not being let write:
// a journal to play back, or a WAL-mode store's shared index to make.
bool kept_from_writing(sqlite3* db) {
    int code = sqlite3_extended_errcode(db) & 0xff;
    return code == SQLITE_READONLY || code == SQLITE_CANTOPEN;
}

// Why a reader that may not write the store at `path` cannot read it, and
// what to do; SQLite's `reason` when nothing beside the store explains it.
std::string unwritable(const std::string& path, const std::string& reason) {
    switch (leftover(path)) {
        case Leftover::journal:
            return "an ingest cut short left its journal beside it (-journal), which only a "
                   "user who may write the store and its directory can roll back: read the "
                   "store once as one";
        case Leftover::wal_log:
            return "a WAL-mode store whose log beside it (-wal) only a user who may write the "
                   "store and its directory can read: read the store once as one, which folds "
                   "the log into it";
        case Leftover::none: break;
    }
    return reason;
}

}  // namespace

Expected<ReadableStore> open_to_read(const std::string& path, bool wait) {
    // Opened for writing where it may be, though only read: an ingest cut
    // short (a full disk, a kill) leaves its journal, which SQLite plays back
    // on the next reader that can write. A connection is used by one thread
    // at a time, so SQLite's own locking of it is left out. A new store
    // whose first ingest has not committed is opened read-only: it is waited
    // for as any locked store, and one cut short is said to hold nothing,
    // left for the next ingest to roll back.
    bool unfinished = unfinished_new_store(path);
    int flags = unfinished ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    Expected<sqlite::Database> db = sqlite::open(path, flags | SQLITE_OPEN_NOMUTEX, wait);
    if (!db)
        db = sqlite::open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, wait);
    if (!db)
        return Failed(Exit::bad_input, db.failure().message);
    std::string error = begin_reading(db->get(), unfinished);
    if (!error.empty() && kept_from_writing(db->get())) {
        if (unfinished) {
            error = nothing_stored_yet;
        } else if (wal_mode(path) && leftover(path) == Leftover::none) {
            // A WAL-mode store whose log is folded in is whole in its file:
            // read as immutable, it needs no shared index, which a reader
            // that may not write its directory cannot make.
            db = sqlite::open_immutable(path);
            error = db ? begin_reading(db->get(), false) : db.failure().message;
        } else {
            error = unwritable(path, error);
        }
    }
    if (!error.empty())
        return Failed(Exit::bad_input, std::move(error));
    long long version = sqlite::single_integer(db->get(), "PRAGMA user_version").value_or(0);
    return ReadableStore{std::move(*db), version};
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
    if (!(empty_cache ? rebuild_cache(db) : mend_cache(db)))
        return false;
    if (version == store_schema_version)
        return true;
    std::string set = "PRAGMA user_version = " + std::to_string(store_schema_version);
    return sqlite::exec(db, set.c_str());
}

}  // namespace report
