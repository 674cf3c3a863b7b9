// What a path's text says: a results file's name, the file beside one, the
// directory a path names, a run's own directory. Cut as text where a path is
// plain, so that a fleet-year's paths are not each built as a path object.
#pragma once

#include <string>
#include <string_view>

namespace report {

// Whether `name` (a file's name, not its path) is a results file's:
// "results_processors_Linux_x86 @ ....txt" or "results_memory_Linux_x86 @ ....txt".
bool results_name(const std::string& name);

// Whether `path` names a file plainly enough to be cut as text: no "//",
// and a last part that is a name, not "", "." or "..".
bool plain_file_path(std::string_view path);

// The file `name` in the directory of file `path`: "a/b/machine.json" for
// "a/b/results.txt". Plain paths are cut as text, the rest by the library.
std::string beside(const std::string& path, const char* name);

// The text of `path` up to and with its last '/' ("a/b/" for "a/b/c"), or
// "" when it has none: what two files of one directory share, for a path as
// plain as beside() cuts by text.
std::string_view directory_text(std::string_view path);

// Whether `name` is a run's own directory, named by its UTC start and a
// sequence number ("20261208T100220Z-1"), as `run` makes them.
bool is_run_directory(std::string_view name);

}  // namespace report
