// JUnit XML as CI servers read test reports (GitLab's junit artifacts,
// Jenkins' junit step): a `testsuites` document of suites, each with its
// counts, and a `testcase` per verdict that passed, failed or was skipped.
// The verdicts are decided elsewhere; this only writes them.
#pragma once

#include <string>
#include <vector>

namespace report {

struct JunitCase {
    enum class State { passed, failed, skipped };
    std::string classname, name;  // any text: escaped here
    State state = State::passed;
    std::string message;  // the failure's or skip's one line
    std::string text;     // its explanation, lines; for a pass, the system-out
    double seconds = 0;
};

struct JunitSuite {
    std::string name;
    std::vector<JunitCase> cases;
};

// The whole document, with its XML declaration, ending in a newline.
std::string junit_document(const std::string& name, const std::vector<JunitSuite>& suites);

}  // namespace report
