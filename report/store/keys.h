// The keys a file is known by in a store (store/ingest.h's store_key), as
// an ingest resolves them, each directory once. Only store/ingest.cpp
// includes this.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include <sys/stat.h>

namespace report::ingesting {

namespace fs = std::filesystem;

// The keys a file may be known by in a store: the path of the file itself,
// every symbolic link on the way resolved, which it is stored by, so that a
// file reached by two paths is stored once; and the absolute path of the
// name it was given by, which stores made before keyed it by. Each directory
// is resolved once, from its parent's where it is no link itself: a fleet's
// nights cost one lstat each.
class Keys {
public:
    struct Of {
        std::string resolved, named;
    };

    Keys() : cwd_(fs::current_path(cwd_error_)) {}

    // The keys of `path`; `link` says whether the file itself is a symbolic
    // link, when the caller has looked. `top` is a directory whose walk found
    // it: a walk follows no link to a directory, so below `top` only the
    // file itself may be one, and `top` is the one directory resolved.
    Of of(const std::string& path, std::optional<bool> link = std::nullopt,
          const std::string* top = nullptr) {
        Of keys;
        keys.named = named(path);
        keys.resolved = resolved(path, link, top).value_or(keys.named);
        return keys;
    }

private:
    std::string named(const std::string& path) const {
        std::error_code ec;
        fs::path p(path);
        fs::path absolute = p.is_absolute() ? p : cwd_error_ ? fs::absolute(p, ec) : cwd_ / p;
        return ec ? path : absolute.lexically_normal().string();
    }

    std::optional<std::string> resolved(const std::string& path, std::optional<bool> link,
                                        const std::string* top) {
        if (!link) {
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0)
                return std::nullopt;
            link = S_ISLNK(st.st_mode);
        }
        std::error_code ec;
        if (*link) {
            fs::path target = fs::canonical(path, ec);
            return ec ? std::nullopt : std::optional<std::string>(target.string());
        }
        if (std::optional<std::size_t> rest = below(path, top)) {
            const std::optional<fs::path>& dir = directory(*top);
            if (!dir)
                return std::nullopt;
            return (*dir / path.substr(*rest)).lexically_normal().string();
        }
        std::size_t slash = path.rfind('/');
        const std::optional<fs::path>& dir =
            directory(slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1));
        if (!dir)
            return std::nullopt;
        return (*dir / path.substr(slash + 1)).lexically_normal().string();
    }

    // Where the part of `path` below directory `top` starts, when it is
    // below it as a walk of `top` shows it ("./" left out).
    static std::optional<std::size_t> below(const std::string& path, const std::string* top) {
        if (!top)
            return std::nullopt;
        if (*top == "." || *top == "./")
            return path.empty() || path.front() == '/' ? std::nullopt
                                                       : std::optional<std::size_t>(0);
        std::string_view t(*top);
        while (t.size() > 1 && t.back() == '/')
            t.remove_suffix(1);
        if (t == "/")
            return path.size() > 1 && path.front() == '/' ? std::optional<std::size_t>(1)
                                                          : std::nullopt;
        if (path.size() > t.size() + 1 && path.compare(0, t.size(), t) == 0 &&
            path[t.size()] == '/')
            return t.size() + 1;
        return std::nullopt;
    }

    // The directory whose path is `text`, every link resolved; absent when it
    // cannot be. (References to a map's elements stay good as it grows.)
    const std::optional<fs::path>& directory(const std::string& text) {
        if (auto it = dirs_.find(text); it != dirs_.end())
            return it->second;
        std::string dir = text;
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        std::size_t slash = dir.rfind('/');
        std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
        std::optional<fs::path> real;
        struct stat st {};
        if (slash != std::string::npos && slash > 0 && name != "." && name != ".." &&
            ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            if (const std::optional<fs::path>& parent = directory(dir.substr(0, slash + 1)))
                real = *parent / name;
        } else {
            std::error_code ec;
            fs::path whole = fs::canonical(dir, ec);
            if (!ec)
                real = std::move(whole);
        }
        return dirs_.emplace(text, std::move(real)).first->second;
    }

    std::error_code cwd_error_;
    fs::path cwd_;
    std::unordered_map<std::string, std::optional<fs::path>> dirs_;
};

}  // namespace report::ingesting
