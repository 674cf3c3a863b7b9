// What the readers of the machine (machine/machine.h) share: the small text
// files of /proc and /sys under a root, parsing their text, and the readers
// that read_machine puts together from files of their own.
#pragma once

#include <cctype>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "machine/context.h"
#include "machine/input_file.h"

namespace report {

// `s` without the white space at its ends.
std::string trim(std::string_view s);

template <typename Number>
std::optional<Number> to_number(std::string_view s, int base = 10) {
    std::string t = trim(s);
    Number value{};
    const char* end = t.data() + t.size();
    std::from_chars_result r;
    if constexpr (std::is_floating_point_v<Number>)
        r = std::from_chars(t.data(), end, value);
    else
        r = std::from_chars(t.data(), end, value, base);
    if (t.empty() || r.ec != std::errc() || r.ptr != end)
        return std::nullopt;
    return value;
}

// The small text files of /proc and /sys under a root. A file that is there
// but is no regular file (a FIFO, a device, a folder where the kernel keeps a
// value) is never opened: reading one could wait forever, or act on a
// device. It is left unread, and named in `refused`.
class Files {
public:
    explicit Files(std::filesystem::path root) : root_(std::move(root)) {}
    const std::filesystem::path& root() const { return root_; }

    std::optional<std::string> text(const std::filesystem::path& path) {
        if (auto what = not_a_regular_file(path.string())) {
            refused.push_back(fmt::format("{}: {}, not a regular file", path.string(), *what));
            return std::nullopt;
        }
        Expected<std::string> text = read_input_file(path.string());
        if (!text)
            return std::nullopt;
        return std::move(*text);
    }

    // A one-line file, trimmed; absent when missing or empty.
    std::optional<std::string> line(const std::filesystem::path& path) {
        auto t = text(path);
        if (!t)
            return std::nullopt;
        std::string trimmed = trim(*t);
        if (trimmed.empty())
            return std::nullopt;
        return trimmed;
    }

    template <typename Number>
    std::optional<Number> number(const std::filesystem::path& path) {
        auto l = line(path);
        return l ? to_number<Number>(*l) : std::nullopt;
    }

    // kHz in a cpufreq file, as MHz.
    std::optional<double> khz(const std::filesystem::path& path) {
        auto khz = number<long long>(path);
        if (!khz)
            return std::nullopt;
        return static_cast<double>(*khz) / 1000.0;
    }

    // The value in brackets of a sysfs choice such as "always [madvise] never".
    std::optional<std::string> choice(const std::filesystem::path& path) {
        auto l = line(path);
        if (!l)
            return std::nullopt;
        auto open = l->find('['), close = l->find(']');
        if (open == std::string::npos || close == std::string::npos || close < open)
            return l;
        return l->substr(open + 1, close - open - 1);
    }

    std::vector<std::string> refused;

private:
    std::filesystem::path root_;
};

std::vector<std::string> split(std::string_view s, char sep);

std::vector<std::string> words(std::string_view s);

// The processors of a list, in order.
std::optional<std::vector<int>> cpu_list(const std::string& list);

// Entries of `dir` named PREFIX followed by digits, by number.
std::vector<std::pair<int, std::filesystem::path>> numbered(const std::filesystem::path& dir,
                                                            std::string_view prefix);

// "key : value" lines, one map per block of /proc/cpuinfo.
std::vector<std::map<std::string, std::string>> cpuinfo_blocks(const std::string& text);

std::optional<std::string> field(const std::map<std::string, std::string>& block,
                                 const std::string& key);

// KEY: N kB lines of /proc/meminfo.
std::map<std::string, long long> meminfo(Files& files);

// Processors, cores, sockets, SMT, NUMA, core types and caches from /sys.
void read_topology(Files& files, Machine& m);

// Which online CPUs share a core, a socket, a last-level cache and a NUMA
// node, and the class of each core.
void read_cpu_topology(Files& files, Machine& m);

// The cgroup limits of this process. cgroup v2 keeps them in cpu.max and
// memory.max, cgroup v1 in the cpu and memory hierarchies; the tightest one
// on the way up counts.
void read_cgroup(Files& files, Machine& m);

// The state now; with a window, the busy shares of the window.
MachineState read_state(Files& files, std::chrono::milliseconds window);

}  // namespace report
