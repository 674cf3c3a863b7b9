#include "load.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

#include <fmt/format.h>

#include "checks.h"
#include "parse.h"

namespace report {

namespace fs = std::filesystem;

namespace {

// Results files are a few kilobytes; anything this big is not one, and the
// limit keeps a device such as /dev/zero from being read forever.
constexpr std::size_t max_file_size = 16 << 20;

constexpr std::string_view name_prefixes[] = {"results_processors_Linux_x86 @ ",
                                              "results_memory_Linux_x86 @ "};

bool results_name(const std::string& name) {
    bool prefix = std::any_of(std::begin(name_prefixes), std::end(name_prefixes),
                              [&](std::string_view p) { return name.rfind(p, 0) == 0; });
    return prefix && name.size() >= 4 && name.compare(name.size() - 4, 4, ".txt") == 0;
}


// Every results file under `dir`, sorted by path. Symbolic links to
// directories are not followed, so a link loop cannot trap the walk.
void scan(const fs::path& dir, std::vector<std::string>& found, std::ostream& diagnostics,
          bool& failed) {
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec), end;
    std::vector<std::string> files;
    if (ec) {
        diagnostics << fmt::format("bench_report: {}: cannot read the directory: {}\n",
                                   escape_path(dir.string()), ec.message());
        failed = true;
        return;
    }
    while (it != end) {
        const fs::directory_entry& entry = *it;
        std::error_code type_ec;
        if (results_name(entry.path().filename().string()) && entry.is_regular_file(type_ec)) {
            std::string path = entry.path().string();
            // Scanning "." lists "name", not "./name".
            if ((dir == "." || dir == "./") && path.rfind("./", 0) == 0)
                path.erase(0, 2);
            files.push_back(std::move(path));
        }
        it.increment(ec);
        if (ec) {
            // The entry the iterator could not enter or read; carry on with the rest.
            diagnostics << fmt::format("bench_report: {}: cannot read: {}\n",
                                       escape_path(entry.path().string()), ec.message());
            failed = true;
            ec.clear();
            if (it == end)
                break;
            it.pop(ec);
            if (ec)
                break;
        }
    }
    std::sort(files.begin(), files.end());
    found.insert(found.end(), files.begin(), files.end());
}

bool read_file(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::error_code ec(errno, std::generic_category());
        error = ec.message();
        return false;
    }
    text.clear();
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > max_file_size) {
            error = "larger than 16 MiB, not a results file";
            return false;
        }
    }
    if (in.bad()) {
        error = "read error";
        return false;
    }
    return true;
}

// Label of a run without --label: its directory's name when the runs come
// from several directories, else its local time, else its file name.
void default_labels(std::vector<Run>& runs, std::size_t first) {
    std::set<std::string> dirs;
    for (const Run& r : runs) {
        std::error_code ec;
        fs::path p = fs::absolute(fs::path(r.path), ec).lexically_normal();
        dirs.insert(p.parent_path().string());
    }
    for (std::size_t i = first; i < runs.size(); ++i) {
        Run& r = runs[i];
        std::error_code ec;
        fs::path p = fs::absolute(fs::path(r.path), ec).lexically_normal();
        if (dirs.size() > 1)
            r.label = p.parent_path().filename().string();
        if (r.label.empty())
            r.label = r.local_time;
        if (r.label.empty())
            r.label = p.filename().string();
    }
}

}  // namespace

std::string escape_path(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (unsigned char c : path) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c == 0x7f)
            out += fmt::format("\\x{:02x}", c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

Loaded load_runs(const std::vector<std::string>& paths, const std::vector<std::string>& labels,
                 std::ostream& diagnostics) {
    Loaded loaded;
    std::vector<std::string> files;
    for (const std::string& p : paths) {
        std::error_code ec;
        if (fs::is_directory(p, ec))
            scan(p, files, diagnostics, loaded.failed);
        else
            files.push_back(p);
    }
    std::string text;
    for (const std::string& path : files) {
        std::string error;
        if (!read_file(path, text, error)) {
            diagnostics << fmt::format("bench_report: {}: cannot read: {}\n", escape_path(path),
                                       error);
            loaded.failed = true;
            continue;
        }
        auto parsed = parse_run(text, path);
        if (auto* e = std::get_if<ParseError>(&parsed)) {
            std::string found = e->found.empty() && e->line > 0
                                    ? "end of file"
                                    : "\"" + escape_path(e->found) + "\"";
            diagnostics << fmt::format("bench_report: {}:{}: expected {}, found {}\n",
                                       escape_path(path), e->line, e->expected, found);
            loaded.failed = true;
            continue;
        }
        Run run = std::move(std::get<Run>(parsed));
        check_run(run);
        loaded.runs.push_back(std::move(run));
    }
    // --label in file order, then the defaults; never two runs of one program
    // with one label (a host's processors and memory files share its name).
    for (std::size_t i = 0; i < loaded.runs.size() && i < labels.size(); ++i)
        loaded.runs[i].label = labels[i];
    default_labels(loaded.runs, std::min(labels.size(), loaded.runs.size()));
    std::map<std::pair<Program, std::string>, int> seen;
    for (Run& r : loaded.runs) {
        int n = ++seen[{r.program, r.label}];
        if (n > 1) {
            std::string label;
            do
                label = fmt::format("{} #{}", r.label, n++);
            while (seen.count({r.program, label}));
            seen[{r.program, r.label}] = n - 1;
            seen[{r.program, label}] = 1;
            r.label = label;
        }
    }
    return loaded;
}

}  // namespace report
