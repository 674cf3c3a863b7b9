// Which build a program file is: the one rule `run` (a label that already
// holds another build) and `compare` (one sample per build) both follow.
// Two program files are one build when they have the same SHA-256, or the
// same GNU build ID: a build and its stripped copy differ in SHA-256, but the
// linker's build ID, which `strip` keeps, is the same. Either unknown (or
// empty) says nothing.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "machine/context.h"

namespace report {

bool same_build(const ProgramFile& a, const ProgramFile& b);

// The builds of many program files, as classes: whatever shares a SHA-256 or
// a build ID with a file is its build, and so on through the shared keys (a
// record that names no build ID joins its build through the SHA-256 of the
// stripped copy it measured).
class BuildClasses {
public:
    void add(const ProgramFile& program);
    // The class of a file added: a key of its build, the same for every file
    // of it; absent when the file names neither a SHA-256 nor a build ID.
    std::optional<std::string> of(const ProgramFile& program);
    // The hex digits a build goes by: the SHA-256 of the first file added
    // that names one, else its build ID.
    std::optional<std::string> name(const ProgramFile& program);

private:
    std::string root(std::string key);
    void join(const std::string& a, const std::string& b);

    std::map<std::string, std::string> parent_;
    std::map<std::string, std::string> first_sha_;  // root -> the first SHA-256 added to it
    std::vector<std::string> shas_;                  // every SHA-256 key, in the order added
    bool named_ = false;                             // first_sha_ holds for the keys now
};

}  // namespace report
