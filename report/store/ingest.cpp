#include "store/ingest.h"

#include <ctime>
#include <filesystem>
#include <set>

#include <sys/stat.h>
#include <time.h>

#include <openssl/evp.h>

#include "input/load.h"
#include "input/walk.h"
#include "machine/input_file.h"
#include "store/cache.h"
#include "store/schema.h"
#include "store/sqlite.h"

namespace report {

namespace fs = std::filesystem;

namespace {

std::string utc_now() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// Why the file at `path` is refused as a store before it is opened: neither
// absent nor a store.
std::optional<StoreFailure> refused(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode))
        return StoreFailure{StoreFailure::not_a_store, "not a regular file; not written"};
    if (st.st_size > 0 && !is_sqlite_file(path))
        return StoreFailure{StoreFailure::not_a_store, "not a bench_report store; not overwritten"};
    return std::nullopt;
}

// The statements that store one file: its versions looked up, the new one
// added with its text and its row of the cache.
class FileWriter {
public:
    explicit FileWriter(sqlite3* db)
        : db_(db),
          find_(sqlite::prepare(
              db, "SELECT size, sha256, id FROM file WHERE path = ?1 AND current = 1")),
          touch_(sqlite::prepare(db, "UPDATE file SET mtime = ?2 WHERE id = ?1")),
          retire_(sqlite::prepare(db, "UPDATE file SET current = 0 WHERE id = ?1")),
          insert_(sqlite::prepare(db, "INSERT INTO file (path, shown, kind, size, sha256, "
                                      "stored, current, mtime) VALUES (?1, ?2, ?3, ?4, ?5, ?6, "
                                      "1, ?7)")),
          text_(sqlite::prepare(db, "INSERT INTO text (file, content) VALUES (?1, ?2)")),
          cache_(db),
          now_(utc_now()) {}

    bool ready() const { return find_ && touch_ && retire_ && insert_ && text_ && cache_.ready(); }

    // Stores `f` as the new current version of its path, unless that has
    // the same size and digest; `counts` says which. False on failure.
    bool store(const FileToStore& f, StoreCounts& counts) {
        std::string key = store_key(f.path);
        std::string digest = sha256_hex(f.text);
        std::optional<Current> current;
        if (!find(key, current))
            return false;
        if (current && current->size == static_cast<long long>(f.text.size()) &&
            current->digest == digest) {
            // The same text with another time (touched, copied): the next
            // ingest skips it by its time.
            ++counts.already;
            sqlite3_bind_int64(touch_.get(), 1, current->id);
            sqlite3_bind_int64(touch_.get(), 2, f.mtime_ns);
            return sqlite::step_done(touch_.get());
        }
        if (current) {
            // The older version is no longer a current file.
            sqlite3_bind_int64(retire_.get(), 1, current->id);
            if (!cache_.forget(current->id) || !sqlite::step_done(retire_.get()))
                return false;
            if (f.kind == StoredFile::results)
                counts.changed.push_back(f.path);
        }
        ++counts.added;
        return add(key, digest, f);
    }

private:
    // The current version of a path.
    struct Current {
        long long size, id;
        std::string digest;
    };

    bool find(const std::string& key, std::optional<Current>& current) {
        sqlite3_stmt* s = find_.get();
        sqlite::bind_bytes(s, 1, key);
        int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW)
            current = Current{sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 2),
                              sqlite::column_text(s, 1)};
        sqlite3_reset(s);
        return rc == SQLITE_ROW || rc == SQLITE_DONE;
    }

    bool add(const std::string& key, const std::string& digest, const FileToStore& f) {
        sqlite3_stmt* s = insert_.get();
        sqlite::bind_bytes(s, 1, key);
        sqlite::bind_bytes(s, 2, f.path);
        sqlite3_bind_text(s, 3, f.kind == StoredFile::machine ? "machine" : "results", -1,
                          SQLITE_STATIC);
        sqlite3_bind_int64(s, 4, static_cast<long long>(f.text.size()));
        sqlite3_bind_text(s, 5, digest.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 6, now_.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 7, f.mtime_ns);
        if (!sqlite::step_done(s))
            return false;
        long long id = sqlite3_last_insert_rowid(db_);
        sqlite3_bind_int64(text_.get(), 1, id);
        sqlite::bind_bytes(text_.get(), 2, f.text);
        return sqlite::step_done(text_.get()) && cache_.write(id, f.kind, f.path, f.text, f.runs);
    }

    sqlite3* db_;
    sqlite::Statement find_, touch_, retire_, insert_, text_;
    CacheWriter cache_;
    std::string now_;
};

// Opens the store at `path` for an ingest and takes its write lock, waiting
// for another ingest to commit; checks its marks and migrates it to this
// version (a new file becomes a store).
sqlite::Database open_to_write(const std::string& path, StoreFailure& failure) {
    std::string why;
    sqlite::Database db = sqlite::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, why);
    if (!db) {
        failure = {StoreFailure::write, why};
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), store_wait_ms);
    // Taking the write lock at once: a second ingest waits here for the first
    // to commit, then sees what it stored.
    bool fresh = false;
    StoreFailure::Kind kind = StoreFailure::write;
    if (!sqlite::exec(db.get(), "BEGIN IMMEDIATE")) {
        failure = {StoreFailure::write, sqlite::reason(db.get())};
    } else if (std::string marks = check_marks(db.get(), fresh, kind); !marks.empty()) {
        failure = {kind, marks};
    } else if (long long version = sqlite::single_integer(db.get(), "PRAGMA user_version").value_or(0);
               version < store_schema_version && !migrate(db.get(), version)) {
        failure = {StoreFailure::write, sqlite::reason(db.get())};
    }
    return db;
}

// The failure `failure`, the transaction on `db` rolled back.
StoreFailure give_up(sqlite3* db, StoreFailure failure, StoreCounts& counts) {
    // A file with SQLite's header and nothing sound behind it is no store.
    if (db && (sqlite3_errcode(db) == SQLITE_NOTADB || sqlite3_errcode(db) == SQLITE_CORRUPT))
        failure.kind = StoreFailure::not_a_store;
    if (db && !sqlite3_get_autocommit(db))
        sqlite::exec(db, "ROLLBACK");
    counts = {};
    return failure;
}

}  // namespace

std::string store_key(const std::string& path) {
    std::error_code ec;
    std::string key = fs::absolute(path, ec).lexically_normal().string();
    return ec ? path : key;
}

std::map<std::string, KnownFile> stored_file_times(const std::string& path) {
    std::map<std::string, KnownFile> known;
    if (!is_sqlite_file(path))
        return known;
    std::string error;
    long long version = 0;
    sqlite::Database db = open_to_read(path, error, version);
    if (!db || version < 2)
        return known;
    sqlite::Statement s =
        sqlite::prepare(db.get(), "SELECT path, size, mtime FROM file WHERE current = 1");
    while (s && sqlite3_step(s.get()) == SQLITE_ROW)
        known[sqlite::column_text(s.get(), 0)] = {sqlite3_column_int64(s.get(), 1),
                                                  sqlite3_column_int64(s.get(), 2)};
    return known;
}

StoreFailure store_files(const std::string& path, const std::vector<FileToStore>& files,
                         StoreCounts& counts, std::size_t skipped) {
    counts = {};
    if (std::optional<StoreFailure> refusal = refused(path))
        return *refusal;
    StoreFailure failure;
    sqlite::Database db = open_to_write(path, failure);
    if (failure.kind != StoreFailure::none)
        return give_up(db.get(), failure, counts);
    {
        FileWriter writer(db.get());
        if (!writer.ready())
            return give_up(db.get(), {StoreFailure::write, sqlite::reason(db.get())}, counts);
        counts.already = skipped;
        for (const FileToStore& f : files)
            if (!writer.store(f, counts))
                return give_up(db.get(), {StoreFailure::write, sqlite::reason(db.get())}, counts);
    }
    if (!sqlite::exec(db.get(), "COMMIT"))
        return give_up(db.get(), {StoreFailure::write, sqlite::reason(db.get())}, counts);
    return {};
}

std::string sha256_hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

}  // namespace report

namespace report {

namespace {

// Gathers the files an ingest stores: every results file that reads as
// results and is not already stored as it is, and the machine.json beside
// each.
class Gathering {
public:
    Gathering(const std::string& database, std::size_t inputs)
        : known_(stored_file_times(database)), per_input_(inputs, 0) {
        // A time within the last two seconds may be shared by a write still
        // to come (file times move in clock ticks): such a file is stored
        // without its time, so the next ingest digests it rather than trust
        // the time.
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        recent_ = (static_cast<long long>(now.tv_sec) - 2) * 1000000000LL;
    }

    // Results file `path`, found under path argument `input`.
    void results(const std::string& path, std::size_t input) {
        // A file named twice (by a path and its directory) is stored once.
        std::string key = store_key(path);
        if (!seen_.insert(key).second) {
            ++per_input_[input];
            return;
        }
        long long mtime = 0;
        if (unchanged(path, key, mtime)) {
            ++per_input_[input];
            record_beside(path);
            return;
        }
        std::optional<std::vector<Run>> runs = read_results(path);
        if (!runs)
            return;
        files_.push_back({StoredFile::results, path, text_, mtime, std::move(*runs)});
        ++per_input_[input];
        record_beside(path);
    }

    // machine.json `path`, found under path argument `input`.
    void record(const std::string& path, std::size_t input) {
        records_.emplace(store_key(path), path);
        ++per_input_[input];
    }

    // Reads the records found, beside the results files or in the walk.
    void read_records() {
        for (const auto& [key, path] : records_) {
            long long mtime = 0;
            if (unchanged(path, key, mtime))
                continue;
            std::string why;
            if (!read_input_file(path, text_, why)) {
                context_.note({LoadNote::unreadable, path, why}, true);
                continue;
            }
            files_.push_back({StoredFile::machine, path, text_, mtime, {}});
        }
    }

    LoadContext& context() { return context_; }
    const std::vector<FileToStore>& files() const { return files_; }
    std::size_t unchanged_count() const { return unchanged_; }
    std::size_t stored_under(std::size_t input) const { return per_input_[input]; }

private:
    // Whether the file is stored with its size and time, not to be read
    // again: a night's ingest reads that night's files. `mtime` is its time
    // to keep, 0 when too recent to be trusted.
    bool unchanged(const std::string& path, const std::string& key, long long& mtime) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return false;  // reading it says why
        mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        auto it = known_.find(key);
        bool same = it != known_.end() && it->second.size == static_cast<long long>(st.st_size) &&
                    it->second.mtime_ns == mtime && mtime != 0;
        if (mtime >= recent_)
            mtime = 0;
        if (same)
            ++unchanged_;
        return same;
    }

    // The runs of results file `path` (its text left in text_), or none
    // when it cannot be read or is no results file (said in a note).
    std::optional<std::vector<Run>> read_results(const std::string& path) {
        if (is_sqlite_file(path)) {
            context_.note({LoadNote::unreadable, path,
                           "an SQLite file; a store takes results files and the "
                           "directories that hold them"},
                          true);
            return std::nullopt;
        }
        std::string why;
        if (!read_input_file(path, text_, why)) {
            context_.note({LoadNote::unreadable, path, why}, true);
            return std::nullopt;
        }
        // Only what reads as results is kept: a store answers as its files
        // do, without notes of its own.
        return parse_results(text_, path, context_);
    }

    void record_beside(const std::string& path) {
        std::error_code ec;
        fs::path beside = fs::path(path).parent_path() / "machine.json";
        if (fs::exists(beside, ec))
            records_.emplace(store_key(beside.string()), beside.string());
    }

    std::map<std::string, KnownFile> known_;
    long long recent_ = 0;
    LoadContext context_;
    std::vector<FileToStore> files_;
    std::set<std::string> seen_;
    std::map<std::string, std::string> records_;  // by absolute path, as found
    std::vector<std::size_t> per_input_;
    std::size_t unchanged_ = 0;
    std::string text_;  // the text of the file read last, its room reused
};

}  // namespace

Ingest ingest(const std::string& database, const std::vector<std::string>& paths) {
    Ingest done;
    InputFiles inputs = find_input_files(paths);
    Gathering gathering(database, paths.size());
    LoadContext& context = gathering.context();
    context.notes = std::move(inputs.notes);
    context.failed = inputs.failed;
    for (const auto& [path, input] : inputs.results)
        gathering.results(path, input);
    for (const auto& [path, input] : inputs.records)
        gathering.record(path, input);
    gathering.read_records();
    for (std::size_t k = 0; k < paths.size(); ++k)
        if (gathering.stored_under(k) == 0 && inputs.files_per_input[k] == 0) {
            done.empty_inputs.push_back(paths[k]);
            context.failed = true;
        }
    done.notes = std::move(context.notes);
    done.failed = context.failed;
    if (gathering.files().empty() && gathering.unchanged_count() == 0) {
        done.nothing = true;
        return done;
    }
    done.failure = store_files(database, gathering.files(), done.counts, gathering.unchanged_count());
    return done;
}

}  // namespace report
