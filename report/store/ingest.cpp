#include "store/ingest.h"

#include <ctime>
#include <filesystem>
#include <set>
#include <unordered_map>

#include <sys/stat.h>
#include <time.h>

#include "input/load.h"
#include "input/walk.h"
#include "machine/input_file.h"
#include "machine/sha256.h"
#include "model/calendar.h"
#include "store/cache.h"
#include "store/keys.h"
#include "store/leftover.h"
#include "store/schema.h"
#include "store/sqlite.h"

namespace report {

namespace fs = std::filesystem;
using ingesting::Keys;

namespace {

std::string utc_now() {
    return utc_stamp(std::chrono::system_clock::now());
}

// What kind of file `st` is, when it is no regular file: "a directory".
std::string file_kind(const struct stat& st) {
    switch (st.st_mode & S_IFMT) {
        case S_IFDIR: return "a directory";
        case S_IFIFO: return "a FIFO";
        case S_IFSOCK: return "a socket";
        case S_IFCHR: return "a character device";
        case S_IFBLK: return "a block device";
        default: return "not a regular file";
    }
}

// Why the file at `path` is refused as a store before it is opened: neither
// absent nor a store.
std::optional<StoreFailure> refused(const std::string& path) {
    if (path.empty())
        return StoreFailure{StoreFailure::not_a_store, "an empty name names no file"};
    struct stat st {
    }, link{};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode)) {
        bool through_link = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
        return StoreFailure{StoreFailure::not_a_store,
                            file_kind(st) + (through_link ? " (by a symbolic link)" : "") +
                                ", not a store; not written"};
    }
    if (st.st_size > 0 && !is_store_file(path))
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
              db, "SELECT size, sha256, id, shown FROM file WHERE path = ?1 AND current = 1")),
          touch_(sqlite::prepare(db, "UPDATE file SET mtime = ?2 WHERE id = ?1")),
          retire_(sqlite::prepare(db, "UPDATE file SET current = 0 WHERE id = ?1")),
          insert_(sqlite::prepare(db,
                                  "INSERT INTO file (path, shown, kind, size, sha256, "
                                  "stored, current, mtime) VALUES (?1, ?2, ?3, ?4, ?5, ?6, "
                                  "1, ?7)")),
          text_(sqlite::prepare(db, "INSERT INTO text (file, content) VALUES (?1, ?2)")),
          cache_(db),
          now_(utc_now()) {}

    bool ready() const { return find_ && touch_ && retire_ && insert_ && text_ && cache_.ready(); }

    // Stores `f` as the new current version of its path, unless that has
    // the same size and digest; `counts` says which. False on failure.
    bool store(const FileToStore& f, StoreCounts& counts) {
        Keys::Of key = keys_.of(f.path);
        std::string digest = sha256_hex(f.text);
        std::optional<Current> current;
        if (!find(key.resolved, current) ||
            (!current && key.named != key.resolved && !find(key.named, current)))
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
        // A new version keeps the name its path was first stored by.
        return add(key.resolved, current ? current->shown : f.path, digest, f);
    }

private:
    // The current version of a path.
    struct Current {
        long long size, id;
        std::string digest, shown;
    };

    bool find(const std::string& key, std::optional<Current>& current) {
        sqlite3_stmt* s = find_.get();
        sqlite::bind_bytes(s, 1, key);
        int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW)
            current = Current{sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 2),
                              sqlite::column_text(s, 1), sqlite::column_text(s, 3)};
        sqlite3_reset(s);
        return rc == SQLITE_ROW || rc == SQLITE_DONE;
    }

    bool add(const std::string& key, const std::string& shown, const std::string& digest,
             const FileToStore& f) {
        sqlite3_stmt* s = insert_.get();
        sqlite::bind_bytes(s, 1, key);
        sqlite::bind_bytes(s, 2, shown);
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
        return sqlite::step_done(text_.get()) && cache_.write(id, f.kind, shown, f.text, f.runs);
    }

    sqlite3* db_;
    sqlite::Statement find_, touch_, retire_, insert_, text_;
    CacheWriter cache_;
    std::string now_;
    Keys keys_;
};

// Opens the store at `path` for an ingest and takes its write lock, waiting
// for another ingest to commit; checks its marks and migrates it to this
// version (a new file becomes a store), its cache mended.
sqlite::Database open_to_write(const std::string& path, StoreFailure& failure) {
    Expected<sqlite::Database> opened =
        sqlite::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, true);
    if (!opened) {
        failure = {StoreFailure::write, opened.failure().message};
        return nullptr;
    }
    sqlite::Database db = std::move(*opened);
    // Taking the write lock at once: a second ingest waits here for the first
    // to commit, then sees what it stored.
    bool fresh = false;
    StoreFailure::Kind kind = StoreFailure::write;
    if (!sqlite::exec(db.get(), "BEGIN IMMEDIATE")) {
        failure = {StoreFailure::write, sqlite::reason(db.get())};
    } else if (std::string marks = check_marks(db.get(), fresh, kind); !marks.empty()) {
        failure = {kind, marks};
    } else if (!migrate(db.get(),
                        sqlite::single_integer(db.get(), "PRAGMA user_version").value_or(0))) {
        failure = {StoreFailure::write, sqlite::reason(db.get())};
    }
    return db;
}

// The failure `failure`, the transaction on `db` rolled back.
StoreFailure give_up(sqlite3* db, StoreFailure failure, StoreCounts& counts) {
    // A file with SQLite's header and nothing sound behind it is no store.
    if (db && (sqlite3_errcode(db) == SQLITE_NOTADB || sqlite3_errcode(db) == SQLITE_CORRUPT))
        failure.kind = StoreFailure::not_a_store;
    if (db && sqlite::locked(db))
        failure.kind = StoreFailure::locked;
    if (db && !sqlite3_get_autocommit(db))
        sqlite::exec(db, "ROLLBACK");
    counts = {};
    return failure;
}

}  // namespace

std::string store_key(const std::string& path) {
    return Keys().of(path).resolved;
}

std::map<std::string, KnownFile> stored_file_times(const std::string& path, bool& locked) {
    std::map<std::string, KnownFile> known;
    locked = false;
    if (!is_store_file(path))
        return known;
    Expected<ReadableStore> store = open_to_read(path);
    if (!store) {
        locked = store.failure().message == sqlite::locked_reason();
        return known;
    }
    if (store->version < 2)
        return known;
    sqlite::Statement s = sqlite::prepare(
        store->db.get(), "SELECT path, size, mtime, shown FROM file WHERE current = 1");
    while (s && sqlite3_step(s.get()) == SQLITE_ROW)
        known[sqlite::column_text(s.get(), 0)] = {sqlite3_column_int64(s.get(), 1),
                                                  sqlite3_column_int64(s.get(), 2),
                                                  sqlite::column_text(s.get(), 3)};
    return known;
}

namespace {

// After a write failed (a full disk, an I/O error), SQLite leaves the
// journal for the next connection to play back: it is played back at once,
// so that the store reads as before for every reader, those that may not
// write it too. A new store's is left for the next ingest: rolled back, the
// file would be empty, no longer known for a store.
void play_back(const std::string& path) {
    if (leftover(path) != Leftover::journal || unfinished_new_store(path))
        return;
    if (Expected<sqlite::Database> db = sqlite::open(path, SQLITE_OPEN_READWRITE, false))
        sqlite::exec(db->get(), "SELECT count(*) FROM sqlite_schema");
}

StoreFailure store_into(const std::string& path, const std::vector<FileToStore>& files,
                        StoreCounts& counts, std::size_t skipped) {
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

}  // namespace

StoreFailure store_files(const std::string& path, const std::vector<FileToStore>& files,
                         StoreCounts& counts, std::size_t skipped) {
    counts = {};
    if (std::optional<StoreFailure> refusal = refused(path))
        return *refusal;
    StoreFailure failure = store_into(path, files, counts, skipped);
    if (failure.kind == StoreFailure::write)
        play_back(path);
    return failure;
}

}  // namespace report

namespace report {

namespace {

// Gathers the files an ingest stores: every results file that reads as
// results and is not already stored as it is, and the machine.json beside
// each.
class Gathering {
public:
    Gathering(std::map<std::string, KnownFile> known, const std::vector<std::string>& paths)
        : known_(std::move(known)), per_input_(paths.size(), 0), another_(paths.size()) {
        for (const std::string& p : paths) {
            std::error_code ec;
            tops_.push_back(fs::is_directory(p, ec) ? std::optional<std::string>(p) : std::nullopt);
        }
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
        Look at = look(path);
        const std::string* top = tops_[input] ? &*tops_[input] : nullptr;
        Keys::Of key = keys_.of(path, at.link, top);
        // A file named twice (by a path and its directory, or by a link) is
        // stored once, by the name it was found by first.
        auto [first, fresh] = seen_.emplace(key.resolved, path);
        ++per_input_[input];
        if (!fresh) {
            another_name(input, first->second, path);
            return;
        }
        const KnownFile* known = find_known(key);
        if (known)
            another_name(input, known->shown, path);
        long long mtime = 0;
        if (!unchanged(at.found ? &at.st : nullptr, known, mtime)) {
            std::optional<std::vector<Run>> runs = read_results(path);
            if (!runs) {
                --per_input_[input];
                return;
            }
            files_.push_back({StoredFile::results, path, text_, mtime, std::move(*runs)});
        }
        record_beside(path, top);
    }

    // machine.json `path`, found under path argument `input`.
    void record(const std::string& path, std::size_t input) {
        add_record(path, look(path), tops_[input] ? &*tops_[input] : nullptr);
        ++per_input_[input];
    }

    // Reads the records found, beside the results files or in the walk.
    void read_records() {
        for (const auto& [key, record] : records_) {
            const std::string& path = record.path;
            long long mtime = 0;
            if (unchanged(record.at.found ? &record.at.st : nullptr, find_known(record.keys),
                          mtime))
                continue;
            Expected<std::string> text = read_input_file(path);
            if (!text) {
                context_.note({LoadNote::unreadable, path, text.failure().message}, true);
                continue;
            }
            files_.push_back({StoredFile::machine, path, std::move(*text), mtime, {}});
        }
    }

    LoadContext& context() { return context_; }
    const std::vector<FileToStore>& files() const { return files_; }
    std::size_t unchanged_count() const { return unchanged_; }
    std::size_t stored_under(std::size_t input) const { return per_input_[input]; }
    const AnotherName& another(std::size_t input) const { return another_[input]; }

private:
    // What the store holds of the file, by the key it was stored by.
    const KnownFile* find_known(const Keys::Of& key) const {
        auto it = known_.find(key.resolved);
        if (it == known_.end() && key.named != key.resolved)
            it = known_.find(key.named);
        return it == known_.end() ? nullptr : &it->second;
    }

    // The file named `path` under `input` is kept by the name `kept`.
    void another_name(std::size_t input, const std::string& kept, const std::string& path) {
        if (kept == path)
            return;
        AnotherName& a = another_[input];
        if (a.files++ == 0)
            a.first = kept;
    }

    // What `path` names: whether it is there (`st` describes it, a link
    // followed), and whether it is itself a symbolic link.
    struct Look {
        bool found = false, link = false;
        struct stat st {};
    };
    static Look look(const std::string& path) {
        Look at;
        if (::lstat(path.c_str(), &at.st) != 0)
            return at;
        at.link = S_ISLNK(at.st.st_mode);
        at.found = !at.link || ::stat(path.c_str(), &at.st) == 0;
        return at;
    }

    // Whether the file (`st`, absent when it cannot be looked at) is stored
    // with its size and time, not to be read again: a night's ingest reads
    // that night's files. `mtime` is its time to keep, 0 when too recent to
    // be trusted.
    bool unchanged(const struct stat* st, const KnownFile* known, long long& mtime) {
        if (!st || !S_ISREG(st->st_mode))
            return false;  // reading it says why
        mtime = static_cast<long long>(st->st_mtim.tv_sec) * 1000000000LL + st->st_mtim.tv_nsec;
        bool same = known && known->size == static_cast<long long>(st->st_size) &&
                    known->mtime_ns == mtime && mtime != 0;
        if (mtime >= recent_)
            mtime = 0;
        if (same)
            ++unchanged_;
        return same;
    }

    // The runs of results file `path` (its text left in text_), or none
    // when it cannot be read or is no results file (said in a note).
    std::optional<std::vector<Run>> read_results(const std::string& path) {
        if (is_store_file(path)) {
            context_.note({LoadNote::unreadable, path,
                           "an SQLite file; a store takes results files and the "
                           "directories that hold them"},
                          true);
            return std::nullopt;
        }
        Expected<std::string> text = read_input_file(path);
        if (!text) {
            context_.note({LoadNote::unreadable, path, text.failure().message}, true);
            return std::nullopt;
        }
        text_ = std::move(*text);
        // Only what reads as results is kept: a store answers as its files
        // do, without notes of its own.
        return parse_results(text_, path, context_);
    }

    // The machine.json beside results file `path`, once for the files of
    // one directory, which come one after another.
    void record_beside(const std::string& path, const std::string* top) {
        std::string beside = (fs::path(path).parent_path() / "machine.json").string();
        if (beside == last_beside_)
            return;
        last_beside_ = beside;
        Look at = look(beside);
        if (at.found)
            add_record(beside, at, top);
    }

    void add_record(const std::string& path, const Look& at, const std::string* top) {
        Keys::Of keys = keys_.of(path, at.link, top);
        std::string key = keys.resolved;
        records_.emplace(std::move(key), Record{path, std::move(keys), at});
    }

    // A machine.json to store: as found, the keys it may be known by, and
    // what it was when looked at.
    struct Record {
        std::string path;
        Keys::Of keys;
        Look at;
    };

    std::map<std::string, KnownFile> known_;
    long long recent_ = 0;
    Keys keys_;
    LoadContext context_;
    std::vector<FileToStore> files_;
    std::map<std::string, std::string> seen_;  // the name each file was found by first
    std::map<std::string, Record> records_;    // by key
    std::vector<std::size_t> per_input_;
    std::vector<AnotherName> another_;
    std::vector<std::optional<std::string>> tops_;  // each path walked as a directory
    std::string last_beside_;
    std::size_t unchanged_ = 0;
    std::string text_;  // the text of the file read last, its room reused
};

}  // namespace

Ingest ingest(const std::string& database, const std::vector<std::string>& paths) {
    Ingest done;
    if (std::optional<StoreFailure> refusal = refused(database)) {
        done.failure = *refusal;
        return done;
    }
    bool locked = false;
    std::map<std::string, KnownFile> known = stored_file_times(database, locked);
    if (locked) {
        done.failure = {StoreFailure::locked, sqlite::locked_reason()};
        return done;
    }
    InputFiles inputs = find_input_files(paths);
    Gathering gathering(std::move(known), paths);
    LoadContext& context = gathering.context();
    context.notes = std::move(inputs.notes);
    context.failed = inputs.failed;
    for (const auto& [path, input] : inputs.results)
        gathering.results(path, input);
    for (const auto& [path, input] : inputs.records)
        gathering.record(path, input);
    gathering.read_records();
    done.another.resize(paths.size());
    for (std::size_t k = 0; k < paths.size(); ++k) {
        done.another[k] = gathering.another(k);
        if (gathering.stored_under(k) == 0 && inputs.files_per_input[k] == 0) {
            done.empty_inputs.push_back(paths[k]);
            context.failed = true;
        }
    }
    done.notes = std::move(context.notes);
    done.failed = context.failed;
    if (gathering.files().empty() && gathering.unchanged_count() == 0) {
        done.nothing = true;
        return done;
    }
    done.failure =
        store_files(database, gathering.files(), done.counts, gathering.unchanged_count());
    return done;
}

}  // namespace report
