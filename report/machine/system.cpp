#include "machine/system.h"
#include "machine/input_file.h"
#include "machine/replace_file.h"
#include "machine/system_settings.h"
#include "model/calendar.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <set>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace report {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

using Level = SystemFinding::Level;

const std::string cpu_dir = "/sys/devices/system/cpu";
const std::string cpufreq_dir = cpu_dir + "/cpufreq";
const std::string global_boost = cpufreq_dir + "/boost";
const std::string no_turbo = cpu_dir + "/intel_pstate/no_turbo";

std::string policy_file(const std::string& policy, const char* name) {
    return cpufreq_dir + "/" + policy + "/" + name;
}

// A path as on the machine ("/sys/...") under the root.
fs::path under(const fs::path& root, const std::string& path) {
    return root / path.substr(1);
}

// What a setting of /sys can hold: a governor's name, a number of kHz, 0 or 1.
bool setting_value(const std::string& v) {
    return !v.empty() && v.size() <= 64 && std::all_of(v.begin(), v.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

// What the setting file at `path` holds, when a setting can hold it.
// A file that is no regular file is named in `refused`, when given.
std::optional<std::string> setting_value_at(const fs::path& root, const std::string& path,
                                            std::vector<std::string>* refused = nullptr) {
    auto v = read_setting(under(root, path), refused);
    if (!v || !setting_value(*v))
        return std::nullopt;
    return v;
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

namespace {

constexpr int state_schema_version = 1;

std::string utc_now() {
    return utc_stamp(std::chrono::system_clock::now());
}

// A setting tune writes, with the object that knows it.
struct Tunable {
    const SystemSetting* setting;
    Setting value;
};

// Every setting tune writes on this machine, in the order it writes them:
// boost, then each policy's governor, then each policy's minimum frequency
// (turning boost off can lower the maximum the minimum is raised to).
std::vector<Tunable> tunables(const SettingContext& context,
                              const std::vector<std::unique_ptr<SystemSetting>>& settings) {
    std::vector<Tunable> out;
    for (const auto& s : settings)
        if (auto value = s->read(context))
            out.push_back({s.get(), *value});
    std::stable_sort(out.begin(), out.end(), [](const Tunable& a, const Tunable& b) {
        return a.value.kind < b.value.kind;
    });
    return out;
}

SettingContext context_of(const fs::path& root, const Machine& machine) {
    return SettingContext{root, machine, disturbances(machine), {}};
}

}  // namespace

std::vector<Setting> tunable_settings(const fs::path& root, const Machine& machine) {
    const SettingContext context = context_of(root, machine);
    const auto settings = system_settings(context);
    std::vector<Setting> out;
    for (const Tunable& t : tunables(context, settings))
        out.push_back(t.value);
    return out;
}

std::optional<bool> is_tuned(const fs::path& root, const Machine& machine) {
    auto all = tunable_settings(root, machine);
    if (all.empty())
        return std::nullopt;
    return std::all_of(all.begin(), all.end(), [](const Setting& s) { return s.value == s.tuned; });
}

namespace {

// The files refused while reading the machine and its settings, each once,
// in the order they were met.
std::vector<std::string> refused_files(const Machine& machine, const SettingContext& context) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    const std::vector<std::string>* lists[] = {&machine.refused_files, &context.refused};
    for (const std::vector<std::string>* list : lists)
        for (const std::string& file : *list)
            if (seen.insert(file).second)
                out.push_back(file);
    return out;
}

}  // namespace

std::vector<SystemFinding> system_findings(const fs::path& root, const Machine& machine,
                                           std::vector<std::string>* refused) {
    const SettingContext context = context_of(root, machine);
    std::vector<SystemFinding> out;
    for (const auto& setting : system_settings(context))
        out.push_back(setting->show(context));
    if (refused)
        *refused = refused_files(machine, context);
    return out;
}

fs::path default_state_file(const fs::path& root) {
    return root / "var/lib/bench_report/tune-state.json";
}

namespace {

// The change a state file names at `c`, refused (absent, `why` saying so)
// unless it names a file tune writes and values a setting can hold.
std::optional<Change> parse_change(const json& c, std::string& why) {
    auto text_of = [&](const char* key) -> std::optional<std::string> {
        if (!c.is_object() || !c.contains(key) || !c[key].is_string())
            return std::nullopt;
        return c[key].get<std::string>();
    };
    auto path = text_of("path"), before = text_of("before"), after = text_of("after");
    if (!path || !before || !after)
        why = "a change without its path, before and after";
    else if (!tuned_file(*path))
        why = fmt::format("\"{}\" is no setting tune changes", *path);
    else if (!setting_value(*before) || !setting_value(*after))
        why = fmt::format("a value of {} that no setting holds", *path);
    else
        return Change{*path, *before, *after};
    return std::nullopt;
}

// The state a state file's document holds; absent, with `why`, when it is
// not the layout tune writes or a change in it is refused.
std::optional<TuneState> parse_state(const json& doc, std::string& why) {
    if (!doc.is_object() || !doc.contains("changes") || !doc["changes"].is_array()) {
        why = "not a state file of bench_report system tune";
        return std::nullopt;
    }
    if (doc.contains("schema_version") &&
        (!doc["schema_version"].is_number_integer() ||
         doc["schema_version"].get<long long>() != state_schema_version)) {
        why = fmt::format("schema_version is not {}", state_schema_version);
        return std::nullopt;
    }
    TuneState read;
    if (doc.contains("tuned_at") && doc["tuned_at"].is_string())
        read.tuned_at = doc["tuned_at"].get<std::string>();
    std::set<std::string> named;
    for (const json& c : doc["changes"]) {
        auto change = parse_change(c, why);
        if (!change)
            return std::nullopt;
        if (!named.insert(change->path).second) {
            why = fmt::format("{} is named twice", change->path);
            return std::nullopt;
        }
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

// Removes the temporary state files beside `file` that a tune or reset
// killed while writing left behind: those whose process is gone.
void remove_stale_temporaries(const fs::path& file) {
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

}  // namespace

StateFile read_state_file(const fs::path& file, TuneState& state, std::string& error) {
    std::error_code ec;
    auto status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found)
        return StateFile::absent;
    std::string text, why;
    if (!read_input_file(file.string(), text, why)) {
        error = fmt::format("{}: {}", file.string(), why);
        return StateFile::refused;
    }
    auto read = parse_state(json::parse(text, nullptr, false), why);
    if (!read) {
        error = fmt::format("{}: {}", file.string(), why);
        return StateFile::refused;
    }
    state = std::move(*read);
    return StateFile::read;
}

bool write_state_file(const fs::path& file, const TuneState& state, std::string& error) {
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
    if (ec) {
        error = fmt::format("cannot create {}: {}", folder.string(), ec.message());
        return false;
    }
    // Tagged with the writer's process id, so that one a killed writer left
    // is known for stale.
    if (int failure = replace_file(file, doc.dump(2) + "\n", std::to_string(::getpid()) + ".")) {
        error = fmt::format("cannot write {}: {}", file.string(), std::strerror(failure));
        return false;
    }
    return true;
}

int write_setting(const fs::path& file, const std::string& value) {
    // O_NONBLOCK: a FIFO in the place of a setting fails at once (ENXIO)
    // rather than waiting for a reader.
    int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return e;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return EINVAL;
    }
    std::string line = value + "\n";
    int failure = 0;
    ssize_t n;
    do
        n = ::write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    if (n < 0)
        failure = errno;
    else if (static_cast<std::size_t>(n) != line.size())
        failure = EIO;
    if (::close(fd) != 0 && !failure)
        failure = errno;
    return failure;
}

namespace {

// The state after `changes` on top of `earlier`: a file tune changed before
// keeps the value it started from, unless someone set it since (then what
// they set is what reset goes back to).
TuneState merged(const TuneState& earlier, const std::vector<Change>& changes) {
    TuneState out = earlier;
    for (const Change& c : changes) {
        auto it = std::find_if(out.changes.begin(), out.changes.end(),
                               [&](const Change& e) { return e.path == c.path; });
        if (it == out.changes.end())
            out.changes.push_back(c);
        else {
            if (c.before != it->after)
                it->before = c.before;
            it->after = c.after;
        }
    }
    if (!changes.empty())
        out.tuned_at = utc_now();
    return out;
}

// Puts the state file as `state` says, removing it when it holds nothing and
// there was none before.
bool settle_state(const fs::path& file, const TuneState& state, bool existed, std::string& error) {
    if (state.changes.empty() && !existed) {
        std::error_code ec;
        fs::remove(file, ec);
        if (ec) {
            error = fmt::format("cannot remove {}: {}", file.string(), ec.message());
            return false;
        }
        return true;
    }
    return write_state_file(file, state, error);
}

// One tune: the values it changed so far, each named in the state file
// before it is written, and putting them back when a write fails.
class Tuning {
public:
    Tuning(const fs::path& root, const fs::path& state_file, const SettingWriter& write,
           TuneState earlier, bool existed)
        : root_(root),
          state_file_(state_file),
          write_(write),
          earlier_(std::move(earlier)),
          existed_(existed) {}

    // Sets one value; false when it or the state file could not be written,
    // and then what this tune changed is put back.
    bool set(const Tunable& t) {
        const std::string& path = t.value.path;
        const std::string target = t.setting->target(root_, t.value);
        auto now = setting_value_at(root_, path);
        if (!now || *now == target)
            return true;
        // The state file names the change before it is made, so a crash
        // between the two leaves nothing that reset does not know.
        done_.push_back({path, *now, target});
        std::string error;
        if (!write_state_file(state_file_, merged(earlier_, done_), error)) {
            done_.pop_back();
            return fail({state_file_.string(), 0, error});
        }
        if (int e = write_(under(root_, path), target)) {
            done_.pop_back();
            return fail({path, e, ""});
        }
        // What the kernel kept, which is what reset looks for.
        if (auto kept = setting_value_at(root_, path))
            done_.back().after = *kept;
        return true;
    }

    // The state file as the tune left it; false when it could not be written.
    bool finish() {
        TuneState final_state = merged(earlier_, done_);
        std::string error;
        if (!done_.empty() && !write_state_file(state_file_, final_state, error))
            return fail({state_file_.string(), 0, error});
        result.changed = done_;
        result.state_kept = !final_state.changes.empty();
        return true;
    }

    TuneResult result;

private:
    bool fail(Failure failure) {
        result.failed = std::move(failure);
        undo();
        return false;
    }

    // Puts back, last first, what this tune changed; what cannot be put back
    // stays in the state file for reset.
    void undo() {
        for (auto it = done_.rbegin(); it != done_.rend(); ++it)
            if (int e = write_(under(root_, it->path), it->before)) {
                result.not_put_back.push_back({it->path, e, ""});
                result.left_changed.insert(result.left_changed.begin(), *it);
            } else {
                ++result.put_back;
            }
        std::string error;
        TuneState left = merged(earlier_, result.left_changed);
        if (!settle_state(state_file_, left, existed_, error))
            result.not_put_back.push_back({state_file_.string(), 0, error});
        result.state_kept = !left.changes.empty();
    }

    const fs::path& root_;
    const fs::path& state_file_;
    const SettingWriter& write_;
    const TuneState earlier_;
    const bool existed_;
    std::vector<Change> done_;
};

// Reset's step for one change: put back when the file still holds what tune
// wrote, left as it is otherwise.
ResetStep put_back(const fs::path& root, const Change& change, const SettingWriter& write) {
    ResetStep step{change, ResetStep::Outcome::put_back, "", 0};
    fs::path file = under(root, change.path);
    auto now = read_setting(file);
    if (!now) {
        std::error_code ec;
        bool there = fs::symlink_status(file, ec).type() != fs::file_type::not_found;
        step.outcome = there ? ResetStep::Outcome::unreadable : ResetStep::Outcome::gone;
        return step;
    }
    step.now = *now;
    if (*now == change.before)
        step.outcome = ResetStep::Outcome::already;
    else if (*now != change.after)
        step.outcome = ResetStep::Outcome::changed_since;
    else if ((step.error = write(file, change.before)))
        step.outcome = ResetStep::Outcome::failed;
    return step;
}

}  // namespace

TuneResult tune_machine(const fs::path& root, const fs::path& state_file,
                        const SettingWriter& write, std::string& state_error) {
    remove_stale_temporaries(state_file);
    TuneState earlier;
    StateFile had = read_state_file(state_file, earlier, state_error);
    if (had == StateFile::refused)
        return {};
    MachineSource source;
    source.root = root;
    source.live = false;
    const Machine machine = read_machine(source);
    const SettingContext context = context_of(root, machine);
    const auto settings = system_settings(context);
    const std::vector<Tunable> all = tunables(context, settings);
    if (auto refused = refused_files(machine, context); !refused.empty()) {
        TuneResult r;
        r.refused = std::move(refused);
        return r;
    }

    Tuning tuning(root, state_file, write, std::move(earlier), had == StateFile::read);
    tuning.result.exposed = !all.empty();
    for (const Tunable& t : all)
        if (!tuning.set(t))
            return tuning.result;
    tuning.finish();
    return tuning.result;
}

ResetResult reset_machine(const fs::path& root, const fs::path& state_file,
                          const SettingWriter& write, std::string& refused) {
    remove_stale_temporaries(state_file);
    ResetResult r;
    TuneState state;
    if (read_state_file(state_file, state, refused) != StateFile::read)
        return r;
    r.found = true;
    std::vector<Change> kept;
    for (auto it = state.changes.rbegin(); it != state.changes.rend(); ++it) {
        r.steps.push_back(put_back(root, *it, write));
        auto outcome = r.steps.back().outcome;
        if (outcome == ResetStep::Outcome::failed || outcome == ResetStep::Outcome::unreadable)
            kept.push_back(*it);
    }
    std::reverse(kept.begin(), kept.end());
    std::string error;
    TuneState left = state;
    left.changes = kept;
    if (!settle_state(state_file, left, false, error))
        r.state_error = error;
    return r;
}

}  // namespace report
