// The store on PostgreSQL, for a cluster of nodes that share one database.
//
// A small pool of libpq connections; each call takes one for as long as it
// runs, so calls from several threads run at the same time. Calls block the
// calling thread, so the server makes them only from threads of its own for
// the database, never from the network threads. Texts are bytea, sent and
// read in binary, so GBK bytes stay as they are. Packets kept for one
// recipient are added one at a time (an advisory lock per recipient), so
// their numbers grow in the order they are committed and a reader that goes
// on from the last number it saw never skips one.
//
// When the server cannot be reached, calls throw StoreUnavailable; the pool
// connects again on the next call.
//
// The lookups of every message (SqlStore) are kept in memory here too: one
// more connection LISTENs on the channel that the schema's triggers notify
// whenever any writer changes what they hold, and the store empties them at
// each notification. While that connection is down the engine cannot tell,
// so nothing kept is trusted until it is back, and then nothing kept before.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "server/store/sql_store.h"

namespace vexa::server {

using PgStore = SharedSqlStore;

// Opens the pool and creates or migrates the schema; throws StoreError (or
// StoreUnavailable) when it cannot.
std::unique_ptr<PgStore> OpenPgStore(const std::string& conninfo, std::size_t connections);

}  // namespace vexa::server
