// The store's layout: its tables, their version, and the migrations that
// bring a store of any earlier version up to this one.
#pragma once

#include <cstdint>
#include <string>

#include <sqlite3.h>

#include "store/sqlite.h"
#include "store/store.h"

namespace report {

// The layout's version, kept in SQLite's user_version. A store of an earlier
// version is read as it is and migrated by the next ingest; a later one is
// refused rather than read or written.
constexpr int store_schema_version = 4;
// SQLite's application_id of a store: "BRST".
constexpr std::int32_t store_application_id = 0x42525354;

// What the store's marks say of the open database: empty when it is a store
// this program reads, else why not (and `kind` says how it is refused).
// `fresh` is set for a database with no table at all (a new file), which
// becomes a store when written.
std::string check_marks(sqlite3* db, bool& fresh, StoreFailure::Kind& kind);

// A store open for reading, and its schema version.
struct ReadableStore {
    sqlite::Database db;
    long long version = 0;
};

// Opens the store at `path` for reading, within one read transaction so that
// an ingest committing meanwhile is seen whole or not at all, and checks its
// marks. With `wait`, a lock another process holds is waited for
// (sqlite::open). A bad_input failure saying why when it cannot be opened or
// is no store this program reads. It is opened for
// writing where it may be, though only read: an ingest cut short (a full
// disk, a kill) leaves its journal, which SQLite plays back on the next
// reader that can write; a store that cannot be written is read as it is
// (a WAL-mode one as immutable when its log is folded in), and one that a
// reader that cannot write cannot read says what to do.
Expected<ReadableStore> open_to_read(const std::string& path, bool wait = true);

// The table of the cache in a store of `version` (store/cache.h), or null
// for a version that has none.
const char* cache_table(long long version);

// Brings the store open in `db` from `version` (0 for a new file) up to
// store_schema_version, within the transaction open on it: each migration in
// turn, then the cache made anew from the current texts when a migration
// left it empty, else mended where it lacks a current file's row or holds a
// row of none (a store mended by hand). False when any step fails
// (sqlite::reason says why).
bool migrate(sqlite3* db, long long version);

}  // namespace report
