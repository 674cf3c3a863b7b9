// Writing machine.json: each part's fields at their pointers, rounded as
// their kind is kept.
#include "machine/record.h"
#include "machine/record_fields.h"
#include "machine/record_json.h"

#include <type_traits>

namespace report {

namespace {

using json = nlohmann::ordered_json;
using namespace record_fields;

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

template <typename T, typename Table>
json write_part(const T& part, Table table) {
    Writer w;
    table(w, part);
    return std::move(w.doc);
}

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

}  // namespace report
