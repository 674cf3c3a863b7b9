// Replacing a file whole: the new text or the old one, with the permissions
// asked for, and never a temporary file left behind, whatever fails.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "machine/replace_file.h"

namespace fs = std::filesystem;
using report::replace_file;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A folder of its own for each case, removed after it.
struct Folder {
    fs::path path;
    Folder() {
        std::string pattern = (fs::temp_directory_path() / "replace_file.XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(path), fs::directory_iterator()));
    }
};

// Runs `f` with writes limited to `bytes` (SIGXFSZ ignored, as bench_report
// ignores it), the limit and the signal restored after.
int with_write_limit(rlim_t bytes, const std::function<int()>& f) {
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = std::min(bytes, old.rlim_max);
    ::setrlimit(RLIMIT_FSIZE, &limited);
    int result = f();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    return result;
}

TEST(ReplaceFile, LeavesTheNewTextOrTheOldAndNoTemporary) {
    const std::string old_text = "old\n", new_text = std::string(4096, 'n');
    struct Case {
        const char* name;
        std::function<void(const fs::path& dir)> before;  // what the folder holds
        std::function<int(const fs::path& target)> write;
        int failure;
        const char* target_holds;  // "new", "old", or "" for no file
        std::size_t entries;       // the folder's entries after
    };
    auto plain = [&](const fs::path& t) { return replace_file(t, new_text); };
    auto old_file = [&](const fs::path& d) { std::ofstream(d / "t") << old_text; };
    const Case cases[] = {
        {"a new file", [](const fs::path&) {}, plain, 0, "new", 1},
        {"an old file", old_file, plain, 0, "new", 1},
        {"a link at the target is replaced, its file kept",
         [&](const fs::path& d) {
             std::ofstream(d / "elsewhere") << old_text;
             fs::create_symlink("elsewhere", d / "t");
         },
         plain, 0, "new", 2},
        {"a file-size limit", old_file,
         [&](const fs::path& t) { return with_write_limit(100, [&] { return plain(t); }); }, EFBIG,
         "old", 1},
        {"a folder that is not there", [](const fs::path&) {},
         [&](const fs::path& t) { return replace_file(t.parent_path() / "gone" / "t", new_text); },
         ENOENT, "", 0},
        {"a folder that is a file", old_file,
         [&](const fs::path& t) { return replace_file(t / "u", new_text); }, ENOTDIR, "old", 1},
        {"a directory at the target", [](const fs::path& d) { fs::create_directory(d / "t"); },
         plain, EISDIR, "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Folder folder;
        c.before(folder.path);
        const fs::path target = folder.path / "t";
        EXPECT_EQ(c.write(target), c.failure);
        std::string holds = c.target_holds;
        if (holds == "new") {
            EXPECT_EQ(slurp(target), new_text);
            EXPECT_FALSE(fs::is_symlink(target));
        } else if (holds == "old") {
            EXPECT_EQ(slurp(target), old_text);
        }
        EXPECT_EQ(folder.entries(), c.entries);
    }
}

// The permissions asked for, the umask not applied twice; a tag and a name
// as long as a file name may be still make a temporary that fits.
TEST(ReplaceFile, GivesThePermissionsAskedForAndFitsLongNames) {
    Folder folder;
    report::FileReplacement file;
    ASSERT_EQ(file.open(folder.path / "t", 0640, "123."), 0);
    EXPECT_EQ(file.temporary().filename().string().rfind(".t.123.", 0), 0u);
    EXPECT_EQ(file.write("text"), 0);
    EXPECT_EQ(file.commit(), 0);
    struct stat st {};
    ASSERT_EQ(::stat((folder.path / "t").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(replace_file(folder.path / std::string(255, 'x'), "long"), 0);
    EXPECT_EQ(slurp(folder.path / std::string(255, 'x')), "long");
    EXPECT_EQ(folder.entries(), 2u);
    // Given up: the temporary goes, the target stays as it was.
    report::FileReplacement dropped;
    ASSERT_EQ(dropped.open(folder.path / "t", 0644), 0);
    EXPECT_EQ(dropped.write("other"), 0);
    dropped.discard();
    EXPECT_EQ(slurp(folder.path / "t"), "text");
    EXPECT_EQ(folder.entries(), 2u);
}

}  // namespace
