// Reading a store: the newest version of every file it keeps, as texts or
// as the figures its cache keeps (store/cache.h).
#pragma once

#include <string>
#include <vector>

#include "store/store.h"

namespace report {

// The newest version of every file in the store at `path`, results files
// ordered by path (as a directory's are), then the machine.json records by
// path. False, with `error` saying why, when it cannot be opened or read, is
// not a store, or is a store of another version.
bool read_store(const std::string& path, std::vector<StoredFile>& files, std::string& error,
                StoreReading reading = StoreReading::texts);

}  // namespace report
