// The settings `bench_report system` knows, one class each (the interface is
// SystemSetting, in machine/system.h). Those tune changes read the file they
// write and the value they write into it; the others only say what they are
// and what to do about them by hand. system_settings() lists them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "machine/system.h"

namespace report::settings {

// --- What tune sets ---

// A boost or turbo switch: the machine's (cpufreq/boost, or intel_pstate's
// no_turbo, which holds the opposite), or one policy's.
class Boost : public SystemSetting {
public:
    Boost(std::string path, std::string policy, std::string off)
        : path_(std::move(path)), policy_(std::move(policy)), off_(std::move(off)) {}

    std::optional<Setting> read(const SettingContext& c) const override;
    SystemFinding show(const SettingContext& c) const override;

    // Whether `path` is a machine's switch, and `file` a policy's.
    static bool names(const std::string& path);
    static bool names_in_policy(const std::string& file);

private:
    std::string path_, policy_, off_;
};

class NoBoost : public SystemSetting {
public:
    SystemFinding show(const SettingContext&) const override;
};

// A policy's frequency governor, set to the one that keeps the clock up.
class Governor : public SystemSetting {
public:
    explicit Governor(const FrequencyPolicy& policy) : policy_(policy) {}

    std::optional<Setting> read(const SettingContext& c) const override;
    SystemFinding show(const SettingContext& c) const override;

    static bool names_in_policy(const std::string& file);

private:
    std::optional<std::string> available(const SettingContext& c) const;

    FrequencyPolicy policy_;
};

// A policy's minimum frequency, raised to its maximum so that the processor
// does not slow down between tests.
class MinimumFrequency : public SystemSetting {
public:
    explicit MinimumFrequency(std::string policy) : policy_(std::move(policy)) {}

    std::optional<Setting> read(const SettingContext& c) const override;
    SystemFinding show(const SettingContext& c) const override;
    // The maximum again when tune writes: turning boost off can lower it.
    std::string target(const std::filesystem::path& root, const Setting& now) const override;

    static bool names_in_policy(const std::string& file);

private:
    std::optional<std::string> maximum(const std::filesystem::path& root,
                                       std::vector<std::string>* refused) const;

    std::string policy_;
};

class NoCpufreq : public SystemSetting {
public:
    SystemFinding show(const SettingContext&) const override;
};

// --- What tune leaves alone, with what to do by hand ---

class Smt : public SystemSetting {
public:
    SystemFinding show(const SettingContext& c) const override;
};

class TransparentHugePages : public SystemSetting {
public:
    SystemFinding show(const SettingContext& c) const override;
};

class Aslr : public SystemSetting {
public:
    SystemFinding show(const SettingContext& c) const override;
};

class IsolatedProcessors : public SystemSetting {
public:
    SystemFinding show(const SettingContext& c) const override;
};

class LoadAverage : public SystemSetting {
public:
    SystemFinding show(const SettingContext& c) const override;
};

class CpuQuota : public SystemSetting {
public:
    SystemFinding show(const SettingContext& c) const override;
};

class Hypervisor : public SystemSetting {
public:
    SystemFinding show(const SettingContext& c) const override;
};

}  // namespace report::settings
