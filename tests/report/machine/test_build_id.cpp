// The GNU build ID: read from programs built here and their stripped copies,
// refused from damaged files, and what it makes one build in a comparison.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <elf.h>
#include <gtest/gtest.h>

#include "analysis/machine_differences.h"
#include "analysis/recorded.h"
#include "machine/build_id.h"
#include "machine/build_identity.h"
#include "machine/machine.h"
#include "machine/record.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch() {
    fs::path dir = fs::temp_directory_path() / ("build_id_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

// A program built from `source` by the system's C compiler, with a build ID.
fs::path build(const fs::path& dir, const std::string& name, const std::string& source) {
    std::ofstream(dir / (name + ".c")) << source;
    std::string command = "cc -O2 -Wl,--build-id=sha1 -o '" + (dir / name).string() + "' '" +
                          (dir / (name + ".c")).string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return dir / name;
}

std::string bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

// A build and its stripped copy: different files, one build ID; another build
// has another.
TEST(BuildId, StrippedCopyKeepsIt) {
    fs::path dir = scratch();
    fs::path a = build(dir, "a", "int main(void) { return 0; }\n");
    fs::path b = build(dir, "b", "int main(void) { return 1; }\n");
    fs::copy_file(a, dir / "a.stripped", fs::copy_options::overwrite_existing);
    ASSERT_EQ(std::system(("strip '" + (dir / "a.stripped").string() + "'").c_str()), 0);

    report::ProgramFile full = report::describe_program(a, dir);
    report::ProgramFile stripped = report::describe_program(dir / "a.stripped", dir);
    report::ProgramFile other = report::describe_program(b, dir);
    ASSERT_TRUE(full.build_id);
    EXPECT_EQ(full.build_id->size(), 40u);  // SHA-1
    EXPECT_EQ(full.build_id, stripped.build_id);
    EXPECT_NE(full.sha256, stripped.sha256);
    EXPECT_NE(full.size, stripped.size);
    EXPECT_NE(full.build_id, other.build_id);
    // machine.json carries it, and reads it back.
    report::MachineRecord record;
    record.program = full;
    auto back = report::parse_record(report::record_text(record));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->program.build_id, full.build_id);
    fs::remove_all(dir);
}

// Damaged or foreign files give no build ID, never a read outside the file.
TEST(BuildId, DamagedFilesGiveNone) {
    fs::path dir = scratch();
    std::string good = bytes(build(dir, "p", "int main(void) { return 0; }\n"));
    ASSERT_TRUE(report::elf_build_id(std::string_view(good)));
    Elf64_Ehdr header;
    std::memcpy(&header, good.data(), sizeof header);

    auto with_header = [&](auto change) {
        std::string s = good;
        Elf64_Ehdr h = header;
        change(h);
        std::memcpy(s.data(), &h, sizeof h);
        return s;
    };
    // Every note segment's size made huge, then its offset beyond the file.
    auto with_notes = [&](auto change) {
        std::string s = good;
        for (unsigned k = 0; k < header.e_phnum; ++k) {
            Elf64_Phdr p;
            std::size_t at = header.e_phoff + k * sizeof p;
            std::memcpy(&p, s.data() + at, sizeof p);
            if (p.p_type == PT_NOTE)
                change(p);
            std::memcpy(s.data() + at, &p, sizeof p);
        }
        return s;
    };
    // The build ID note's descriptor size beyond its segment.
    std::string long_desc = good;
    std::size_t gnu = long_desc.find(std::string("GNU\0", 4));
    while (gnu != std::string::npos) {
        Elf64_Nhdr n;
        std::memcpy(&n, long_desc.data() + gnu - sizeof n, sizeof n);
        if (n.n_type == NT_GNU_BUILD_ID) {
            n.n_descsz = 0xfffffff0u;
            std::memcpy(long_desc.data() + gnu - sizeof n, &n, sizeof n);
            break;
        }
        gnu = long_desc.find(std::string("GNU\0", 4), gnu + 1);
    }
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"text", "#!/bin/sh\necho hello\n"},
        {"header cut", good.substr(0, 40)},
        {"program headers cut", good.substr(0, header.e_phoff + 20)},
        {"32-bit class", with_header([](Elf64_Ehdr& h) { h.e_ident[EI_CLASS] = ELFCLASS32; })},
        {"big-endian", with_header([](Elf64_Ehdr& h) { h.e_ident[EI_DATA] = ELFDATA2MSB; })},
        {"program headers beyond", with_header([](Elf64_Ehdr& h) { h.e_phoff = ~0ull - 8; })},
        {"many program headers", with_header([](Elf64_Ehdr& h) { h.e_phnum = 0xffff; })},
        {"odd header entry size", with_header([](Elf64_Ehdr& h) { h.e_phentsize = 32; })},
        {"note size huge", with_notes([](Elf64_Phdr& p) { p.p_filesz = ~0ull; })},
        {"note beyond", with_notes([](Elf64_Phdr& p) { p.p_offset = ~0ull - 4; })},
        {"descriptor beyond", long_desc},
    };
    for (const auto& [name, file] : cases)
        EXPECT_FALSE(report::elf_build_id(std::string_view(file))) << name;
    EXPECT_FALSE(report::elf_build_id(dir / "absent"));
    fs::remove_all(dir);
}

// The one rule of a build's identity, as both run and compare follow it:
// one build by the same SHA-256 or the same build ID, either way round; the
// comparison pools exactly those, and finds no program difference in them.
TEST(BuildId, OneRuleDecidesOneBuild) {
    struct Case {
        const char* name;
        report::ProgramFile a, b;
        bool same;
    };
    auto file = [](const char* sha, const char* id) {
        report::ProgramFile f;
        if (sha)
            f.sha256 = sha;
        if (id)
            f.build_id = id;
        return f;
    };
    const Case cases[] = {
        {"same build ID, other SHA-256 (stripped)", file("aaaa1111", "b1"), file("bbbb2222", "b1"),
         true},
        {"no build ID, same SHA-256", file("aaaa1111", nullptr), file("aaaa1111", nullptr), true},
        {"one build ID, same SHA-256", file("aaaa1111", "b1"), file("aaaa1111", nullptr), true},
        {"no build ID, other SHA-256", file("aaaa1111", nullptr), file("bbbb2222", nullptr), false},
        {"other build ID", file("aaaa1111", "b1"), file("bbbb2222", "b2"), false},
        {"empty keys say nothing", file("", ""), file("", ""), false},
        {"nothing known", file(nullptr, nullptr), file(nullptr, nullptr), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(report::same_build(c.a, c.b), c.same);
        EXPECT_EQ(report::same_build(c.b, c.a), c.same);
        auto run = [](const report::ProgramFile& f) {
            auto record = std::make_shared<report::MachineRecord>();
            record->program = f;
            report::Run r;
            r.label = "x";
            r.machine = record;
            return r;
        };
        report::Run a = run(c.a), b = run(c.b);
        std::vector<std::string> labels = report::sample_labels({&a, &b});
        bool known = c.a.sha256.value_or("") != "" || c.a.build_id.value_or("") != "";
        EXPECT_EQ(labels[0] == labels[1], c.same || !known);
        bool differs = !report::context_differences(*a.machine, *b.machine).empty();
        EXPECT_EQ(differs, c.a.sha256 != c.b.sha256 && !c.same);
    }
}

// One build stripped or not is one sample and no machine difference; two
// builds under one label are two samples, named by their SHA-256.
TEST(BuildId, OneBuildIsOneSample) {
    auto run = [](const char* label, const char* sha, const char* id) {
        auto record = std::make_shared<report::MachineRecord>();
        if (*sha)
            record->program.sha256 = sha;
        if (*id)
            record->program.build_id = id;
        report::Run r;
        r.label = label;
        r.machine = record;
        return r;
    };
    report::Run full = run("vm", "aaaaaaaa11", "b1"), stripped = run("vm", "bbbbbbbb22", "b1"),
                old_record = run("vm", "bbbbbbbb22", ""), other = run("vm", "cccccccc33", "b2"),
                unknown = run("vm", "", "");
    EXPECT_TRUE(report::same_build(full, stripped));
    EXPECT_TRUE(report::same_build(stripped, old_record));
    EXPECT_FALSE(report::same_build(full, other));
    EXPECT_FALSE(report::same_build(unknown, unknown));

    // The record without a build ID joins its build through the stripped
    // copy's SHA-256, in whatever order the runs come.
    EXPECT_EQ(report::sample_labels({&full, &stripped, &old_record}),
              (std::vector<std::string>{"vm", "vm", "vm"}));
    EXPECT_EQ(report::sample_labels({&old_record, &full, &stripped}),
              (std::vector<std::string>{"vm", "vm", "vm"}));
    EXPECT_EQ(report::sample_labels({&full, &old_record, &other, &stripped, &unknown}),
              (std::vector<std::string>{"vm@aaaaaaaa", "vm@aaaaaaaa", "vm@cccccccc", "vm@aaaaaaaa",
                                        "vm"}));

    EXPECT_TRUE(report::context_differences(*full.machine, *stripped.machine).empty());
    auto d = report::context_differences(*full.machine, *other.machine);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].field, "program SHA-256");
}
