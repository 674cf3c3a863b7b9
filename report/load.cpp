#include "load.h"

namespace report {

Loaded load_runs(const std::vector<std::string>&, const std::vector<std::string>&, std::ostream&) {
    return {};
}

std::string escape_path(const std::string& path) { return path; }

}  // namespace report
