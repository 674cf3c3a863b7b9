#include "store/cache.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <variant>

#include "input/parse.h"
#include "machine/record.h"
#include "model/catalogue.h"

namespace report {

namespace {

// Writes a packed value (store/cache.h).
class Packer {
public:
    void byte(bool b) { out_.push_back(b ? 1 : 0); }
    void number(long long v) { bits(static_cast<std::uint64_t>(v)); }
    void real(double v) { bits(std::bit_cast<std::uint64_t>(v)); }
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
    void bits(std::uint64_t v) {
        for (int i = 0; i < 8; ++i)
            out_.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
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
    void fail() { failed_ = true; }
    std::size_t left() const { return in_.size(); }
    bool byte() {
        if (!has(1))
            return false;
        auto b = static_cast<unsigned char>(in_[0]);
        in_.remove_prefix(1);
        if (b > 1)
            failed_ = true;
        return b == 1;
    }
    long long number() { return static_cast<long long>(bits()); }
    double real() { return std::bit_cast<double>(bits()); }
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
    std::optional<std::string_view> optional_view() {
        if (!byte())
            return std::nullopt;
        return text();
    }
    std::optional<std::string> optional_text() {
        std::optional<std::string_view> v = optional_view();
        return v ? std::optional<std::string>(*v) : std::nullopt;
    }
    std::optional<double> optional_real() {
        bool present = byte();
        double v = real();
        return present ? std::optional<double>(v) : std::nullopt;
    }

private:
    bool has(std::size_t n) {
        if (failed_ || in_.size() < n)
            failed_ = true;
        return !failed_;
    }
    std::uint64_t bits() {
        if (!has(8))
            return 0;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= std::uint64_t{static_cast<unsigned char>(in_[static_cast<std::size_t>(i)])}
                 << (8 * i);
        in_.remove_prefix(8);
        return v;
    }
    std::string_view in_;
    bool failed_ = false;
};

// The value of a figure a history reads: absent when not printed or not a
// number, as a history leaves it out either way.
std::optional<double> figure_value(const std::optional<Figure>& f) {
    if (f && !std::isnan(f->value))
        return f->value;
    return std::nullopt;
}

// Room for `count` things, no more than the `bytes` of a value could hold:
// a count read from a store is never trusted.
template <class T>
void reserve_at_most(std::vector<T>& v, long long count, std::size_t bytes) {
    if (count > 0 && static_cast<unsigned long long>(count) <= bytes)
        v.reserve(static_cast<std::size_t>(count));
}

// One run of a packed value, its tests matched to the catalogue.
Run unpack_run(Unpacker& u, std::size_t bytes) {
    Run r;
    r.program = u.byte() ? Program::memory : Program::processors;
    r.partial = u.byte();
    r.local_time = std::string(u.text());
    long long tests = u.number();
    reserve_at_most(r.rates, tests, bytes);
    for (long long k = 0; k < tests && !u.failed(); ++k) {
        std::string_view key = u.text();
        TestRates t;
        t.single = u.optional_real();
        t.overall = u.optional_real();
        long long incomplete = u.number();
        if (incomplete < 0 || incomplete > INT_MAX)
            u.fail();  // no count of threads: not what pack_runs wrote
        t.incomplete_threads = static_cast<int>(incomplete);
        if (std::optional<std::size_t> place = catalogue_place(r.program, key)) {
            t.test = *place;
            r.rates.push_back(t);
        }
    }
    return r;
}

// The row of the cache of a file stored with `text`: its packed figures, or
// NULL when it is read from its text.
std::optional<std::string> cached_figures(StoredFile::Kind kind, const std::string& text,
                                          const std::vector<Run>& runs) {
    if (kind == StoredFile::machine)
        return pack_record(record_fields(text));
    if (runs_cached(runs))
        return pack_runs(runs);
    return std::nullopt;
}

// The runs of a stored results file's text, as an ingest kept them: none
// when any part of it is no run (such a text is read from itself).
std::vector<Run> runs_of_text(const std::string& text, const std::string& shown) {
    std::vector<Run> runs;
    for (auto& parsed : parse_runs(text, shown)) {
        Run* run = std::get_if<Run>(&parsed);
        if (!run)
            return {};
        runs.push_back(std::move(*run));
    }
    return runs;
}

}  // namespace

bool runs_cached(const std::vector<Run>& runs) {
    return !runs.empty() && std::all_of(runs.begin(), runs.end(), [](const Run& r) {
        return r.source == Source::results_file;
    });
}

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

std::optional<std::vector<Run>> unpack_runs(std::string_view packed) {
    Unpacker u(packed);
    long long count = u.number();
    std::vector<Run> runs;
    // A year of a fleet's rates is read: room is made at once.
    reserve_at_most(runs, count, packed.size());
    for (long long i = 0; i < count && !u.failed(); ++i)
        runs.push_back(unpack_run(u, packed.size()));
    if (!u.whole())
        return std::nullopt;
    return runs;
}

RecordFields record_fields(const std::string& text) {
    RecordFields f;
    Expected<MachineRecord> r = parse_record(text);
    if (!r) {
        f.error = r.failure().message;
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

CacheWriter::CacheWriter(sqlite3* db)
    : insert_(sqlite::prepare(db,
                              "INSERT INTO history_cache (file, kind, shown, figures) "
                              "VALUES (?1, ?2, ?3, ?4)")),
      forget_(sqlite::prepare(db, "DELETE FROM history_cache WHERE file = ?1")) {}

bool CacheWriter::write(long long id, StoredFile::Kind kind, const std::string& shown,
                        const std::string& text, const std::vector<Run>& runs) {
    sqlite3_stmt* s = insert_.get();
    sqlite3_bind_int64(s, 1, id);
    sqlite3_bind_text(s, 2, kind == StoredFile::machine ? "machine" : "results", -1, SQLITE_STATIC);
    sqlite::bind_bytes(s, 3, shown);
    sqlite::bind_optional(s, 4, cached_figures(kind, text, runs));
    return sqlite::step_done(s);
}

bool CacheWriter::write_without_figures(long long id, StoredFile::Kind kind,
                                        const std::string& shown) {
    sqlite3_stmt* s = insert_.get();
    sqlite3_bind_int64(s, 1, id);
    sqlite3_bind_text(s, 2, kind == StoredFile::machine ? "machine" : "results", -1, SQLITE_STATIC);
    sqlite::bind_bytes(s, 3, shown);
    sqlite3_bind_null(s, 4);
    return sqlite::step_done(s);
}

bool CacheWriter::forget(long long id) {
    sqlite3_bind_int64(forget_.get(), 1, id);
    return sqlite::step_done(forget_.get());
}

namespace {

// Writes the row of the cache of every current file that `which` (an SQL
// condition on `file`) takes, from its text. A file whose text is lost gets
// a row without figures: reading it says so.
bool write_rows(sqlite3* db, const char* which) {
    CacheWriter cache(db);
    std::string query = std::string("SELECT id, kind, shown, content FROM file "
                                    "LEFT JOIN text ON text.file = file.id "
                                    "WHERE current = 1 AND ") +
                        which;
    sqlite::Statement texts = sqlite::prepare(db, query.c_str());
    if (!cache.ready() || !texts)
        return false;
    int rc;
    while ((rc = sqlite3_step(texts.get())) == SQLITE_ROW) {
        long long id = sqlite3_column_int64(texts.get(), 0);
        StoredFile::Kind kind = sqlite::column_view(texts.get(), 1) == "machine"
                                    ? StoredFile::machine
                                    : StoredFile::results;
        std::string shown = sqlite::column_text(texts.get(), 2);
        std::string text = sqlite::column_text(texts.get(), 3);
        std::vector<Run> runs;
        if (kind == StoredFile::results)
            runs = runs_of_text(text, shown);
        bool lost = sqlite3_column_type(texts.get(), 3) == SQLITE_NULL;
        if (!(lost ? cache.write_without_figures(id, kind, shown)
                   : cache.write(id, kind, shown, text, runs)))
            return false;
    }
    return rc == SQLITE_DONE;
}

}  // namespace

bool rebuild_cache(sqlite3* db) {
    return sqlite::exec(db, "DELETE FROM history_cache") && write_rows(db, "1");
}

bool mend_cache(sqlite3* db) {
    // The table as the layout's migrations leave it.
    return sqlite::exec(db,
                        "CREATE TABLE IF NOT EXISTS history_cache ("
                        "file INTEGER PRIMARY KEY REFERENCES file (id), "
                        "kind TEXT NOT NULL CHECK (kind IN ('results', 'machine')), "
                        "shown BLOB NOT NULL, figures BLOB); "
                        "DELETE FROM history_cache WHERE file NOT IN "
                        "(SELECT id FROM file WHERE current = 1)") &&
           write_rows(db, "id NOT IN (SELECT file FROM history_cache)");
}

}  // namespace report
