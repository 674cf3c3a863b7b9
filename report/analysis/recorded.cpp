#include "analysis/recorded.h"

#include <map>
#include <set>

#include "machine/record.h"

namespace report {

std::optional<std::string> build_identity(const Run& run) {
    if (!run.machine || !run.machine->program.sha256 || run.machine->program.sha256->empty())
        return std::nullopt;
    return run.machine->program.sha256;
}

std::optional<std::string> unfinished_outcome(const Run& run) {
    return run.machine ? unfinished_outcome(run.machine->repetition) : std::nullopt;
}

std::vector<std::string> recorded_warnings(const Run& run) {
    std::vector<std::string> out;
    if (run.machine)
        for (const Disturbance& d : run.machine->warnings)
            out.push_back(d.message);
    return out;
}

namespace {

std::optional<std::string> recorded_build_id(const Run& run) {
    if (!run.machine || !run.machine->program.build_id || run.machine->program.build_id->empty())
        return std::nullopt;
    return run.machine->program.build_id;
}

// The builds of runs as classes of keys ("s" + SHA-256, "b" + build ID): the
// keys a run carries are one build, and so is whatever shares a key with it.
class Builds {
public:
    void add(const Run& run) {
        std::optional<std::string> sha = build_identity(run), id = recorded_build_id(run);
        if (sha)
            join("s" + *sha, "s" + *sha);
        if (id)
            join("b" + *id, sha ? "s" + *sha : "b" + *id);
    }
    // The class of a run's build: its first key's root; absent when unknown.
    std::optional<std::string> of(const Run& run) {
        if (std::optional<std::string> sha = build_identity(run))
            return root("s" + *sha);
        if (std::optional<std::string> id = recorded_build_id(run))
            return root("b" + *id);
        return std::nullopt;
    }

private:
    std::string root(std::string key) {
        while (parent_.at(key) != key)
            key = parent_.at(key);
        return key;
    }
    void join(const std::string& a, const std::string& b) {
        parent_.try_emplace(a, a);
        parent_.try_emplace(b, b);
        std::string x = root(a), y = root(b);
        if (x != y)
            parent_[y] = x;
    }
    std::map<std::string, std::string> parent_;
};

}  // namespace

bool same_build(const Run& a, const Run& b) {
    std::optional<std::string> sa = build_identity(a), sb = build_identity(b);
    if (sa && sb && *sa == *sb)
        return true;
    std::optional<std::string> ia = recorded_build_id(a), ib = recorded_build_id(b);
    return ia && ib && *ia == *ib;
}

std::vector<std::string> sample_labels(const std::vector<const Run*>& runs) {
    Builds classes;
    for (const Run* r : runs)
        classes.add(*r);
    std::map<std::string, std::set<std::string>> builds;  // label -> its builds' classes
    std::map<std::string, std::string> named;             // class -> the SHA-256 seen first
    for (const Run* r : runs)
        if (std::optional<std::string> c = classes.of(*r)) {
            builds[r->label].insert(*c);
            if (std::optional<std::string> sha = build_identity(*r))
                named.try_emplace(*c, *sha);
        }
    std::vector<std::string> out;
    for (const Run* r : runs) {
        std::optional<std::string> c = classes.of(*r);
        auto name = c ? named.find(*c) : named.end();
        if (c && builds[r->label].size() > 1 && name != named.end())
            out.push_back(r->label + "@" + name->second.substr(0, 8));
        else if (c && builds[r->label].size() > 1)
            out.push_back(r->label + "@" + c->substr(1, 8));
        else
            out.push_back(r->label);
    }
    return out;
}

void label_builds(std::vector<Run>& runs) {
    for (Program program : {Program::processors, Program::memory}) {
        std::vector<const Run*> of;
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < runs.size(); ++i)
            if (runs[i].program == program) {
                of.push_back(&runs[i]);
                at.push_back(i);
            }
        std::vector<std::string> labels = sample_labels(of);
        for (std::size_t k = 0; k < at.size(); ++k)
            runs[at[k]].label = labels[k];
    }
}

}  // namespace report
