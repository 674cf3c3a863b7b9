// The store: one SQLite file that keeps the results files and machine.json
// records of a fleet, so that a year of nightly runs is read from one file
// instead of walked and opened file by file. The files stay the source: the
// store keeps each one's text as it was read (with its size and SHA-256),
// and every reader parses those texts exactly as it parses the files, so a
// question asked of the store has the answer the files give.
//
// Each path keeps its versions: a file that changed since it was stored is
// stored again, and the newest version is the one read. SQLite's locking is
// unreliable on network file systems, so a store belongs on a local disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace report {

// The layout of the store's tables, kept in SQLite's user_version; a store of
// any other version is refused rather than read or written.
constexpr int store_schema_version = 1;
// SQLite's application_id of a store: "BRST".
constexpr std::int32_t store_application_id = 0x42525354;

// Whether `path` is a regular file that starts with SQLite's header. A store
// is known by its content, whatever its name.
bool is_sqlite_file(const std::string& path);

// One file as the store keeps it.
struct StoredFile {
    enum Kind { results, machine } kind;  // a results file or transcript; a machine.json
    std::string path;                     // as it was found when it was stored
    std::string text;
};

// The newest version of every file in the store at `path`, results files
// ordered by path (as a directory's are), then the machine.json records by
// path. False, with `error` saying why, when it cannot be opened or read, is
// not a store, or is a store of another version.
bool read_store(const std::string& path, std::vector<StoredFile>& files, std::string& error);

// A file to store: its path as found, and its text as read.
struct FileToStore {
    StoredFile::Kind kind;
    std::string path;
    std::string text;
};

struct StoreCounts {
    std::size_t added = 0;    // files not stored before, or changed since (a new version)
    std::size_t already = 0;  // the same path, size and digest already stored: skipped
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
// skipped. Another ingest writing the same store is waited for.
StoreFailure store_files(const std::string& path, const std::vector<FileToStore>& files,
                         StoreCounts& counts);

// The SHA-256 of `text` in lower-case hexadecimal.
std::string sha256_hex(const std::string& text);

}  // namespace report
