// The embedded store: one SQLite file, created with its tables when missing.
#pragma once

#include <memory>
#include <string>

#include "server/store/store.h"

namespace vexa::server {

std::unique_ptr<Store> OpenSqliteStore(const std::string& path);

}  // namespace vexa::server
