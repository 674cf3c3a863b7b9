#include "input/store.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <sqlite3.h>

#include "input/parse.h"
#include "model/catalogue.h"

namespace report {

namespace fs = std::filesystem;

namespace {

constexpr char sqlite_header[] = "SQLite format 3";  // and its NUL: 16 bytes

// How long an ingest or a reader waits for another ingest's transaction:
// long enough for a whole fleet's first ingest.
constexpr int busy_timeout_ms = 600000;

// The tables of version 2. `file` lists every version of every file stored,
// small rows that are read whole; `text` holds each version's text apart, so
// that listing the files never reads the texts; `run`, `rate` and `record`
// hold what a history reads, parsed from the texts when stored. A results
// file with rows in `run`, or a machine.json with one in `record`, is read
// from them; any other (a transcript) from its text.
const char* const file_schema = R"sql(
CREATE TABLE file (
    id      INTEGER PRIMARY KEY,
    path    BLOB NOT NULL,     -- absolute and normalised: what a file is known by
    shown   BLOB NOT NULL,     -- as it was found, what outputs show
    kind    TEXT NOT NULL CHECK (kind IN ('results', 'machine')),
    size    INTEGER NOT NULL,
    sha256  TEXT NOT NULL,
    stored  TEXT NOT NULL,     -- when, UTC
    current INTEGER NOT NULL,  -- 1 for the newest version of its path, else 0
    mtime   INTEGER NOT NULL DEFAULT 0  -- its modification time (ns), 0 when not trusted
);
CREATE UNIQUE INDEX file_current ON file (path) WHERE current = 1;
CREATE TABLE text (
    file    INTEGER PRIMARY KEY REFERENCES file (id),
    content BLOB NOT NULL      -- the file's text as read
);
)sql";
// Version 1 kept the texts in `file` itself: the table is built anew (the
// texts moved to `text`) rather than altered, whatever its text of creation.
const char* const upgrade_file_v1 = R"sql(
ALTER TABLE file RENAME TO file_v1;
DROP INDEX file_current;
)sql";
const char* const upgrade_copy_v1 = R"sql(
INSERT INTO file (id, path, shown, kind, size, sha256, stored, current)
    SELECT id, path, shown, kind, size, sha256, stored, current FROM file_v1;
INSERT INTO text (file, content) SELECT id, content FROM file_v1;
DROP TABLE file_v1;
)sql";
const char* const parsed_schema = R"sql(
CREATE TABLE run (
    id         INTEGER PRIMARY KEY,
    file       INTEGER NOT NULL REFERENCES file (id),
    program    TEXT NOT NULL,     -- bench_processors or bench_memory
    local_time TEXT NOT NULL,     -- as its results file's name gives it, or ''
    partial    INTEGER NOT NULL   -- 1 when the text ends before the run's last line
);
CREATE INDEX run_file ON run (file);
CREATE TABLE rate (
    run        INTEGER NOT NULL REFERENCES run (id),
    position   INTEGER NOT NULL,  -- the test's place in the run
    test       TEXT NOT NULL,     -- its key: float, low_speeds, ...
    single     REAL,              -- the single-thread rate as printed; NULL when absent
    overall    REAL,              -- the overall rate as printed; NULL when absent
    incomplete INTEGER NOT NULL,  -- threads that ran out of memory
    PRIMARY KEY (run, position)
) WITHOUT ROWID;
CREATE TABLE record (
    file           INTEGER PRIMARY KEY REFERENCES file (id),
    error          TEXT,          -- why the text is no record; NULL when it is one
    program        TEXT,
    started        TEXT,
    outcome        TEXT,
    cpu_model      TEXT,
    logical_cpus   INTEGER,
    governors      TEXT,
    boost          TEXT,
    kernel         TEXT,
    microcode      TEXT,
    program_sha256 TEXT,
    build_id       TEXT,
    openmp         TEXT,
    cpu_quota      REAL,
    affinity       TEXT
);
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

// A text column as it stands in SQLite's buffer, valid until the next step.
std::string_view column_view(sqlite3_stmt* s, int i) {
    const void* data = sqlite3_column_blob(s, i);
    int n = sqlite3_column_bytes(s, i);
    return data ? std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(n))
                : std::string_view();
}

std::string column_text(sqlite3_stmt* s, int i) {
    return std::string(column_view(s, i));
}

// Not `bind`: for a std::string argument, lookup would find std::bind too,
// and pick it.
void bind_bytes(sqlite3_stmt* s, int i, const std::string& text) {
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
    if (*version != store_schema_version && *version != 1) {
        kind = StoreFailure::version;
        return "a store of schema version " + std::to_string(*version) +
               "; this bench_report reads version " + std::to_string(store_schema_version) +
               " (build a new store from the files)";
    }
    return {};
}

void bind_optional(sqlite3_stmt* s, int i, const std::optional<std::string>& text) {
    if (text)
        bind_bytes(s, i, *text);
    else
        sqlite3_bind_null(s, i);
}

std::optional<std::string> column_optional(sqlite3_stmt* s, int i) {
    if (sqlite3_column_type(s, i) == SQLITE_NULL)
        return std::nullopt;
    return column_text(s, i);
}

std::optional<double> column_real(sqlite3_stmt* s, int i) {
    if (sqlite3_column_type(s, i) == SQLITE_NULL)
        return std::nullopt;
    return sqlite3_column_double(s, i);
}

// The statements that keep a file's parsed figures.
struct ParsedWriter {
    Statement run, rate, record;
    explicit ParsedWriter(sqlite3* db)
        : run(prepare(db, "INSERT INTO run (file, program, local_time, partial) "
                          "VALUES (?1, ?2, ?3, ?4)")),
          rate(prepare(db, "INSERT INTO rate (run, position, test, single, overall, incomplete) "
                           "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")),
          record(prepare(db, "INSERT INTO record VALUES "
                             "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)")) {}
    bool ready() const { return run && rate && record; }
    void finish() {
        run.reset();
        rate.reset();
        record.reset();
    }
};

bool step_done(sqlite3_stmt* s) {
    bool done = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return done;
}

void bind_figure(sqlite3_stmt* s, int i, const std::optional<Figure>& f) {
    if (f && !std::isnan(f->value))
        sqlite3_bind_double(s, i, f->value);
    else
        sqlite3_bind_null(s, i);  // what a history leaves out either way
}

// Keeps the runs of results file `file`. A transcript's runs are not kept:
// telling it from its own results file takes every figure, so its text is
// what is read.
bool keep_runs(ParsedWriter& w, long long file, const std::vector<Run>& runs) {
    if (runs.empty() || std::any_of(runs.begin(), runs.end(), [](const Run& r) {
            return r.source != Source::results_file;
        }))
        return true;
    for (const Run& r : runs) {
        sqlite3_bind_int64(w.run.get(), 1, file);
        sqlite3_bind_text(w.run.get(), 2, program_name(r.program), -1, SQLITE_STATIC);
        bind_bytes(w.run.get(), 3, r.local_time);
        sqlite3_bind_int(w.run.get(), 4, r.partial ? 1 : 0);
        if (!step_done(w.run.get()))
            return false;
        long long id = sqlite3_last_insert_rowid(sqlite3_db_handle(w.run.get()));
        for (std::size_t k = 0; k < r.tests.size(); ++k) {
            const Test& t = r.tests[k];
            sqlite3_bind_int64(w.rate.get(), 1, id);
            sqlite3_bind_int64(w.rate.get(), 2, static_cast<long long>(k));
            bind_bytes(w.rate.get(), 3, t.key);
            bind_figure(w.rate.get(), 4, t.single_rate);
            bind_figure(w.rate.get(), 5, t.overall_rate);
            sqlite3_bind_int(w.rate.get(), 6, t.incomplete_threads);
            if (!step_done(w.rate.get()))
                return false;
        }
    }
    return true;
}

// Keeps what a history reads of machine.json `file`: the repetition's
// program, start and outcome, and every field a change of the machine is
// told by (analysis/machine_differences), each as that comparison reads it.
bool keep_record(ParsedWriter& w, long long file, const std::string& text) {
    std::string why;
    std::optional<MachineRecord> r = parse_record(text, why);
    sqlite3_stmt* s = w.record.get();
    sqlite3_bind_int64(s, 1, file);
    if (!r) {
        bind_bytes(s, 2, why);
    } else {
        const Machine& m = r->machine;
        sqlite3_bind_null(s, 2);
        bind_bytes(s, 3, r->repetition.program);
        bind_optional(s, 4, r->repetition.started);
        bind_optional(s, 5, r->repetition.outcome);
        bind_optional(s, 6, m.model_name);
        if (m.logical_cpus)
            sqlite3_bind_int(s, 7, *m.logical_cpus);
        bind_optional(s, 8, governors(m));
        bind_optional(s, 9, boost_text(m));
        bind_optional(s, 10, m.kernel_release);
        bind_optional(s, 11, m.microcode);
        bind_optional(s, 12, r->program.sha256);
        bind_optional(s, 13, r->program.build_id);
        bind_bytes(s, 14, openmp_text(m));
        if (m.cpu_quota)
            sqlite3_bind_double(s, 15, *m.cpu_quota);
        bind_optional(s, 16, m.affinity);
    }
    return step_done(s);
}

// The record a history reads, from a row of `record` (columns 1 on, as
// keep_record writes them): every field it compares reads as it did in the
// whole record.
std::shared_ptr<const MachineRecord> record_from_row(sqlite3_stmt* s) {
    auto r = std::make_shared<MachineRecord>();
    r->repetition.program = column_text(s, 2);
    r->repetition.started = column_optional(s, 3);
    r->repetition.outcome = column_optional(s, 4);
    Machine& m = r->machine;
    m.model_name = column_optional(s, 5);
    if (sqlite3_column_type(s, 6) != SQLITE_NULL)
        m.logical_cpus = sqlite3_column_int(s, 6);
    if (std::optional<std::string> g = column_optional(s, 7)) {
        FrequencyPolicy p;
        p.governor = std::move(g);  // the policies' governors, already joined
        m.policies.push_back(std::move(p));
    }
    if (std::optional<std::string> b = column_optional(s, 8))
        m.boost = *b == "on";
    m.kernel_release = column_optional(s, 9);
    m.microcode = column_optional(s, 10);
    r->program.sha256 = column_optional(s, 11);
    r->program.build_id = column_optional(s, 12);
    // "NAME=value NAME=value" reads back whole as one pair split at its first '='.
    std::string openmp = column_text(s, 13);
    if (std::size_t eq = openmp.find('='); eq != std::string::npos)
        m.openmp_environment.push_back({openmp.substr(0, eq), openmp.substr(eq + 1)});
    m.cpu_quota = column_real(s, 14);
    m.affinity = column_optional(s, 15);
    return r;
}

// Brings a version-1 store (texts only) up to this version within the open
// transaction: the new columns and tables, filled from the current texts.
bool upgrade_schema(sqlite3* db) {
    if (sqlite3_exec(db, upgrade_file_v1, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, file_schema, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, upgrade_copy_v1, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, parsed_schema, nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    ParsedWriter w(db);
    Statement texts = prepare(db, "SELECT id, kind, shown, content FROM file "
                                  "JOIN text ON text.file = file.id WHERE current = 1");
    if (!w.ready() || !texts)
        return false;
    int rc;
    while ((rc = sqlite3_step(texts.get())) == SQLITE_ROW) {
        long long id = sqlite3_column_int64(texts.get(), 0);
        std::string text = column_text(texts.get(), 3);
        if (column_text(texts.get(), 1) == "machine") {
            if (!keep_record(w, id, text))
                return false;
            continue;
        }
        std::vector<Run> runs;
        bool results = true;  // a text that is no results file is read as a text
        for (auto& parsed : parse_runs(text, column_text(texts.get(), 2)))
            if (Run* run = std::get_if<Run>(&parsed))
                runs.push_back(std::move(*run));
            else
                results = false;
        if (results && !keep_runs(w, id, runs))
            return false;
    }
    if (rc != SQLITE_DONE)
        return false;
    std::string version = "PRAGMA user_version = " + std::to_string(store_schema_version);
    return sqlite3_exec(db, version.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
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

namespace {

// Opens the store at `path` for reading, within one read transaction so that
// an ingest committing meanwhile is seen whole or not at all, and checks its
// marks; `version` is its schema version.
Database open_to_read(const std::string& path, std::string& error, long long& version) {
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
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), busy_timeout_ms);
    if (sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = reason(db.get());
        return nullptr;
    }
    bool fresh = false;
    StoreFailure::Kind kind{};
    error = check_marks(db.get(), fresh, kind);
    if (error.empty() && fresh)
        error = "an SQLite database, not a bench_report store";
    if (!error.empty())
        return nullptr;
    version = pragma(db.get(), "PRAGMA user_version").value_or(0);
    return db;
}

// The figures of the current results files (by file id) and the records of
// the current machine.json files (by file id), from the parsed tables.
bool read_parsed(sqlite3* db, const std::unordered_set<long long>& current,
                 std::unordered_map<long long, std::vector<Run>>& runs,
                 std::unordered_map<long long, std::pair<std::shared_ptr<const MachineRecord>,
                                                         std::string>>& records) {
    // Every row is read in the order it is kept, and those of older versions
    // are passed over here: no join, no sort.
    Statement run = prepare(db, "SELECT id, file, program, local_time, partial FROM run "
                                "ORDER BY id");
    Statement rate = prepare(db, "SELECT run, test, single, overall, incomplete FROM rate "
                                 "ORDER BY run, position");
    Statement record = prepare(db, "SELECT * FROM record ORDER BY file");
    auto is_current = [&](long long file) { return current.count(file) > 0; };
    if (!run || !rate || !record)
        return false;
    // Both queries run in the order of the runs' ids: the rates are matched
    // to their runs as they come.
    std::vector<long long> ids, files;
    std::vector<Run> list;
    int rc;
    while ((rc = sqlite3_step(run.get())) == SQLITE_ROW) {
        if (!is_current(sqlite3_column_int64(run.get(), 1)))
            continue;
        Run r;
        r.program = column_view(run.get(), 2) == program_name(Program::memory)
                        ? Program::memory
                        : Program::processors;
        r.local_time = column_text(run.get(), 3);
        r.partial = sqlite3_column_int(run.get(), 4) != 0;
        ids.push_back(sqlite3_column_int64(run.get(), 0));
        files.push_back(sqlite3_column_int64(run.get(), 1));
        list.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE)
        return false;
    std::size_t at = 0;
    while ((rc = sqlite3_step(rate.get())) == SQLITE_ROW) {
        long long id = sqlite3_column_int64(rate.get(), 0);
        while (at < ids.size() && ids[at] < id)
            ++at;
        if (at == ids.size() || ids[at] != id)
            continue;  // an older version's
        Run& r = list[at];
        // A test the program does not have is no figure of a history.
        std::optional<std::size_t> place = catalogue_place(r.program, column_view(rate.get(), 1));
        if (!place)
            continue;
        TestRates t;
        t.test = *place;
        t.single = column_real(rate.get(), 2);
        t.overall = column_real(rate.get(), 3);
        t.incomplete_threads = sqlite3_column_int(rate.get(), 4);
        r.rates.push_back(t);
    }
    if (rc != SQLITE_DONE)
        return false;
    runs.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i)
        runs[files[i]].push_back(std::move(list[i]));
    while ((rc = sqlite3_step(record.get())) == SQLITE_ROW) {
        if (!is_current(sqlite3_column_int64(record.get(), 0)))
            continue;
        auto& kept = records[sqlite3_column_int64(record.get(), 0)];
        if (std::optional<std::string> why = column_optional(record.get(), 1))
            kept.second = *why;
        else
            kept.first = record_from_row(record.get());
    }
    return rc == SQLITE_DONE;
}

}  // namespace

bool read_store(const std::string& path, std::vector<StoredFile>& files, std::string& error,
                StoreReading reading) {
    long long version = 0;
    Database db = open_to_read(path, error, version);
    if (!db)
        return false;
    bool figures = reading == StoreReading::figures && version >= 2;
    const char* query =
        figures        ? "SELECT kind, shown, id, NULL FROM file WHERE current = 1"
        : version >= 2 ? "SELECT kind, shown, id, content FROM file JOIN text ON text.file = "
                         "file.id WHERE current = 1 ORDER BY kind = 'machine', shown"
                       : "SELECT kind, shown, id, content FROM file "
                         "WHERE current = 1 ORDER BY kind = 'machine', shown";
    Statement s = prepare(db.get(), query);
    if (!s) {
        error = reason(db.get());
        return false;
    }
    files.clear();
    std::vector<long long> ids;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        StoredFile f;
        f.kind = column_text(s.get(), 0) == "machine" ? StoredFile::machine : StoredFile::results;
        f.path = column_text(s.get(), 1);
        f.text = column_text(s.get(), 3);
        ids.push_back(sqlite3_column_int64(s.get(), 2));
        files.push_back(std::move(f));
    }
    if (rc != SQLITE_DONE) {
        error = reason(db.get());
        files.clear();
        return false;
    }
    if (!figures)
        return true;
    // Results files by path, then the records by path, as a directory's
    // walk gives them (and as the texts' query orders them).
    {
        std::vector<std::size_t> order(files.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            if (files[a].kind != files[b].kind)
                return files[a].kind == StoredFile::results;
            return files[a].path < files[b].path;
        });
        std::vector<StoredFile> sorted;
        std::vector<long long> sorted_ids;
        sorted.reserve(files.size());
        sorted_ids.reserve(files.size());
        for (std::size_t i : order) {
            sorted.push_back(std::move(files[i]));
            sorted_ids.push_back(ids[i]);
        }
        files = std::move(sorted);
        ids = std::move(sorted_ids);
    }
    // A set, not a table by id: a store's ids need not be dense.
    const std::unordered_set<long long> current(ids.begin(), ids.end());
    std::unordered_map<long long, std::vector<Run>> runs;
    std::unordered_map<long long, std::pair<std::shared_ptr<const MachineRecord>, std::string>>
        records;
    // A directory with a results file kept as text only (a transcript) has
    // every results file read from its text.
    Statement content = prepare(db.get(), "SELECT content FROM text WHERE file = ?1");
    if (!content || !read_parsed(db.get(), current, runs, records)) {
        error = reason(db.get());
        files.clear();
        return false;
    }
    std::set<std::string> texts_read;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (files[i].kind == StoredFile::results && !runs.count(ids[i]))
            texts_read.insert(fs::path(files[i].path).parent_path().string());
    for (std::size_t i = 0; i < files.size(); ++i) {
        StoredFile& f = files[i];
        long long id = ids[i];
        bool parsed = f.kind == StoredFile::machine ? records.count(id) > 0 : runs.count(id) > 0;
        if (f.kind == StoredFile::machine && parsed) {
            auto& kept = records[id];
            f.record = std::move(kept.first);
            f.record_error = std::move(kept.second);
            continue;
        }
        if (f.kind == StoredFile::results && parsed &&
            (texts_read.empty() || !texts_read.count(fs::path(f.path).parent_path().string()))) {
            f.runs = std::move(runs[id]);
            for (Run& r : *f.runs)
                r.path = f.path;
            continue;
        }
        sqlite3_bind_int64(content.get(), 1, id);
        if (sqlite3_step(content.get()) != SQLITE_ROW) {
            error = reason(db.get());
            files.clear();
            return false;
        }
        f.text = column_text(content.get(), 0);
        sqlite3_reset(content.get());
    }
    return true;
}

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
    Database db = open_to_read(path, error, version);
    if (!db || version < 2)
        return known;
    Statement s = prepare(db.get(), "SELECT path, size, mtime FROM file WHERE current = 1");
    while (s && sqlite3_step(s.get()) == SQLITE_ROW)
        known[column_text(s.get(), 0)] = {sqlite3_column_int64(s.get(), 1),
                                          sqlite3_column_int64(s.get(), 2)};
    return known;
}

StoreFailure store_files(const std::string& path, const std::vector<FileToStore>& files,
                         StoreCounts& counts, std::size_t skipped) {
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
        std::string create = std::string(file_schema) + parsed_schema +
                             "PRAGMA application_id = " + std::to_string(store_application_id) +
                             "; PRAGMA user_version = " + std::to_string(store_schema_version) +
                             ";";
        if (sqlite3_exec(db.get(), create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return failed(StoreFailure::write, reason(db.get()));
    } else if (pragma(db.get(), "PRAGMA user_version").value_or(0) == 1 &&
               !upgrade_schema(db.get())) {
        return failed(StoreFailure::write, reason(db.get()));
    }
    ParsedWriter parsed(db.get());
    Statement find = prepare(db.get(),
                             "SELECT size, sha256, id FROM file WHERE path = ?1 AND current = 1");
    Statement touch = prepare(db.get(), "UPDATE file SET mtime = ?2 WHERE id = ?1");
    Statement retire = prepare(db.get(), "UPDATE file SET current = 0 WHERE path = ?1 AND current = 1");
    Statement insert = prepare(db.get(),
                               "INSERT INTO file (path, shown, kind, size, sha256, stored, "
                               "current, mtime) VALUES (?1, ?2, ?3, ?4, ?5, ?6, 1, ?7)");
    Statement keep_text = prepare(db.get(), "INSERT INTO text (file, content) VALUES (?1, ?2)");
    if (!find || !touch || !retire || !insert || !keep_text || !parsed.ready())
        return failed(StoreFailure::write, reason(db.get()));
    counts.already = skipped;
    std::string now = utc_now();
    for (const FileToStore& f : files) {
        std::string key = store_key(f.path);
        std::string digest = sha256_hex(f.text);
        sqlite3_reset(find.get());
        bind_bytes(find.get(), 1, key);
        rc = sqlite3_step(find.get());
        bool stored = rc == SQLITE_ROW;
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return failed(StoreFailure::write, reason(db.get()));
        if (stored && sqlite3_column_int64(find.get(), 0) == static_cast<long long>(f.text.size()) &&
            column_text(find.get(), 1) == digest) {
            // The same text with another time (touched, copied): the next
            // ingest skips it by its time.
            long long id = sqlite3_column_int64(find.get(), 2);
            sqlite3_reset(find.get());
            sqlite3_bind_int64(touch.get(), 1, id);
            sqlite3_bind_int64(touch.get(), 2, f.mtime_ns);
            if (!step_done(touch.get()))
                return failed(StoreFailure::write, reason(db.get()));
            ++counts.already;
            continue;
        }
        sqlite3_reset(find.get());
        if (stored) {
            sqlite3_reset(retire.get());
            bind_bytes(retire.get(), 1, key);
            if (sqlite3_step(retire.get()) != SQLITE_DONE)
                return failed(StoreFailure::write, reason(db.get()));
            if (f.kind == StoredFile::results)
                counts.changed.push_back(f.path);
        }
        sqlite3_reset(insert.get());
        bind_bytes(insert.get(), 1, key);
        bind_bytes(insert.get(), 2, f.path);
        sqlite3_bind_text(insert.get(), 3, f.kind == StoredFile::machine ? "machine" : "results",
                          -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert.get(), 4, static_cast<long long>(f.text.size()));
        sqlite3_bind_text(insert.get(), 5, digest.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert.get(), 6, now.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert.get(), 7, f.mtime_ns);
        if (sqlite3_step(insert.get()) != SQLITE_DONE)
            return failed(StoreFailure::write, reason(db.get()));
        long long id = sqlite3_last_insert_rowid(db.get());
        sqlite3_bind_int64(keep_text.get(), 1, id);
        bind_bytes(keep_text.get(), 2, f.text);
        if (!step_done(keep_text.get()))
            return failed(StoreFailure::write, reason(db.get()));
        if (!(f.kind == StoredFile::machine ? keep_record(parsed, id, f.text)
                                            : keep_runs(parsed, id, f.runs)))
            return failed(StoreFailure::write, reason(db.get()));
        ++counts.added;
    }
    parsed.finish();
    keep_text.reset();
    touch.reset();
    find.reset();
    retire.reset();
    insert.reset();
    if (sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        return failed(StoreFailure::write, reason(db.get()));
    return {};
}

}  // namespace report
