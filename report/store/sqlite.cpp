#include "store/sqlite.h"

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/store.h"

namespace report::sqlite {

Database open(const std::string& path, int flags, std::string& error) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    Database db(raw);
    if (rc != SQLITE_OK) {
        error = db ? reason(db.get()) : "out of memory";
        return nullptr;
    }
    return db;
}

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

bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::optional<long long> single_integer(sqlite3* db, const char* sql) {
    Statement s = prepare(db, sql);
    if (!s || sqlite3_step(s.get()) != SQLITE_ROW)
        return std::nullopt;
    return sqlite3_column_int64(s.get(), 0);
}

bool step_done(sqlite3_stmt* s) {
    bool done = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return done;
}

std::string_view column_view(sqlite3_stmt* s, int i) {
    const void* data = sqlite3_column_blob(s, i);
    int n = sqlite3_column_bytes(s, i);
    return data ? std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(n))
                : std::string_view();
}

std::string column_text(sqlite3_stmt* s, int i) {
    return std::string(column_view(s, i));
}

void bind_bytes(sqlite3_stmt* s, int i, std::string_view bytes) {
    // Never a null pointer: that would bind NULL, not an empty blob.
    const char* data = bytes.data() ? bytes.data() : "";
    sqlite3_bind_blob(s, i, data, static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

void bind_optional(sqlite3_stmt* s, int i, const std::optional<std::string>& text) {
    if (text)
        bind_bytes(s, i, *text);
    else
        sqlite3_bind_null(s, i);
}

void bind_real(sqlite3_stmt* s, int i, std::optional<double> v) {
    if (v)
        sqlite3_bind_double(s, i, *v);
    else
        sqlite3_bind_null(s, i);
}

}  // namespace report::sqlite

namespace report {

namespace {

constexpr char sqlite_header[] = "SQLite format 3";  // and its NUL: 16 bytes

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

}  // namespace report
