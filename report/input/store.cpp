#include "input/store.h"

#include <algorithm>
#include <cerrno>
#include <climits>
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
#include <exception>
#include <thread>
#include <tuple>
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

// Version 3 adds `history`: one row for every current file, no other, with
// what a history reads of it packed into one value (below), so that a
// history of a fleet reads one row a file. A file whose `figures` is NULL (a
// transcript, a text that is no results file) is read from its text.
const char* const history_schema = R"sql(
CREATE TABLE history (
    file    INTEGER PRIMARY KEY REFERENCES file (id),
    kind    TEXT NOT NULL CHECK (kind IN ('results', 'machine')),
    shown   BLOB NOT NULL,     -- as file.shown
    figures BLOB               -- packed: its runs' rates, or its record
);
)sql";
// Version 2 had the parsed tables without `history`: they are dropped and
// all are made again from the texts, as for version 1.
const char* const upgrade_parsed_v2 = R"sql(
DROP TABLE rate;
DROP TABLE run;
DROP TABLE record;
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
    if (*version < 1 || *version > store_schema_version) {
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

// The statements that keep a file's parsed figures.
struct ParsedWriter {
    Statement run, rate, record, history;
    explicit ParsedWriter(sqlite3* db)
        : run(prepare(db, "INSERT INTO run (file, program, local_time, partial) "
                          "VALUES (?1, ?2, ?3, ?4)")),
          rate(prepare(db, "INSERT INTO rate (run, position, test, single, overall, incomplete) "
                           "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")),
          record(prepare(db, "INSERT INTO record VALUES "
                             "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)")),
          history(prepare(db, "INSERT INTO history (file, kind, shown, figures) "
                              "VALUES (?1, ?2, ?3, ?4)")) {}
    bool ready() const { return run && rate && record && history; }
    void finish() {
        run.reset();
        rate.reset();
        record.reset();
        history.reset();
    }
};

bool step_done(sqlite3_stmt* s) {
    bool done = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return done;
}

// The value of a figure a history reads: absent when not printed or not a
// number, as a history leaves it out either way.
std::optional<double> figure_value(const std::optional<Figure>& f) {
    if (f && !std::isnan(f->value))
        return f->value;
    return std::nullopt;
}

void bind_real(sqlite3_stmt* s, int i, std::optional<double> v) {
    if (v)
        sqlite3_bind_double(s, i, *v);
    else
        sqlite3_bind_null(s, i);
}

// The packed figures of `history`: numbers in this machine's byte order
// (x86-64, little-endian), texts as their length and bytes, an optional value
// as a byte 0 or 1 before it.
class Packer {
public:
    void byte(bool b) { out_.push_back(b ? 1 : 0); }
    void number(long long v) { raw(&v, sizeof v); }
    void real(double v) { raw(&v, sizeof v); }
    void text(std::string_view s) {
        number(static_cast<long long>(s.size()));
        out_.append(s);
    }
    void optional_text(const std::optional<std::string>& s) {
        byte(s.has_value());
        if (s)
            text(*s);
    }
    void optional_real(std::optional<double> v) {
        byte(v.has_value());
        real(v.value_or(0));
    }
    const std::string& bytes() const { return out_; }

private:
    void raw(const void* p, std::size_t n) { out_.append(static_cast<const char*>(p), n); }
    std::string out_;
};

// Reads what Packer wrote; any read past the end, or a length beyond what
// is left, leaves it failed (and every later read empty), so that a damaged
// or hand-made value is told apart, never read out of bounds.
class Unpacker {
public:
    explicit Unpacker(std::string_view in) : in_(in) {}
    bool failed() const { return failed_; }
    bool whole() const { return !failed_ && in_.empty(); }
    bool byte() {
        unsigned char b = 0;
        take(&b, 1);
        if (b > 1)
            failed_ = true;
        return b == 1;
    }
    long long number() {
        long long v = 0;
        take(&v, sizeof v);
        return v;
    }
    double real() {
        double v = 0;
        take(&v, sizeof v);
        return v;
    }
    std::string_view text() {
        long long n = number();
        if (failed_ || n < 0 || static_cast<unsigned long long>(n) > in_.size()) {
            failed_ = true;
            return {};
        }
        std::string_view s = in_.substr(0, static_cast<std::size_t>(n));
        in_.remove_prefix(s.size());
        return s;
    }
    std::optional<std::string> optional_text() {
        std::optional<std::string_view> v = optional_view();
        return v ? std::optional<std::string>(*v) : std::nullopt;
    }
    std::optional<std::string_view> optional_view() {
        if (!byte())
            return std::nullopt;
        return text();
    }
    std::size_t left() const { return in_.size(); }
    std::optional<double> optional_real() {
        bool present = byte();
        double v = real();
        return present ? std::optional<double>(v) : std::nullopt;
    }

private:
    void take(void* p, std::size_t n) {
        if (failed_ || in_.size() < n) {
            failed_ = true;
            return;
        }
        std::memcpy(p, in_.data(), n);
        in_.remove_prefix(n);
    }
    std::string_view in_;
    bool failed_ = false;
};

// Whether the runs of a results file are kept parsed. A transcript's runs
// are not: telling it from its own results file takes every figure, so its
// text is what is read.
bool runs_kept(const std::vector<Run>& runs) {
    return !runs.empty() && std::all_of(runs.begin(), runs.end(), [](const Run& r) {
        return r.source == Source::results_file;
    });
}

// Keeps `runs` of results file `file` in `run` and `rate`.
bool keep_runs(ParsedWriter& w, long long file, const std::vector<Run>& runs) {
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
            bind_real(w.rate.get(), 4, figure_value(t.single_rate));
            bind_real(w.rate.get(), 5, figure_value(t.overall_rate));
            sqlite3_bind_int(w.rate.get(), 6, t.incomplete_threads);
            if (!step_done(w.rate.get()))
                return false;
        }
    }
    return true;
}

// The runs as `history` keeps them: what `run` and `rate` hold of them.
std::string pack_runs(const std::vector<Run>& runs) {
    Packer p;
    p.number(static_cast<long long>(runs.size()));
    for (const Run& r : runs) {
        p.byte(r.program == Program::memory);
        p.byte(r.partial);
        p.text(r.local_time);
        p.number(static_cast<long long>(r.tests.size()));
        for (const Test& t : r.tests) {
            p.text(t.key);
            p.optional_real(figure_value(t.single_rate));
            p.optional_real(figure_value(t.overall_rate));
            p.number(t.incomplete_threads);
        }
    }
    return p.bytes();
}

// The runs of packed figures, each test's rates matched to the catalogue (a
// test the program does not have is no figure of a history); absent when the
// value is not what pack_runs writes.
std::optional<std::vector<Run>> unpack_runs(std::string_view packed) {
    Unpacker u(packed);
    long long count = u.number();
    std::vector<Run> runs;
    // Room for what the value says, no more than its bytes could hold: a
    // year of a fleet's rates is read, and a count is never trusted.
    if (count > 0 && static_cast<unsigned long long>(count) <= packed.size())
        runs.reserve(static_cast<std::size_t>(count));
    for (long long i = 0; i < count && !u.failed(); ++i) {
        Run r;
        r.program = u.byte() ? Program::memory : Program::processors;
        r.partial = u.byte();
        r.local_time = std::string(u.text());
        long long tests = u.number();
        if (tests > 0 && static_cast<unsigned long long>(tests) <= packed.size())
            r.rates.reserve(static_cast<std::size_t>(tests));
        for (long long k = 0; k < tests && !u.failed(); ++k) {
            std::string_view key = u.text();
            TestRates t;
            t.single = u.optional_real();
            t.overall = u.optional_real();
            t.incomplete_threads = static_cast<int>(u.number());
            if (std::optional<std::size_t> place = catalogue_place(r.program, key)) {
                t.test = *place;
                r.rates.push_back(t);
            }
        }
        runs.push_back(std::move(r));
    }
    if (!u.whole())
        return std::nullopt;
    return runs;
}

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

RecordFields record_fields(const std::string& text) {
    RecordFields f;
    std::string why;
    std::optional<MachineRecord> r = parse_record(text, why);
    if (!r) {
        f.error = why;
        return f;
    }
    const Machine& m = r->machine;
    f.program = r->repetition.program;
    f.started = r->repetition.started;
    f.outcome = r->repetition.outcome;
    f.cpu_model = m.model_name;
    if (m.logical_cpus)
        f.logical_cpus = *m.logical_cpus;
    f.governors = governors(m);
    f.boost = boost_text(m);
    f.kernel = m.kernel_release;
    f.microcode = m.microcode;
    f.sha256 = r->program.sha256;
    f.build_id = r->program.build_id;
    f.openmp = openmp_text(m);
    f.cpu_quota = m.cpu_quota;
    f.affinity = m.affinity;
    return f;
}

// Keeps the fields of machine.json `file` in `record`.
bool keep_record(ParsedWriter& w, long long file, const RecordFields& f) {
    sqlite3_stmt* s = w.record.get();
    sqlite3_bind_int64(s, 1, file);
    bind_optional(s, 2, f.error);
    if (!f.error) {
        bind_bytes(s, 3, f.program);
        bind_optional(s, 4, f.started);
        bind_optional(s, 5, f.outcome);
        bind_optional(s, 6, f.cpu_model);
        if (f.logical_cpus)
            sqlite3_bind_int(s, 7, *f.logical_cpus);
        bind_optional(s, 8, f.governors);
        bind_optional(s, 9, f.boost);
        bind_optional(s, 10, f.kernel);
        bind_optional(s, 11, f.microcode);
        bind_optional(s, 12, f.sha256);
        bind_optional(s, 13, f.build_id);
        bind_bytes(s, 14, f.openmp);
        bind_real(s, 15, f.cpu_quota);
        bind_optional(s, 16, f.affinity);
    }
    return step_done(s);
}

std::string pack_record(const RecordFields& f) {
    Packer p;
    p.optional_text(f.error);
    p.text(f.program);
    for (const auto* t : {&f.started, &f.outcome, &f.cpu_model})
        p.optional_text(*t);
    p.byte(f.logical_cpus.has_value());
    p.number(f.logical_cpus.value_or(0));
    for (const auto* t : {&f.governors, &f.boost, &f.kernel, &f.microcode, &f.sha256, &f.build_id})
        p.optional_text(*t);
    p.text(f.openmp);
    p.optional_real(f.cpu_quota);
    p.optional_text(f.affinity);
    return p.bytes();
}

std::optional<RecordFields> unpack_record(std::string_view packed) {
    Unpacker u(packed);
    RecordFields f;
    f.error = u.optional_text();
    f.program = std::string(u.text());
    for (auto* t : {&f.started, &f.outcome, &f.cpu_model})
        *t = u.optional_text();
    bool cpus = u.byte();
    long long count = u.number();
    if (count < INT_MIN || count > INT_MAX)
        return std::nullopt;  // no count an int holds: not what pack_record wrote
    if (cpus)
        f.logical_cpus = static_cast<int>(count);
    for (auto* t : {&f.governors, &f.boost, &f.kernel, &f.microcode, &f.sha256, &f.build_id})
        *t = u.optional_text();
    f.openmp = std::string(u.text());
    f.cpu_quota = u.optional_real();
    f.affinity = u.optional_text();
    if (!u.whole())
        return std::nullopt;
    return f;
}

// A packed record's start, and the rest of its bytes around it: the nights
// of one machine differ in their start alone, so the rest names the machine.
// Absent for a record of an error, and for a value that ends before its start.
struct AroundStart {
    std::string_view before, after;
    std::optional<std::string_view> started;
};
std::optional<AroundStart> around_start(std::string_view packed) {
    Unpacker u(packed);
    if (u.optional_view())
        return std::nullopt;  // an error's record
    u.text();                 // the program
    std::size_t from = packed.size() - u.left();
    std::optional<std::string_view> started = u.optional_view();
    if (u.failed())
        return std::nullopt;
    std::size_t to = packed.size() - u.left();
    return AroundStart{packed.substr(0, from), packed.substr(to), started};
}

// The record a history reads, from its fields: every field it compares
// reads as it did in the whole record.
std::shared_ptr<const MachineRecord> record_of(const RecordFields& f) {
    auto r = std::make_shared<MachineRecord>();
    r->repetition.program = f.program;
    r->repetition.started = f.started;
    r->repetition.outcome = f.outcome;
    Machine& m = r->machine;
    m.model_name = f.cpu_model;
    if (f.logical_cpus)
        m.logical_cpus = *f.logical_cpus;
    if (f.governors) {
        FrequencyPolicy p;
        p.governor = f.governors;  // the policies' governors, already joined
        m.policies.push_back(std::move(p));
    }
    if (f.boost)
        m.boost = *f.boost == "on";
    m.kernel_release = f.kernel;
    m.microcode = f.microcode;
    r->program.sha256 = f.sha256;
    r->program.build_id = f.build_id;
    // "NAME=value NAME=value" reads back whole as one pair split at its first '='.
    if (std::size_t eq = f.openmp.find('='); eq != std::string::npos)
        m.openmp_environment.push_back({f.openmp.substr(0, eq), f.openmp.substr(eq + 1)});
    m.cpu_quota = f.cpu_quota;
    m.affinity = f.affinity;
    return r;
}

// Keeps what a history reads of file `file`, just stored with `text` (and
// for a results file the runs it parsed to): its runs or record in the
// parsed tables, and its row of `history`.
bool keep_figures(ParsedWriter& w, long long file, StoredFile::Kind kind,
                  const std::string& shown, const std::string& text,
                  const std::vector<Run>& runs) {
    std::optional<std::string> packed;
    if (kind == StoredFile::machine) {
        RecordFields f = record_fields(text);
        if (!keep_record(w, file, f))
            return false;
        packed = pack_record(f);
    } else if (runs_kept(runs)) {
        if (!keep_runs(w, file, runs))
            return false;
        packed = pack_runs(runs);
    }
    sqlite3_stmt* s = w.history.get();
    sqlite3_bind_int64(s, 1, file);
    sqlite3_bind_text(s, 2, kind == StoredFile::machine ? "machine" : "results", -1,
                      SQLITE_STATIC);
    bind_bytes(s, 3, shown);
    bind_optional(s, 4, packed);
    return step_done(s);
}

// Brings a store of version 1 (texts only) or 2 (no `history`) up to this
// version within the open transaction: the parsed tables made anew from the
// current texts.
bool upgrade_schema(sqlite3* db, long long version) {
    auto run = [db](const char* sql) {
        return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    if (version == 1 && !(run(upgrade_file_v1) && run(file_schema) && run(upgrade_copy_v1)))
        return false;
    if (version == 2 && !run(upgrade_parsed_v2))
        return false;
    if (!run(parsed_schema) || !run(history_schema))
        return false;
    ParsedWriter w(db);
    Statement texts = prepare(db, "SELECT id, kind, shown, content FROM file "
                                  "JOIN text ON text.file = file.id WHERE current = 1");
    if (!w.ready() || !texts)
        return false;
    int rc;
    while ((rc = sqlite3_step(texts.get())) == SQLITE_ROW) {
        long long id = sqlite3_column_int64(texts.get(), 0);
        StoredFile::Kind kind =
            column_view(texts.get(), 1) == "machine" ? StoredFile::machine : StoredFile::results;
        std::string shown = column_text(texts.get(), 2);
        std::string text = column_text(texts.get(), 3);
        std::vector<Run> runs;
        if (kind == StoredFile::results) {
            // A text that is no results file is read as a text.
            for (auto& parsed : parse_runs(text, shown))
                if (Run* run = std::get_if<Run>(&parsed)) {
                    runs.push_back(std::move(*run));
                } else {
                    runs.clear();
                    break;
                }
        }
        if (!keep_figures(w, id, kind, shown, text, runs))
            return false;
    }
    if (rc != SQLITE_DONE)
        return false;
    std::string set = "PRAGMA user_version = " + std::to_string(store_schema_version);
    return sqlite3_exec(db, set.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
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
Database open_to_read(const std::string& path, std::string& error, long long& version,
                      int wait_ms = busy_timeout_ms) {
    // Opened for writing where it may be, though only read: an ingest cut
    // short (a full disk, a kill) leaves its journal, which SQLite plays back
    // on the next reader that can write. A store that cannot be written is
    // read as it is. A connection is used by one thread at a time, so
    // SQLite's own locking of it is left out.
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    Database db(raw);
    if (rc != SQLITE_OK) {
        db.reset();
        raw = nullptr;
        rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                             nullptr);
        db.reset(raw);
    }
    if (rc != SQLITE_OK) {
        error = db ? reason(db.get()) : "out of memory";
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), wait_ms);
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

// The rows of `history` of one range of file ids, as read_figures takes them.
struct HistoryRows {
    std::vector<StoredFile> files;
    std::vector<long long> ids;
    std::vector<bool> parsed;  // its figures kept and unpacked
    bool ok = false;
    std::string error;
};

// Sorts `order`, the places 0..n-1, by `less`, merging the stretches that
// are already in order: a store's rows come in the order they were stored,
// the first ingest sorted and then a night at a time, so there are few.
template <class Less>
void sort_stretches(std::vector<std::size_t>& order, Less less) {
    std::vector<std::size_t> bounds{0};
    for (std::size_t i = 1; i < order.size(); ++i)
        if (less(order[i], order[i - 1]))
            bounds.push_back(i);
    bounds.push_back(order.size());
    while (bounds.size() > 2) {
        std::vector<std::size_t> merged{0};
        for (std::size_t k = 0; k + 2 < bounds.size(); k += 2) {
            std::inplace_merge(order.begin() + static_cast<std::ptrdiff_t>(bounds[k]),
                               order.begin() + static_cast<std::ptrdiff_t>(bounds[k + 1]),
                               order.begin() + static_cast<std::ptrdiff_t>(bounds[k + 2]), less);
            merged.push_back(bounds[k + 2]);
        }
        if ((bounds.size() - 1) % 2 == 1)
            merged.push_back(bounds.back());  // the odd stretch, merged next time
        bounds = std::move(merged);
    }
}

// The order of a directory's walk: results files by path, then the
// machine.json records by path.
bool walked_before(const StoredFile& a, const StoredFile& b) {
    if (a.kind != b.kind)
        return a.kind == StoredFile::results;
    return a.path < b.path;
}

// Puts the rows of `rows` in the order of walked_before, in place.
void order_rows(HistoryRows& rows) {
    std::vector<StoredFile>& list = rows.files;
    std::vector<long long>& ids = rows.ids;
    std::vector<bool>& parsed = rows.parsed;
    std::vector<std::size_t> order(list.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    sort_stretches(order,
                   [&](std::size_t a, std::size_t b) { return walked_before(list[a], list[b]); });
    // Put in that order where they are, a cycle of places at a time: place
    // i takes what was at order[i].
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i] == i)
            continue;
        StoredFile file = std::move(list[i]);
        long long id = ids[i];
        bool kept = parsed[i];
        std::size_t j = i;
        for (;;) {
            std::size_t from = order[j];
            order[j] = j;
            if (from == i) {
                list[j] = std::move(file);
                ids[j] = id;
                parsed[j] = kept;
                break;
            }
            list[j] = std::move(list[from]);
            ids[j] = ids[from];
            parsed[j] = parsed[from];
            j = from;
        }
    }
}

// The rows of `history` with file ids from `first` to `last`, each file with
// its runs or record unpacked where its figures are kept.
void read_history_rows(sqlite3* db, long long first, long long last, HistoryRows& out) {
    Statement s = prepare(db, "SELECT kind, shown, file, figures FROM history "
                              "WHERE file BETWEEN ?1 AND ?2");
    if (!s) {
        out.error = reason(db);
        return;
    }
    sqlite3_bind_int64(s.get(), 1, first);
    sqlite3_bind_int64(s.get(), 2, last);
    std::vector<StoredFile>& list = out.files;
    std::vector<long long>& ids = out.ids;
    std::vector<bool>& parsed = out.parsed;
    // One record for each machine seen, by its packed fields less the start
    // (around_start): a host's year of nights reads one, and a night of a
    // machine already seen reads its start alone.
    std::unordered_map<std::string, std::shared_ptr<const MachineRecord>> machines;
    std::string machine;  // the key of the row's, its room reused
    // Room for a row per id of the range, up to a bound: ids are nearly
    // dense, and a fleet-year's rows would otherwise be moved as they grow.
    constexpr unsigned long long most_reserved = 1 << 18;
    auto room = static_cast<std::size_t>(
        std::min<unsigned long long>(static_cast<unsigned long long>(last - first) + 1,
                                     most_reserved));
    list.reserve(room);
    ids.reserve(room);
    parsed.reserve(room);
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        StoredFile f;
        f.kind = column_view(s.get(), 0) == "machine" ? StoredFile::machine : StoredFile::results;
        f.path = column_text(s.get(), 1);
        bool kept = false;
        // A value that does not unpack is read from its text instead.
        if (sqlite3_column_type(s.get(), 3) != SQLITE_NULL) {
            std::string_view packed = column_view(s.get(), 3);
            if (f.kind == StoredFile::results) {
                f.runs = unpack_runs(packed);
                kept = f.runs.has_value();
            } else {
                // The rest of a value whose other bytes an earlier row unpacked
                // whole unpacks whole too: it is read from them.
                std::optional<AroundStart> around = around_start(packed);
                auto seen = machines.end();
                if (around) {
                    machine.assign(around->before).append(around->after);
                    seen = machines.find(machine);
                }
                if (seen != machines.end()) {
                    if (around->started)
                        f.started = std::string(*around->started);
                    f.record = seen->second;
                    kept = true;
                } else if (std::optional<RecordFields> r = unpack_record(packed)) {
                    if (r->error) {
                        f.record_error = *r->error;
                    } else {
                        f.started = std::move(r->started);
                        r->started.reset();  // the record is every night's: none of their starts
                        f.record = record_of(*r);
                        if (around)
                            machines.emplace(machine, f.record);
                    }
                    kept = true;
                }
            }
        }
        if (f.runs)
            for (Run& r : *f.runs)
                r.path = f.path;
        ids.push_back(sqlite3_column_int64(s.get(), 2));
        parsed.push_back(kept);
        list.push_back(std::move(f));
    }
    if (rc != SQLITE_DONE) {
        out.error = reason(db);
        return;
    }
    order_rows(out);
    out.ok = true;
}

// Stores of fewer rows than this are read on one connection.
constexpr long long rows_worth_sharing = 20000;

// The current files as `history` holds them, ordered as a directory's walk
// gives them (results files by path, then the machine.json records by path):
// each with its runs or record when its figures are kept, else its text.
// A large store's rows are read in ranges of file ids on one connection a
// processor (at most 4). Each further connection opens without waiting while
// `db` holds its read lock, so no ingest can commit between their first
// reads and all read the same store; one that cannot open so leaves its range
// to `db`.
bool read_figures(sqlite3* db, const std::string& path, std::vector<StoredFile>& files,
                  std::string& error) {
    // Each by itself, so that SQLite reads them off the ends of the table.
    Statement span = prepare(db, "SELECT (SELECT min(file) FROM history), "
                                 "(SELECT max(file) FROM history)");
    Statement content = prepare(db, "SELECT content FROM text WHERE file = ?1");
    if (!span || !content || sqlite3_step(span.get()) != SQLITE_ROW) {
        error = reason(db);
        return false;
    }
    long long low = sqlite3_column_int64(span.get(), 0), high = sqlite3_column_int64(span.get(), 1);
    span.reset();
    long long parts = std::clamp<long long>(std::thread::hardware_concurrency(), 1, 4);
    if (high - low < rows_worth_sharing)
        parts = 1;
    std::vector<HistoryRows> rows(static_cast<std::size_t>(parts));
    std::vector<Database> others(rows.size());
    std::vector<std::thread> readers;
    std::vector<std::exception_ptr> thrown(rows.size());
    // Joined however this ends, an exception here included.
    struct Join {
        std::vector<std::thread>& threads;
        ~Join() {
            for (std::thread& t : threads)
                if (t.joinable())
                    t.join();
        }
    } join{readers};
    // What a connection sees of the store: the same for every connection
    // of one store at one moment. One that sees another (the path now names
    // another file) is not used.
    auto shape = [](sqlite3* c) -> std::optional<std::tuple<long long, long long, long long>> {
        Statement q = prepare(c, "SELECT (SELECT min(file) FROM history), "
                                 "(SELECT max(file) FROM history), "
                                 "(SELECT page_count FROM pragma_page_count())");
        if (!q || sqlite3_step(q.get()) != SQLITE_ROW)
            return std::nullopt;
        return std::tuple{sqlite3_column_int64(q.get(), 0), sqlite3_column_int64(q.get(), 1),
                          sqlite3_column_int64(q.get(), 2)};
    };
    const auto own = parts > 1 ? shape(db) : std::nullopt;
    auto range = [&](std::size_t k) {
        long long width = (high - low) / parts + 1;
        long long first = low + static_cast<long long>(k) * width;
        return std::pair{first, k + 1 == rows.size() ? high : first + width - 1};
    };
    for (std::size_t k = 1; k < rows.size(); ++k) {
        std::string why;
        long long version = 0;
        others[k] = open_to_read(path, why, version, 0);
        if (others[k] && (version != store_schema_version || !own || shape(others[k].get()) != own))
            others[k].reset();
        if (!others[k])
            continue;
        try {
            readers.emplace_back([&, k] {
                auto [first, last] = range(k);
                try {
                    read_history_rows(others[k].get(), first, last, rows[k]);
                } catch (...) {
                    thrown[k] = std::current_exception();  // thrown again below
                }
            });
        } catch (const std::system_error&) {
            others[k].reset();  // no thread to spare: read here
        }
    }
    auto [first, last] = range(0);
    read_history_rows(db, first, last, rows[0]);
    for (std::thread& t : readers)
        t.join();
    for (const std::exception_ptr& e : thrown)
        if (e)
            std::rethrow_exception(e);
    for (std::size_t k = 1; k < rows.size(); ++k)
        if (!others[k]) {
            auto [from, to] = range(k);
            read_history_rows(db, from, to, rows[k]);
        }
    others.clear();
    std::size_t total = 0;
    for (const HistoryRows& r : rows) {
        if (!r.ok) {
            error = r.error;
            return false;
        }
        total += r.files.size();
    }
    // Each range is in order: they are merged, the least of their next rows
    // first (ranges hold distinct files, so no two rows are equal).
    std::vector<StoredFile> list;
    std::vector<long long> ids;
    std::vector<bool> parsed;
    list.reserve(total);
    ids.reserve(total);
    parsed.reserve(total);
    std::vector<std::size_t> next(rows.size(), 0);
    for (;;) {
        std::optional<std::size_t> least;
        for (std::size_t k = 0; k < rows.size(); ++k)
            if (next[k] < rows[k].files.size() &&
                (!least ||
                 walked_before(rows[k].files[next[k]], rows[*least].files[next[*least]])))
                least = k;
        if (!least)
            break;
        HistoryRows& from = rows[*least];
        std::size_t i = next[*least]++;
        list.push_back(std::move(from.files[i]));
        ids.push_back(from.ids[i]);
        parsed.push_back(from.parsed[i]);
    }
    rows.clear();
    // A directory with a results file kept as text only (a transcript) has
    // every results file read from its text.
    std::set<std::string> texts_read;
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].kind == StoredFile::results && !parsed[i])
            texts_read.insert(fs::path(list[i].path).parent_path().string());
    files = std::move(list);
    for (std::size_t i = 0; i < files.size(); ++i) {
        StoredFile& f = files[i];
        bool kept = parsed[i] && (f.kind == StoredFile::machine || texts_read.empty() ||
                                  !texts_read.count(fs::path(f.path).parent_path().string()));
        if (kept)
            continue;
        f.runs.reset();
        f.record.reset();
        f.record_error.clear();
        sqlite3_bind_int64(content.get(), 1, ids[i]);
        if (sqlite3_step(content.get()) != SQLITE_ROW) {
            error = reason(db);
            files.clear();
            return false;
        }
        f.text = column_text(content.get(), 0);
        sqlite3_reset(content.get());
    }
    return true;
}

}  // namespace

bool read_store(const std::string& path, std::vector<StoredFile>& files, std::string& error,
                StoreReading reading) {
    long long version = 0;
    Database db = open_to_read(path, error, version);
    if (!db)
        return false;
    // A store of an earlier version, until an ingest upgrades it, is read
    // from its texts.
    if (reading == StoreReading::figures && version >= 3)
        return read_figures(db.get(), path, files, error);
    const char* query =
        version >= 2 ? "SELECT kind, shown, content FROM file JOIN text ON text.file = "
                       "file.id WHERE current = 1 ORDER BY kind = 'machine', shown"
                     : "SELECT kind, shown, content FROM file "
                       "WHERE current = 1 ORDER BY kind = 'machine', shown";
    Statement s = prepare(db.get(), query);
    if (!s) {
        error = reason(db.get());
        return false;
    }
    files.clear();
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        StoredFile f;
        f.kind = column_view(s.get(), 0) == "machine" ? StoredFile::machine : StoredFile::results;
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
        std::string create = std::string(file_schema) + parsed_schema + history_schema +
                             "PRAGMA application_id = " + std::to_string(store_application_id) +
                             "; PRAGMA user_version = " + std::to_string(store_schema_version) +
                             ";";
        if (sqlite3_exec(db.get(), create.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return failed(StoreFailure::write, reason(db.get()));
    } else if (long long version = pragma(db.get(), "PRAGMA user_version").value_or(0);
               version < store_schema_version && !upgrade_schema(db.get(), version)) {
        return failed(StoreFailure::write, reason(db.get()));
    }
    ParsedWriter parsed(db.get());
    Statement find = prepare(db.get(),
                             "SELECT size, sha256, id FROM file WHERE path = ?1 AND current = 1");
    Statement touch = prepare(db.get(), "UPDATE file SET mtime = ?2 WHERE id = ?1");
    Statement retire = prepare(db.get(), "UPDATE file SET current = 0 WHERE path = ?1 AND current = 1");
    Statement forget = prepare(db.get(), "DELETE FROM history WHERE file = ?1");
    Statement insert = prepare(db.get(),
                               "INSERT INTO file (path, shown, kind, size, sha256, stored, "
                               "current, mtime) VALUES (?1, ?2, ?3, ?4, ?5, ?6, 1, ?7)");
    Statement keep_text = prepare(db.get(), "INSERT INTO text (file, content) VALUES (?1, ?2)");
    if (!find || !touch || !retire || !forget || !insert || !keep_text || !parsed.ready())
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
        long long old_id = stored ? sqlite3_column_int64(find.get(), 2) : 0;
        sqlite3_reset(find.get());
        if (stored) {
            // The older version is no longer a current file.
            sqlite3_bind_int64(forget.get(), 1, old_id);
            if (!step_done(forget.get()))
                return failed(StoreFailure::write, reason(db.get()));
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
        if (!keep_figures(parsed, id, f.kind, f.path, f.text, f.runs))
            return failed(StoreFailure::write, reason(db.get()));
        ++counts.added;
    }
    parsed.finish();
    keep_text.reset();
    forget.reset();
    touch.reset();
    find.reset();
    retire.reset();
    insert.reset();
    if (sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        return failed(StoreFailure::write, reason(db.get()));
    return {};
}

}  // namespace report
