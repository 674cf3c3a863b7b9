// The program file measured: its SHA-256 and the OpenMP runtime it names,
// with the dpkg packages holding them.
#include "machine/machine.h"
#include "machine/readers.h"
#include "machine/build_id.h"
#include "machine/sha256.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

namespace {

// "Package: NAME" stanza's Version in the dpkg database, when installed.
std::optional<std::string> dpkg_version(Files& files, const std::string& package) {
    const fs::path& root = files.root();
    auto status = files.text(root / "var/lib/dpkg/status");
    if (!status)
        return std::nullopt;
    std::istringstream in(*status);
    bool mine = false, installed = false;
    std::optional<std::string> version;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) {
            if (mine && installed && version)
                return version;
            mine = installed = false;
            version.reset();
        } else if (line.rfind("Package: ", 0) == 0)
            mine = trim(line.substr(9)) == package;
        else if (line.rfind("Status: ", 0) == 0)
            installed = line.find(" installed") != std::string::npos;
        else if (line.rfind("Version: ", 0) == 0)
            version = trim(line.substr(9));
    }
    if (mine && installed && version)
        return version;
    return std::nullopt;
}

// The installed package, among those whose name starts with `prefix`, that lists `file`.
std::optional<std::string> dpkg_owner(Files& files, const std::string& prefix,
                                      const std::string& file) {
    std::error_code ec;
    for (fs::directory_iterator it(files.root() / "var/lib/dpkg/info", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0 || it->path().extension() != ".list")
            continue;
        auto list = files.text(it->path());
        if (!list)
            continue;
        std::istringstream in(*list);
        for (std::string line; std::getline(in, line);)
            if (line == file) {
                std::string package = it->path().stem().string();
                return package.substr(0, package.find(':'));
            }
    }
    return std::nullopt;
}

}  // namespace

namespace {

// The OpenMP runtimes a program may name among its dynamic strings.
constexpr std::string_view openmp_runtimes[] = {"libgomp.so.1", "libomp.so.5", "libiomp5.so"};

// One pass over the program file: its SHA-256, and the first OpenMP runtime
// it names.
void scan_program(ProgramFile& f) {
    std::ifstream in(f.path, std::ios::binary);
    Sha256 digest;
    std::string carry;
    char buffer[65536];
    while (in && (in.read(buffer, sizeof buffer) || in.gcount() > 0)) {
        auto n = static_cast<std::size_t>(in.gcount());
        digest.add(std::string_view(buffer, n));
        if (f.openmp_library)
            continue;
        // A name may straddle two reads: the end of the one before is kept.
        std::string window = carry + std::string(buffer, n);
        for (std::string_view name : openmp_runtimes)
            if (window.find(std::string(name) + '\0') != std::string::npos) {
                f.openmp_library = std::string(name);
                break;
            }
        carry = window.substr(window.size() - std::min<std::size_t>(window.size(), 16));
    }
    if (in.is_open() && !in.bad())
        f.sha256 = digest.hex();
}

// Where the system keeps the OpenMP runtime the program names, and the
// version of the package holding it.
void locate_openmp(Files& files, ProgramFile& f) {
    const fs::path& root = files.root();
    std::error_code ec;
    for (const char* dir :
         {"usr/lib/x86_64-linux-gnu", "lib/x86_64-linux-gnu", "usr/lib", "usr/local/lib"}) {
        fs::path candidate = root / dir / *f.openmp_library;
        if (!fs::exists(candidate, ec))
            continue;
        fs::path real = fs::canonical(candidate, ec);
        if (ec)
            continue;
        f.openmp_path = "/" + real.lexically_relative(fs::canonical(root)).string();
        // dpkg lists the path it installed, which may be the link's directory.
        auto stem = f.openmp_library->substr(0, f.openmp_library->find('.'));
        for (const std::string& listed :
             {"/" + std::string(dir) + "/" + real.filename().string(), *f.openmp_path})
            if (auto owner = dpkg_owner(files, stem, listed)) {
                f.openmp_version = dpkg_version(files, *owner);
                break;
            }
        return;
    }
}

}  // namespace

ProgramFile describe_program(const fs::path& program, const fs::path& root) {
    ProgramFile f;
    std::error_code ec;
    fs::path canonical = fs::canonical(program, ec);
    f.path = ec ? program.string() : canonical.string();
    auto size = fs::file_size(f.path, ec);
    if (!ec)
        f.size = size;
    scan_program(f);
    f.build_id = elf_build_id(fs::path(f.path));
    Files files(root);
    if (auto owner = dpkg_owner(files, "ombrelune-bench", f.path))
        f.package_version = dpkg_version(files, *owner);
    if (f.openmp_library)
        locate_openmp(files, f);
    return f;
}

}  // namespace report
