#include "input/paths.h"

#include <algorithm>
#include <filesystem>
#include <iterator>

namespace report {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view name_prefixes[] = {"results_processors_Linux_x86 @ ",
                                              "results_memory_Linux_x86 @ "};

}  // namespace

bool results_name(const std::string& name) {
    bool prefix = std::any_of(std::begin(name_prefixes), std::end(name_prefixes),
                              [&](std::string_view p) { return name.rfind(p, 0) == 0; });
    return prefix && name.size() >= 4 && name.compare(name.size() - 4, 4, ".txt") == 0;
}

bool plain_file_path(std::string_view path) {
    std::size_t slash = path.rfind('/');
    std::string_view file = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
    return path.find("//") == std::string_view::npos && !file.empty() && file != "." &&
           file != "..";
}

std::string beside(const std::string& path, const char* name) {
    if (!plain_file_path(path))
        return (fs::path(path).parent_path() / name).string();
    std::size_t slash = path.rfind('/');
    return path.substr(0, slash == std::string::npos ? 0 : slash + 1) + name;
}

std::string_view directory_text(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return path.substr(0, slash == std::string_view::npos ? 0 : slash + 1);
}

bool is_run_directory(std::string_view name) {
    if (name.size() < 16 || name[8] != 'T' || name[15] != 'Z')
        return false;
    for (std::size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14})
        if (name[i] < '0' || name[i] > '9')
            return false;
    return name.size() == 16 || name[16] == '-';
}

}  // namespace report
