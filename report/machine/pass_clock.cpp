#include "machine/pass_clock.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

namespace {

std::optional<long long> whole_number(const std::string& text) {
    long long n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return n;
}

fs::path clock_cpu_dir(const fs::path& root, int cpu) {
    return root / "sys/devices/system/cpu" / ("cpu" + std::to_string(cpu));
}

// cpufreq's current frequency of each CPU, kHz in the file, MHz read.
class CurFreqSource : public ClockSource {
public:
    explicit CurFreqSource(fs::path root) : root_(std::move(root)) {}
    const char* name() const override { return "scaling_cur_freq"; }
    bool over_interval() const override { return false; }
    std::optional<double> read(const CpuSet& focus) override {
        double sum = 0;
        int read = 0;
        for (int cpu : focus)
            if (std::optional<double> mhz = mhz_of(root_, cpu)) {
                sum += *mhz;
                ++read;
            }
        return read > 0 ? std::optional<double>(sum / read) : std::nullopt;
    }
    static std::optional<double> mhz_of(const fs::path& root, int cpu) {
        std::optional<std::string> text =
            read_setting(clock_cpu_dir(root, cpu) / "cpufreq/scaling_cur_freq");
        std::optional<long long> khz = text ? whole_number(*text) : std::nullopt;
        if (!khz || *khz <= 0)
            return std::nullopt;
        return static_cast<double>(*khz) / 1000.0;
    }

private:
    fs::path root_;
};

// APERF/MPERF of each CPU, counted since the previous reading.
class AperfMperfSource : public ClockSource {
public:
    AperfMperfSource(std::unique_ptr<CounterAccess> counters, CpuSet cpus)
        : counters_(std::move(counters)), cpus_(std::move(cpus)) {}
    const char* name() const override { return "aperf_mperf"; }
    bool over_interval() const override { return true; }
    std::optional<double> read(const CpuSet& focus) override {
        std::map<int, std::pair<std::uint64_t, std::uint64_t>> now;
        for (int cpu : cpus_)
            if (auto counts = counters_->read(cpu))
                now[cpu] = *counts;
        double aperf = 0, mperf = 0;
        for (int cpu : focus) {
            auto was = last_.find(cpu);
            auto is = now.find(cpu);
            // A counter that went backwards (reset, wrapped) adds nothing.
            if (was == last_.end() || is == now.end() || is->second.first < was->second.first ||
                is->second.second < was->second.second)
                continue;
            aperf += static_cast<double>(is->second.first - was->second.first);
            mperf += static_cast<double>(is->second.second - was->second.second);
        }
        last_ = std::move(now);
        return mperf > 0 ? std::optional<double>(aperf / mperf) : std::nullopt;
    }

private:
    std::unique_ptr<CounterAccess> counters_;
    CpuSet cpus_;
    std::map<int, std::pair<std::uint64_t, std::uint64_t>> last_;
};

class PerfCounters : public CounterAccess {
public:
    PerfCounters() = default;
    PerfCounters(const PerfCounters&) = delete;
    PerfCounters& operator=(const PerfCounters&) = delete;
    ~PerfCounters() override {
        for (auto& [cpu, fds] : fds_) {
            ::close(fds.first);
            ::close(fds.second);
        }
    }
    int open(int cpu, std::uint32_t type, std::uint64_t aperf, std::uint64_t mperf) override {
        int a = open_one(cpu, type, aperf);
        if (a < 0)
            return -a;
        int m = open_one(cpu, type, mperf);
        if (m < 0) {
            ::close(a);
            return -m;
        }
        fds_[cpu] = {a, m};
        return 0;
    }
    std::optional<std::pair<std::uint64_t, std::uint64_t>> read(int cpu) override {
        auto it = fds_.find(cpu);
        std::uint64_t a = 0, m = 0;
        if (it == fds_.end() || ::read(it->second.first, &a, sizeof a) != sizeof a ||
            ::read(it->second.second, &m, sizeof m) != sizeof m)
            return std::nullopt;
        return std::pair{a, m};
    }

private:
    // A counting event of the whole CPU: -errno when refused.
    static int open_one(int cpu, std::uint32_t type, std::uint64_t config) {
        perf_event_attr attr{};
        attr.size = sizeof attr;
        attr.type = type;
        attr.config = config;
        long fd = ::syscall(SYS_perf_event_open, &attr, -1, cpu, -1, PERF_FLAG_FD_CLOEXEC);
        return fd < 0 ? -errno : static_cast<int>(fd);
    }
    std::map<int, std::pair<int, int>> fds_;
};

// An event's config from its file in the PMU's events folder, "event=0x02".
std::optional<std::uint64_t> event_config(const fs::path& file) {
    std::optional<std::string> text = read_setting(file);
    if (!text || text->rfind("event=", 0) != 0)
        return std::nullopt;
    std::string value = text->substr(6);
    int base = 10;
    if (value.rfind("0x", 0) == 0) {
        value = value.substr(2);
        base = 16;
    }
    std::uint64_t n = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n, base);
    if (ec != std::errc() || end != value.data() + value.size() || value.empty())
        return std::nullopt;
    return n;
}

// APERF/MPERF on every CPU of `cpus`: the source, or what was missing or refused.
std::unique_ptr<ClockSource> counter_source(const MachineSource& source, const CpuSet& cpus,
                                            std::unique_ptr<CounterAccess>& counters,
                                            bool root_user, std::string& why) {
    fs::path msr = source.root / "sys/bus/event_source/devices/msr";
    std::error_code ec;
    if (!fs::is_directory(msr, ec)) {
        why = "the kernel has no msr PMU";
        return nullptr;
    }
    std::optional<std::uint64_t> aperf = event_config(msr / "events/aperf");
    std::optional<std::uint64_t> mperf = event_config(msr / "events/mperf");
    std::optional<std::string> type_text = read_setting(msr / "type");
    std::uint32_t type = 0;
    bool typed = false;
    if (type_text) {
        auto [end, ec] = std::from_chars(type_text->data(), type_text->data() + type_text->size(), type);
        typed = ec == std::errc() && end == type_text->data() + type_text->size();
    }
    if (!aperf || !mperf || !typed) {
        why = "the msr PMU offers no APERF/MPERF";
        return nullptr;
    }
    if (!counters) {
        why = "the msr PMU's APERF/MPERF are not read from a captured tree";
        return nullptr;
    }
    for (int cpu : cpus)
        if (int error = counters->open(cpu, type, *aperf, *mperf)) {
            std::optional<std::string> paranoid =
                read_setting(source.root / "proc/sys/kernel/perf_event_paranoid");
            if (error == EACCES || error == EPERM)
                why = fmt::format("APERF/MPERF not permitted (perf_event_paranoid {}{})",
                                  paranoid.value_or("not known"), root_user ? "" : ", not root");
            else
                why = fmt::format("APERF/MPERF cannot be counted on CPU {}: {}", cpu,
                                  std::strerror(error));
            return nullptr;
        }
    return std::make_unique<AperfMperfSource>(std::move(counters), cpus);
}

// Why cpufreq gives no clock for `cpus`, empty when it gives one for each.
std::string curfreq_missing(const fs::path& root, const CpuSet& cpus) {
    std::error_code ec;
    for (int cpu : cpus)
        if (!CurFreqSource::mhz_of(root, cpu))
            return fs::exists(clock_cpu_dir(root, cpu) / "cpufreq", ec)
                       ? fmt::format("cpufreq gives no scaling_cur_freq for CPU {}", cpu)
                       : "no cpufreq in sysfs";
    return cpus.empty() ? "no CPU to sample" : "";
}

}  // namespace

std::unique_ptr<CounterAccess> perf_counters() {
    return std::make_unique<PerfCounters>();
}

ClockProbe probe_clock(const MachineSource& source, const CpuSet& cpus, bool hypervisor,
                       std::unique_ptr<CounterAccess> counters, bool root_user) {
    ClockProbe probe;
    probe.cpus = cpus;
    probe.root = source.root;
    std::string counters_missing;
    if (!cpus.empty())
        probe.source = counter_source(source, cpus, counters, root_user, counters_missing);
    if (probe.source)
        return probe;
    std::string curfreq = curfreq_missing(source.root, cpus);
    if (curfreq.empty()) {
        probe.source = std::make_unique<CurFreqSource>(source.root);
        return probe;
    }
    probe.reason = counters_missing.empty() ? curfreq : curfreq + " and " + counters_missing;
    if (hypervisor)
        probe.reason += " (virtual machine)";
    return probe;
}

std::optional<int> last_cpu_of(const fs::path& root, long pid) {
    fs::path stat = root / "proc" / std::to_string(pid) / "task" / std::to_string(pid) / "stat";
    std::optional<std::string> text = read_setting(stat);
    if (!text)
        return std::nullopt;
    // The name, in parentheses, may hold spaces and parentheses: the fields
    // are counted after the last ')', which ends field 2; the CPU is field 39.
    std::size_t close = text->rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text->substr(close + 1));
    std::string field;
    for (int n = 3; n <= 39; ++n)
        if (!(fields >> field))
            return std::nullopt;
    std::optional<long long> cpu = whole_number(field);
    if (!cpu || *cpu < 0 || *cpu > 1 << 20)
        return std::nullopt;
    return static_cast<int>(*cpu);
}

}  // namespace report
