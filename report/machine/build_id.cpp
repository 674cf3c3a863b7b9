#include "machine/build_id.h"

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>

#include <fmt/format.h>

namespace report {

namespace {

// A note segment of a linked program lies within its first pages; the program
// headers and notes are read from at most this much of the file.
constexpr std::size_t read_limit = 1 << 20;

// A copy of the object at `offset`, when all of it lies inside `file`.
template <typename T>
bool read_at(std::string_view file, std::uint64_t offset, T& out) {
    if (offset > file.size() || file.size() - offset < sizeof(T))
        return false;
    std::memcpy(&out, file.data() + offset, sizeof(T));
    return true;
}

// The build ID among the notes of one segment [begin, begin + size), whose
// names and descriptors are padded to `align` bytes (4, or 8 in a segment
// aligned to 8).
std::optional<std::string> build_id_note(std::string_view file, std::uint64_t begin,
                                         std::uint64_t size, std::uint64_t align) {
    auto pad = [align](std::uint64_t n) { return (n + align - 1) & ~(align - 1); };
    if (begin > file.size() || size > file.size() - begin)
        return std::nullopt;
    std::string_view notes = file.substr(begin, size);
    std::uint64_t at = 0;
    Elf64_Nhdr note;
    while (read_at(notes, at, note)) {
        std::uint64_t name_at = at + sizeof note;
        std::uint64_t desc_at = at + pad(sizeof note + note.n_namesz);
        std::uint64_t next = desc_at + pad(note.n_descsz);
        if (desc_at > notes.size() || note.n_descsz > notes.size() - desc_at)
            return std::nullopt;
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
            notes.substr(name_at, 4) == std::string_view("GNU\0", 4) && note.n_descsz > 0) {
            std::string hex;
            for (unsigned char byte : notes.substr(desc_at, note.n_descsz))
                hex += fmt::format("{:02x}", byte);
            return hex;
        }
        at = next;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> elf_build_id(std::string_view file) {
    Elf64_Ehdr header;
    if (!read_at(file, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_phentsize != sizeof(Elf64_Phdr))
        return std::nullopt;
    // The whole table of program headers inside the file, or nothing is read.
    std::uint64_t table = std::uint64_t{header.e_phnum} * sizeof(Elf64_Phdr);
    if (header.e_phoff > file.size() || table > file.size() - header.e_phoff)
        return std::nullopt;
    for (std::uint64_t k = 0; k < header.e_phnum; ++k) {
        Elf64_Phdr segment;
        read_at(file, header.e_phoff + k * sizeof segment, segment);
        if (segment.p_type != PT_NOTE)
            continue;
        if (std::optional<std::string> id = build_id_note(file, segment.p_offset, segment.p_filesz,
                                                          segment.p_align == 8 ? 8 : 4))
            return id;
    }
    return std::nullopt;
}

std::optional<std::string> elf_build_id(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string head(read_limit, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    return elf_build_id(std::string_view(head));
}

}  // namespace report
