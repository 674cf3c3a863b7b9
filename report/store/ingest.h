// Storing: the files under the paths named added to a store, each once, in
// one transaction.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "input/source.h"
#include "store/store.h"

namespace report {

// A file to store: its path as found, its text as read, the size and
// modification time it had on disk (what a later ingest skips it by), and
// for a results file the runs its text parsed to.
struct FileToStore {
    FileToStore(StoredFile::Kind kind, std::string path, std::string text, long long mtime_ns = 0,
                std::vector<Run> runs = {})
        : kind(kind),
          path(std::move(path)),
          text(std::move(text)),
          mtime_ns(mtime_ns),
          runs(std::move(runs)) {}
    StoredFile::Kind kind;
    std::string path;
    std::string text;
    long long mtime_ns = 0;  // 0: unknown, digest it next time
    std::vector<Run> runs;
};

// What the store holds of each current file, by the key it is known by
// (store_key): its size and modification time when stored, and the path it
// was stored by. Empty when there is no store (or none readable: the ingest
// then says why), or, with `locked` set, when another process held it locked
// past the wait. A file whose size and time still match is skipped without
// being read.
struct KnownFile {
    long long size = 0, mtime_ns = 0;
    std::string shown;
};
std::map<std::string, KnownFile> stored_file_times(const std::string& path, bool& locked);

// The path a file is known by in a store: absolute, every symbolic link
// resolved (or, for a file that is not there, its absolute, normalised name).
std::string store_key(const std::string& path);

struct StoreCounts {
    std::size_t added = 0;    // files not stored before, or changed since (a new version)
    std::size_t already = 0;  // the same path and size, and the same time or digest: skipped
    std::vector<std::string> changed;  // results files stored again as a new version
};

// Adds `files` to the store at `path` (created when absent) in one
// transaction: all are stored or, on any failure, none. A file is known by
// its absolute path; one whose size and SHA-256 match the stored version is
// skipped. `skipped` counts the files already known by size and time, which
// were not read. Another ingest writing the same store is waited for. A store
// of an earlier version is migrated in the same transaction.
StoreFailure store_files(const std::string& path, const std::vector<FileToStore>& files,
                         StoreCounts& counts, std::size_t skipped = 0);

// The results files found under one path that a store keeps by another
// name (found by another path in the same ingest, or stored before by one):
// how many, and the first's name.
struct AnotherName {
    std::size_t files = 0;
    std::string first;
};

// What `ingest` did.
struct Ingest {
    std::vector<LoadNote> notes;  // files left out, said as loading says them
    bool failed = false;          // some file was left out, or a path held none
    // The paths under which no results file was found.
    std::vector<std::string> empty_inputs;
    // For each path, the files it names that are kept by another name.
    std::vector<AnotherName> another;
    bool nothing = false;  // nothing to store, nor anything stored before: not written
    StoreCounts counts;
    StoreFailure failure;
};

// Stores the results files under `paths`, and the machine.json beside each,
// in the store at `database`: every file that reads as results, and none
// that does not (each named in a note), so that the store answers as its
// files do without notes of its own. A file whose size and modification time
// are those it was stored with is skipped without being read. A file is
// known by its path with every symbolic link resolved, so one reached by two
// paths is stored once, by the name it was first stored by.
Ingest ingest(const std::string& database, const std::vector<std::string>& paths);

}  // namespace report
