// The machine's state now: processor times and busy shares, the load, each
// processor's clock; and a one-line setting of /proc or /sys.
#include "machine/machine.h"
#include "machine/readers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <sstream>
#include <thread>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

std::optional<std::string> read_setting(const fs::path& file, std::vector<std::string>* refused) {
    Files files(file.parent_path());
    auto line = files.line(file);
    if (refused)
        refused->insert(refused->end(), files.refused.begin(), files.refused.end());
    return line;
}

std::optional<int> count_cpu_list(const std::string& list) {
    auto cpus = cpu_list(list);
    if (!cpus)
        return std::nullopt;
    return static_cast<int>(cpus->size());
}

std::optional<CpuTimes> parse_cpu_times(const std::string& text) {
    CpuTimes times;
    bool found = false;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("cpu", 0) != 0)
            continue;
        auto w = words(line);
        if (w.size() < 5)
            continue;
        // user nice system idle iowait irq softirq steal (guest time is already in user).
        CpuTimes::Counter c;
        for (std::size_t i = 1; i < w.size() && i <= 8; ++i) {
            auto v = to_number<unsigned long long>(w[i]);
            if (!v)
                return std::nullopt;
            c.total += *v;
            if (i != 4 && i != 5)  // idle and iowait are not busy
                c.busy += *v;
        }
        if (w[0] == "cpu") {
            times.all = c;
            found = true;
        } else
            times.cpus.push_back(c);
    }
    if (!found)
        return std::nullopt;
    return times;
}

void busy_shares(const CpuTimes& before, const CpuTimes& after, MachineState& state) {
    auto share = [](const CpuTimes::Counter& a,
                    const CpuTimes::Counter& b) -> std::optional<double> {
        if (b.total <= a.total || b.busy < a.busy)
            return std::nullopt;
        return static_cast<double>(b.busy - a.busy) / static_cast<double>(b.total - a.total);
    };
    state.busy = share(before.all, after.all);
    state.cpu_busy.clear();
    if (before.cpus.size() == after.cpus.size())
        for (std::size_t i = 0; i < before.cpus.size(); ++i)
            state.cpu_busy.push_back(share(before.cpus[i], after.cpus[i]).value_or(0.0));
}

namespace {

void read_load(Files& files, MachineState& s) {
    const fs::path& root = files.root();
    auto load = files.line(root / "proc/loadavg");
    if (!load)
        return;
    auto w = words(*load);
    if (w.size() >= 3) {
        s.load1 = to_number<double>(w[0]);
        s.load5 = to_number<double>(w[1]);
        s.load15 = to_number<double>(w[2]);
    }
}

// Each processor's clock now: cpufreq's figure where it exists, else
// /proc/cpuinfo's.
std::vector<std::optional<double>> current_mhz(Files& files) {
    const fs::path& root = files.root();
    std::vector<std::optional<double>> from_cpuinfo;
    if (auto text = files.text(root / "proc/cpuinfo"))
        for (const auto& b : cpuinfo_blocks(*text))
            if (field(b, "processor")) {
                auto mhz = field(b, "cpu MHz");
                from_cpuinfo.push_back(mhz ? to_number<double>(*mhz) : std::nullopt);
            }
    auto cpus = numbered(root / "sys/devices/system/cpu", "cpu");
    std::vector<std::optional<double>> out;
    std::size_t count = std::max(from_cpuinfo.size(), cpus.size());
    for (std::size_t i = 0; i < count; ++i) {
        std::optional<double> mhz;
        if (i < cpus.size())
            mhz = files.khz(cpus[i].second / "cpufreq/scaling_cur_freq");
        if (!mhz && i < from_cpuinfo.size())
            mhz = from_cpuinfo[i];
        out.push_back(mhz);
    }
    return out;
}

std::optional<CpuTimes> read_cpu_times(Files& files) {
    const fs::path& root = files.root();
    auto stat = files.text(root / "proc/stat");
    return stat ? parse_cpu_times(*stat) : std::nullopt;
}

}  // namespace

MachineState read_state(Files& files, std::chrono::milliseconds window) {
    MachineState s;
    std::optional<CpuTimes> before;
    auto start = std::chrono::steady_clock::now();
    if (window.count() > 0)
        before = read_cpu_times(files);
    read_load(files, s);
    auto mem = meminfo(files);
    if (mem.count("MemAvailable"))
        s.memory_available_kib = mem["MemAvailable"];
    if (mem.count("SwapTotal") && mem.count("SwapFree"))
        s.swap_used_kib = mem["SwapTotal"] - mem["SwapFree"];
    s.current_mhz = current_mhz(files);
    if (before) {
        std::this_thread::sleep_until(start + window);
        if (auto after = read_cpu_times(files)) {
            busy_shares(*before, *after, s);
            s.window_seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    return s;
}

MachineState read_state(const fs::path& root, std::chrono::milliseconds window) {
    Files files(root);
    return read_state(files, window);
}

}  // namespace report
