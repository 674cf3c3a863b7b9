// The built /sys trees of tests/report/data/system, copied into a temporary
// folder before a test writes them, and what every file of a tree holds.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include <unistd.h>

#include "machine/system.h"

namespace system_trees {

namespace fs = std::filesystem;

inline const fs::path trees = fs::path(REPORT_DATA) / "system";
inline const std::string cpufreq = "/sys/devices/system/cpu/cpufreq/";

inline std::string text_of(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void put(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// Every file of a tree and what it holds, with values compared as the kernel
// reads them back (a trailing newline either way).
inline std::map<std::string, std::string> contents(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file() && e.path().filename() != "tune-state.json") {
            std::string t = text_of(e.path());
            while (!t.empty() && t.back() == '\n')
                t.pop_back();
            out[fs::relative(e.path(), root).string()] = t;
        }
    return out;
}

// A tree copied into a folder of its own, removed afterwards.
struct Copy {
    fs::path root;
    explicit Copy(const std::string& tree) {
        static int copies = 0;
        root = fs::temp_directory_path() / ("system-" + tree + "-" + std::to_string(::getpid()) +
                                            "-" + std::to_string(++copies));
        fs::remove_all(root);
        fs::copy(trees / tree, root, fs::copy_options::recursive);
    }
    ~Copy() { fs::remove_all(root); }
    fs::path state() const { return report::default_state_file(root); }
    std::string value(const std::string& path) const {
        std::string t = text_of(root / path.substr(1));
        return t.substr(0, t.find('\n'));
    }
};

}  // namespace system_trees
