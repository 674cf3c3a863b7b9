#include "store/sqlite.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fmt/format.h>

#include "store/leftover.h"
#include "store/store.h"

namespace report::sqlite {

namespace {

StoreWaiting& waiting_rule() {
    static StoreWaiting rule;
    return rule;
}

// SQLite's locks on a database file (its unix VFS) are POSIX locks on the
// bytes from 1 GiB on: the pending byte, the reserved byte, and the range
// that readers share.
constexpr unsigned long long pending_byte = 0x40000000;
constexpr unsigned long long reserved_byte = pending_byte + 1;
constexpr unsigned long long shared_last = pending_byte + 2 + 510 - 1;

// What holds the file at `path` locked, as the kernel's table of locks
// (/proc/locks) says: "process 4242, storing into it". Read there rather
// than asked of the file: a descriptor of it opened and closed here would
// drop this process's own locks on it.
std::string lock_holder(const std::string& path) {
    struct stat st {};
    std::ifstream table("/proc/locks");
    if (::stat(path.c_str(), &st) != 0 || !table)
        return "another process";
    std::string file = fmt::format("{:02x}:{:02x}:{}", major(st.st_dev), minor(st.st_dev),
                                   static_cast<unsigned long long>(st.st_ino));
    std::string line;
    while (std::getline(table, line)) {
        // "1: POSIX  ADVISORY  WRITE 4242 08:01:1234 1073741825 1073741825";
        // a waiter's line has "->" after its number.
        std::istringstream in(line);
        std::string number, type, advisory, mode, id, start, end;
        long pid = 0;
        if (!(in >> number >> type) || type == "->" ||
            !(in >> advisory >> mode >> pid >> id >> start >> end))
            continue;
        if (type != "POSIX" || id != file || pid == ::getpid())
            continue;
        unsigned long long first = std::strtoull(start.c_str(), nullptr, 10);
        unsigned long long last = end == "EOF" ? ~0ULL : std::strtoull(end.c_str(), nullptr, 10);
        if (last < pending_byte || first > shared_last)
            continue;
        const char* doing = mode == "READ"                                    ? "reading it"
                            : first <= reserved_byte && reserved_byte <= last ? "storing into it"
                                                                              : "committing to it";
        return fmt::format("process {}, {}", pid, doing);
    }
    return "another process";
}

// Why a file that is not there cannot be made at `path`: the system's
// reason its directory cannot be written ("Read-only file system"). SQLite,
// which tries to open it read-only after, would say "No such file".
std::optional<std::string> cannot_create(const std::string& path, int flags) {
    struct stat st {};
    if (!(flags & SQLITE_OPEN_CREATE) || ::stat(path.c_str(), &st) == 0 || errno != ENOENT)
        return std::nullopt;
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::access(dir.c_str(), W_OK | X_OK) == 0)
        return std::nullopt;
    return std::string("cannot create it: ") + std::strerror(errno);
}

}  // namespace

struct Waiting {
    std::string path;
    std::optional<std::chrono::steady_clock::time_point> since;  // the first wait's start
    bool said = false;
};

namespace {

// SQLite's busy handler: waits for a lock by growing steps, says so once a
// wait has lasted a second, and gives up past the limit, which bounds all
// the waits of one connection together.
int wait_for_lock(void* data, int count) {
    static constexpr int steps_ms[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    Waiting& w = *static_cast<Waiting*>(data);
    const StoreWaiting& rule = waiting_rule();
    auto now = std::chrono::steady_clock::now();
    if (!w.since)
        w.since = now;
    auto waited = now - *w.since;
    auto limit = std::chrono::seconds(rule.limit_seconds);
    if (waited >= limit)
        return 0;
    if (!w.said && waited >= std::chrono::seconds(1)) {
        w.said = true;
        if (rule.notice)
            rule.notice(w.path, lock_holder(w.path));
    }
    auto step = std::chrono::milliseconds(
        steps_ms[std::min<std::size_t>(static_cast<std::size_t>(count), std::size(steps_ms) - 1)]);
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(step, limit - waited));
    return 1;
}

}  // namespace

Expected<Database> open(const std::string& path, int flags, bool wait) {
    const Exit status = flags & SQLITE_OPEN_CREATE ? Exit::write_failed : Exit::bad_input;
    if (path.empty())
        return Failed(status, "an empty name names no file");
    // "./file:x.db" is no URI, and "./:memory:" a file.
    std::string name = path.front() == '/' ? path : "./" + path;
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(name.c_str(), &raw, flags & ~SQLITE_OPEN_URI, nullptr);
    CloseDatabase close;
    if (wait)
        close.waiting = std::make_shared<Waiting>(Waiting{path, std::nullopt, false});
    Database db(raw, close);
    if (rc != SQLITE_OK)
        return Failed(status,
                      cannot_create(path, flags).value_or(db ? reason(db.get()) : "out of memory"));
    if (wait)
        sqlite3_busy_handler(db.get(), wait_for_lock, db.get_deleter().waiting.get());
    return db;
}

Expected<Database> open_immutable(const std::string& path) {
    // A URI of the path with every byte but the unreserved ones escaped, so
    // that no '?', '#' or '%' in a name is read as part of the URI.
    std::string uri = "file:";
    if (path.empty() || path.front() != '/')
        uri += "./";
    for (unsigned char c : path) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain)
            uri += static_cast<char>(c);
        else
            uri += fmt::format("%{:02X}", c);
    }
    uri += "?immutable=1";
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(uri.c_str(), &raw,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    Database db(raw, CloseDatabase{});
    if (rc != SQLITE_OK)
        return Failed(Exit::bad_input, db ? reason(db.get()) : "out of memory");
    return db;
}

std::string reason(sqlite3* db) {
    if (locked(db))
        return locked_reason();
    std::string why = sqlite3_errmsg(db);
    int err = sqlite3_system_errno(db);
    int code = sqlite3_errcode(db);
    if (err != 0 && (code == SQLITE_IOERR || code == SQLITE_FULL || code == SQLITE_CANTOPEN))
        why += std::string(" (") + std::strerror(err) + ")";
    return why;
}

bool locked(sqlite3* db) {
    return sqlite3_errcode(db) == SQLITE_BUSY;
}

std::string locked_reason() {
    return fmt::format("still locked by another process after {} s", waiting_rule().limit_seconds);
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

void set_store_waiting(StoreWaiting waiting) {
    sqlite::waiting_rule() = std::move(waiting);
}

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

bool is_store_file(const std::string& path) {
    return is_sqlite_file(path) || unfinished_new_store(path);
}

}  // namespace report
