#include "machine/system.h"
#include "machine/input_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
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

const std::string cpu_dir = "/sys/devices/system/cpu";
const std::string cpufreq_dir = cpu_dir + "/cpufreq";
const std::string global_boost = cpufreq_dir + "/boost";
const std::string no_turbo = cpu_dir + "/intel_pstate/no_turbo";

constexpr int state_schema_version = 1;

// A path as on the machine ("/sys/...") under the root.
fs::path under(const fs::path& root, const std::string& path) {
    return root / path.substr(1);
}

std::string policy_file(const std::string& policy, const char* name) {
    return cpufreq_dir + "/" + policy + "/" + name;
}

// What a setting of /sys can hold: a governor's name, a number of kHz, 0 or 1.
bool setting_value(const std::string& v) {
    return !v.empty() && v.size() <= 64 && std::all_of(v.begin(), v.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

// The files tune writes, and no other: reset writes what a state file names.
bool setting_path(const std::string& p) {
    const std::string cpu = "/sys/devices/system/cpu/";
    if (p.compare(0, cpu.size(), cpu) != 0)
        return false;
    const std::string rest = p.substr(cpu.size());
    if (rest == "cpufreq/boost" || rest == "intel_pstate/no_turbo")
        return true;
    const std::string policy = "cpufreq/policy";
    if (rest.compare(0, policy.size(), policy) != 0)
        return false;
    std::size_t digits = policy.size();
    while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits])))
        ++digits;
    if (digits == policy.size() || digits - policy.size() > 6 || digits == rest.size() ||
        rest[digits] != '/')
        return false;
    const std::string file = rest.substr(digits + 1);
    return file == "boost" || file == "scaling_governor" || file == "scaling_min_freq";
}

bool is_number(const std::string& v) {
    return !v.empty() && std::all_of(v.begin(), v.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

std::optional<std::string> read_value(const fs::path& root, const std::string& path) {
    auto v = read_setting(under(root, path));
    if (!v || !setting_value(*v))
        return std::nullopt;
    return v;
}

std::string mhz(const std::string& khz) {
    if (!is_number(khz) || khz.size() > 15)
        return khz + " kHz";
    return fmt::format("{:g} MHz", static_cast<double>(std::stoll(khz)) / 1000.0);
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

std::string utc_now() {
    std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

}  // namespace

std::vector<Setting> tunable_settings(const fs::path& root, const Machine& machine) {
    std::vector<Setting> out;
    auto add = [&](Setting::Kind kind, const std::string& policy, const std::string& path,
                   const std::string& tuned, const std::string& tuned_from = "") {
        auto value = read_value(root, path);
        if (!value)
            return false;
        out.push_back({kind, policy, path, *value, tuned, tuned_from});
        return true;
    };
    // One switch for the whole machine where there is one, else each policy's.
    if (!add(Setting::Kind::boost, "", global_boost, "0") &&
        !add(Setting::Kind::boost, "", no_turbo, "1"))
        for (const FrequencyPolicy& p : machine.policies)
            add(Setting::Kind::boost, p.name, policy_file(p.name, "boost"), "0");
    for (const FrequencyPolicy& p : machine.policies) {
        auto offered =
            read_setting(under(root, policy_file(p.name, "scaling_available_governors")));
        if (offered) {
            auto w = words(*offered);
            if (std::find(w.begin(), w.end(), steady_governor) == w.end())
                continue;
        }
        add(Setting::Kind::governor, p.name, policy_file(p.name, "scaling_governor"),
            steady_governor);
    }
    for (const FrequencyPolicy& p : machine.policies) {
        std::string maximum = policy_file(p.name, "scaling_max_freq");
        auto top = read_value(root, maximum);
        if (top && is_number(*top))
            add(Setting::Kind::minimum_frequency, p.name, policy_file(p.name, "scaling_min_freq"),
                *top, maximum);
    }
    return out;
}

std::optional<bool> is_tuned(const fs::path& root, const Machine& machine) {
    auto all = tunable_settings(root, machine);
    if (all.empty())
        return std::nullopt;
    return std::all_of(all.begin(), all.end(), [](const Setting& s) { return s.value == s.tuned; });
}

namespace {

// A finding tune does nothing about.
SystemFinding item(SystemFinding::Level level, std::string subject, std::string now,
                   std::string why, std::string tune) {
    SystemFinding f;
    f.level = level;
    f.subject = std::move(subject);
    f.now = std::move(now);
    f.why = std::move(why);
    f.tune = std::move(tune);
    return f;
}

}  // namespace

std::vector<SystemFinding> system_findings(const fs::path& root, const Machine& m) {
    using Level = SystemFinding::Level;
    std::vector<SystemFinding> out;
    const std::vector<Setting> all = tunable_settings(root, m);
    const std::vector<Disturbance> warnings = disturbances(m);
    auto setting = [&](Setting::Kind kind, const std::string& policy) -> const Setting* {
        for (const Setting& s : all)
            if (s.kind == kind && s.policy == policy)
                return &s;
        return nullptr;
    };
    auto warning = [&](const char* check) -> const Disturbance* {
        for (const Disturbance& d : warnings)
            if (d.check == check)
                return &d;
        return nullptr;
    };
    auto by_hand = [](const std::string& how) { return "leaves it: " + how; };

    // Boost: the machine's switch, or each policy's.
    const std::string boost_why =
        "the clock rises above its base while few processors are busy and the chip is cool, "
        "so a figure depends on temperature and on what else runs";
    bool any_boost = false;
    for (const Setting& s : all) {
        if (s.kind != Setting::Kind::boost)
            continue;
        any_boost = true;
        bool on = s.path == no_turbo ? s.value == "0" : s.value != "0";
        SystemFinding f;
        f.subject = s.policy.empty()
                        ? fmt::format("{} ({})", s.path == no_turbo ? "turbo" : "boost",
                                      s.path.substr(cpu_dir.size() + 1))
                        : s.policy + " boost";
        f.now = on ? "on" : "off";
        f.level = s.value == s.tuned ? Level::fine : Level::disturbs;
        f.why = f.level == Level::disturbs ? boost_why : "";
        f.tune_changes = s.value != s.tuned;
        f.tune = f.tune_changes ? "turns it off" : "nothing to change";
        out.push_back(f);
    }
    if (!any_boost)
        out.push_back(item(Level::not_exposed, "boost",
                           "no cpufreq/boost, intel_pstate/no_turbo or policy boost switch", "",
                           ""));

    if (m.policies.empty())
        out.push_back(item(Level::not_exposed, "frequency governor and minimum frequency",
                           "no cpufreq policy: the firmware or the hypervisor sets the clock", "",
                           ""));
    for (const FrequencyPolicy& p : m.policies) {
        std::string where = fmt::format("processors {}{}", p.cpus.empty() ? "?" : p.cpus,
                                        p.driver ? ", " + *p.driver : "");
        SystemFinding f;
        f.subject = fmt::format("{} governor ({})", p.name, where);
        if (const Setting* s = setting(Setting::Kind::governor, p.name)) {
            f.now = s->value;
            f.tune_changes = s->value != s->tuned;
            f.tune = f.tune_changes ? fmt::format("sets \"{}\"", s->tuned) : "nothing to change";
        } else if (p.governor) {
            f.now = *p.governor;
            auto offered =
                read_setting(under(root, policy_file(p.name, "scaling_available_governors")));
            f.tune = fmt::format("cannot set \"{}\": the driver offers {}", steady_governor,
                                 offered ? *offered : "no other");
        } else {
            f.level = Level::not_exposed;
            f.now = "no scaling_governor";
        }
        if (f.level != Level::not_exposed && f.now != steady_governor) {
            f.level = Level::disturbs;
            f.why = "the clock follows the load, so a test's first seconds run slower";
        }
        out.push_back(f);

        SystemFinding low;
        low.subject = fmt::format("{} minimum frequency", p.name);
        if (const Setting* s = setting(Setting::Kind::minimum_frequency, p.name)) {
            low.now = fmt::format("{} (maximum {})", mhz(s->value), mhz(s->tuned));
            low.tune_changes = s->value != s->tuned;
            low.level = low.tune_changes ? Level::disturbs : Level::fine;
            if (low.tune_changes)
                low.why = fmt::format("the processor may drop to {} between tests", mhz(s->value));
            low.tune =
                low.tune_changes ? fmt::format("sets {}", mhz(s->tuned)) : "nothing to change";
        } else {
            low.level = Level::not_exposed;
            low.now = "no scaling_min_freq and scaling_max_freq";
        }
        out.push_back(low);
    }

    if (m.smt_active) {
        bool on = *m.smt_active;
        out.push_back(
            item(on ? Level::disturbs : Level::fine, "SMT (hyper-threading)",
                 on ? "active" : (m.smt_control == "notsupported" ? "not supported" : "inactive"),
                 on ? "two hardware threads share each core, so what runs on a sibling "
                      "slows a single-thread pass"
                    : "",
                 on ? by_hand("echo off > /sys/devices/system/cpu/smt/control turns it off "
                              "until the next boot, and halves the processors of the "
                              "all-processor passes")
                    : ""));
    } else {
        out.push_back(item(Level::not_exposed, "SMT (hyper-threading)",
                           "no /sys/devices/system/cpu/smt", "", ""));
    }

    if (m.thp_enabled) {
        bool always = *m.thp_enabled == "always";
        out.push_back(item(
            always ? Level::disturbs : Level::fine, "transparent huge pages",
            fmt::format("{}{}", *m.thp_enabled, m.thp_defrag ? ", defrag " + *m.thp_defrag : ""),
            always ? "whether memory comes in huge pages changes from run to run with "
                     "fragmentation, and khugepaged works in the background"
                   : "",
            always ? by_hand("echo madvise > /sys/kernel/mm/transparent_hugepage/enabled") : ""));
    } else {
        out.push_back(item(Level::not_exposed, "transparent huge pages",
                           "no /sys/kernel/mm/transparent_hugepage", "", ""));
    }

    if (auto aslr = read_setting(root / "proc/sys/kernel/randomize_va_space")) {
        bool on = *aslr != "0";
        out.push_back(item(on ? Level::disturbs : Level::fine, "address space randomisation (ASLR)",
                           fmt::format("{} (randomize_va_space {})", on ? "on" : "off", *aslr),
                           on ? "stack, heap and library addresses, and so alignments, change from "
                                "run to run"
                              : "",
                           on ? by_hand("it protects the machine; sysctl -w "
                                        "kernel.randomize_va_space=0 turns it off for everything, "
                                        "setarch -R for one program")
                              : ""));
    } else {
        out.push_back(item(Level::not_exposed, "address space randomisation (ASLR)",
                           "no /proc/sys/kernel/randomize_va_space", "", ""));
    }

    if (m.kernel_command_line) {
        std::vector<std::string> isolated, quiet;
        for (const std::string& w : words(*m.kernel_command_line)) {
            if (w.rfind("isolcpus=", 0) == 0)
                isolated.push_back(w);
            else if (w.rfind("nohz_full=", 0) == 0)
                quiet.push_back(w);
        }
        std::vector<std::string> both = isolated;
        both.insert(both.end(), quiet.begin(), quiet.end());
        std::string now;
        for (const std::string& w : both)
            now += (now.empty() ? "" : " ") + w;
        bool disturbs = !isolated.empty();
        out.push_back(
            item(disturbs ? Level::disturbs : Level::fine, "isolated processors",
                 now.empty() ? "none (no isolcpus= or nohz_full=)" : now,
                 disturbs ? "the scheduler puts no thread on isolated processors unless it "
                            "is pinned there, so the all-processor passes may run on fewer "
                            "processors than the machine has"
                          : "",
                 disturbs ? by_hand("take isolcpus= off the kernel command line and reboot") : ""));
    } else {
        out.push_back(item(Level::not_exposed, "isolated processors", "no /proc/cmdline", "", ""));
    }

    const MachineState& s = m.state;
    if (s.load1) {
        const Disturbance* d = warning("load");
        out.push_back(item(
            d ? Level::disturbs : Level::fine, "load average",
            fmt::format("{:.2f} {:.2f} {:.2f}{}", *s.load1, s.load5.value_or(0),
                        s.load15.value_or(0),
                        m.logical_cpus ? fmt::format(" ({} processors)", *m.logical_cpus) : ""),
            d ? d->message : "", d ? by_hand("wait for it to fall, or stop what runs") : ""));
    } else {
        out.push_back(item(Level::not_exposed, "load average", "no /proc/loadavg", "", ""));
    }

    if (m.cgroup_version) {
        const Disturbance* d = warning("cpu_quota");
        std::string now =
            m.cpu_quota ? fmt::format("{:g} processors' worth", *m.cpu_quota) : std::string("none");
        now += fmt::format(" (cgroup v{}{})", *m.cgroup_version,
                           m.cgroup_path ? " " + *m.cgroup_path : "");
        out.push_back(
            item(d ? Level::disturbs : Level::fine, "cgroup CPU quota", now, d ? d->message : "",
                 d ? by_hand("run outside the quota, or compare only with runs under it") : ""));
    } else {
        out.push_back(
            item(Level::not_exposed, "cgroup CPU quota", "no cgroup in /proc/self/cgroup", "", ""));
    }

    if (m.hypervisor) {
        const Disturbance* d = warning("hypervisor");
        std::string what;
        for (const auto& part : {m.dmi_vendor, m.dmi_product})
            if (part)
                what += (what.empty() ? "" : " ") + *part;
        out.push_back(
            item(d ? Level::disturbs : Level::fine, "hypervisor",
                 *m.hypervisor ? (what.empty() ? "yes" : "yes: " + what) : "none",
                 d ? "other guests share the host, and the host, not this machine, sets "
                     "the clock"
                   : "",
                 d ? by_hand("compare only with runs on the same kind of instance") : ""));
    } else {
        out.push_back(item(Level::not_exposed, "hypervisor", "no flags in /proc/cpuinfo", "", ""));
    }
    for (SystemFinding& f : out)
        if (f.tune.rfind("leaves it: ", 0) == 0) {
            f.by_hand = f.tune.substr(11);
            f.tune = "leaves it";
        }
    return out;
}

fs::path default_state_file(const fs::path& root) {
    return root / "var/lib/bench_report/tune-state.json";
}

StateFile read_state_file(const fs::path& file, TuneState& state, std::string& error) {
    std::error_code ec;
    auto status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found)
        return StateFile::absent;
    std::string text;
    if (!read_input_file(file.string(), text, error)) {
        error = fmt::format("{}: {}", file.string(), error);
        return StateFile::refused;
    }
    auto refuse = [&](const std::string& why) {
        error = fmt::format("{}: {}", file.string(), why);
        return StateFile::refused;
    };
    json doc = json::parse(text, nullptr, false);
    if (!doc.is_object() || !doc.contains("changes") || !doc["changes"].is_array())
        return refuse("not a state file of bench_report system tune");
    if (doc.contains("schema_version") &&
        (!doc["schema_version"].is_number_integer() ||
         doc["schema_version"].get<long long>() != state_schema_version))
        return refuse(fmt::format("schema_version is not {}", state_schema_version));
    TuneState read;
    if (doc.contains("tuned_at") && doc["tuned_at"].is_string())
        read.tuned_at = doc["tuned_at"].get<std::string>();
    for (const json& c : doc["changes"]) {
        auto text_of = [&](const char* key) -> std::optional<std::string> {
            if (!c.is_object() || !c.contains(key) || !c[key].is_string())
                return std::nullopt;
            return c[key].get<std::string>();
        };
        auto path = text_of("path"), before = text_of("before"), after = text_of("after");
        if (!path || !before || !after)
            return refuse("a change without its path, before and after");
        if (!setting_path(*path))
            return refuse(fmt::format("\"{}\" is no setting tune changes", *path));
        if (!setting_value(*before) || !setting_value(*after))
            return refuse(fmt::format("a value of {} that no setting holds", *path));
        for (const Change& earlier : read.changes)
            if (earlier.path == *path)
                return refuse(fmt::format("{} is named twice", *path));
        read.changes.push_back({*path, *before, *after});
    }
    state = std::move(read);
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
    std::string text = doc.dump(2) + "\n";

    std::error_code ec;
    fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    fs::create_directories(folder, ec);
    if (ec) {
        error = fmt::format("cannot create {}: {}", folder.string(), ec.message());
        return false;
    }
    fs::path temporary = folder / fmt::format(".{}.{}", file.filename().string(), ::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = fmt::format("cannot write {}: {}", file.string(), std::strerror(errno));
        return false;
    }
    int failure = 0;
    for (std::size_t done = 0; done < text.size() && !failure;) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            failure = errno;
        else if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    if (!failure && ::fsync(fd) != 0)
        failure = errno;
    if (::close(fd) != 0 && !failure)
        failure = errno;
    if (!failure && ::rename(temporary.c_str(), file.c_str()) != 0)
        failure = errno;
    if (failure) {
        ::unlink(temporary.c_str());
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

}  // namespace

TuneResult tune_machine(const fs::path& root, const fs::path& state_file,
                        const SettingWriter& write, std::string& state_error) {
    TuneResult r;
    TuneState earlier;
    StateFile had = read_state_file(state_file, earlier, state_error);
    if (had == StateFile::refused)
        return r;
    const bool existed = had == StateFile::read;
    MachineSource source;
    source.root = root;
    source.live = false;
    const Machine machine = read_machine(source);

    std::vector<Change> done;
    // Puts back, last first, what this tune changed; what cannot be put back
    // stays in the state file for reset.
    auto undo = [&] {
        for (auto it = done.rbegin(); it != done.rend(); ++it)
            if (int e = write(under(root, it->path), it->before)) {
                r.not_put_back.push_back({it->path, e, ""});
                r.left_changed.insert(r.left_changed.begin(), *it);
            } else {
                ++r.put_back;
            }
        std::string error;
        TuneState left = merged(earlier, r.left_changed);
        if (!settle_state(state_file, left, existed, error))
            r.not_put_back.push_back({state_file.string(), 0, error});
        r.state_kept = !left.changes.empty();
    };

    const std::vector<Setting> all = tunable_settings(root, machine);
    r.exposed = !all.empty();
    for (Setting s : all) {
        // Earlier writes move later values: boost off lowers the maximum.
        if (!s.tuned_from.empty())
            if (auto top = read_value(root, s.tuned_from); top && is_number(*top))
                s.tuned = *top;
        auto now = read_value(root, s.path);
        if (!now || *now == s.tuned)
            continue;
        // The state file names the change before it is made, so a crash
        // between the two leaves nothing that reset does not know.
        done.push_back({s.path, *now, s.tuned});
        std::string error;
        if (!write_state_file(state_file, merged(earlier, done), error)) {
            done.pop_back();
            r.failed = Failure{state_file.string(), 0, error};
            undo();
            return r;
        }
        if (int e = write(under(root, s.path), s.tuned)) {
            done.pop_back();
            r.failed = Failure{s.path, e, ""};
            undo();
            return r;
        }
        // What the kernel kept, which is what reset looks for.
        if (auto kept = read_value(root, s.path))
            done.back().after = *kept;
    }
    TuneState final_state = merged(earlier, done);
    if (!done.empty()) {
        std::string error;
        if (!write_state_file(state_file, final_state, error)) {
            r.failed = Failure{state_file.string(), 0, error};
            undo();
            return r;
        }
    }
    r.changed = done;
    r.state_kept = !final_state.changes.empty();
    return r;
}

ResetResult reset_machine(const fs::path& root, const fs::path& state_file,
                          const SettingWriter& write, std::string& refused) {
    ResetResult r;
    TuneState state;
    StateFile had = read_state_file(state_file, state, refused);
    if (had != StateFile::read)
        return r;
    r.found = true;
    std::vector<Change> kept;
    for (auto it = state.changes.rbegin(); it != state.changes.rend(); ++it) {
        ResetStep step{*it, ResetStep::Outcome::put_back, "", 0};
        fs::path file = under(root, it->path);
        std::error_code ec;
        auto now = read_setting(file);
        if (!now) {
            bool there = fs::symlink_status(file, ec).type() != fs::file_type::not_found;
            step.outcome = there ? ResetStep::Outcome::unreadable : ResetStep::Outcome::gone;
        } else if (step.now = *now; *now == it->before)
            step.outcome = ResetStep::Outcome::already;
        else if (*now != it->after)
            step.outcome = ResetStep::Outcome::changed_since;
        else if ((step.error = write(file, it->before)))
            step.outcome = ResetStep::Outcome::failed;
        if (step.outcome == ResetStep::Outcome::failed ||
            step.outcome == ResetStep::Outcome::unreadable)
            kept.insert(kept.begin(), *it);
        r.steps.push_back(step);
    }
    std::string error;
    TuneState left = state;
    left.changes = kept;
    if (!settle_state(state_file, left, false, error))
        r.state_error = error;
    return r;
}

}  // namespace report
