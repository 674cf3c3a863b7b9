#include "store/reader.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <numeric>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "model/parallel.h"
#include "store/cache.h"
#include "store/schema.h"
#include "store/sqlite.h"

namespace report {

namespace fs = std::filesystem;

namespace {

// Stores of fewer rows than this are read on one connection.
constexpr std::uint64_t rows_worth_sharing = 20000;

// The number of ids from `low` to `high` less one, whatever ids a store
// holds (its integers are not trusted: ids of -2^63 and 2^63 - 1 are 2^64 - 1
// apart).
std::uint64_t id_span(long long low, long long high) {
    return high < low ? 0 : static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
}

// The rows of the cache of one range of file ids, as read_cached takes them.
struct CachedRows {
    std::vector<StoredFile> files;
    std::vector<long long> ids;
    std::vector<bool> cached;  // its figures cached and unpacked
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
void order_rows(CachedRows& rows) {
    std::vector<StoredFile>& list = rows.files;
    std::vector<long long>& ids = rows.ids;
    std::vector<bool>& cached = rows.cached;
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
        bool kept = cached[i];
        std::size_t j = i;
        for (;;) {
            std::size_t from = order[j];
            order[j] = j;
            if (from == i) {
                list[j] = std::move(file);
                ids[j] = id;
                cached[j] = kept;
                break;
            }
            list[j] = std::move(list[from]);
            ids[j] = ids[from];
            cached[j] = cached[from];
            j = from;
        }
    }
}

// One record for each machine seen, by its packed fields less the start
// (around_start): a host's year of nights reads one, and a night of a
// machine already seen reads its start alone.
class Machines {
public:
    // Gives `f` the record `packed` holds; false when it does not unpack.
    bool unpack(std::string_view packed, StoredFile& f) {
        std::optional<AroundStart> around = around_start(packed);
        auto seen = machines_.end();
        if (around) {
            // The rest of a value whose other bytes an earlier row unpacked
            // whole unpacks whole too: it is read from them.
            key_.assign(around->before).append(around->after);
            seen = machines_.find(key_);
        }
        if (seen != machines_.end()) {
            if (around->started)
                f.started = std::string(*around->started);
            f.record = seen->second;
            return true;
        }
        std::optional<RecordFields> r = unpack_record(packed);
        if (!r)
            return false;
        if (r->error) {
            f.record_error = *r->error;
            return true;
        }
        f.started = std::move(r->started);
        r->started.reset();  // the record is every night's: none of their starts
        f.record = record_of(*r);
        if (around)
            machines_.emplace(key_, f.record);
        return true;
    }

private:
    std::unordered_map<std::string, std::shared_ptr<const MachineRecord>> machines_;
    std::string key_;  // the key of the row's machine, its room reused
};

// The file of one row of the cache: its runs or record where its figures
// are cached and unpack (`cached`), else its path alone.
StoredFile cached_file(sqlite3_stmt* s, Machines& machines, bool& cached) {
    StoredFile f;
    f.kind = sqlite::column_view(s, 0) == "machine" ? StoredFile::machine : StoredFile::results;
    f.path = sqlite::column_text(s, 1);
    cached = false;
    // A value that does not unpack is read from its text instead.
    if (sqlite3_column_type(s, 3) != SQLITE_NULL) {
        std::string_view packed = sqlite::column_view(s, 3);
        if (f.kind == StoredFile::results) {
            f.runs = unpack_runs(packed);
            cached = f.runs.has_value();
        } else {
            cached = machines.unpack(packed, f);
        }
    }
    if (f.runs)
        for (Run& r : *f.runs)
            r.path = f.path;
    return f;
}

// The current files with ids from `first` to `last`, each with its runs or
// record unpacked where the cache `table` keeps its figures. The files are
// those the store lists, whatever rows the cache holds: a file whose row is
// missing (a cache mended by hand) is read from its text, and a row of no
// current file is not read.
void read_cached_rows(sqlite3* db, const char* table, long long first, long long last,
                      CachedRows& out) {
    std::string query = std::string("SELECT file.kind, file.shown, file.id, cache.figures "
                                    "FROM file LEFT JOIN ") +
                        table +
                        " AS cache ON cache.file = file.id "
                        "WHERE file.id BETWEEN ?1 AND ?2 AND file.current = 1";
    sqlite::Statement s = sqlite::prepare(db, query.c_str());
    if (!s) {
        out.error = sqlite::reason(db);
        return;
    }
    sqlite3_bind_int64(s.get(), 1, first);
    sqlite3_bind_int64(s.get(), 2, last);
    Machines machines;
    // Room for a row per id of the range, up to a bound: ids are nearly
    // dense, and a fleet-year's rows would otherwise be moved as they grow.
    constexpr std::uint64_t most_reserved = 1 << 18;
    auto room =
        static_cast<std::size_t>(std::min<std::uint64_t>(id_span(first, last), most_reserved) + 1);
    out.files.reserve(room);
    out.ids.reserve(room);
    out.cached.reserve(room);
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        bool cached = false;
        out.files.push_back(cached_file(s.get(), machines, cached));
        out.ids.push_back(sqlite3_column_int64(s.get(), 2));
        out.cached.push_back(cached);
    }
    if (rc != SQLITE_DONE) {
        out.error = sqlite::reason(db);
        return;
    }
    order_rows(out);
    out.ok = true;
}

// What a connection sees of the store: the same for every connection of one
// store at one moment. One that sees another (the path now names another
// file) is not used.
using Shape = std::tuple<long long, long long, long long>;
std::optional<Shape> shape(sqlite3* c) {
    sqlite::Statement q = sqlite::prepare(c,
                                          "SELECT (SELECT min(id) FROM file), (SELECT max(id) "
                                          "FROM file), (SELECT page_count FROM pragma_page_count())");
    if (!q || sqlite3_step(q.get()) != SQLITE_ROW)
        return std::nullopt;
    return Shape{sqlite3_column_int64(q.get(), 0), sqlite3_column_int64(q.get(), 1),
                 sqlite3_column_int64(q.get(), 2)};
}

// The cache's rows split in ranges of file ids, one a connection.
class Ranges {
public:
    Ranges(long long low, long long high, unsigned parts)
        : low_(low), high_(high), parts_(id_span(low, high) < rows_worth_sharing ? 1 : parts) {}
    std::size_t size() const { return parts_; }
    // The first and last id of range `k`: ranges of one width, the last
    // ending at the highest id.
    std::pair<long long, long long> operator[](std::size_t k) const {
        if (k + 1 == size() && k == 0)
            return {low_, high_};
        std::uint64_t width = id_span(low_, high_) / parts_ + 1;
        auto first = static_cast<long long>(static_cast<std::uint64_t>(low_) + k * width);
        auto last = static_cast<long long>(static_cast<std::uint64_t>(first) + width - 1);
        return {first, k + 1 == size() ? high_ : last};
    }

private:
    long long low_, high_;
    std::size_t parts_;
};

// A connection for each further range, opened without waiting while `db`
// holds its read lock, so that no ingest can commit between their first
// reads and all read the same store; one that cannot open so (or sees
// another store) is left null, and its range is read on `db`.
std::vector<sqlite::Database> further_connections(sqlite3* db, const std::string& path,
                                                  const char* table, std::size_t count) {
    std::vector<sqlite::Database> others(count);
    if (count < 2)
        return others;
    const std::optional<Shape> own = shape(db);
    for (std::size_t k = 1; k < count; ++k) {
        Expected<ReadableStore> other = open_to_read(path, false);
        if (other && cache_table(other->version) == std::string_view(table) && own &&
            shape(other->db.get()) == own)
            others[k] = std::move(other->db);
    }
    return others;
}

// Reads every range: those with a connection of their own at once, one a
// thread, the rest on `db` after.
std::vector<CachedRows> read_ranges(sqlite3* db, const std::string& path, const char* table,
                                    const Ranges& ranges) {
    std::vector<CachedRows> rows(ranges.size());
    std::vector<sqlite::Database> others = further_connections(db, path, table, ranges.size());
    auto read = [&](std::size_t k, sqlite3* c) {
        auto [first, last] = ranges[k];
        read_cached_rows(c, table, first, last, rows[k]);
    };
    // What a reader throws is thrown here once every reader has stopped.
    in_parallel(ranges.size(), ranges.size(), [&](std::size_t k) {
        if (k == 0 || others[k])
            read(k, k == 0 ? db : others[k].get());
    });
    for (std::size_t k = 1; k < rows.size(); ++k)
        if (!others[k])
            read(k, db);
    return rows;
}

// The files of every range, each range in order, merged: the least of their
// next rows first (ranges hold distinct files, so no two rows are equal).
CachedRows merge_ranges(std::vector<CachedRows>& rows) {
    CachedRows all;
    std::size_t total = 0;
    for (const CachedRows& r : rows)
        total += r.files.size();
    all.files.reserve(total);
    all.ids.reserve(total);
    all.cached.reserve(total);
    std::vector<std::size_t> next(rows.size(), 0);
    for (;;) {
        std::optional<std::size_t> least;
        for (std::size_t k = 0; k < rows.size(); ++k)
            if (next[k] < rows[k].files.size() &&
                (!least || walked_before(rows[k].files[next[k]], rows[*least].files[next[*least]])))
                least = k;
        if (!least)
            break;
        CachedRows& from = rows[*least];
        std::size_t i = next[*least]++;
        all.files.push_back(std::move(from.files[i]));
        all.ids.push_back(from.ids[i]);
        all.cached.push_back(from.cached[i]);
    }
    all.ok = true;
    return all;
}

// Gives every file that is to be read from its text its text: the files
// whose figures are not cached, and every results file in a directory with
// a results file kept as text only (a transcript).
std::optional<Failed> read_texts(sqlite3* db, CachedRows& rows) {
    std::set<std::string> texts_read;
    for (std::size_t i = 0; i < rows.files.size(); ++i)
        if (rows.files[i].kind == StoredFile::results && !rows.cached[i])
            texts_read.insert(fs::path(rows.files[i].path).parent_path().string());
    sqlite::Statement content = sqlite::prepare(db, "SELECT content FROM text WHERE file = ?1");
    if (!content)
        return Failed(Exit::bad_input, sqlite::reason(db));
    for (std::size_t i = 0; i < rows.files.size(); ++i) {
        StoredFile& f = rows.files[i];
        bool kept = rows.cached[i] && (f.kind == StoredFile::machine || texts_read.empty() ||
                                       !texts_read.count(fs::path(f.path).parent_path().string()));
        if (kept)
            continue;
        f.runs.reset();
        f.record.reset();
        f.record_error.clear();
        sqlite3_bind_int64(content.get(), 1, rows.ids[i]);
        int rc = sqlite3_step(content.get());
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return Failed(Exit::bad_input, sqlite::reason(db));
        f.text_lost = rc == SQLITE_DONE;
        f.text = f.text_lost ? std::string() : sqlite::column_text(content.get(), 0);
        sqlite3_reset(content.get());
    }
    return std::nullopt;
}

// The current files with the figures the cache `table` holds, ordered as a
// directory's walk gives them (results files by path, then the machine.json
// records by path): each with its runs or record when its figures are
// cached, else its text. A large store's rows are read in ranges of file
// ids on one connection a processor (at most 4).
Expected<std::vector<StoredFile>> read_cached(sqlite3* db, const std::string& path,
                                              const char* table) {
    // Each by itself, so that SQLite reads them off the ends of the table.
    sqlite::Statement span =
        sqlite::prepare(db, "SELECT (SELECT min(id) FROM file), (SELECT max(id) FROM file)");
    if (!span || sqlite3_step(span.get()) != SQLITE_ROW)
        return Failed(Exit::bad_input, sqlite::reason(db));
    long long low = sqlite3_column_int64(span.get(), 0);
    long long high = sqlite3_column_int64(span.get(), 1);
    span.reset();
    unsigned processors = static_cast<unsigned>(std::clamp<std::size_t>(usable_processors(), 1, 4));
    std::vector<CachedRows> rows = read_ranges(db, path, table, Ranges(low, high, processors));
    for (const CachedRows& r : rows)
        if (!r.ok)
            return Failed(Exit::bad_input, r.error);
    CachedRows all = merge_ranges(rows);
    rows.clear();
    if (std::optional<Failed> unread = read_texts(db, all))
        return *unread;
    return std::move(all.files);
}

// The current files of a store of `version` with their texts.
Expected<std::vector<StoredFile>> read_texts(sqlite3* db, long long version) {
    const char* query = version >= 2
                            ? "SELECT kind, shown, content FROM file LEFT JOIN text ON text.file = "
                              "file.id WHERE current = 1 ORDER BY kind = 'machine', shown"
                            : "SELECT kind, shown, content FROM file "
                              "WHERE current = 1 ORDER BY kind = 'machine', shown";
    sqlite::Statement s = sqlite::prepare(db, query);
    if (!s)
        return Failed(Exit::bad_input, sqlite::reason(db));
    std::vector<StoredFile> files;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        StoredFile f;
        f.kind = sqlite::column_view(s.get(), 0) == "machine" ? StoredFile::machine
                                                              : StoredFile::results;
        f.path = sqlite::column_text(s.get(), 1);
        f.text = sqlite::column_text(s.get(), 2);
        f.text_lost = sqlite3_column_type(s.get(), 2) == SQLITE_NULL;
        files.push_back(std::move(f));
    }
    if (rc != SQLITE_DONE)
        return Failed(Exit::bad_input, sqlite::reason(db));
    return files;
}

// Whether the store holds table `name`: a cache dropped by hand leaves the
// texts to be read.
bool has_table(sqlite3* db, const char* name) {
    sqlite::Statement s =
        sqlite::prepare(db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?1");
    if (!s)
        return false;
    sqlite3_bind_text(s.get(), 1, name, -1, SQLITE_STATIC);
    return sqlite3_step(s.get()) == SQLITE_ROW;
}

}  // namespace

Expected<std::vector<StoredFile>> read_store(const std::string& path, StoreReading reading) {
    Expected<ReadableStore> store = open_to_read(path);
    if (!store)
        return store.failure();
    // A store without a cache, until an ingest migrates it, is read from its
    // texts.
    sqlite3* db = store->db.get();
    const char* table = cache_table(store->version);
    if (reading == StoreReading::figures && table && has_table(db, table))
        return read_cached(db, path, table);
    return read_texts(db, store->version);
}

}  // namespace report
