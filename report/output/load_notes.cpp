#include "output/load_notes.h"

#include <fmt/format.h>

#include "output/text.h"

namespace report {

std::string describe(const LoadNote& n) {
    std::string path = escape_path(n.path);
    switch (n.kind) {
        case LoadNote::unreadable_directory:
            return fmt::format("bench_report: {}: cannot read the directory: {}\n", path, n.reason);
        case LoadNote::link_not_followed:
            return fmt::format("bench_report: {}: a symbolic link to a directory, not followed\n",
                               path);
        case LoadNote::unreadable:
            return fmt::format("bench_report: {}: cannot read: {}\n", path, n.reason);
        case LoadNote::same_file:
            return fmt::format("bench_report: {}: the same file as {}, read once\n", path,
                               escape_path(n.other));
        case LoadNote::not_results:
            return fmt::format("bench_report: {}:{}: expected {}, found {}\n", path, n.line,
                               n.reason,
                               n.found ? "\"" + escape_path(*n.found) + "\"" : "end of file");
        case LoadNote::machine_json_unreadable:
            return fmt::format("bench_report: {}: machine.json beside it: {}\n", path, n.reason);
        case LoadNote::transcript_read_once:
            return fmt::format("bench_report: {}: the console transcript of {}, read once\n", path,
                               escape_path(n.other));
    }
    return {};
}

}  // namespace report
