// Reading a store: the newest version of every file it keeps, as texts or
// as the figures its cache keeps (store/cache.h).
#pragma once

#include <string>
#include <vector>

#include "model/failure.h"
#include "store/store.h"

namespace report {

// The newest version of every file in the store at `path`, results files
// ordered by path (as a directory's are), then the machine.json records by
// path. A bad_input failure saying why when it cannot be opened or read, is
// not a store, or is a store of another version.
Expected<std::vector<StoredFile>> read_store(const std::string& path,
                                             StoreReading reading = StoreReading::texts);

}  // namespace report
