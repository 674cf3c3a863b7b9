// Where the tests find the tools CI installs (scripts/setup ci): on the PATH,
// else in the Debian packages' folders.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

// The tool's path, or "" when it is not installed.
inline std::string tool_path(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/bin:/usr/sbin:/bin:/sbin";
    std::stringstream dirs(path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::filesystem::path p = std::filesystem::path(dir) / name;
        std::error_code ec;
        if (!dir.empty() && std::filesystem::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0)
            return p.string();
    }
    return "";
}

inline bool tool_found(const std::string& name) {
    return !tool_path(name).empty();
}
