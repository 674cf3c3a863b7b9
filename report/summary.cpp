#include "summary.h"

namespace report {

TestSummary summarize(const Run&, const Test&) { return {}; }
std::vector<Table> show_tables(const Run&) { return {}; }

}  // namespace report
