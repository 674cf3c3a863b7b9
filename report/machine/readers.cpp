// Parsing the text of /proc and /sys, for every reader of the machine.
#include "machine/readers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <sstream>
#include <system_error>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

std::string trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
}

std::vector<std::string> split(std::string_view s, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= s.size()) {
        std::size_t end = s.find(sep, start);
        if (end == std::string_view::npos)
            end = s.size();
        parts.emplace_back(s.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::vector<std::string> words(std::string_view s) {
    std::vector<std::string> out;
    std::istringstream in{std::string(s)};
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// The processors of a list, in order.
std::optional<std::vector<int>> cpu_list(const std::string& list) {
    return parse_cpu_list(list);
}

// Entries of `dir` named PREFIX followed by digits, by number.
std::vector<std::pair<int, fs::path>> numbered(const fs::path& dir, std::string_view prefix) {
    std::vector<std::pair<int, fs::path>> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0)
            continue;
        if (auto n = to_number<int>(std::string_view(name).substr(prefix.size())))
            found.emplace_back(*n, it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// "key : value" lines, one map per block of /proc/cpuinfo.
std::vector<std::map<std::string, std::string>> cpuinfo_blocks(const std::string& text) {
    std::vector<std::map<std::string, std::string>> blocks(1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        auto colon = line.find(':');
        if (trim(line).empty() || colon == std::string::npos) {
            if (!blocks.back().empty())
                blocks.emplace_back();
            continue;
        }
        blocks.back()[trim(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
    if (blocks.back().empty())
        blocks.pop_back();
    return blocks;
}

std::optional<std::string> field(const std::map<std::string, std::string>& block,
                                 const std::string& key) {
    auto it = block.find(key);
    if (it == block.end() || it->second.empty())
        return std::nullopt;
    return it->second;
}

// KEY: N kB lines of /proc/meminfo.
std::map<std::string, long long> meminfo(Files& files) {
    const fs::path& root = files.root();
    std::map<std::string, long long> values;
    auto text = files.text(root / "proc/meminfo");
    if (!text)
        return values;
    std::istringstream in(*text);
    for (std::string line; std::getline(in, line);) {
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        auto w = words(line.substr(colon + 1));
        if (!w.empty())
            if (auto v = to_number<long long>(w[0]))
                values[line.substr(0, colon)] = *v;
    }
    return values;
}

}  // namespace report
