// The embedded store: one SQLite file, created with its tables when missing.
#pragma once

#include <memory>
#include <string>

#include "server/store/store.h"

namespace vexa::server {

std::unique_ptr<Store> OpenSqliteStore(const std::string& path);

// A consistent copy of a live database (SQLite's online backup, in steps)
// in file, replacing it only once the copy is complete. The database must
// exist. Throws StoreError.
void BackUpSqliteFile(const std::string& database, const std::string& file);

}  // namespace vexa::server
