// The cache of what a history reads: one row for every current file of a
// store, with its runs' rates (a results file) or its record's fields (a
// machine.json) packed into one value, so that a history of a fleet-year
// reads one row a file and parses no text. It is made from the texts when a
// file is stored, and made anew from them whenever its layout changes
// (store/schema.h); the texts stay the source.
//
// A packed value: numbers as 8 bytes, least significant first (a double by
// its IEEE 754 bits), texts as their length and bytes, an optional value as
// a byte 0 or 1 before it. A file whose value is NULL (a transcript, a text
// that is no results file) or does not unpack whole is read from its text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sqlite3.h>

#include "store/sqlite.h"
#include "store/store.h"

namespace report {

// Whether the runs of a results file are cached. A transcript's are not:
// telling it from its own results file takes every figure, so its text is
// what is read.
bool runs_cached(const std::vector<Run>& runs);

// The runs as the cache keeps them, and back: each run's program, partial
// flag and local time, and each test's key, rates and incomplete threads.
// Unpacked, each test's rates are matched to the catalogue (a test the
// program does not have is no figure of a history); absent when the value is
// not what pack_runs writes.
std::string pack_runs(const std::vector<Run>& runs);
std::optional<std::vector<Run>> unpack_runs(std::string_view packed);

// What a history reads of a machine.json: the repetition's program, start and
// outcome, and every field a change of the machine is told by
// (analysis/machine_differences), each as that comparison reads it; `error`
// when the text is no record.
struct RecordFields {
    std::optional<std::string> error;
    std::string program;
    std::optional<std::string> started, outcome, cpu_model;
    std::optional<int> logical_cpus;
    std::optional<std::string> governors, boost, kernel, microcode, sha256, build_id;
    std::string openmp;
    std::optional<double> cpu_quota;
    std::optional<std::string> affinity;
};
RecordFields record_fields(const std::string& text);
std::string pack_record(const RecordFields& fields);
std::optional<RecordFields> unpack_record(std::string_view packed);

// A packed record's start, and the rest of its bytes around it: the nights
// of one machine differ in their start alone, so the rest names the machine.
// Absent for a record of an error, and for a value that ends before its start.
struct AroundStart {
    std::string_view before, after;
    std::optional<std::string_view> started;
};
std::optional<AroundStart> around_start(std::string_view packed);

// The record a history reads, from its fields: every field it compares
// reads as it did in the whole record.
std::shared_ptr<const MachineRecord> record_of(const RecordFields& fields);

// Writes rows of the cache of a store of this version.
class CacheWriter {
public:
    explicit CacheWriter(sqlite3* db);
    bool ready() const { return insert_ != nullptr && forget_ != nullptr; }
    // The row of file `id`, just stored with `text` (for a results file,
    // `runs` are what the text parsed to).
    bool write(long long id, StoredFile::Kind kind, const std::string& shown,
               const std::string& text, const std::vector<Run>& runs);
    // A row that sends a reader to the text of file `id`.
    bool write_without_figures(long long id, StoredFile::Kind kind, const std::string& shown);
    // Drops the row of file `id`, no longer a current file.
    bool forget(long long id);

private:
    sqlite::Statement insert_, forget_;
};

// Makes the cache anew from the texts of the current files.
bool rebuild_cache(sqlite3* db);

// Mends a cache damaged or mended by hand: the table made again when it was
// dropped, a row of no current file dropped, and the
// row of each current file that has none made from its text.
bool mend_cache(sqlite3* db);

}  // namespace report
