#include "input/store.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <sqlite3.h>

namespace report {

namespace fs = std::filesystem;

namespace {

constexpr char sqlite_header[] = "SQLite format 3";  // and its NUL: 16 bytes

// How long an ingest or a reader waits for another ingest's transaction:
// long enough for a whole fleet's first ingest.
constexpr int busy_timeout_ms = 600000;

const char* const schema = R"sql(
CREATE TABLE file (
    id      INTEGER PRIMARY KEY,
    path    BLOB NOT NULL,     -- absolute and normalised: what a file is known by
    shown   BLOB NOT NULL,     -- as it was found, what outputs show
    kind    TEXT NOT NULL CHECK (kind IN ('results', 'machine')),
    size    INTEGER NOT NULL,
    sha256  TEXT NOT NULL,
    content BLOB NOT NULL,     -- the file's text as read
    stored  TEXT NOT NULL,     -- when, UTC
    current INTEGER NOT NULL   -- 1 for the newest version of its path, else 0
);
CREATE UNIQUE INDEX file_current ON file (path) WHERE current = 1;
)sql";

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;

struct FinalizeStatement {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// SQLite's reason, with the system's when an I/O call failed ("disk I/O
// error (File too large)").
std::string reason(sqlite3* db) {
    std::string why = sqlite3_errmsg(db);
    int err = sqlite3_system_errno(db);
    int code = sqlite3_errcode(db);
    if (err != 0 && (code == SQLITE_IOERR || code == SQLITE_FULL || code == SQLITE_CANTOPEN))
        why += std::string(" (") + std::strerror(err) + ")";
    return why;
}

Statement prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
        sqlite3_finalize(s);
        return nullptr;
    }
    return Statement(s);
}

// The single integer a PRAGMA answers, or absent on failure.
std::optional<long long> pragma(sqlite3* db, const char* sql) {
    Statement s = prepare(db, sql);
    if (!s || sqlite3_step(s.get()) != SQLITE_ROW)
        return std::nullopt;
    return sqlite3_column_int64(s.get(), 0);
}

std::string column_text(sqlite3_stmt* s, int i) {
    const void* data = sqlite3_column_blob(s, i);
    int n = sqlite3_column_bytes(s, i);
    return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(n))
                : std::string();
}

void bind(sqlite3_stmt* s, int i, const std::string& text) {
    sqlite3_bind_blob(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// What the store's marks say of the open database: empty when it is a store
// this program reads, else why not. `fresh` is set for a database with no
// table at all (a new file), which becomes a store when written.
std::string check_marks(sqlite3* db, bool& fresh, StoreFailure::Kind& kind) {
    fresh = false;
    std::optional<long long> id = pragma(db, "PRAGMA application_id");
    std::optional<long long> version = pragma(db, "PRAGMA user_version");
    std::optional<long long> tables = pragma(db, "SELECT count(*) FROM sqlite_schema");
    if (!id || !version || !tables) {
        kind = StoreFailure::not_a_store;
        return reason(db);
    }
    if (*id == 0 && *version == 0 && *tables == 0) {
        fresh = true;
        return {};
    }
    if (*id != store_application_id) {
        kind = StoreFailure::not_a_store;
        return "an SQLite database, not a bench_report store";
    }
    if (*version != store_schema_version) {
        kind = StoreFailure::version;
        return "a store of schema version " + std::to_string(*version) +
               "; this bench_report reads version " + std::to_string(store_schema_version) +
               " (build a new store from the files)";
    }
    return {};
}

std::string utc_now() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

}  // namespace

bool is_sqlite_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    char head[sizeof sqlite_header] = {};
    bool sqlite = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  ::read(fd, head, sizeof head) == static_cast<ssize_t>(sizeof head) &&
                  std::memcmp(head, sqlite_header, sizeof head) == 0;
    ::close(fd);
    return sqlite;
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

bool read_store(const std::string& path, std::vector<StoredFile>& files, std::string& error) {
    // Opened for writing where it may be, though only read: an ingest cut
    // short (a full disk, a kill) leaves its journal, which SQLite plays back
    // on the next reader that can write. A store that cannot be written is
    // read as it is.
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    Database db(raw);
    if (rc != SQLITE_OK) {
        db.reset();
        raw = nullptr;
        rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
        db.reset(raw);
    }
    if (rc != SQLITE_OK) {
        error = db ? reason(db.get()) : "out of memory";
        return false;
    }
    sqlite3_busy_timeout(db.get(), busy_timeout_ms);
    // One read transaction, so that an ingest committing meanwhile is seen
    // whole or not at all.
    if (sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = reason(db.get());
        return false;
    }
    bool fresh = false;
    StoreFailure::Kind kind{};
    error = check_marks(db.get(), fresh, kind);
    if (!error.empty())
        return false;
    if (fresh) {
        error = "an SQLite database, not a bench_report store";
        return false;
    }
    Statement s = prepare(db.get(),
                          "SELECT kind, shown, content FROM file WHERE current = 1 "
                          "ORDER BY kind = 'machine', shown");
    if (!s) {
        error = reason(db.get());
        return false;
    }
    files.clear();
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        StoredFile f;
        f.kind = column_text(s.get(), 0) == "machine" ? StoredFile::machine : StoredFile::results;
        f.path = column_text(s.get(), 1);
        f.text = column_text(s.get(), 2);
        files.push_back(std::move(f));
    }
    if (rc != SQLITE_DONE) {
        error = reason(db.get());
        files.clear();
        return false;
    }
    return true;
}

StoreFailure store_files(const std::string& path, const std::vector<FileToStore>& files,
                         StoreCounts& counts) {
    counts = {};
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return {StoreFailure::not_a_store, "not a regular file; not written"};
        if (st.st_size > 0 && !is_sqlite_file(path))
            return {StoreFailure::not_a_store, "not a bench_report store; not overwritten"};
    }
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    Database db(raw);
    auto failed = [&](StoreFailure::Kind kind, std::string why) {
        // A file with SQLite's header and nothing sound behind it is no store.
        if (db && (sqlite3_errcode(db.get()) == SQLITE_NOTADB ||
                   sqlite3_errcode(db.get()) == SQLITE_CORRUPT))
            kind = StoreFailure::not_a_store;
        if (db && !sqlite3_get_autocommit(db.get()))
            sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        counts = {};
        return StoreFailure{kind, std::move(why)};
    };
    if (rc != SQLITE_OK)
        return failed(StoreFailure::write, db ? reason(db.get()) : "out of memory");
    sqlite3_busy_timeout(db.get(), busy_timeout_ms);
    // Taking the write lock at once: a second ingest waits here for the first
    // to commit, then sees what it stored.
    if (sqlite3_exec(db.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return failed(StoreFailure::write, reason(db.get()));
    bool fresh = false;
    StoreFailure::Kind kind = StoreFailure::write;
    std::string why = check_marks(db.get(), fresh, kind);
    if (!why.empty())
        return failed(kind, why);
    if (fresh) {
        std::string create = std::string(schema) +
                             "PRAGMA application_id = " + std::to_string(store_application_id) +
                             "; PRAGMA user_version = " + std::to_string(store_schema_version) +
                             ";";
        if (sqlite3_exec(db.get(), create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return failed(StoreFailure::write, reason(db.get()));
    }
    Statement find = prepare(db.get(), "SELECT size, sha256 FROM file WHERE path = ?1 AND current = 1");
    Statement retire = prepare(db.get(), "UPDATE file SET current = 0 WHERE path = ?1 AND current = 1");
    Statement insert = prepare(db.get(),
                               "INSERT INTO file (path, shown, kind, size, sha256, content, "
                               "stored, current) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, 1)");
    if (!find || !retire || !insert)
        return failed(StoreFailure::write, reason(db.get()));
    std::string now = utc_now();
    for (const FileToStore& f : files) {
        std::error_code ec;
        std::string key = fs::absolute(f.path, ec).lexically_normal().string();
        if (ec)
            key = f.path;
        std::string digest = sha256_hex(f.text);
        sqlite3_reset(find.get());
        bind(find.get(), 1, key);
        rc = sqlite3_step(find.get());
        bool stored = rc == SQLITE_ROW;
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return failed(StoreFailure::write, reason(db.get()));
        if (stored && sqlite3_column_int64(find.get(), 0) == static_cast<long long>(f.text.size()) &&
            column_text(find.get(), 1) == digest) {
            ++counts.already;
            continue;
        }
        sqlite3_reset(find.get());
        if (stored) {
            sqlite3_reset(retire.get());
            bind(retire.get(), 1, key);
            if (sqlite3_step(retire.get()) != SQLITE_DONE)
                return failed(StoreFailure::write, reason(db.get()));
            if (f.kind == StoredFile::results)
                counts.changed.push_back(f.path);
        }
        sqlite3_reset(insert.get());
        bind(insert.get(), 1, key);
        bind(insert.get(), 2, f.path);
        sqlite3_bind_text(insert.get(), 3, f.kind == StoredFile::machine ? "machine" : "results",
                          -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert.get(), 4, static_cast<long long>(f.text.size()));
        sqlite3_bind_text(insert.get(), 5, digest.c_str(), -1, SQLITE_TRANSIENT);
        bind(insert.get(), 6, f.text);
        sqlite3_bind_text(insert.get(), 7, now.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(insert.get()) != SQLITE_DONE)
            return failed(StoreFailure::write, reason(db.get()));
        ++counts.added;
    }
    find.reset();
    retire.reset();
    insert.reset();
    if (sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        return failed(StoreFailure::write, reason(db.get()));
    return {};
}

}  // namespace report
