// The test a benchmark program is running and its pass, followed from the
// lines it prints, for the progress of `run`.
#pragma once

#include <string>

namespace report {

class Activity {
public:
    // One line the program printed.
    void see(std::string line);
    // "starting", "Float Streaming", "Float Streaming, one thread".
    std::string text() const;

private:
    std::string test_;
    std::string pass_;
};

}  // namespace report
