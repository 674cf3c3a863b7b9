// The store: one SQLite file that keeps the results files and machine.json
// records of a fleet, so that a year of nightly runs is read from one file
// instead of walked and opened file by file. The files stay the source: the
// store keeps each one's text as it was read (with its size and SHA-256),
// and every reader parses those texts exactly as it parses the files, so a
// question asked of the store has the answer the files give.
//
// Beside the texts, the store keeps a cache of what a history reads of them,
// parsed once when they are stored (store/cache.h): each run's program,
// local time and rates by test, and each machine.json's start, outcome and
// the fields a change of the machine is told by. A history read from the
// cache needs no text parsed; the cache is made again from the texts
// whenever its layout changes.
//
// Each path keeps its versions: a file that changed since it was stored is
// stored again, and the newest version is the one read. SQLite's locking is
// unreliable on network file systems, so a store belongs on a local disk.
//
// The package: store/sqlite.h (SQLite's handles), store/schema.h (the
// layout and its migrations), store/cache.h (the cache), store/reader.h
// (reading), store/ingest.h (storing), store/source.h (a store as a source
// of runs).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/run.h"

namespace report {

// Whether `path` is a regular file that starts with SQLite's header. A store
// is known by its content, whatever its name.
bool is_sqlite_file(const std::string& path);
// Whether `path` is a store to open: an SQLite file, or a new store whose
// first ingest has not committed (store/leftover.h), which has no header yet.
bool is_store_file(const std::string& path);

// One file as the store keeps it.
struct StoredFile {
    enum Kind { results, machine } kind;  // a results file or transcript; a machine.json
    std::string path;                     // as it was found when it was stored
    std::string text;                     // empty when read as figures
    // Read as figures: a results file's runs, with only what a history reads
    // (program, source, local time, partial, each test's key, rates and
    // incomplete threads); absent when its text is given instead.
    std::optional<std::vector<Run>> runs;
    // Read as figures: a machine.json's record (a history's fields only), or
    // `record_error` when its text is no record; neither when its text is given.
    // The record has no start: every night of one machine shares one record,
    // and `started` is this file's.
    std::shared_ptr<const MachineRecord> record;
    std::optional<std::string> started;
    std::string record_error;
    // Its text is wanted and the store has none: a store damaged or mended
    // by hand.
    bool text_lost = false;
};

// What is said of a stored file whose text the store lost.
constexpr const char* text_lost_reason =
    "the store lost its text (build the store anew from the files)";

// How much of each file a reader wants: the texts, parsed as the files are
// (every command), or the figures a history reads, from the cache. A store
// without a cache (version 1 or 2, until an ingest upgrades it) gives texts
// either way; so does a transcript, and every results file in a directory
// that holds one (telling a transcript from its own results file takes every
// figure).
enum class StoreReading { texts, figures };

// How long a command waits for a store that another process holds locked
// (an ingest storing into it or committing, or one suspended), and what it
// says meanwhile.
struct StoreWaiting {
    int limit_seconds = 600;
    // Said once, when a wait has lasted a second: the store's path, and what
    // holds it ("process 4242, storing into it").
    std::function<void(const std::string& path, const std::string& holder)> notice;
};
// Sets how every store opened from now on waits.
void set_store_waiting(StoreWaiting waiting);

// Why an ingest stored nothing.
struct StoreFailure {
    enum Kind {
        none,
        not_a_store,  // the file at the path is something else (never overwritten)
        version,      // a store of another schema version
        write,        // SQLite could not write it: full disk, read-only, I/O error
        locked,       // another process held it locked past the wait
    } kind = none;
    std::string message;
};

}  // namespace report
