#include "machine/input_file.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace report {

namespace {

// What an input that is not a regular file is, for the message refusing it.
std::string not_regular(unsigned mode) {
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISDIR(mode))
        return "a directory";
    return "not a file";
}

}  // namespace

Expected<std::string> read_input_file(const std::string& path) {
    auto refused = [](std::string why) { return Failed(Exit::bad_input, std::move(why)); };
    auto system_error = [&] { return refused(std::strerror(errno)); };
    auto not_regular_file = [&](unsigned mode) {
        return refused(not_regular(mode) + ", not a regular file");
    };
    auto too_large = [&] { return refused("larger than the 16 MiB an input may hold"); };
    // Looked at before it is opened, so that opening a device has no effect;
    // looked at again once open, in case it was replaced in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return system_error();
    if (!S_ISREG(st.st_mode))
        return not_regular_file(st.st_mode);
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return system_error();
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0)
        return system_error();
    if (!S_ISREG(st.st_mode))
        return not_regular_file(st.st_mode);
    if (static_cast<unsigned long long>(st.st_size) > max_input_size)
        return too_large();
    std::string text;
    text.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return system_error();
        if (n == 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(n));
        // A file that grows while it is read is held to the same bound.
        if (text.size() > max_input_size)
            return too_large();
    }
}

std::optional<std::string> not_a_regular_file(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return std::nullopt;
    return not_regular(st.st_mode);
}

}  // namespace report
