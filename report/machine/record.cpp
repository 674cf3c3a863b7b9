#include "machine/record.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>


namespace report {

namespace {

using json = nlohmann::json;

// The value at a path of keys, if it is there and of the type asked.
const json* at(const json& doc, std::initializer_list<const char*> keys) {
    const json* j = &doc;
    for (const char* k : keys) {
        if (!j->is_object() || !j->contains(k))
            return nullptr;
        j = &(*j)[k];
    }
    return j->is_null() ? nullptr : j;
}

std::optional<std::string> text(const json& doc, std::initializer_list<const char*> keys) {
    const json* j = at(doc, keys);
    if (!j || !j->is_string())
        return std::nullopt;
    return j->get<std::string>();
}

template <typename T>
std::optional<T> number(const json& doc, std::initializer_list<const char*> keys) {
    const json* j = at(doc, keys);
    if (!j || !j->is_number())
        return std::nullopt;
    return j->get<T>();
}

}  // namespace

std::optional<MachineContext> parse_context(const std::string& text_in, std::string& error) {
    json doc = json::parse(text_in, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = "not a JSON object";
        return std::nullopt;
    }
    MachineContext c;
    c.document = doc.dump(-1, ' ', false, json::error_handler_t::replace);
    c.host = text(doc, {"machine", "hostname"});
    c.cpu_model = text(doc, {"machine", "cpu", "model_name"});
    c.logical_cpus = number<int>(doc, {"machine", "cpu", "logical_cpus"});
    if (const json* policies = at(doc, {"machine", "frequency", "policies"});
        policies && policies->is_array()) {
        std::vector<std::string> governors;
        for (const json& p : *policies)
            if (auto g = text(p, {"governor"}))
                if (std::find(governors.begin(), governors.end(), *g) == governors.end())
                    governors.push_back(*g);
        if (!governors.empty())
            c.governor = fmt::format("{}", fmt::join(governors, ","));
    }
    if (const json* boost = at(doc, {"machine", "frequency", "boost"});
        boost && boost->is_boolean())
        c.boost = boost->get<bool>() ? "on" : "off";
    c.kernel = text(doc, {"machine", "kernel", "release"});
    c.program_sha256 = text(doc, {"program", "sha256"});
    if (const json* env = at(doc, {"machine", "openmp_environment"}); env && env->is_object()) {
        std::string all;
        for (const auto& [name, value] : env->items())
            all += (all.empty() ? "" : " ") + name + "=" +
                   (value.is_string() ? value.get<std::string>() : value.dump());
        c.openmp = all;  // "" when none is set: known to be empty
    }
    c.cpu_quota = number<double>(doc, {"machine", "cgroup", "cpu_quota"});
    c.affinity = text(doc, {"machine", "affinity", "cpus"});
    c.started = text(doc, {"repetition", "started"});
    c.outcome = text(doc, {"repetition", "outcome"});
    return c;
}

std::optional<MachineContext> read_context(const std::filesystem::path& results_file,
                                           std::string& error) {
    std::filesystem::path path = results_file.parent_path() / "machine.json";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    if (!in && !in.eof()) {
        error = "cannot read";
        return std::nullopt;
    }
    return parse_context(s.str(), error);
}

std::string machine_summary(const MachineContext& m, bool details) {
    std::vector<std::string> parts;
    if (m.host)
        parts.push_back(*m.host);
    if (m.cpu_model)
        parts.push_back(*m.cpu_model);
    if (details) {
        if (m.logical_cpus)
            parts.push_back(fmt::format("{} logical CPUs", *m.logical_cpus));
        if (m.kernel)
            parts.push_back("kernel " + *m.kernel);
        if (m.governor)
            parts.push_back("governor " + *m.governor);
        if (m.boost)
            parts.push_back("boost " + *m.boost);
    }
    return fmt::format("{}", fmt::join(parts, ", "));
}

}  // namespace report
