#include "context.h"

#include <algorithm>
#include <fstream>
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
    if (const json* policies = at(doc, {"machine", "frequency", "policies"}); policies && policies->is_array()) {
        std::vector<std::string> governors;
        for (const json& p : *policies)
            if (auto g = text(p, {"governor"}))
                if (std::find(governors.begin(), governors.end(), *g) == governors.end())
                    governors.push_back(*g);
        if (!governors.empty())
            c.governor = fmt::format("{}", fmt::join(governors, ","));
    }
    if (const json* boost = at(doc, {"machine", "frequency", "boost"}); boost && boost->is_boolean())
        c.boost = boost->get<bool>() ? "on" : "off";
    c.kernel = text(doc, {"machine", "kernel", "release"});
    c.program_sha256 = text(doc, {"program", "sha256"});
    if (const json* env = at(doc, {"machine", "openmp_environment"}); env && env->is_object()) {
        std::string all;
        for (const auto& [name, value] : env->items())
            all += (all.empty() ? "" : " ") + name + "=" + (value.is_string() ? value.get<std::string>() : value.dump());
        c.openmp = all;   // "" when none is set: known to be empty
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

std::vector<ContextDifference> context_differences(const MachineContext& a,
                                                   const MachineContext& b) {
    std::vector<ContextDifference> out;
    auto show = [](const auto& v) -> std::string {
        if (!v)
            return "unknown";
        if constexpr (std::is_same_v<std::decay_t<decltype(*v)>, std::string>)
            return v->empty() ? "none" : *v;
        else
            return fmt::format("{}", *v);
    };
    auto compare = [&](const char* field, const auto& x, const auto& y) {
        if (x != y)
            out.push_back({field, show(x), show(y)});
    };
    compare("CPU model", a.cpu_model, b.cpu_model);
    compare("logical CPUs", a.logical_cpus, b.logical_cpus);
    compare("governor", a.governor, b.governor);
    compare("boost", a.boost, b.boost);
    compare("kernel", a.kernel, b.kernel);
    compare("program SHA-256", a.program_sha256, b.program_sha256);
    compare("OMP_* variables", a.openmp, b.openmp);
    compare("CPU quota", a.cpu_quota, b.cpu_quota);
    compare("affinity", a.affinity, b.affinity);
    return out;
}

}  // namespace report
