// What the sources of the system settings share (system.cpp, system_settings.cpp,
// system_state.cpp, system_tune.cpp): the settings' files under a root, the
// settings tune writes in the order it writes them, and the state file's
// leftovers. Not for use outside them.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/system.h"

namespace report::system_parts {

// A path as on the machine ("/sys/...") under the root.
std::filesystem::path under(const std::filesystem::path& root, const std::string& path);

// What a setting of /sys can hold: a governor's name, a number of kHz, 0 or 1.
bool setting_value(const std::string& v);

// What the setting file at `path` holds, when a setting can hold it.
// A file that is no regular file is named in `refused`, when given.
std::optional<std::string> setting_value_at(const std::filesystem::path& root,
                                            const std::string& path,
                                            std::vector<std::string>* refused = nullptr);

// A setting tune writes, with the object that knows it.
struct Tunable {
    const SystemSetting* setting;
    Setting value;
};

// Every setting tune writes on this machine, in the order it writes them:
// boost, then each policy's governor, then each policy's minimum frequency
// (turning boost off can lower the maximum the minimum is raised to).
std::vector<Tunable> tunables(const SettingContext& context,
                              const std::vector<std::unique_ptr<SystemSetting>>& settings);

SettingContext context_of(const std::filesystem::path& root, const Machine& machine);

// The files refused while reading the machine and its settings, each once,
// in the order they were met.
std::vector<std::string> refused_files(const Machine& machine, const SettingContext& context);

// Removes the temporary state files beside `file` that a tune or reset
// killed while writing left behind: those whose process is gone.
void remove_stale_temporaries(const std::filesystem::path& file);

}  // namespace report::system_parts
