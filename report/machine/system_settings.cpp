// The settings `bench_report system` knows, one class each: what each reads,
// shows and writes, the list of them, and the files tune may write.
#include "machine/system.h"
#include "machine/system_parts.h"
#include "machine/system_settings.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

namespace system_parts {

fs::path under(const fs::path& root, const std::string& path) {
    return root / path.substr(1);
}

bool setting_value(const std::string& v) {
    return !v.empty() && v.size() <= 64 && std::all_of(v.begin(), v.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

std::optional<std::string> setting_value_at(const fs::path& root, const std::string& path,
                                            std::vector<std::string>* refused) {
    auto v = read_setting(under(root, path), refused);
    if (!v || !setting_value(*v))
        return std::nullopt;
    return v;
}

}  // namespace system_parts

using namespace system_parts;

namespace {

using Level = SystemFinding::Level;

const std::string cpu_dir = "/sys/devices/system/cpu";
const std::string cpufreq_dir = cpu_dir + "/cpufreq";
const std::string global_boost = cpufreq_dir + "/boost";
const std::string no_turbo = cpu_dir + "/intel_pstate/no_turbo";

std::string policy_file(const std::string& policy, const char* name) {
    return cpufreq_dir + "/" + policy + "/" + name;
}


bool is_number(const std::string& v) {
    return !v.empty() && std::all_of(v.begin(), v.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

std::string mhz(const std::string& khz) {
    if (!is_number(khz) || khz.size() > 15)
        return khz + " kHz";
    return fmt::format("{:g} MHz", static_cast<double>(std::stoll(khz)) / 1000.0);
}

std::vector<std::string> split_words(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

const Disturbance* warning(const SettingContext& c, const char* check) {
    for (const Disturbance& d : c.warnings)
        if (d.check == check)
            return &d;
    return nullptr;
}

// A line about something the machine does not expose.
SystemFinding missing(std::string subject, std::string what) {
    SystemFinding f;
    f.level = Level::not_exposed;
    f.subject = std::move(subject);
    f.now = std::move(what);
    return f;
}

// A line about something tune leaves alone: why it disturbs and what to do
// by hand, when it does.
SystemFinding left_alone(bool disturbs, std::string subject, std::string now, std::string why,
                         std::string by_hand) {
    SystemFinding f;
    f.level = disturbs ? Level::disturbs : Level::fine;
    f.subject = std::move(subject);
    f.now = std::move(now);
    if (disturbs) {
        f.why = std::move(why);
        f.tune = "leaves it";
        f.by_hand = std::move(by_hand);
    }
    return f;
}

}  // namespace

namespace settings {

std::optional<Setting> Boost::read(const SettingContext& c) const {
    auto value = setting_value_at(c.root, path_, &c.refused);
    if (!value)
        return std::nullopt;
    return Setting{Setting::Kind::boost, policy_, path_, *value, off_};
}

SystemFinding Boost::show(const SettingContext& c) const {
    std::string subject = policy_.empty()
                              ? fmt::format("{} ({})", path_ == no_turbo ? "turbo" : "boost",
                                            path_.substr(cpu_dir.size() + 1))
                              : policy_ + " boost";
    auto s = read(c);
    if (!s)
        return missing(subject, "unreadable");
    SystemFinding f;
    f.subject = subject;
    bool on = path_ == no_turbo ? s->value == "0" : s->value != "0";
    f.now = on ? "on" : "off";
    f.tune_changes = s->value != s->tuned;
    f.level = f.tune_changes ? Level::disturbs : Level::fine;
    if (f.tune_changes)
        f.why =
            "the clock rises above its base while few processors are busy and the chip is "
            "cool, so a figure depends on temperature and on what else runs";
    f.tune = f.tune_changes ? "turns it off" : "nothing to change";
    return f;
}

bool Boost::names(const std::string& path) {
    return path == global_boost || path == no_turbo;
}

bool Boost::names_in_policy(const std::string& file) {
    return file == "boost";
}

SystemFinding NoBoost::show(const SettingContext&) const {
    return missing("boost", "no cpufreq/boost, intel_pstate/no_turbo or policy boost switch");
}

bool Governor::names_in_policy(const std::string& file) {
    return file == "scaling_governor";
}

std::optional<std::string> Governor::available(const SettingContext& c) const {
    return read_setting(under(c.root, policy_file(policy_.name, "scaling_available_governors")),
                        &c.refused);
}

std::optional<Setting> Governor::read(const SettingContext& c) const {
    if (auto offered = available(c)) {
        auto w = split_words(*offered);
        if (std::find(w.begin(), w.end(), steady_governor) == w.end())
            return std::nullopt;
    }
    std::string path = policy_file(policy_.name, "scaling_governor");
    auto value = setting_value_at(c.root, path, &c.refused);
    if (!value)
        return std::nullopt;
    return Setting{Setting::Kind::governor, policy_.name, path, *value, steady_governor};
}

SystemFinding Governor::show(const SettingContext& c) const {
    SystemFinding f;
    f.subject = fmt::format("{} governor (processors {}{})", policy_.name,
                            policy_.cpus.empty() ? "?" : policy_.cpus,
                            policy_.driver ? ", " + *policy_.driver : "");
    if (auto s = read(c)) {
        f.now = s->value;
        f.tune_changes = s->value != s->tuned;
        f.tune = f.tune_changes ? fmt::format("sets \"{}\"", s->tuned) : "nothing to change";
    } else if (policy_.governor) {
        f.now = *policy_.governor;
        f.tune = fmt::format("cannot set \"{}\": the driver offers {}", steady_governor,
                             available(c).value_or("no other"));
    } else {
        return missing(f.subject, "no scaling_governor");
    }
    if (f.now != steady_governor) {
        f.level = Level::disturbs;
        f.why = "the clock follows the load, so a test's first seconds run slower";
    }
    return f;
}

bool MinimumFrequency::names_in_policy(const std::string& file) {
    return file == "scaling_min_freq";
}

std::optional<std::string> MinimumFrequency::maximum(const fs::path& root,
                                                     std::vector<std::string>* refused) const {
    auto top = setting_value_at(root, policy_file(policy_, "scaling_max_freq"), refused);
    if (!top || !is_number(*top))
        return std::nullopt;
    return top;
}

std::optional<Setting> MinimumFrequency::read(const SettingContext& c) const {
    auto top = maximum(c.root, &c.refused);
    if (!top)
        return std::nullopt;
    std::string path = policy_file(policy_, "scaling_min_freq");
    auto value = setting_value_at(c.root, path, &c.refused);
    if (!value)
        return std::nullopt;
    return Setting{Setting::Kind::minimum_frequency, policy_, path, *value, *top};
}

SystemFinding MinimumFrequency::show(const SettingContext& c) const {
    std::string subject = fmt::format("{} minimum frequency", policy_);
    auto s = read(c);
    if (!s)
        return missing(subject, "no scaling_min_freq and scaling_max_freq");
    SystemFinding f;
    f.subject = subject;
    f.now = fmt::format("{} (maximum {})", mhz(s->value), mhz(s->tuned));
    f.tune_changes = s->value != s->tuned;
    f.level = f.tune_changes ? Level::disturbs : Level::fine;
    if (f.tune_changes)
        f.why = fmt::format("the processor may drop to {} between tests", mhz(s->value));
    f.tune = f.tune_changes ? fmt::format("sets {}", mhz(s->tuned)) : "nothing to change";
    return f;
}

std::string MinimumFrequency::target(const fs::path& root, const Setting& now) const {
    return maximum(root, nullptr).value_or(now.tuned);
}

SystemFinding NoCpufreq::show(const SettingContext&) const {
    return missing("frequency governor and minimum frequency",
                   "no cpufreq policy: the firmware or the hypervisor sets the clock");
}

// --- What tune leaves alone, with what to do by hand ---

SystemFinding Smt::show(const SettingContext& c) const {
    const Machine& m = c.machine;
    if (!m.smt_active)
        return missing("SMT (hyper-threading)", "no /sys/devices/system/cpu/smt");
    bool on = *m.smt_active;
    return left_alone(
        on, "SMT (hyper-threading)",
        on ? "active" : (m.smt_control == "notsupported" ? "not supported" : "inactive"),
        "two hardware threads share each core, so what runs on a sibling slows a "
        "single-thread pass",
        "echo off > /sys/devices/system/cpu/smt/control turns it off until the next boot, "
        "and halves the processors of the all-processor passes");
}

SystemFinding TransparentHugePages::show(const SettingContext& c) const {
    const Machine& m = c.machine;
    if (!m.thp_enabled)
        return missing("transparent huge pages", "no /sys/kernel/mm/transparent_hugepage");
    return left_alone(
        *m.thp_enabled == "always", "transparent huge pages",
        fmt::format("{}{}", *m.thp_enabled, m.thp_defrag ? ", defrag " + *m.thp_defrag : ""),
        "whether memory comes in huge pages changes from run to run with fragmentation, "
        "and khugepaged works in the background",
        "echo madvise > /sys/kernel/mm/transparent_hugepage/enabled");
}

SystemFinding Aslr::show(const SettingContext& c) const {
    const char* subject = "address space randomisation (ASLR)";
    auto aslr = read_setting(c.root / "proc/sys/kernel/randomize_va_space", &c.refused);
    if (!aslr)
        return missing(subject, "no /proc/sys/kernel/randomize_va_space");
    bool on = *aslr != "0";
    return left_alone(
        on, subject, fmt::format("{} (randomize_va_space {})", on ? "on" : "off", *aslr),
        "stack, heap and library addresses, and so alignments, change from run to run",
        "it protects the machine; sysctl -w kernel.randomize_va_space=0 turns it off for "
        "everything, setarch -R for one program");
}

SystemFinding IsolatedProcessors::show(const SettingContext& c) const {
    const Machine& m = c.machine;
    if (!m.kernel_command_line)
        return missing("isolated processors", "no /proc/cmdline");
    std::vector<std::string> isolated, quiet;
    for (const std::string& w : split_words(*m.kernel_command_line)) {
        if (w.rfind("isolcpus=", 0) == 0)
            isolated.push_back(w);
        else if (w.rfind("nohz_full=", 0) == 0)
            quiet.push_back(w);
    }
    std::string now = fmt::format("{}", fmt::join(isolated, " "));
    if (!quiet.empty())
        now += (now.empty() ? "" : " ") + fmt::format("{}", fmt::join(quiet, " "));
    return left_alone(!isolated.empty(), "isolated processors",
                      now.empty() ? "none (no isolcpus= or nohz_full=)" : now,
                      "the scheduler puts no thread on isolated processors unless it is "
                      "pinned there, so the all-processor passes may run on fewer "
                      "processors than the machine has",
                      "take isolcpus= off the kernel command line and reboot");
}

SystemFinding LoadAverage::show(const SettingContext& c) const {
    const Machine& m = c.machine;
    const MachineState& s = m.state;
    if (!s.load1)
        return missing("load average", "no /proc/loadavg");
    const Disturbance* d = warning(c, "load");
    return left_alone(
        d != nullptr, "load average",
        fmt::format("{:.2f} {:.2f} {:.2f}{}", *s.load1, s.load5.value_or(0), s.load15.value_or(0),
                    m.logical_cpus ? fmt::format(" ({} processors)", *m.logical_cpus) : ""),
        d ? d->message : "", "wait for it to fall, or stop what runs");
}

SystemFinding CpuQuota::show(const SettingContext& c) const {
    const Machine& m = c.machine;
    if (!m.cgroup_version)
        return missing("cgroup CPU quota", "no cgroup in /proc/self/cgroup");
    const Disturbance* d = warning(c, "cpu_quota");
    std::string now =
        m.cpu_quota ? fmt::format("{:g} processors' worth", *m.cpu_quota) : std::string("none");
    now += fmt::format(" (cgroup v{}{})", *m.cgroup_version,
                       m.cgroup_path ? " " + *m.cgroup_path : "");
    return left_alone(d != nullptr, "cgroup CPU quota", now, d ? d->message : "",
                      "run outside the quota, or compare only with runs under it");
}

SystemFinding Hypervisor::show(const SettingContext& c) const {
    const Machine& m = c.machine;
    if (!m.hypervisor)
        return missing("hypervisor", "no flags in /proc/cpuinfo");
    std::string what;
    for (const auto& part : {m.dmi_vendor, m.dmi_product})
        if (part)
            what += (what.empty() ? "" : " ") + *part;
    return left_alone(warning(c, "hypervisor") != nullptr, "hypervisor",
                      *m.hypervisor ? (what.empty() ? "yes" : "yes: " + what) : "none",
                      "other guests share the host, and the host, not this machine, sets "
                      "the clock",
                      "compare only with runs on the same kind of instance");
}

}  // namespace settings

namespace {

using namespace settings;

// The machine's boost switch where it has one, else each policy's.
void add_boost(const SettingContext& c, std::vector<std::unique_ptr<SystemSetting>>& out) {
    for (auto [path, off] : {std::pair{global_boost, "0"}, std::pair{no_turbo, "1"}}) {
        auto machine_wide = std::make_unique<Boost>(path, "", off);
        if (machine_wide->read(c)) {
            out.push_back(std::move(machine_wide));
            return;
        }
    }
    std::size_t before = out.size();
    for (const FrequencyPolicy& p : c.machine.policies) {
        auto own = std::make_unique<Boost>(policy_file(p.name, "boost"), p.name, "0");
        if (own->read(c))
            out.push_back(std::move(own));
    }
    if (out.size() == before)
        out.push_back(std::make_unique<NoBoost>());
}

}  // namespace

std::vector<std::unique_ptr<SystemSetting>> system_settings(const SettingContext& c) {
    std::vector<std::unique_ptr<SystemSetting>> out;
    add_boost(c, out);
    if (c.machine.policies.empty())
        out.push_back(std::make_unique<NoCpufreq>());
    for (const FrequencyPolicy& p : c.machine.policies) {
        out.push_back(std::make_unique<Governor>(p));
        out.push_back(std::make_unique<MinimumFrequency>(p.name));
    }
    out.push_back(std::make_unique<Smt>());
    out.push_back(std::make_unique<TransparentHugePages>());
    out.push_back(std::make_unique<Aslr>());
    out.push_back(std::make_unique<IsolatedProcessors>());
    out.push_back(std::make_unique<LoadAverage>());
    out.push_back(std::make_unique<CpuQuota>());
    out.push_back(std::make_unique<Hypervisor>());
    return out;
}

bool tuned_file(const std::string& p) {
    const std::string prefix = cpufreq_dir + "/policy";
    if (Boost::names(p))
        return true;
    if (p.compare(0, prefix.size(), prefix) != 0)
        return false;
    // "/sys/devices/system/cpu/cpufreq/policyN/FILE", N of at most 6 digits.
    std::size_t digits = prefix.size();
    while (digits < p.size() && std::isdigit(static_cast<unsigned char>(p[digits])))
        ++digits;
    if (digits == prefix.size() || digits - prefix.size() > 6 || digits == p.size() ||
        p[digits] != '/')
        return false;
    const std::string file = p.substr(digits + 1);
    return Boost::names_in_policy(file) || Governor::names_in_policy(file) ||
           MinimumFrequency::names_in_policy(file);
}

}  // namespace report
