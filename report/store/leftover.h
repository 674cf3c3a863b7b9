// What an ingest leaves beside a store when it is cut short (killed, or
// stopped by a full disk): its rollback journal, the file named as the store
// with "-journal" added, which SQLite plays back on the next connection that
// may write the store; or, for a store someone put in WAL mode, its
// write-ahead log ("-wal"). Read here from the files themselves, for what
// SQLite cannot do by itself: know a new store before its first page is
// written, and say what a reader that may not write such a store must do.
#pragma once

#include <string>

namespace report {

// Whether the file at `path` is a new store whose first ingest has not
// committed: no SQLite header yet (SQLite writes the first page last), and a
// journal beside it saying the database was empty when that ingest began.
// While the ingest runs it holds the store locked; cut short, its journal
// rolls the file back to nothing, and the store is empty.
bool unfinished_new_store(const std::string& path);

// What the files beside the store at `path` hold for a reader to play back.
enum class Leftover {
    none,        // nothing: the store's file holds every committed change
    journal,     // a journal an ingest cut short left (to be rolled back)
    wal_log,     // the write-ahead log of a WAL-mode store, not yet folded in
};
Leftover leftover(const std::string& path);

// Whether the store at `path` is in WAL mode (its header says so).
bool wal_mode(const std::string& path);

}  // namespace report
