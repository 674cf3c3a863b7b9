// A store as a source of runs (input/source.h): the files it keeps, read as
// the files are, or for the figures its cache keeps.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "input/source.h"
#include "store/store.h"

namespace report {

// The sources of the paths named: a store for each path that is one (known
// by SQLite's header, whatever its name), read as `reading` says, and a walk
// of every other path (input/walk.h). A store named twice (or by two paths)
// is read once, with a note, its files counting for each path.
std::vector<std::shared_ptr<InputSource>> open_inputs(const std::vector<std::string>& paths,
                                                      StoreReading reading = StoreReading::texts);

}  // namespace report
