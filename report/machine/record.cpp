#include "machine/record.h"
#include "machine/input_file.h"
#include "machine/record_json.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <type_traits>

#include <fmt/format.h>

#include "model/utf8.h"

namespace report {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

// How a number is kept: as it is, MHz to one decimal place (so the kHz of
// sysfs come out as written), a share 0..1 as per cent to two places, to
// three decimal places (seconds, processors' worth of time), or a clock's
// mean (MHz or a ratio of counters) to four significant digits.
// `count`: an integer of 0 or more, `positive`: of 1 or more; a hand-made
// file's negative count is read as not recorded rather than echoed.
enum class Unit { plain, mhz, percent, milli, clock, count, positive };
// A list that is empty on this machine is written null ("not exposed").
constexpr bool null_when_empty = true;

double significant4(double v) {
    if (v == 0 || !std::isfinite(v))
        return v;
    double scale = std::pow(10.0, 3 - std::floor(std::log10(std::fabs(v))));
    return std::isfinite(scale) && std::isfinite(v * scale) ? std::round(v * scale) / scale : v;
}

double rounded(double v, Unit u) {
    switch (u) {
        case Unit::mhz: return std::round(v * 10.0) / 10.0;
        case Unit::percent: return std::round(v * 10000.0) / 100.0;
        case Unit::milli: return std::round(v * 1000.0) / 1000.0;
        case Unit::clock: return significant4(v);
        case Unit::plain:
        case Unit::count:
        case Unit::positive: break;
    }
    return v;
}

double unrounded(double v, Unit u) {
    return u == Unit::percent ? v / 100.0 : v;
}

// The fields of each part of the record, as JSON pointers into the part's
// object: the one table both the writer and the reader walk.
template <typename Visit, typename C>
void cache_fields(Visit& v, C& c) {
    v("/level", c.level);
    v("/type", c.type);
    v("/size_kib", c.size_kib);
    v("/line_bytes", c.line_bytes);
    v("/ways", c.ways);
    v("/instances", c.instances);
}

template <typename Visit, typename P>
void policy_fields(Visit& v, P& p) {
    v("/name", p.name);
    v("/cpus", p.cpus);
    v("/driver", p.driver);
    v("/governor", p.governor);
    v("/min_mhz", p.min_mhz, Unit::mhz);
    v("/max_mhz", p.max_mhz, Unit::mhz);
    v("/boost", p.boost);
}

template <typename Visit, typename G>
void cpu_group_fields(Visit& v, G& g) {
    v("/id", g.id);
    v.cpus("/cpus", g.cpus);
}

template <typename Visit, typename T>
void topology_fields(Visit& v, T& t) {
    v.cpus("/cpu/topology/online", t.online);
    v.cpus("/cpu/topology/possible", t.possible);
    v.cpu_sets("/cpu/topology/cores", t.cores);
    v.list("/cpu/topology/packages", t.packages, null_when_empty);
    v("/cpu/topology/last_level_cache/level", t.last_level);
    v.cpu_sets("/cpu/topology/last_level_cache/shared", t.last_level_caches);
    v.list("/cpu/topology/numa_nodes", t.nodes, null_when_empty);
    v.source("/cpu/topology/core_classes/source", t.classes_from);
    v.cpus("/cpu/topology/core_classes/performance", t.performance);
    v.cpus("/cpu/topology/core_classes/efficiency", t.efficiency);
}

template <typename Visit, typename T>
void core_type_fields(Visit& v, T& t) {
    v("/name", t.name);
    v("/cpus", t.cpus);
    v("/count", t.count);
}

template <typename Visit, typename M>
void machine_fields(Visit& v, M& m) {
    v("/hostname", m.hostname);
    v("/cpu/vendor", m.vendor);
    v("/cpu/model_name", m.model_name);
    v("/cpu/family", m.family);
    v("/cpu/model", m.model);
    v("/cpu/stepping", m.stepping);
    v("/cpu/microcode", m.microcode);
    v("/cpu/logical_cpus", m.logical_cpus, Unit::count);
    v("/cpu/cores", m.cores, Unit::count);
    v("/cpu/sockets", m.sockets, Unit::count);
    v("/cpu/smt_active", m.smt_active);
    v("/cpu/smt_control", m.smt_control);
    v("/cpu/numa_nodes", m.numa_nodes, Unit::count);
    v.list("/cpu/core_types", m.core_types, null_when_empty);
    v.list("/cpu/caches", m.caches, !null_when_empty);
    topology_fields(v, m.topology);
    v("/frequency/min_mhz", m.min_mhz, Unit::mhz);
    v("/frequency/max_mhz", m.max_mhz, Unit::mhz);
    v("/frequency/boost", m.boost);
    v("/frequency/tuned", m.tuned);
    v.list("/frequency/policies", m.policies, null_when_empty);
    v("/transparent_hugepages/enabled", m.thp_enabled);
    v("/transparent_hugepages/defrag", m.thp_defrag);
    v("/kernel/release", m.kernel_release);
    v("/kernel/command_line", m.kernel_command_line);
    v("/os/id", m.os_id);
    v("/os/version_id", m.os_version_id);
    v("/os/pretty_name", m.os_pretty_name);
    v("/libc", m.libc_version);
    v("/virtualisation/hypervisor_flag", m.hypervisor);
    v("/virtualisation/dmi_vendor", m.dmi_vendor);
    v("/virtualisation/dmi_product", m.dmi_product);
    v("/memory/total_kib", m.memory_total_kib);
    v("/memory/swap_total_kib", m.swap_total_kib);
    v("/affinity/cpus", m.affinity);
    v("/affinity/count", m.affinity_cpus, Unit::count);
    v("/cgroup/version", m.cgroup_version);
    v("/cgroup/path", m.cgroup_path);
    v("/cgroup/cpu_quota", m.cpu_quota, Unit::milli);
    v("/cgroup/memory_limit_bytes", m.memory_limit_bytes);
    v("/cgroup/cpuset", m.cpuset);
    v.variables("/openmp_environment", m.openmp_environment);
}

template <typename Visit, typename S>
void state_fields(Visit& v, S& s) {
    v.load("/load_average", s.load1, s.load5, s.load15);
    v("/memory_available_kib", s.memory_available_kib);
    v("/swap_used_kib", s.swap_used_kib);
    v.numbers("/current_mhz", s.current_mhz, Unit::mhz);
    v("/busy_percent", s.busy, Unit::percent);
    v.shares("/cpu_busy_percent", s.cpu_busy, s.busy.has_value());
    v("/busy_window_seconds", s.window_seconds, Unit::milli);
}

template <typename Visit, typename P>
void program_fields(Visit& v, P& p) {
    v("/path", p.path);
    v("/size", p.size);
    v("/sha256", p.sha256);
    v("/build_id", p.build_id);
    v("/package_version", p.package_version);
    v("/openmp_runtime/library", p.openmp_library);
    v("/openmp_runtime/path", p.openmp_path);
    v("/openmp_runtime/package_version", p.openmp_version);
}

template <typename Visit, typename R>
void repetition_fields(Visit& v, R& r) {
    v("/program", r.program);
    v("/number", r.number);
    v("/label", r.label);
    v("/started", r.started);
    v("/finished", r.finished);
    v("/seconds", r.seconds, Unit::milli);
    v("/outcome", r.outcome);
    v("/exit_status", r.exit_status);
    v("/signal", r.signal);
    v("/results_file", r.results_file);
    v("/reason", r.reason);
    v("/interleaved", r.interleaved);
    v("/round", r.round);
    v("/position", r.position);
}

template <typename Visit, typename S>
void scaling_fields(Visit& v, S& s) {
    v.cpus("/cpus", s.cpus);
    v.places("/places", s.places);
    v("/cores", s.cores, Unit::count);
    v.cpus("/siblings", s.siblings);
    v.cpus("/nodes", s.nodes);
    v("/binding", s.binding);
    v.cpus("/allowed", s.allowed);
    v("/sweep", s.sweep);
}

template <typename Visit, typename T>
void test_clock_fields(Visit& v, T& t) {
    v("/test", t.test);
    v("/single/mean", t.single.mean, Unit::clock);
    v("/single/samples", t.single.samples, Unit::count);
    v("/multi/mean", t.multi.mean, Unit::clock);
    v("/multi/samples", t.multi.samples, Unit::count);
}

template <typename Visit, typename C>
void clock_fields(Visit& v, C& c) {
    v("/source", c.source);
    v("/reason", c.reason);
    v("/interval_ms", c.interval_ms, Unit::positive);
    v.cpus("/cpus", c.cpus);
    v.list("/tests", c.tests, !null_when_empty);
}

template <typename Visit, typename T>
void fields_of(Visit& v, T& item) {
    using Plain = std::remove_const_t<T>;
    if constexpr (std::is_same_v<Plain, Cache>)
        cache_fields(v, item);
    else if constexpr (std::is_same_v<Plain, FrequencyPolicy>)
        policy_fields(v, item);
    else if constexpr (std::is_same_v<Plain, CoreType>)
        core_type_fields(v, item);
    else if constexpr (std::is_same_v<Plain, CpuGroup>)
        cpu_group_fields(v, item);
    else if constexpr (std::is_same_v<Plain, TestClock>)
        test_clock_fields(v, item);
    else
        static_assert(sizeof(Plain) == 0, "no field table for this type");
}

template <typename T>
struct is_optional : std::false_type {};
template <typename T>
struct is_optional<std::optional<T>> : std::true_type {};

// Writes each field at its pointer; objects on the way are made in the order
// the table names them.
struct Writer {
    json doc = json::object();

    template <typename T>
    static json value(const T& v, Unit u) {
        if constexpr (is_optional<T>::value)
            return v ? value(*v, u) : json(nullptr);
        else if constexpr (std::is_floating_point_v<T>)
            return rounded(v, u);
        else
            return v;
    }
    template <typename T>
    void operator()(const char* at, const T& v, Unit u = Unit::plain) {
        doc[json::json_pointer(at)] = value(v, u);
    }
    template <typename T>
    void list(const char* at, const std::vector<T>& items, bool null_if_empty) {
        json out = json::array();
        for (const T& item : items) {
            Writer w;
            fields_of(w, item);
            out.push_back(std::move(w.doc));
        }
        doc[json::json_pointer(at)] = items.empty() && null_if_empty ? json(nullptr) : out;
    }
    void variables(const char* at, const std::vector<std::pair<std::string, std::string>>& vars) {
        json out = json::object();
        for (const auto& [name, value] : vars)
            out[name] = value;
        doc[json::json_pointer(at)] = out;
    }
    void load(const char* at, const std::optional<double>& one, const std::optional<double>& five,
              const std::optional<double>& fifteen) {
        doc[json::json_pointer(at)] =
            one ? json::array({*one, five.value_or(0), fifteen.value_or(0)}) : json(nullptr);
    }
    void numbers(const char* at, const std::vector<std::optional<double>>& values, Unit u) {
        json out = json::array();
        for (const auto& v : values)
            out.push_back(value(v, u));
        doc[json::json_pointer(at)] = out;
    }
    void shares(const char* at, const std::vector<double>& values, bool known) {
        json out = json::array();
        for (double v : values)
            out.push_back(rounded(v, Unit::percent));
        doc[json::json_pointer(at)] = known ? out : json(nullptr);
    }
    // A set of CPUs in the kernel's list form, "0-3,8"; null when empty.
    void cpus(const char* at, const CpuSet& cpus) {
        doc[json::json_pointer(at)] = cpus.empty() ? json(nullptr) : json(cpu_list_text(cpus));
    }
    void cpu_sets(const char* at, const std::vector<CpuSet>& sets) {
        json out = json::array();
        for (const CpuSet& set : sets)
            out.push_back(cpu_list_text(set));
        doc[json::json_pointer(at)] = sets.empty() ? json(nullptr) : out;
    }
    void places(const char* at, const std::vector<int>& places) {
        doc[json::json_pointer(at)] = places;
    }
    void source(const char* at, CoreClassSource s) {
        doc[json::json_pointer(at)] = core_class_source_name(s);
    }
};

// Reads each field from its pointer; what is absent, null or of another type
// leaves the field as it was (absent, empty or zero).
struct Reader {
    const json& doc;
    // The CPUs the lists of one record may still name: a hand-made
    // "0-1048575" repeated a million times would otherwise take terabytes.
    std::size_t* cpus_left;

    const json* find(const char* at) const {
        json::json_pointer p(at);
        // contains() throws on a pointer through an array index that is not a number.
        try {
            if (!doc.contains(p))
                return nullptr;
        } catch (const json::exception&) {
            return nullptr;
        }
        const json& j = doc[p];
        return j.is_null() ? nullptr : &j;
    }

    template <typename T>
    static bool value(const json& j, T& out, Unit u) {
        if constexpr (is_optional<T>::value) {
            typename T::value_type inner{};
            if (!value(j, inner, u))
                return false;
            out = std::move(inner);
            return true;
        } else if constexpr (std::is_same_v<T, std::string>) {
            if (!j.is_string())
                return false;
            out = j.get<std::string>();
            return true;
        } else if constexpr (std::is_same_v<T, bool>) {
            if (!j.is_boolean())
                return false;
            out = j.get<bool>();
            return true;
        } else if constexpr (std::is_floating_point_v<T>) {
            if (!j.is_number())
                return false;
            out = unrounded(j.get<double>(), u);
            return std::isfinite(out);
        } else {
            return integer(j, out, u);
        }
    }
    // A whole number that fits, never a wrapped or cut one; a count (and a
    // positive count) no less than its least.
    template <typename T>
    static bool integer(const json& j, T& out, Unit u) {
        if (!j.is_number_integer() && !j.is_number_unsigned())
            return false;
        long long least = u == Unit::positive ? 1 : u == Unit::count ? 0 : LLONG_MIN;
        if (j.is_number_unsigned()) {
            auto n = j.get<std::uint64_t>();
            if (n > static_cast<std::uint64_t>(std::numeric_limits<T>::max()) ||
                (least > 0 && n < static_cast<std::uint64_t>(least)))
                return false;
            out = static_cast<T>(n);
            return true;
        }
        auto n = j.get<std::int64_t>();
        if (n < least || n < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
            (n > 0 && static_cast<std::uint64_t>(n) >
                          static_cast<std::uint64_t>(std::numeric_limits<T>::max())))
            return false;
        out = static_cast<T>(n);
        return true;
    }
    template <typename T>
    void operator()(const char* at, T& v, Unit u = Unit::plain) {
        if (const json* j = find(at))
            value(*j, v, u);
    }
    template <typename T>
    void list(const char* at, std::vector<T>& items, bool) {
        const json* j = find(at);
        if (!j || !j->is_array())
            return;
        for (const json& e : *j) {
            if (!e.is_object())
                continue;
            T item{};
            Reader r{e, cpus_left};
            fields_of(r, item);
            items.push_back(std::move(item));
        }
    }
    void variables(const char* at, std::vector<std::pair<std::string, std::string>>& vars) {
        const json* j = find(at);
        if (!j || !j->is_object())
            return;
        for (const auto& [name, value] : j->items())
            vars.emplace_back(name, value.is_string() ? value.get<std::string>() : value.dump());
    }
    void load(const char* at, std::optional<double>& one, std::optional<double>& five,
              std::optional<double>& fifteen) {
        const json* j = find(at);
        if (!j || !j->is_array() || j->size() != 3)
            return;
        value((*j)[0], one, Unit::plain);
        value((*j)[1], five, Unit::plain);
        value((*j)[2], fifteen, Unit::plain);
    }
    void numbers(const char* at, std::vector<std::optional<double>>& values, Unit u) {
        const json* j = find(at);
        if (!j || !j->is_array())
            return;
        for (const json& e : *j) {
            std::optional<double> v;
            value(e, v, u);
            values.push_back(v);
        }
    }
    std::optional<CpuSet> cpu_set(const json& j) {
        if (!j.is_string())
            return std::nullopt;
        auto set = parse_cpu_list(j.get<std::string>());
        if (!set || set->size() > *cpus_left)
            return std::nullopt;
        *cpus_left -= set->size();
        return set;
    }
    void cpus(const char* at, CpuSet& cpus) {
        if (const json* j = find(at))
            if (auto set = cpu_set(*j))
                cpus = std::move(*set);
    }
    void cpu_sets(const char* at, std::vector<CpuSet>& sets) {
        const json* j = find(at);
        if (!j || !j->is_array())
            return;
        for (const json& e : *j)
            if (auto set = cpu_set(e))
                sets.push_back(std::move(*set));
    }
    // The threads' CPUs in order; the whole list or none.
    void places(const char* at, std::vector<int>& places) {
        const json* j = find(at);
        if (!j || !j->is_array() || j->size() > *cpus_left)
            return;
        std::vector<int> out;
        for (const json& e : *j) {
            int cpu = -1;
            if (!value(e, cpu, Unit::plain) || cpu < 0)
                return;
            out.push_back(cpu);
        }
        *cpus_left -= out.size();
        places = std::move(out);
    }
    void source(const char* at, CoreClassSource& s) {
        const json* j = find(at);
        for (auto known : {CoreClassSource::kernel, CoreClassSource::max_frequency})
            if (j && j->is_string() && j->get<std::string>() == core_class_source_name(known))
                s = known;
    }
    void shares(const char* at, std::vector<double>& values, bool) {
        const json* j = find(at);
        if (!j || !j->is_array())
            return;
        for (const json& e : *j) {
            double v = 0;
            value(e, v, Unit::percent);
            values.push_back(v);
        }
    }
};

template <typename T, typename Table>
json write_part(const T& part, Table table) {
    Writer w;
    table(w, part);
    return std::move(w.doc);
}

template <typename T, typename Table>
void read_part(const json& doc, const char* key, T& part, Table table, std::size_t& cpus_left) {
    if (!doc.contains(key) || !doc[key].is_object())
        return;
    Reader r{doc[key], &cpus_left};
    table(r, part);
}

// The CPUs all the lists of one record may name: thousands on the largest
// machines, a few times over.
constexpr std::size_t record_cpus = std::size_t{1} << 20;

// The tables as callables, for write_part and read_part.
constexpr auto machine_table = [](auto& v, auto& m) { machine_fields(v, m); };
constexpr auto state_table = [](auto& v, auto& s) { state_fields(v, s); };
constexpr auto program_table = [](auto& v, auto& p) { program_fields(v, p); };
constexpr auto repetition_table = [](auto& v, auto& r) { repetition_fields(v, r); };
constexpr auto scaling_table = [](auto& v, auto& s) { scaling_fields(v, s); };
constexpr auto clock_table = [](auto& v, auto& c) { clock_fields(v, c); };

}  // namespace

json machine_json(const Machine& m) {
    return write_part(m, machine_table);
}

json state_json(const MachineState& s) {
    return write_part(s, state_table);
}

json program_json(const ProgramFile& p) {
    return write_part(p, program_table);
}

std::string record_text(const MachineRecord& r) {
    json warnings = json::array();
    for (const Disturbance& d : r.warnings)
        warnings.push_back({{"check", d.check}, {"message", d.message}});
    json doc = {{"schema_version", r.schema_version},
                {"bench_report_version", Writer::value(r.bench_report_version, Unit::plain)},
                {"repetition", write_part(r.repetition, repetition_table)},
                {"program", program_json(r.program)},
                {"machine", machine_json(r.machine)},
                {"before", r.before ? state_json(*r.before) : json(nullptr)},
                {"after", r.after ? state_json(*r.after) : json(nullptr)}};
    // Written once the repetition has ended, by a bench_report that samples the clock.
    if (r.clock)
        doc["clock"] = write_part(*r.clock, clock_table);
    doc["warnings"] = warnings;
    if (r.scaling) {
        // Written after the repetition only in a sweep's points.
        json with = json::object();
        for (auto& [key, value] : doc.items()) {
            with[key] = value;
            if (key == "repetition")
                with["scaling"] = write_part(*r.scaling, scaling_table);
        }
        doc = std::move(with);
    }
    // Host names and paths are bytes; a byte that is not UTF-8 is written as U+FFFD.
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + '\n';
}

namespace {

// Where JSON's parser stopped in `text`: "line 2, column 21" (columns in
// bytes, from 1), so that a hand-edited file's slip (a NaN, a trailing
// comma) can be found.
std::string position_in(const std::string& text, std::size_t byte) {
    std::size_t end = std::min(byte > 0 ? byte - 1 : 0, text.size());
    std::size_t line = 1, start = 0;
    for (std::size_t i = 0; i < end; ++i)
        if (text[i] == '\n') {
            ++line;
            start = i + 1;
        }
    return fmt::format("line {}, column {}", line, end - start + 1);
}

}  // namespace

std::optional<MachineRecord> parse_record(const std::string& text, std::string& error) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error& e) {
        error = "not JSON: it does not read at " + position_in(text, e.byte);
        return std::nullopt;
    } catch (const json::exception&) {
        // A number past a double's range (1e999).
        error = "not JSON: a number in it is out of range";
        return std::nullopt;
    }
    if (!doc.is_object()) {
        error = "not a JSON object";
        return std::nullopt;
    }
    MachineRecord r;
    r.document = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    std::size_t cpus_left = record_cpus;
    Reader top{doc, &cpus_left};
    r.schema_version = 0;
    top("/schema_version", r.schema_version);
    top("/bench_report_version", r.bench_report_version);
    read_part(doc, "repetition", r.repetition, repetition_table, cpus_left);
    if (doc.contains("scaling") && doc["scaling"].is_object()) {
        ScalingSet s;
        read_part(doc, "scaling", s, scaling_table, cpus_left);
        r.scaling = std::move(s);
    }
    read_part(doc, "program", r.program, program_table, cpus_left);
    read_part(doc, "machine", r.machine, machine_table, cpus_left);
    for (const char* key : {"before", "after"})
        if (doc.contains(key) && doc[key].is_object()) {
            MachineState s;
            read_part(doc, key, s, state_table, cpus_left);
            (std::string_view(key) == "before" ? r.before : r.after) = std::move(s);
        }
    if (doc.contains("clock") && doc["clock"].is_object()) {
        ClockRecord c;
        read_part(doc, "clock", c, clock_table, cpus_left);
        r.clock = std::move(c);
    }
    if (const json* w = top.find("/warnings"); w && w->is_array())
        for (const json& e : *w) {
            Disturbance d;
            Reader each{e, &cpus_left};
            each("/check", d.check);
            each("/message", d.message);
            r.warnings.push_back(std::move(d));
        }
    return r;
}

std::optional<MachineRecord> read_record(const std::string& results_file, std::string& error) {
    fs::path path = fs::path(results_file).parent_path() / "machine.json";
    std::error_code ec;
    if (!fs::exists(path, ec))
        return std::nullopt;
    std::string text;
    if (!read_input_file(path.string(), text, error))
        return std::nullopt;
    return parse_record(text, error);
}

std::optional<std::string> governors(const Machine& m) {
    std::vector<std::string> seen;
    for (const FrequencyPolicy& p : m.policies)
        if (p.governor && std::find(seen.begin(), seen.end(), *p.governor) == seen.end())
            seen.push_back(*p.governor);
    if (seen.empty())
        return std::nullopt;
    return fmt::format("{}", fmt::join(seen, ","));
}

std::optional<std::string> boost_text(const Machine& m) {
    if (!m.boost)
        return std::nullopt;
    return *m.boost ? "on" : "off";
}

std::string openmp_text(const Machine& m) {
    std::string all;
    for (const auto& [name, value] : m.openmp_environment)
        all += (all.empty() ? "" : " ") + name + "=" + value;
    return all;
}

namespace {

// A name as a summary shows it: a host name is at most 64 bytes and a CPU's
// model name 48, so anything much longer is cut (on a character's boundary)
// rather than filling a terminal with megabytes of one line.
std::string shortened(const std::string& name) {
    constexpr std::size_t longest = 256;
    if (name.size() <= longest)
        return name;
    return fmt::format("{}... ({} bytes)", name.substr(0, utf8_cut(name, longest)), name.size());
}

}  // namespace

std::string machine_summary(const MachineRecord& r, bool details) {
    const Machine& m = r.machine;
    std::vector<std::string> parts;
    if (m.hostname)
        parts.push_back(shortened(*m.hostname));
    if (m.model_name)
        parts.push_back(shortened(*m.model_name));
    if (details) {
        if (m.logical_cpus)
            parts.push_back(fmt::format("{} logical CPUs", *m.logical_cpus));
        if (m.kernel_release)
            parts.push_back("kernel " + *m.kernel_release);
        if (auto g = governors(m))
            parts.push_back("governor " + *g);
        if (auto b = boost_text(m))
            parts.push_back("boost " + *b);
    }
    return fmt::format("{}", fmt::join(parts, ", "));
}

std::optional<std::string> unfinished_outcome(const RepetitionRecord& repetition) {
    if (!repetition.outcome || *repetition.outcome == "completed")
        return std::nullopt;
    return repetition.outcome;
}

}  // namespace report
