// Reading machine.json: each part's fields from their pointers, where a
// value absent, null, of another type or below its least leaves the field
// absent, and no list of CPUs may grow without bound.
#include "machine/input_file.h"
#include "machine/record.h"
#include "machine/record_fields.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <type_traits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace report {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using namespace record_fields;

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
void read_part(const json& doc, const char* key, T& part, Table table, std::size_t& cpus_left) {
    if (!doc.contains(key) || !doc[key].is_object())
        return;
    Reader r{doc[key], &cpus_left};
    table(r, part);
}

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

Expected<MachineRecord> parse_record(const std::string& text) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error& e) {
        return Failed(Exit::bad_input,
                      "not JSON: it does not read at " + position_in(text, e.byte));
    } catch (const json::exception&) {
        // A number past a double's range (1e999).
        return Failed(Exit::bad_input, "not JSON: a number in it is out of range");
    }
    if (!doc.is_object())
        return Failed(Exit::bad_input, "not a JSON object");
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

Expected<std::optional<MachineRecord>> read_record(const std::string& results_file) {
    fs::path path = fs::path(results_file).parent_path() / "machine.json";
    std::error_code ec;
    if (!fs::exists(path, ec))
        return std::optional<MachineRecord>();
    Expected<std::string> text = read_input_file(path.string());
    if (!text)
        return text.failure();
    Expected<MachineRecord> record = parse_record(*text);
    if (!record)
        return record.failure();
    return std::optional(std::move(*record));
}

}  // namespace report
