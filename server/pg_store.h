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
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "server/store.h"

namespace vexa::server {

// Who is online on which node of a cluster: the presence rows, and the
// nodes' heartbeats that say which rows are alive.
class PresenceDirectory {
public:
    virtual ~PresenceDirectory() = default;
    // The node's heartbeat; also how a starting node clears what a crash of
    // its earlier run left behind (clearOwn).
    virtual void Heartbeat(const std::string& node, bool clearOwn) = 0;
    virtual void SetPresent(std::int64_t account, const std::string& node) = 0;
    virtual void SetAbsent(std::int64_t account, const std::string& node) = 0;
    // The node that has the account, among nodes seen within maxAge; empty when none.
    virtual std::string PresentOn(std::int64_t account, std::chrono::seconds maxAge) = 0;
    // Which of the accounts are present on a live node.
    virtual std::vector<bool> PresentAmong(const std::vector<std::int64_t>& accounts,
                                           std::chrono::seconds maxAge) = 0;
};

class PgStore;

// Opens the pool and creates or migrates the schema; throws StoreError (or
// StoreUnavailable) when it cannot.
std::unique_ptr<PgStore> OpenPgStore(const std::string& conninfo, std::size_t connections);

class PgStore : public Store, public PresenceDirectory {
public:
    bool Blocking() const override { return true; }
};

}  // namespace vexa::server
