#include "input/walk.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <system_error>

#include <sys/stat.h>

#include "machine/input_file.h"
#include "machine/record.h"

namespace report {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view name_prefixes[] = {"results_processors_Linux_x86 @ ",
                                              "results_memory_Linux_x86 @ "};

}  // namespace

bool results_name(const std::string& name) {
    bool prefix = std::any_of(std::begin(name_prefixes), std::end(name_prefixes),
                              [&](std::string_view p) { return name.rfind(p, 0) == 0; });
    return prefix && name.size() >= 4 && name.compare(name.size() - 4, 4, ".txt") == 0;
}

bool plain_file_path(std::string_view path) {
    std::size_t slash = path.rfind('/');
    std::string_view file = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
    return path.find("//") == std::string_view::npos && !file.empty() && file != "." &&
           file != "..";
}

std::string beside(const std::string& path, const char* name) {
    if (!plain_file_path(path))
        return (fs::path(path).parent_path() / name).string();
    std::size_t slash = path.rfind('/');
    return path.substr(0, slash == std::string::npos ? 0 : slash + 1) + name;
}

std::string_view directory_text(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return path.substr(0, slash == std::string_view::npos ? 0 : slash + 1);
}

bool is_run_directory(std::string_view name) {
    if (name.size() < 16 || name[8] != 'T' || name[15] != 'Z')
        return false;
    for (std::size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14})
        if (name[i] < '0' || name[i] > '9')
            return false;
    return name.size() == 16 || name[16] == '-';
}

namespace {

// What one directory's listing found.
struct Listing {
    std::vector<std::string> files, records;
    std::vector<fs::path> below;  // the directories it holds
};

// Sorts one entry of a listing into `listing`; says in `context` what cannot
// be looked at. `shown` is how a path is shown.
void sort_entry(const fs::directory_entry& entry, Listing& listing, LoadContext& context,
                const std::function<std::string(const fs::path&)>& shown) {
    std::error_code type_ec;
    fs::file_status link = entry.symlink_status(type_ec);
    if (type_ec) {
        // Past the longest path the system takes, for one.
        context.note({LoadNote::unreadable, shown(entry.path()), type_ec.message()}, true);
        return;
    }
    if (fs::is_directory(link)) {
        listing.below.push_back(entry.path());
        return;
    }
    bool is_link = fs::is_symlink(link);
    if (is_link && entry.is_directory(type_ec)) {
        if (context.links_said.insert(entry.path().lexically_normal().string()).second)
            context.note({LoadNote::link_not_followed, entry.path().string()}, false);
        return;
    }
    if (entry.path().filename() == "machine.json") {
        if (entry.is_regular_file(type_ec))
            listing.records.push_back(entry.path().string());
        return;
    }
    if (!results_name(entry.path().filename().string()))
        return;
    // Anything else by a results file's name is read, and refused there when
    // it is not a regular file (a FIFO would block the walk).
    if (is_link && !fs::exists(entry.status(type_ec)))
        return;
    listing.files.push_back(shown(entry.path()));
}

// Every results file under `top`, sorted by path, into `found`, and every
// machine.json, sorted by path, into `records`. Symbolic links to
// directories are not followed, so a link loop cannot trap the walk. Each
// directory is listed whole and closed before the walk goes into the ones it
// holds: the walk keeps one descriptor open whatever the depth, and holds the
// path of each directory still to list, no more. A directory that cannot be
// listed (no permission, no descriptor left, a path too long) is named once
// and the walk goes on with the rest.
void scan(const fs::path& top, std::vector<std::string>& found, std::vector<std::string>& records,
          LoadContext& context) {
    Listing listing;
    std::vector<fs::path> pending{top};
    // Scanning "." lists "name", not "./name".
    bool dot = top == "." || top == "./";
    auto shown = [&](const fs::path& p) {
        std::string path = p.string();
        if (dot && path.rfind("./", 0) == 0)
            path.erase(0, 2);
        return path;
    };
    while (!pending.empty()) {
        fs::path dir = std::move(pending.back());
        pending.pop_back();
        listing.below.clear();
        std::error_code ec;
        fs::directory_iterator it(dir, ec), end;
        for (; !ec && it != end; it.increment(ec))
            sort_entry(*it, listing, context, shown);
        if (ec)
            context.note({LoadNote::unreadable_directory, shown(dir), ec.message()}, true);
        // Deepest last, so that the directories are listed in order of their names.
        std::sort(listing.below.begin(), listing.below.end(), std::greater<>());
        for (fs::path& d : listing.below)
            pending.push_back(std::move(d));
    }
    std::sort(listing.files.begin(), listing.files.end());
    std::sort(listing.records.begin(), listing.records.end());
    found.insert(found.end(), listing.files.begin(), listing.files.end());
    records.insert(records.end(), listing.records.begin(), listing.records.end());
}

// The files `path` names: what a walk of a directory finds, or the file.
void find_files(const std::string& path, std::vector<std::string>& found,
                std::vector<std::string>& records, LoadContext& context) {
    std::error_code ec;
    if (fs::is_directory(path, ec))
        scan(path, found, records, context);
    else
        found.push_back(path);
}

}  // namespace

InputFiles find_input_files(const std::vector<std::string>& paths) {
    InputFiles out;
    LoadContext context;
    for (std::size_t input = 0; input < paths.size(); ++input) {
        std::vector<std::string> found, records;
        find_files(paths[input], found, records, context);
        for (std::string& m : records)
            out.records.emplace_back(std::move(m), input);
        out.files_per_input.push_back(found.size());
        for (std::string& f : found)
            out.results.emplace_back(std::move(f), input);
    }
    out.notes = std::move(context.notes);
    out.failed = context.failed;
    return out;
}

void DirectorySource::find(LoadContext& context) {
    find_files(path_, found_, records_, context);
    context.considered.insert(context.considered.end(), records_.begin(), records_.end());
}

bool DirectorySource::open(std::size_t i, ResultsFile& file, LoadContext& context) {
    const std::string& path = found_[i];
    context.considered.push_back(path);
    context.considered.push_back(beside(path, "machine.json"));
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        auto [it, fresh] = context.read.emplace(std::pair{st.st_dev, st.st_ino}, path);
        if (!fresh) {
            context.note({LoadNote::same_file, path, {}, it->second}, false);
            return false;
        }
    }
    Expected<std::string> text = read_input_file(path);
    if (!text) {
        context.note({LoadNote::unreadable, path, text.failure().message}, true);
        return false;
    }
    text_ = std::move(*text);
    file.path = &path;
    file.text = &text_;
    return true;
}

RecordBeside DirectorySource::record_beside(std::size_t i) {
    RecordBeside beside;
    Expected<std::optional<MachineRecord>> read = read_record(found_[i]);
    if (!read)
        beside.why = read.failure().message;
    else if (*read)
        beside.record = std::make_shared<const MachineRecord>(std::move(**read));
    return beside;
}

std::vector<UnfinishedRecord> DirectorySource::unfinished() {
    std::vector<UnfinishedRecord> out;
    for (const std::string& path : records_) {
        Expected<std::optional<MachineRecord>> read = read_record(path);
        if (read && *read && unfinished_outcome((*read)->repetition))
            out.push_back({path, std::make_shared<const MachineRecord>(std::move(**read)), {}});
    }
    return out;
}

}  // namespace report
