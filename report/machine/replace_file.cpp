#include "machine/replace_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace report {

namespace fs = std::filesystem;

namespace {

// "." + name + "." + tag + "XXXXXX", the name cut so that the whole fits in
// a file name (a 250-byte target must not fail for its temporary's sake).
std::string temporary_pattern(const std::string& name, std::string_view tag) {
    constexpr std::size_t longest = NAME_MAX;
    std::size_t room = longest - std::min(longest, 2 + tag.size() + 6);
    return "." + name.substr(0, room) + "." + std::string(tag) + "XXXXXX";
}

// Syncs the folder holding `file`, so that a rename into it outlasts a
// crash. A folder that cannot be opened for it (no read permission) or whose
// file system cannot sync folders is left as it is.
int sync_folder(const fs::path& file) {
    fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int failure = ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    ::close(fd);
    return failure;
}

}  // namespace

FileReplacement::~FileReplacement() {
    discard();
}

int FileReplacement::open(const fs::path& target, mode_t mode, std::string_view tag) {
    discard();
    fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string pattern = (folder / temporary_pattern(target.filename().string(), tag)).string();
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    if (::fchmod(fd, mode) != 0) {
        int failure = errno;
        ::close(fd);
        ::unlink(pattern.c_str());
        return failure;
    }
    fd_ = fd;
    target_ = target;
    temporary_ = pattern;
    return 0;
}

int FileReplacement::write(std::string_view text) {
    if (fd_ < 0)
        return EBADF;
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            // A file-size limit (SIGXFSZ ignored) or a full disk.
            return n < 0 ? errno : ENOSPC;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int FileReplacement::commit() {
    if (fd_ < 0)
        return EBADF;
    int failure = ::fsync(fd_) != 0 ? errno : 0;
    if (::close(fd_) != 0 && !failure)
        failure = errno;
    fd_ = -1;
    if (!failure && ::rename(temporary_.c_str(), target_.c_str()) != 0)
        failure = errno;
    if (failure) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
        return failure;
    }
    temporary_.clear();
    return sync_folder(target_);
}

void FileReplacement::discard() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    temporary_.clear();
}

mode_t without_umask(mode_t mode) {
    // The umask is read by setting it; it is set back at once.
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mode & ~mask;
}

int replace_file(const fs::path& target, std::string_view text, std::string_view tag) {
    FileReplacement file;
    int failure = file.open(target, without_umask(0644), tag);
    if (!failure)
        failure = file.write(text);
    if (!failure)
        failure = file.commit();
    return failure;
}

}  // namespace report
