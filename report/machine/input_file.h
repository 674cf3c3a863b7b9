// Reading one input file (a results file, a transcript, a machine.json) whole,
// with one rule for what is refused: anything that is not a regular file, and
// anything larger than an input can be.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "model/failure.h"

namespace report {

// Results files and machine.json are a few kilobytes; anything this big is
// neither, and the limit keeps a huge file from being read into memory.
constexpr std::size_t max_input_size = std::size_t{16} << 20;

// The text of the file at `path`, read whole. A bad_input failure saying why
// when it cannot be opened or read, is not a regular file (a FIFO is refused
// at once, without waiting for a writer), or holds more than max_input_size.
Expected<std::string> read_input_file(const std::string& path);

// What the file at `path` is, in words ("a FIFO", "a directory"), when it is
// there but is no regular file; absent when it is one, or is not there.
std::optional<std::string> not_a_regular_file(const std::string& path);

}  // namespace report
