// A file replaced whole, so that a reader finds the old text or the new,
// never a part of either, and a crash or a full disk leaves the old one: what
// is written goes to a temporary file beside the target, which is synced,
// renamed over the target, and the folder synced so that the rename lasts.
// The temporary is made by mkstemp, with a name of its own, so it never
// writes through a link planted at a name known in advance, and two writers
// never share one. A link at the target is replaced, not followed: a caller
// that means to write through a link resolves it first.
#pragma once

#include <filesystem>
#include <string_view>

#include <sys/types.h>

namespace report {

class FileReplacement {
public:
    FileReplacement() = default;
    ~FileReplacement();  // an uncommitted temporary is removed
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Creates the temporary beside `target` with the permissions `mode` (as
    // given: the umask is not applied again), named "." + the target's name +
    // "." + `tag` + six characters (the name cut short where that would be
    // too long); 0 or the errno of the failure.
    int open(const std::filesystem::path& target, mode_t mode, std::string_view tag = {});
    bool is_open() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    const std::filesystem::path& temporary() const { return temporary_; }

    // All of `text` appended to the temporary; 0 or the errno of the failure
    // (ENOSPC where the system writes nothing and gives no reason).
    int write(std::string_view text);
    // Syncs and closes the temporary, renames it over the target and syncs
    // the folder; 0 or the errno of the first failure, the temporary then
    // removed (a failure syncing the folder comes after the rename).
    int commit();
    // Closes and removes the temporary.
    void discard();

private:
    std::filesystem::path target_, temporary_;
    int fd_ = -1;
};

// `mode` less the process's umask: the permissions open() gives a new file.
mode_t without_umask(mode_t mode);

// `text` as the whole of `target`, with the permissions a new file gets (0644
// less the umask), through a FileReplacement; 0 or the errno of the failure.
int replace_file(const std::filesystem::path& target, std::string_view text,
                 std::string_view tag = {});

}  // namespace report
