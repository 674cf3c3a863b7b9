// The store: one SQLite file that keeps the results files and machine.json
// records of a fleet, so that a year of nightly runs is read from one file
// instead of walked and opened file by file. The files stay the source: the
// store keeps each one's text as it was read (with its size and SHA-256),
// and every reader parses those texts exactly as it parses the files, so a
// question asked of the store has the answer the files give.
//
// Beside the texts, the store keeps what a history reads of them, parsed
// once when they are stored: each run's program, local time and rates by
// test, and each machine.json's start, outcome and the fields a change of the
// machine is told by. A history read from those tables needs no text parsed.
//
// Each path keeps its versions: a file that changed since it was stored is
// stored again, and the newest version is the one read. SQLite's locking is
// unreliable on network file systems, so a store belongs on a local disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "machine/record.h"
#include "model/run.h"

namespace report {

// The layout of the store's tables, kept in SQLite's user_version. A store of
// version 1 (texts only) is read from its texts and brought up to version 2
// by the next `store` into it; any other version is refused rather than read
// or written.
constexpr int store_schema_version = 3;
// SQLite's application_id of a store: "BRST".
constexpr std::int32_t store_application_id = 0x42525354;

// Whether `path` is a regular file that starts with SQLite's header. A store
// is known by its content, whatever its name.
bool is_sqlite_file(const std::string& path);

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
};

// How much of each file a reader wants: the texts, parsed as the files are
// (every command), or the figures a history reads, from the parsed tables.
// A store of version 1 gives texts either way; so does a transcript, and
// every results file in a directory that holds one (telling a transcript from
// its own results file takes every figure).
enum class StoreReading { texts, figures };

// The newest version of every file in the store at `path`, results files
// ordered by path (as a directory's are), then the machine.json records by
// path. False, with `error` saying why, when it cannot be opened or read, is
// not a store, or is a store of another version.
bool read_store(const std::string& path, std::vector<StoredFile>& files, std::string& error,
                StoreReading reading = StoreReading::texts);

// A file to store: its path as found, its text as read, the size and
// modification time it had on disk (what a later ingest skips it by), and
// for a results file the runs its text parsed to.
struct FileToStore {
    FileToStore(StoredFile::Kind kind, std::string path, std::string text, long long mtime_ns = 0,
                std::vector<Run> runs = {})
        : kind(kind), path(std::move(path)), text(std::move(text)), mtime_ns(mtime_ns),
          runs(std::move(runs)) {}
    StoredFile::Kind kind;
    std::string path;
    std::string text;
    long long mtime_ns = 0;  // 0: unknown, digest it next time
    std::vector<Run> runs;
};

// What the store holds of each current file, by absolute path: its size and
// modification time when stored. Empty when there is no store (or none
// readable: the ingest then says why). A file whose size and time still
// match is skipped without being read.
struct KnownFile {
    long long size = 0, mtime_ns = 0;
};
std::map<std::string, KnownFile> stored_file_times(const std::string& path);

// The absolute, normalised path a file is known by in a store.
std::string store_key(const std::string& path);

struct StoreCounts {
    std::size_t added = 0;    // files not stored before, or changed since (a new version)
    std::size_t already = 0;  // the same path and size, and the same time or digest: skipped
    std::vector<std::string> changed;  // results files stored again as a new version
};

// Why an ingest stored nothing.
struct StoreFailure {
    enum Kind {
        none,
        not_a_store,  // the file at the path is something else (never overwritten)
        version,      // a store of another schema version
        write,        // SQLite could not write it: full disk, read-only, I/O error
    } kind = none;
    std::string message;
};

// Adds `files` to the store at `path` (created when absent) in one
// transaction: all are stored or, on any failure, none. A file is known by
// its absolute path; one whose size and SHA-256 match the stored version is
// skipped. `skipped` counts the files already known by size and time, which
// were not read. Another ingest writing the same store is waited for. A store
// of version 1 is brought up to this version in the same transaction, its
// tables filled from its texts.
StoreFailure store_files(const std::string& path, const std::vector<FileToStore>& files,
                         StoreCounts& counts, std::size_t skipped = 0);

// The SHA-256 of `text` in lower-case hexadecimal.
std::string sha256_hex(const std::string& text);

}  // namespace report
