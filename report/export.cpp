// `export`: every figure of every run as JSON or as tidy CSV.
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <iostream>
#include <sstream>

#include <CLI/CLI.hpp>
#include <csv.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "catalogue.h"
#include "cli.h"
#include "commands.h"
#include "export.h"
#include "load.h"

namespace report {

using json = nlohmann::ordered_json;

namespace {

constexpr int schema_version = 1;

// A figure as printed and as a number; JSON has no NaN or infinity, so those
// keep only their printed text and a null value.
json figure(const std::optional<Figure>& f) {
    if (!f)
        return nullptr;
    json j{{"printed", f->text}, {"value", nullptr}};
    if (std::isfinite(f->value))
        j["value"] = f->value;
    return j;
}

// A printed rate in its base unit (per second), rounded to 12 significant
// digits so the scaling adds no binary noise to the 6 printed ones. Read back
// with from_chars, which (unlike std::stod) takes subnormal numbers.
double base_value(double value, double scale) {
    double v = value * scale;
    if (!std::isfinite(v))
        return v;
    std::string text = fmt::format("{:.12g}", v);
    double rounded = v;
    std::from_chars(text.data(), text.data() + text.size(), rounded);
    return rounded;
}

json per_second(const std::optional<Figure>& f, double scale) {
    if (!f || !std::isfinite(f->value * scale))
        return nullptr;
    return base_value(f->value, scale);
}

std::string base_unit(const Test& t) {
    const TestInfo* info = find_test_info(t.key);
    return info ? std::string(info->base_unit) : "executions/s";
}

json run_json(const Run& run) {
    json tests = json::array();
    for (const Test& t : run.tests) {
        json single = nullptr;
        if (t.key != "effective_frequency")
            single = {{"seconds", figure(t.single_seconds)},
                      {"rate", figure(t.single_rate)},
                      {"rate_per_second", per_second(t.single_rate, t.unit_scale)},
                      {"megabytes_per_second", figure(t.single_megabytes)},
                      {"out_of_memory", t.single_out_of_memory}};
        json threads = json::array();
        for (const ThreadResult& r : t.threads)
            threads.push_back({{"thread", r.thread},
                               {"seconds", figure(r.seconds)},
                               {"rate", figure(r.rate)},
                               {"rate_per_second", per_second(r.rate, t.unit_scale)},
                               {"megabytes_per_second", figure(r.megabytes)},
                               {"out_of_memory", r.out_of_memory}});
        tests.push_back({{"key", t.key},
                         {"title", t.title},
                         {"unit", t.unit},
                         {"unit_scale", t.unit_scale},
                         {"base_unit", base_unit(t)},
                         {"bytes_per_iteration", t.bytes_per_iteration},
                         {"line", t.first_line},
                         {"complete", t.complete},
                         {"single", single},
                         {"threads", threads},
                         {"overall",
                          {{"rate", figure(t.overall_rate)},
                           {"rate_per_second", per_second(t.overall_rate, t.unit_scale)},
                           {"megabytes_per_second", figure(t.overall_megabytes)},
                           {"incomplete_threads", t.incomplete_threads}}},
                         {"improvement", figure(t.improvement)},
                         {"improvement_unavailable", t.improvement_unavailable}});
    }
    json findings = json::array();
    for (const Finding& f : run.findings)
        findings.push_back(
            {{"line", f.line}, {"test", f.test}, {"check", f.check}, {"message", f.message}});
    return {{"path", run.path},
            {"label", run.label},
            {"program", program_name(run.program)},
            {"source", run.source == Source::transcript ? "transcript" : "results_file"},
            {"zone", run.zone},
            {"local_time", run.local_time},
            {"threads", run.threads ? json(*run.threads) : json(nullptr)},
            {"iterations", run.iterations},
            {"partial", run.partial},
            {"findings", findings},
            {"tests", tests}};
}

// One CSV field, quoted by libcsv (text) or plain (numbers and fixed names).
std::string quoted(const std::string& s) {
    std::string out(s.size() * 2 + 2, '\0');
    out.resize(csv_write(out.data(), out.size(), s.data(), s.size()));
    return out;
}

std::string number(double v) {
    return std::isfinite(v) ? fmt::format("{}", v) : "";
}

}  // namespace

void export_json(const std::vector<Run>& runs, std::string& out) {
    export_json_begin(out);
    for (std::size_t i = 0; i < runs.size(); ++i)
        export_json_run(runs[i], i == 0, out);
    export_json_end(!runs.empty(), out);
}

std::string export_json(const std::vector<Run>& runs) {
    std::string out;
    export_json(runs, out);
    return out;
}

void export_json_begin(std::string& out) {
    out += fmt::format("{{\n  \"schema_version\": {},\n  \"tool\": \"bench_report\",\n"
                       "  \"tool_version\": {},\n  \"runs\": [",
                       schema_version, json(BENCH_REPORT_VERSION).dump());
}

void export_json_run(const Run& run, bool first, std::string& out) {
    // Bytes of a path that are not UTF-8 become U+FFFD, so the output stays valid.
    std::string text = run_json(run).dump(2, ' ', false, json::error_handler_t::replace);
    out += first ? "\n    " : ",\n    ";
    for (char ch : text) {
        out += ch;
        if (ch == '\n')
            out += "    ";
    }
}

void export_json_end(bool any_run, std::string& out) { out += any_run ? "\n  ]\n}\n" : "]\n}\n"; }

const char* csv_header() {
    return "path,label,program,test,scope,thread,metric,value,unit,printed,printed_unit,threads,"
           "local_time,zone,partial,findings\n";
}

void export_csv(const std::vector<Run>& runs, std::string& out) {
    out += csv_header();
    for (const Run& run : runs)
        export_csv_rows(run, out);
}

void export_csv_rows(const Run& run, std::string& out) {
    {
        std::string head = quoted(run.path) + ',' + quoted(run.label) + ',' +
                           program_name(run.program) + ',';
        std::string tail = fmt::format(",{},{},{},{},{}",
                                       run.threads ? std::to_string(*run.threads) : "",
                                       quoted(run.local_time), quoted(run.zone), run.partial ? 1 : 0,
                                       run.findings.size());
        for (const Test& t : run.tests) {
            const std::string unit = base_unit(t);
            auto row = [&](const char* scope, const std::string& thread, const char* metric,
                           const std::string& value, const char* unit, const std::string& printed,
                           const std::string& printed_unit) {
                fmt::format_to(std::back_inserter(out), "{}{},{},{},{},{},{},{},{}{}\n", head, t.key,
                               scope, thread, metric, value, unit, printed, printed_unit, tail);
            };
            auto pass = [&](const char* scope, const std::string& thread, bool oom,
                            const std::optional<Figure>& seconds, const std::optional<Figure>& rate,
                            const std::optional<Figure>& mb) {
                if (oom)
                    row(scope, thread, "out_of_memory", "1", "flag", "", "");
                if (seconds)
                    row(scope, thread, "seconds", number(seconds->value), "s", seconds->text, "s");
                if (rate)
                    row(scope, thread, "rate", number(base_value(rate->value, t.unit_scale)), unit.c_str(),
                        rate->text, quoted(t.unit));
                if (mb)
                    row(scope, thread, "megabytes", number(mb->value), "MB/s", mb->text, "MB/s");
            };
            if (t.key != "effective_frequency")
                pass("single", "", t.single_out_of_memory, t.single_seconds, t.single_rate,
                     t.single_megabytes);
            for (const ThreadResult& r : t.threads)
                pass("thread", std::to_string(r.thread), r.out_of_memory, r.seconds, r.rate,
                     r.megabytes);
            pass("overall", "", false, std::nullopt, t.overall_rate, t.overall_megabytes);
            if (t.incomplete_threads)
                row("overall", "", "incomplete_threads", std::to_string(t.incomplete_threads),
                    "threads", "", "");
            if (t.improvement)
                row("overall", "", "improvement", number(t.improvement->value), "ratio",
                    t.improvement->text, "times");
        }
    }
}

void add_export_command(CLI::App& app, int& status) {
    auto* cmd = app.add_subcommand(
        "export", "Every figure of every run as JSON or CSV, on standard output or into a file.");
    struct Options {
        Inputs inputs;
        std::string format = "json";
        std::string output;
    };
    auto o = std::make_shared<Options>();
    add_inputs(cmd, o->inputs, true);
    cmd->add_option("--format", o->format, "json or csv")
        ->check(CLI::IsMember({"json", "csv"}))
        ->capture_default_str();
    cmd->add_option("-o,--output", o->output, "Write into this file (- for standard output)");
    cmd->callback([o, &status] {
        Loaded loaded = load_inputs(o->inputs, status);
        if (loaded.runs.empty())
            return;
        Output out;
        if (int refused = out.open(o->output, loaded, o->inputs)) {
            status = refused;
            return;
        }
        // Run by run, so a fleet's export never sits whole in memory.
        std::string text;
        if (o->format == "json")
            export_json_begin(text);
        else
            text = csv_header();
        for (std::size_t i = 0; i < loaded.runs.size(); ++i) {
            if (o->format == "json")
                export_json_run(loaded.runs[i], i == 0, text);
            else
                export_csv_rows(loaded.runs[i], text);
            out.write(text);
            text.clear();
        }
        if (o->format == "json") {
            export_json_end(true, text);
            out.write(text);
        }
        if (!out.finish())
            status = static_cast<int>(Exit::write_failed);
    });
}

}  // namespace report
