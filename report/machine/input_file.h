// Reading one input file (a results file, a transcript, a machine.json) whole,
// with one rule for what is refused: anything that is not a regular file, and
// anything larger than an input can be.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace report {

// Results files and machine.json are a few kilobytes; anything this big is
// neither, and the limit keeps a huge file from being read into memory.
constexpr std::size_t max_input_size = std::size_t{16} << 20;

// Reads the file at `path` whole into `text`. False, with `error` saying why,
// when it cannot be opened or read, is not a regular file (a FIFO is refused
// at once, without waiting for a writer), or holds more than max_input_size.
bool read_input_file(const std::string& path, std::string& text, std::string& error);

// What the file at `path` is, in words ("a FIFO", "a directory"), when it is
// there but is no regular file; absent when it is one, or is not there.
std::optional<std::string> not_a_regular_file(const std::string& path);

}  // namespace report
