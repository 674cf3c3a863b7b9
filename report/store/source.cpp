#include "store/source.h"

#include <algorithm>
#include <map>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <sys/stat.h>

#include "input/walk.h"
#include "machine/record.h"
#include "store/reader.h"

namespace report {

namespace {

// The files a store keeps, as a source of runs.
class StoreSource : public InputSource {
public:
    StoreSource(std::string path, StoreReading reading)
        : path_(std::move(path)), reading_(reading) {}

    void find(LoadContext& context) override;
    std::size_t size() const override { return results_.size(); }
    std::size_t expected_runs() const override;
    bool open(std::size_t i, ResultsFile& file, LoadContext& context) override;
    void done(std::size_t i) override;
    RecordBeside record_beside(std::size_t i) override;
    std::vector<UnfinishedRecord> unfinished() override;
    bool holds(const std::function<bool(const std::string&)>& same) const override;

    const std::string& path() const { return path_; }

private:
    static Expected<std::shared_ptr<const MachineRecord>> record(const StoredFile& f);

    std::string path_;
    StoreReading reading_;
    std::vector<StoredFile> files_;
    std::vector<StoredFile*> results_;
    // The machine.json files by the text of their directory (views into the
    // files' paths, which stay put): a results file finds the one beside it
    // without a path being built.
    std::unordered_map<std::string_view, const StoredFile*> records_;
    std::optional<std::string_view> last_dir_;
    const StoredFile* last_record_ = nullptr;
};

void StoreSource::find(LoadContext& context) {
    context.considered.push_back(path_);
    Expected<std::vector<StoredFile>> files = read_store(path_, reading_);
    if (files)
        files_ = std::move(*files);
    else
        context.note({LoadNote::unreadable, path_, files.failure().message}, true);
    results_.reserve(files_.size());
    records_.reserve(files_.size() / 2);
    for (StoredFile& f : files_) {
        if (f.kind == StoredFile::results) {
            results_.push_back(&f);
            continue;
        }
        std::string_view name(f.path);
        name.remove_prefix(directory_text(f.path).size());
        if (name == "machine.json")
            records_[directory_text(f.path)] = &f;
    }
}

std::size_t StoreSource::expected_runs() const {
    std::size_t expected = 0;
    for (const StoredFile* f : results_)
        expected += f->runs ? f->runs->size() : 1;
    return expected;
}

bool StoreSource::open(std::size_t i, ResultsFile& file, LoadContext& context) {
    StoredFile& f = *results_[i];
    if (f.text_lost) {
        context.note({LoadNote::unreadable, f.path, text_lost_reason}, true);
        return false;
    }
    file.path = &f.path;
    if (f.runs)
        file.runs = &*f.runs;
    else
        file.text = &f.text;
    return true;
}

void StoreSource::done(std::size_t i) {
    // Its room, for what is read next.
    results_[i]->runs.reset();
    results_[i]->text = std::string();
}

RecordBeside StoreSource::record_beside(std::size_t i) {
    const std::string& path = results_[i]->path;
    // Found by its directory's text: a night's files share their directory,
    // and the last one found is tried first.
    std::string machine_path = plain_file_path(path) ? std::string() : beside(path, "machine.json");
    std::string_view dir = directory_text(machine_path.empty() ? path : machine_path);
    if (!last_dir_ || *last_dir_ != dir) {
        auto it = records_.find(dir);
        last_record_ = it == records_.end() ? nullptr : it->second;
        last_dir_ = dir;
        if (!machine_path.empty())
            last_dir_.reset();  // a view of a path that is not kept
    }
    RecordBeside found;
    if (last_record_) {
        Expected<std::shared_ptr<const MachineRecord>> read = record(*last_record_);
        if (!read) {
            found.why = read.failure().message;
        } else if (*read) {
            found.record = std::move(*read);
            found.started = last_record_->started;
        }
    }
    return found;
}

std::vector<UnfinishedRecord> StoreSource::unfinished() {
    std::vector<UnfinishedRecord> out;
    for (const StoredFile& f : files_) {
        if (f.kind != StoredFile::machine)
            continue;
        // Only a record of a repetition that did not finish adds a run of its
        // own: one the cache keeps says so without being parsed again.
        if (f.record ? !unfinished_outcome(f.record->repetition) : !f.record_error.empty())
            continue;
        Expected<std::shared_ptr<const MachineRecord>> r = record(f);
        if (r && *r && unfinished_outcome((*r)->repetition))
            out.push_back({f.path, std::move(*r), f.started});
    }
    return out;
}

bool StoreSource::holds(const std::function<bool(const std::string&)>& same) const {
    return std::any_of(files_.begin(), files_.end(),
                       [&](const StoredFile& f) { return same(f.path); });
}

// A stored machine.json's record: as the cache keeps it, else parsed from
// its text; a bad_input failure saying why when it is no record.
Expected<std::shared_ptr<const MachineRecord>> StoreSource::record(const StoredFile& f) {
    if (!f.record_error.empty())
        return Failed(Exit::bad_input, f.record_error);
    if (f.record)
        return f.record;
    if (f.text_lost)
        return Failed(Exit::bad_input, text_lost_reason);
    Expected<MachineRecord> parsed = parse_record(f.text);
    if (!parsed)
        return parsed.failure();
    return std::make_shared<const MachineRecord>(std::move(*parsed));
}

// A store named again: read once, by the path that named it first, its
// files counting for this path too.
class StoreNamedAgain : public InputSource {
public:
    StoreNamedAgain(std::string path, std::shared_ptr<const StoreSource> first)
        : path_(std::move(path)), first_(std::move(first)) {}

    void find(LoadContext& context) override;
    std::size_t size() const override;
    std::size_t counted() const override;
    bool open(std::size_t, ResultsFile&, LoadContext&) override;
    void done(std::size_t) override;
    RecordBeside record_beside(std::size_t) override;
    std::vector<UnfinishedRecord> unfinished() override;
    bool holds(const std::function<bool(const std::string&)>&) const override;

private:
    std::string path_;
    std::shared_ptr<const StoreSource> first_;
};

void StoreNamedAgain::find(LoadContext& context) {
    context.considered.push_back(path_);
    context.note({LoadNote::same_file, path_, {}, first_->path()}, false);
}

// It reads nothing itself: the store is read by the path that named it first.
std::size_t StoreNamedAgain::size() const {
    return 0;
}

std::size_t StoreNamedAgain::counted() const {
    return first_->size();
}

bool StoreNamedAgain::open(std::size_t, ResultsFile&, LoadContext&) {
    return false;
}

void StoreNamedAgain::done(std::size_t) {}

RecordBeside StoreNamedAgain::record_beside(std::size_t) {
    return {};
}

std::vector<UnfinishedRecord> StoreNamedAgain::unfinished() {
    return {};
}

bool StoreNamedAgain::holds(const std::function<bool(const std::string&)>&) const {
    return false;
}

}  // namespace

std::vector<std::shared_ptr<InputSource>> open_inputs(const std::vector<std::string>& paths,
                                                      StoreReading reading) {
    std::vector<std::shared_ptr<InputSource>> sources;
    std::map<std::pair<dev_t, ino_t>, std::shared_ptr<const StoreSource>> stores;
    for (const std::string& path : paths) {
        if (!is_store_file(path)) {
            sources.push_back(std::make_shared<DirectorySource>(path));
            continue;
        }
        auto store = std::make_shared<StoreSource>(path, reading);
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            auto [it, fresh] = stores.emplace(std::pair{st.st_dev, st.st_ino}, store);
            if (!fresh) {
                sources.push_back(std::make_shared<StoreNamedAgain>(path, it->second));
                continue;
            }
        }
        sources.push_back(std::move(store));
    }
    return sources;
}

}  // namespace report
