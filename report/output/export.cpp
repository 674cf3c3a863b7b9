// `export`: every figure of every run as JSON or as tidy CSV.
#include <charconv>
#include <cmath>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <type_traits>

#include <fmt/format.h>

#include "model/catalogue.h"
#include "output/export.h"
#include "output/json_layout.h"
#include "machine/record.h"
#include "output/text.h"

namespace report {

namespace {

constexpr int export_schema_version = 2;

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

std::string base_unit(const Test& t) {
    const TestInfo* info = find_test_info(t.key);
    return info ? std::string(info->base_unit) : "executions/s";
}

// A JSON writer for the export's fixed shape, streaming into a string with
// two-space indentation: building a document object per run first cost three
// times as long as the whole CSV export of a fleet.
class JsonWriter : public JsonLayout {
public:
    using JsonLayout::JsonLayout;

    void value(std::string_view s) {
        item();
        string(s);
    }
    void value(const char* s) { value(std::string_view(s)); }
    void value(bool b) {
        item();
        out_ += b ? "true" : "false";
    }
    void value(double v) {
        item();
        if (std::isfinite(v))
            fmt::format_to(std::back_inserter(out_), "{}", v);
        else
            out_ += "null";
    }
    template <typename Int, typename = std::enable_if_t<std::is_integral_v<Int>>>
    void value(Int v) {
        item();
        fmt::format_to(std::back_inserter(out_), "{}", v);
    }
    void null() {
        item();
        out_ += "null";
    }
    // A value already serialised as valid, compact JSON (machine.json as read).
    void raw(std::string_view json) {
        item();
        out_ += json;
    }
    // A figure as printed and as a number; JSON has no NaN or infinity, so
    // those keep only their printed text and a null value.
    void figure(const std::optional<Figure>& f) {
        if (!f)
            return null();
        begin_object();
        key("printed");
        value(f->text);
        key("value");
        value(f->value);
        end_object();
    }
    void per_second(const std::optional<Figure>& f, double scale) {
        if (!f || !std::isfinite(f->value * scale))
            return null();
        value(base_value(f->value, scale));
    }

private:
    // A JSON string: quotes, backslashes and control characters escaped; bytes
    // that are not UTF-8 (a path can hold any) become U+FFFD, so the output
    // stays valid.
    void string(std::string_view s) { append_json_string(out_, s); }
};

void write_findings(const Run& run, JsonWriter& w) {
    w.begin_array();
    for (const Finding& f : run.findings) {
        w.begin_object();
        w.key("line");
        w.value(f.line);
        w.key("test");
        w.value(f.test);
        w.key("check");
        w.value(f.check);
        w.key("message");
        w.value(f.message);
        w.end_object();
    }
    w.end_array();
}

// The single-thread pass: null when the test has none.
void write_single(const Test& t, JsonWriter& w) {
    if (!has_single(t))
        return w.null();
    w.begin_object();
    w.key("seconds");
    w.figure(t.single_seconds);
    w.key("rate");
    w.figure(t.single_rate);
    w.key("rate_per_second");
    w.per_second(t.single_rate, t.unit_scale);
    w.key("megabytes_per_second");
    w.figure(t.single_megabytes);
    w.key("out_of_memory");
    w.value(t.single_out_of_memory);
    w.end_object();
}

// Each thread of the multi-thread pass.
void write_threads(const Test& t, JsonWriter& w) {
    w.begin_array();
    for (const ThreadResult& r : t.threads) {
        w.begin_object();
        w.key("thread");
        w.value(r.thread);
        w.key("seconds");
        w.figure(r.seconds);
        w.key("rate");
        w.figure(r.rate);
        w.key("rate_per_second");
        w.per_second(r.rate, t.unit_scale);
        w.key("megabytes_per_second");
        w.figure(r.megabytes);
        w.key("out_of_memory");
        w.value(r.out_of_memory);
        w.end_object();
    }
    w.end_array();
}

void write_overall(const Test& t, JsonWriter& w) {
    w.begin_object();
    w.key("rate");
    w.figure(t.overall_rate);
    w.key("rate_per_second");
    w.per_second(t.overall_rate, t.unit_scale);
    w.key("megabytes_per_second");
    w.figure(t.overall_megabytes);
    w.key("incomplete_threads");
    w.value(t.incomplete_threads);
    w.end_object();
}

void write_test(const Test& t, JsonWriter& w) {
    w.begin_object();
    w.key("key");
    w.value(t.key);
    w.key("title");
    w.value(t.title);
    w.key("unit");
    w.value(t.unit);
    w.key("unit_scale");
    w.value(t.unit_scale);
    w.key("base_unit");
    w.value(base_unit(t));
    w.key("bytes_per_iteration");
    w.value(t.bytes_per_iteration);
    w.key("line");
    w.value(t.first_line);
    w.key("complete");
    w.value(t.complete);
    w.key("single");
    write_single(t, w);
    w.key("threads");
    write_threads(t, w);
    w.key("overall");
    write_overall(t, w);
    w.key("improvement");
    w.figure(t.improvement);
    w.key("improvement_unavailable");
    w.value(t.improvement_unavailable);
    w.end_object();
}

// The run's file and what was read of it, before its tests.
void write_run_head(const Run& run, JsonWriter& w) {
    bool escaped = false;
    w.key("path");
    w.value(json_path(run.path, escaped));
    if (escaped) {
        w.key("path_escaped");
        w.value(true);
    }
    w.key("label");
    w.value(run.label);
    w.key("program");
    w.value(program_name(run.program));
    w.key("source");
    w.value(run.source == Source::transcript ? "transcript" : "results_file");
    w.key("zone");
    w.value(run.zone);
    w.key("local_time");
    w.value(run.local_time);
    w.key("threads");
    if (run.threads)
        w.value(*run.threads);
    else
        w.null();
    w.key("iterations");
    w.value(run.iterations);
    w.key("partial");
    w.value(run.partial);
}

void write_run(const Run& run, JsonWriter& w) {
    w.begin_object();
    write_run_head(run, w);
    // How `run` recorded the repetition's end, as machine.json says it.
    w.key("outcome");
    if (run.machine && run.machine->repetition.outcome)
        w.value(*run.machine->repetition.outcome);
    else
        w.null();
    w.key("findings");
    write_findings(run, w);
    w.key("machine");
    if (run.machine)
        w.raw(run.machine->document);
    else
        w.null();
    w.key("tests");
    w.begin_array();
    for (const Test& t : run.tests)
        write_test(t, w);
    w.end_array();
    w.end_object();
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
    out += fmt::format(
        "{{\n  \"schema_version\": {},\n  \"tool\": \"bench_report\",\n"
        "  \"tool_version\": {},\n  \"runs\": [",
        export_schema_version, "\"" BENCH_REPORT_VERSION "\"");
}

void export_json_run(const Run& run, bool first, std::string& out) {
    if (!first)
        out += ',';
    JsonWriter w(out, 2);
    write_run(run, w);
}

void export_json_end(bool any_run, std::string& out) {
    out += any_run ? "\n  ]\n}\n" : "]\n}\n";
}

const char* csv_header() {
    return "path,label,program,test,scope,thread,metric,value,unit,printed,printed_unit,threads,"
           "local_time,zone,partial,findings,host,cpu_model,logical_cpus,outcome\n";
}

void export_csv(const std::vector<Run>& runs, std::string& out) {
    out += csv_header();
    for (const Run& run : runs)
        export_csv_rows(run, out);
}

namespace {

// The CSV rows of one run: each starts with the run's path, label and
// program, and ends with what is known of the run and its machine.
class CsvRows {
public:
    CsvRows(const Run& run, std::string& out) : out_(out) {
        head_ = csv_field(run.path) + ',' + csv_field(run.label) + ',' +
                program_name(run.program) + ',';
        const MachineRecord* m = run.machine.get();
        auto text = [](const std::optional<std::string>& v) { return v ? csv_field(*v) : ""; };
        tail_ = fmt::format(
            ",{},{},{},{},{},{},{},{},{}", run.threads ? std::to_string(*run.threads) : "",
            csv_field(run.local_time), csv_field(run.zone), run.partial ? 1 : 0,
            run.findings.size(), m ? text(m->machine.hostname) : "",
            m ? text(m->machine.model_name) : "",
            m && m->machine.logical_cpus ? std::to_string(*m->machine.logical_cpus) : "",
            m ? text(m->repetition.outcome) : "");
    }

    void test(const Test& t) {
        test_ = &t;
        unit_ = base_unit(t);
        if (has_single(t))
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

private:
    void row(const char* scope, const std::string& thread, const char* metric,
             const std::string& value, const char* unit, const std::string& printed,
             const std::string& printed_unit) {
        fmt::format_to(std::back_inserter(out_), "{}{},{},{},{},{},{},{},{}{}\n", head_,
                       test_->key, scope, thread, metric, value, unit, printed, printed_unit,
                       tail_);
    }

    // The figures of one pass (or one thread of it).
    void pass(const char* scope, const std::string& thread, bool oom,
              const std::optional<Figure>& seconds, const std::optional<Figure>& rate,
              const std::optional<Figure>& mb) {
        if (oom)
            row(scope, thread, "out_of_memory", "1", "flag", "", "");
        if (seconds)
            row(scope, thread, "seconds", number(seconds->value), "s", seconds->text, "s");
        if (rate)
            row(scope, thread, "rate", number(base_value(rate->value, test_->unit_scale)),
                unit_.c_str(), rate->text, csv_field(test_->unit));
        if (mb)
            row(scope, thread, "megabytes", number(mb->value), "MB/s", mb->text, "MB/s");
    }

    std::string& out_;
    std::string head_, tail_;
    const Test* test_ = nullptr;
    std::string unit_;
};

}  // namespace

void export_csv_rows(const Run& run, std::string& out) {
    CsvRows rows(run, out);
    for (const Test& t : run.tests)
        rows.test(t);
}

}  // namespace report
