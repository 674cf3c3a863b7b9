#include "parse.h"

namespace report {

std::variant<Run, ParseError> parse_run(std::string_view, const std::string&) {
    return ParseError{1, "a results file", ""};
}

}  // namespace report
