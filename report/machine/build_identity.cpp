// Telling builds apart: the SHA-256 or the GNU build ID they share.
#include "machine/build_identity.h"

namespace report {

namespace {

std::optional<std::string> known(const std::optional<std::string>& key) {
    if (!key || key->empty())
        return std::nullopt;
    return key;
}

}  // namespace

bool same_build(const ProgramFile& a, const ProgramFile& b) {
    std::optional<std::string> sa = known(a.sha256), sb = known(b.sha256);
    if (sa && sb && *sa == *sb)
        return true;
    std::optional<std::string> ia = known(a.build_id), ib = known(b.build_id);
    return ia && ib && *ia == *ib;
}

// The keys are "s" + SHA-256 and "b" + build ID: the keys a file carries are
// one build, and so is whatever shares a key with it.
void BuildClasses::add(const ProgramFile& program) {
    std::optional<std::string> sha = known(program.sha256), id = known(program.build_id);
    if (sha) {
        join("s" + *sha, "s" + *sha);
        shas_.push_back("s" + *sha);
    }
    if (id)
        join("b" + *id, sha ? "s" + *sha : "b" + *id);
    named_ = false;
}

std::optional<std::string> BuildClasses::of(const ProgramFile& program) {
    if (std::optional<std::string> sha = known(program.sha256))
        return root("s" + *sha);
    if (std::optional<std::string> id = known(program.build_id))
        return root("b" + *id);
    return std::nullopt;
}

std::optional<std::string> BuildClasses::name(const ProgramFile& program) {
    std::optional<std::string> c = of(program);
    if (!c)
        return std::nullopt;
    if (!named_) {
        first_sha_.clear();
        for (const std::string& key : shas_)
            first_sha_.try_emplace(root(key), key.substr(1));
        named_ = true;
    }
    auto sha = first_sha_.find(*c);
    // A class without a SHA-256 holds build IDs alone; its root is one of them.
    return sha != first_sha_.end() ? sha->second : c->substr(1);
}

std::string BuildClasses::root(std::string key) {
    while (parent_.at(key) != key)
        key = parent_.at(key);
    return key;
}

void BuildClasses::join(const std::string& a, const std::string& b) {
    parent_.try_emplace(a, a);
    parent_.try_emplace(b, b);
    std::string x = root(a), y = root(b);
    if (x != y)
        parent_[y] = x;
}

}  // namespace report
