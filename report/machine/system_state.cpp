// The state file of `bench_report system tune`: where it is, reading it
// (trusting nothing in it that reset would write as root) and writing it whole.
#include "machine/input_file.h"
#include "machine/replace_file.h"
#include "machine/system.h"
#include "machine/system_parts.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <limits>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace report {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

using namespace system_parts;

namespace {

constexpr int state_schema_version = 1;

}  // namespace

fs::path default_state_file(const fs::path& root) {
    return root / "var/lib/bench_report/tune-state.json";
}

namespace {

// The change a state file names at `c`, refused (a bad_input failure saying
// why) unless it names a file tune writes and values a setting can hold.
Expected<Change> parse_change(const json& c) {
    auto text_of = [&](const char* key) -> std::optional<std::string> {
        if (!c.is_object() || !c.contains(key) || !c[key].is_string())
            return std::nullopt;
        return c[key].get<std::string>();
    };
    auto path = text_of("path"), before = text_of("before"), after = text_of("after");
    if (!path || !before || !after)
        return Failed(Exit::bad_input, "a change without its path, before and after");
    if (!tuned_file(*path))
        return Failed(Exit::bad_input, fmt::format("\"{}\" is no setting tune changes", *path));
    if (!setting_value(*before) || !setting_value(*after))
        return Failed(Exit::bad_input, fmt::format("a value of {} that no setting holds", *path));
    return Change{*path, *before, *after};
}

// The state a state file's document holds; a bad_input failure saying why
// when it is not the layout tune writes or a change in it is refused.
Expected<TuneState> parse_state(const json& doc) {
    if (!doc.is_object() || !doc.contains("changes") || !doc["changes"].is_array())
        return Failed(Exit::bad_input, "not a state file of bench_report system tune");
    if (doc.contains("schema_version") &&
        (!doc["schema_version"].is_number_integer() ||
         doc["schema_version"].get<long long>() != state_schema_version))
        return Failed(Exit::bad_input,
                      fmt::format("schema_version is not {}", state_schema_version));
    TuneState read;
    if (doc.contains("tuned_at") && doc["tuned_at"].is_string())
        read.tuned_at = doc["tuned_at"].get<std::string>();
    std::set<std::string> named;
    for (const json& c : doc["changes"]) {
        Expected<Change> change = parse_change(c);
        if (!change)
            return change.failure();
        if (!named.insert(change->path).second)
            return Failed(Exit::bad_input, fmt::format("{} is named twice", change->path));
        read.changes.push_back(std::move(*change));
    }
    return read;
}

// The start of the name of a temporary state file beside `file`: its
// writer's process id follows, then (but in those of older writers) a dot
// and the characters that make the name its own.
std::string temporary_prefix(const fs::path& file) {
    return "." + file.filename().string() + ".";
}

// Whether process `pid` is there (perhaps another user's).
bool process_alive(const std::string& pid) {
    long long n = 0;
    auto [end, ec] = std::from_chars(pid.data(), pid.data() + pid.size(), n);
    if (ec != std::errc() || end != pid.data() + pid.size() || n <= 0 ||
        n > std::numeric_limits<pid_t>::max())
        return false;
    return ::kill(static_cast<pid_t>(n), 0) == 0 || errno == EPERM;
}
}  // namespace

void system_parts::remove_stale_temporaries(const fs::path& file) {
    const std::string prefix = temporary_prefix(file);
    fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string pid = name.substr(prefix.size());
        pid = pid.substr(0, pid.find('.'));
        std::error_code type_error;
        if (!std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            process_alive(pid) || !it->is_regular_file(type_error) || it->is_symlink(type_error))
            continue;
        std::error_code gone;
        fs::remove(it->path(), gone);
    }
}

Expected<std::optional<TuneState>> read_state_file(const fs::path& file) {
    std::error_code ec;
    auto status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found)
        return std::optional<TuneState>();
    auto refused = [&](const Failed& why) {
        return Failed(why.status, fmt::format("{}: {}", file.string(), why.message));
    };
    Expected<std::string> text = read_input_file(file.string());
    if (!text)
        return refused(text.failure());
    Expected<TuneState> read = parse_state(json::parse(*text, nullptr, false));
    if (!read)
        return refused(read.failure());
    return std::optional(std::move(*read));
}

std::optional<Failed> write_state_file(const fs::path& file, const TuneState& state) {
    json doc = json::object();
    doc["schema_version"] = state_schema_version;
    doc["tuned_at"] = state.tuned_at ? json(*state.tuned_at) : json(nullptr);
    json changes = json::array();
    for (const Change& c : state.changes)
        changes.push_back({{"path", c.path}, {"before", c.before}, {"after", c.after}});
    doc["changes"] = changes;

    std::error_code ec;
    fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    fs::create_directories(folder, ec);
    if (ec)
        return Failed(Exit::write_failed,
                      fmt::format("cannot create {}: {}", folder.string(), ec.message()));
    // Tagged with the writer's process id, so that one a killed writer left
    // is known for stale.
    if (int failure = replace_file(file, doc.dump(2) + "\n", std::to_string(::getpid()) + "."))
        return Failed(Exit::write_failed,
                      fmt::format("cannot write {}: {}", file.string(), std::strerror(failure)));
    return std::nullopt;
}

}  // namespace report
