// The GNU build ID of a program file: the linker's hash of the build, kept in
// an ELF note that `strip` leaves in place. Two files with the same build ID
// are the same build, whether or not one of them was stripped, though their
// SHA-256 differs.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace report {

// The build ID as lower-case hex, read from the NT_GNU_BUILD_ID note of the
// file's note segments; absent when the file is no 64-bit little-endian ELF
// file, has no such note, or any offset or size in it points outside the file.
std::optional<std::string> elf_build_id(std::string_view file);
std::optional<std::string> elf_build_id(const std::filesystem::path& file);

}  // namespace report
