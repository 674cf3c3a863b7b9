#include "store/leftover.h"

#include <array>
#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/store.h"

namespace report {

namespace {

// The first `N` bytes of the regular file at `path`, or false when it is no
// regular file or shorter. Opened without blocking: a FIFO is never waited on.
template <std::size_t N>
bool head_of(const std::string& path, std::array<unsigned char, N>& head) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                ::pread(fd, head.data(), N, 0) == static_cast<ssize_t>(N);
    ::close(fd);
    return read;
}

// A rollback journal starts with these 8 bytes once it is synced, before any
// page of the database is written; the database's size in pages when the
// transaction began is the big-endian number at byte 16, its page size the
// one at byte 24.
constexpr unsigned char journal_magic[] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
constexpr std::size_t journal_header = 28;

unsigned long big_endian32(const unsigned char* p) {
    return (static_cast<unsigned long>(p[0]) << 24) | (static_cast<unsigned long>(p[1]) << 16) |
           (static_cast<unsigned long>(p[2]) << 8) | static_cast<unsigned long>(p[3]);
}

off_t size_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
}

}  // namespace

bool unfinished_new_store(const std::string& path) {
    // The journal first: for any other file, one look finds none.
    std::array<unsigned char, journal_header> head{};
    if (path.empty() || !head_of(path + "-journal", head) ||
        std::memcmp(head.data(), journal_magic, sizeof journal_magic) != 0 ||
        big_endian32(head.data() + 16) != 0)
        return false;
    // A journal SQLite wrote names a page size, a power of two from 512 to
    // 65536. (The file's size need not be whole pages: a full disk may cut
    // the last write short.)
    unsigned long page = big_endian32(head.data() + 24);
    struct stat st {};
    return page >= 512 && page <= 65536 && (page & (page - 1)) == 0 &&
           ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !is_sqlite_file(path);
}

Leftover leftover(const std::string& path) {
    if (wal_mode(path))
        // A log of its 32-byte header alone holds no change.
        return size_of(path + "-wal") > 32 ? Leftover::wal_log : Leftover::none;
    // SQLite's own test of a journal to play back: one whose first byte is
    // not zero (a committed transaction zeroes or deletes it).
    std::array<unsigned char, 1> first{};
    return head_of(path + "-journal", first) && first[0] != 0 ? Leftover::journal
                                                                    : Leftover::none;
}

bool wal_mode(const std::string& path) {
    // Bytes 18 and 19 of the header: the versions to write and read, 2 in WAL mode.
    std::array<unsigned char, 20> head{};
    return is_sqlite_file(path) && head_of(path, head) && (head[18] == 2 || head[19] == 2);
}

}  // namespace report
