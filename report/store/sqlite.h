// SQLite's handles, each closed by its owner, and the few calls every part of
// the store makes with them. Only the store's own sources include this.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <sqlite3.h>

#include "model/failure.h"

namespace report::sqlite {

// What a connection that waits for a lock keeps of its wait.
struct Waiting;

struct CloseDatabase {
    std::shared_ptr<Waiting> waiting;  // the busy handler's, kept as long as the connection
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;

struct FinalizeStatement {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// Opens the SQLite file at `path` with `flags` (SQLITE_OPEN_*). The name is
// always a file's path, never a URI ("file:x.db") nor a special name
// (":memory:", "" for a temporary database): a relative one is opened as
// "./name", and an empty one is refused. With `wait`, a lock that another
// process holds is waited for as set_store_waiting says, and the wait is
// said once it has lasted a second; without, it fails at once. A failure
// saying why when it cannot be opened: write_failed where `flags` would
// create the file, bad_input otherwise.
Expected<Database> open(const std::string& path, int flags, bool wait);

// Opens the SQLite file at `path` to read as it stands, as immutable: no
// lock taken, no journal or write-ahead log looked at, nothing written. For
// a file nothing else writes meanwhile, whose every change is in it. A
// bad_input failure saying why when it cannot be opened.
Expected<Database> open_immutable(const std::string& path);

// SQLite's reason for the last failure, with the system's when an I/O call
// failed ("disk I/O error (File too large)"), and how long it waited when
// the store stayed locked.
std::string reason(sqlite3* db);

// Whether the last failure was a lock held by another process past the wait.
bool locked(sqlite3* db);
// What reason() says then.
std::string locked_reason();

// A prepared statement, or null when `sql` does not prepare.
Statement prepare(sqlite3* db, const char* sql);

// Runs `sql` (one statement or several); false when any fails.
bool exec(sqlite3* db, const char* sql);

// The single integer a query (a PRAGMA) answers, or absent on failure.
std::optional<long long> single_integer(sqlite3* db, const char* sql);

// Steps a statement that returns no row, then makes it ready for the next
// bindings; false when the step failed.
bool step_done(sqlite3_stmt* s);

// A text or blob column as it stands in SQLite's buffer, valid until the
// next step; and a copy of it.
std::string_view column_view(sqlite3_stmt* s, int i);
std::string column_text(sqlite3_stmt* s, int i);

// Binds bytes as a blob (paths and texts are kept as blobs: a value bound
// as text would never equal one kept as a blob). Not `bind`: for a
// std::string argument, lookup would find std::bind too, and pick it.
void bind_bytes(sqlite3_stmt* s, int i, std::string_view bytes);
// Binds the bytes, or NULL when absent.
void bind_optional(sqlite3_stmt* s, int i, const std::optional<std::string>& text);
// Binds the number, or NULL when absent.
void bind_real(sqlite3_stmt* s, int i, std::optional<double> v);

}  // namespace report::sqlite
