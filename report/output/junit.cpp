#include "output/junit.h"

#include <iterator>

#include <fmt/format.h>

#include "output/text.h"

namespace report {

namespace {

struct Counts {
    std::size_t tests = 0, failures = 0, skipped = 0;
    double seconds = 0;
};

Counts counts(const JunitSuite& s) {
    Counts c;
    for (const JunitCase& t : s.cases) {
        ++c.tests;
        c.failures += t.state == JunitCase::State::failed;
        c.skipped += t.state == JunitCase::State::skipped;
        c.seconds += t.seconds;
    }
    return c;
}

// The attributes every reader asks for, errors always 0: a verdict is a
// pass, a failure or a skip, never an error of the test itself.
std::string count_attributes(const Counts& c) {
    return fmt::format("tests=\"{}\" failures=\"{}\" errors=\"0\" skipped=\"{}\" time=\"{:.3f}\"",
                       c.tests, c.failures, c.skipped, c.seconds);
}

// Element text: xml_escape leaves newlines escaped as "\n", which a CI
// page shows as such, so each line is escaped alone.
std::string lines_text(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        out += xml_escape(std::string_view(text).substr(start, end - start));
        if (end < text.size())
            out += '\n';
        start = end + 1;
    }
    return out;
}

void write_case(const JunitCase& t, std::string& out) {
    fmt::format_to(std::back_inserter(out),
                   "    <testcase classname=\"{}\" name=\"{}\" time=\"{:.3f}\"",
                   xml_escape(t.classname), xml_escape(t.name), t.seconds);
    if (t.state == JunitCase::State::passed) {
        if (t.text.empty()) {
            out += "/>\n";
            return;
        }
        out += ">\n      <system-out>" + lines_text(t.text) + "</system-out>\n    </testcase>\n";
        return;
    }
    const char* element = t.state == JunitCase::State::failed ? "failure" : "skipped";
    fmt::format_to(std::back_inserter(out), ">\n      <{} message=\"{}\"", element,
                   xml_escape(t.message));
    if (t.state == JunitCase::State::failed)
        out += " type=\"slower\"";
    if (t.text.empty())
        out += "/>\n";
    else
        fmt::format_to(std::back_inserter(out), ">{}</{}>\n", lines_text(t.text), element);
    out += "    </testcase>\n";
}

}  // namespace

std::string junit_document(const std::string& name, const std::vector<JunitSuite>& suites) {
    Counts all;
    std::string body;
    for (const JunitSuite& s : suites) {
        Counts c = counts(s);
        all.tests += c.tests;
        all.failures += c.failures;
        all.skipped += c.skipped;
        all.seconds += c.seconds;
        fmt::format_to(std::back_inserter(body), "  <testsuite name=\"{}\" {}>\n",
                       xml_escape(s.name), count_attributes(c));
        for (const JunitCase& t : s.cases)
            write_case(t, body);
        body += "  </testsuite>\n";
    }
    return fmt::format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"{}\" {}>\n{}"
                       "</testsuites>\n",
                       xml_escape(name), count_attributes(all), body);
}

}  // namespace report
