#include "output/outcome.h"

#include <optional>

#include "analysis/recorded.h"
#include "machine/record.h"
#include "output/text.h"

namespace report {

namespace {

// Text read from a file, as a view line can hold it: escaped, and cut on a
// character's boundary past `longest` bytes.
std::string bounded(const std::string& text, std::size_t longest) {
    if (text.size() <= longest)
        return escape_path(text);
    return escape_path(text.substr(0, utf8_cut(text, longest))) + "...";
}

}  // namespace

std::string outcome_words(const std::string& outcome) {
    if (outcome == "timed_out")
        return "timed out";
    if (outcome == "running")
        return "still running";
    return bounded(outcome, 40);
}

std::string unfinished_text(const Run& run) {
    std::optional<std::string> how = unfinished_outcome(run);
    if (!how)
        return "";
    std::string text = outcome_words(*how);
    const std::optional<std::string>& reason = run.machine->repetition.reason;
    if (reason && !reason->empty())
        text += ": " + bounded(*reason, 200);
    return text;
}

}  // namespace report
