#include "input/labels.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "input/paths.h"

namespace report {

namespace fs = std::filesystem;

namespace {

// The directory a run is labelled by.
struct Place {
    fs::path dir;  // absolute and normal, less the runs' own directories
    bool repetition = false;
};

// Places the runs, each directory worked out once: a fleet's runs share
// theirs by twos, and a host's year of nights the directory above them. A
// run is placed by the text of its path before its file name, less a last
// run's own directory: the same text names the same directory whatever the
// file.
class Places {
public:
    Places() : cwd_(fs::current_path(cwd_error_)) {}

    // The index in places() of each run's place.
    std::vector<std::size_t> place_all(const std::vector<Run>& runs) {
        std::vector<std::size_t> place_of;
        place_of.reserve(runs.size());
        for (const Run& r : runs)
            place_of.push_back(place_run(r, place_of));
        return place_of;
    }
    const std::vector<Place>& places() const { return places_; }

private:
    std::size_t place_run(const Run& r, const std::vector<std::size_t>& placed) {
        std::size_t slash = r.path.rfind('/');
        std::string_view name(r.path);
        if (slash != std::string::npos)
            name.remove_prefix(slash + 1);
        if (name.empty() || name == "." || name == "..") {
            // Not a file's name: the directory is the path's own parent.
            std::error_code ec;
            fs::path dir = fs::absolute(fs::path(r.path), ec).lexically_normal().parent_path();
            last_text_.reset();
            return place(dir.string(), false);
        }
        // "fleet/host-001/20241004T050000Z-1/" is placed as "fleet/host-001/":
        // a host's nights are worked out once.
        std::string_view dir = directory_text(r.path);
        bool repetition = drop_run_directory(dir);
        // A host's runs come one after another: the last directory is tried first.
        if (last_text_ && last_text_->first == repetition && last_text_->second == dir)
            return placed.back();
        auto it = by_text_[repetition].find(dir);
        if (it == by_text_[repetition].end())
            it = by_text_[repetition].emplace(dir, place(std::string(dir), repetition)).first;
        last_text_.emplace(repetition, dir);
        return it->second;
    }

    // Cuts a last run's own directory off `dir` ("a/20241004T050000Z-1/" to
    // "a/"); true when there was one.
    static bool drop_run_directory(std::string_view& dir) {
        if (dir.size() <= 1)
            return false;
        std::size_t before = dir.rfind('/', dir.size() - 2);
        std::string_view last = dir.substr(before == std::string::npos ? 0 : before + 1);
        last.remove_suffix(1);
        if (!is_run_directory(last))
            return false;
        dir.remove_suffix(last.size() + 1);
        return true;
    }

    // The place of the directory `text` names, added when new.
    std::size_t place(const std::string& text, bool repetition) {
        fs::path p(text);
        std::error_code ec;
        fs::path dir = (cwd_error_ || p.empty() ? fs::absolute(p.empty() ? "." : p, ec)
                        : p.is_absolute()       ? p
                                                : cwd_ / p)
                           .lexically_normal();
        if (!dir.has_filename() && dir != dir.parent_path())
            dir = dir.parent_path();  // "a/b/" is "a/b"
        while (is_run_directory(dir.filename().string()) && dir != dir.parent_path()) {
            dir = dir.parent_path();
            repetition = true;
        }
        std::string key = dir.string() + (repetition ? "\n1" : "\n0");
        auto [it, fresh] = by_dir_.emplace(std::move(key), places_.size());
        if (fresh)
            places_.push_back({std::move(dir), repetition});
        return it->second;
    }

    std::error_code cwd_error_;
    const fs::path cwd_;
    std::vector<Place> places_;
    // Views of the runs' paths, which stay put meanwhile: a directory's text
    // less a last run's own directory, without [0] or with [1] one.
    std::unordered_map<std::string_view, std::size_t> by_text_[2];
    std::unordered_map<std::string, std::size_t> by_dir_;
    std::optional<std::pair<bool, std::string_view>> last_text_;  // the last run's, placed
};

// Each directory of `places` once.
std::vector<const fs::path*> directories(const std::vector<Place>& places) {
    std::vector<const fs::path*> holders;
    std::unordered_map<std::string, std::size_t> seen;
    for (const Place& p : places)
        if (seen.emplace(p.dir.string(), holders.size()).second)
            holders.push_back(&p.dir);
    return holders;
}

// The deepest directory that holds every one of `holders`.
fs::path common_directory(const std::vector<const fs::path*>& holders) {
    fs::path common;
    bool first = true;
    for (const fs::path* held : holders) {
        const fs::path& d = *held;
        if (first) {
            common = d;
            first = false;
            continue;
        }
        fs::path shared;
        auto a = common.begin(), b = d.begin();
        for (; a != common.end() && b != d.end() && *a == *b; ++a, ++b)
            shared /= *a;
        common = shared;
    }
    return common;
}

}  // namespace

void default_labels(std::vector<Run>& runs, const std::vector<bool>& labelled) {
    Places placing;
    std::vector<std::size_t> place_of = placing.place_all(runs);
    const std::vector<Place>& places = placing.places();
    std::vector<const fs::path*> holders = directories(places);
    fs::path common = common_directory(holders);
    bool one_directory = std::all_of(holders.begin(), holders.end(),
                                     [&](const fs::path* d) { return *d == *holders.front(); });
    std::vector<std::optional<std::string>> names(places.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (labelled[i])
            continue;
        Run& r = runs[i];
        const Place& at = places[place_of[i]];
        std::optional<std::string>& name = names[place_of[i]];
        if (!one_directory) {
            if (!name) {
                fs::path rel = at.dir.lexically_relative(common);
                name = rel.empty() || rel == "." ? at.dir.filename().string() : rel.string();
            }
            r.label = *name;
        } else if (at.repetition) {
            r.label = at.dir.filename().string();
        }
        if (r.label.empty())
            r.label = r.local_time;
        if (r.label.empty())
            r.label = fs::path(r.path).filename().string();
    }
}

}  // namespace report
