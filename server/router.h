// Where each user's packets go: to the connection the user is logged in on,
// or to the mailbox.
//
// The promise about kept packets (chats, friend answers): each reaches its
// user at least once, in the order the server read them from their sender.
// Three rules keep it:
//   - An account has at most one connection that its packets go to (its
//     owner). While the owner closes, packets for the account still go to
//     it and wait there; when it has finished, what its client never
//     acknowledged and what waited go to the mailbox, oldest first, and only
//     then does the account pass to a newer login or go offline.
//   - While an owner is being sent its mailbox, newer packets go to the
//     mailbox too, behind the older ones.
//   - A mailbox row is deleted only once the client's TCP has acknowledged
//     the packet that carried it.
// The decision for one account and the act it leads to (queueing on the
// connection, writing the mailbox) happen under that account's lock, so
// nothing overtakes anything for the same user.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/connection.h"
#include "server/store.h"

namespace vexa::server {

class Router {
public:
    Router(Store& store, std::size_t maxMailPerUser, std::size_t maxBacklogBytes);

    // Makes conn the account's owner. When another connection owns it, that
    // one is told it was replaced (39) and closes; conn takes over when it
    // has finished. True when conn owns the account at once.
    bool Attach(std::int64_t account, const ConnectionPtr& conn);
    // The user logged out on conn: shown offline from now on.
    void Leave(std::int64_t account, const ConnectionPtr& conn);

    struct Handover {
        ConnectionPtr successor;   // now owns the account: start its mailbox
        bool wentOffline = false;  // nobody owns it any more: tell the friends
        std::size_t handedBack = 0;  // packets put back into the mailbox
    };
    // conn has finished (see ConnectionEvents::OnFinished). Seals it, puts
    // back what did not reach its client, and passes the account on.
    Handover Finished(const ConnectionPtr& conn, std::int64_t account, std::vector<KeptPacket> unacknowledged,
                      std::int64_t ackedMailSeq);

    // A kept packet: to the owner, or to the mailbox.
    void Deliver(std::int64_t account, int code, const std::string& payload);
    // A packet that only matters now: to the user's connection when online.
    // False when the user is offline.
    bool SendIfOnline(std::int64_t account, int code, const std::string& payload);
    bool IsOnline(std::int64_t account);
    std::size_t OnlineCount();

    // Queues the owner's next mailbox packets while its backlog has room.
    // Call on conn's request executor.
    void PumpMail(const ConnectionPtr& conn, std::int64_t account);

private:
    struct Entry {
        ConnectionPtr owner;
        ConnectionPtr next;       // a newer login waiting for the owner to finish
        bool leaving = false;     // logged out; the owner is closing
        bool viaMailbox = true;   // the owner is catching up with its mailbox
        std::int64_t mailCursor = 0;
        bool wakeQueued = false;  // a PumpMail is on its way to the owner
    };
    struct Shard {
        std::mutex mutex;
        std::unordered_map<std::int64_t, Entry> entries;
    };
    // Online as the others see it: a closing owner is gone for them, unless
    // a newer login is taking over.
    static bool Shown(const Entry& e) { return e.next || (!e.leaving && !e.owner->Closing()); }
    Shard& ShardOf(std::int64_t account) { return shards_[static_cast<std::uint64_t>(account) % shards_.size()]; }
    bool KeepInMailbox(std::int64_t account, int code, const std::string& payload);
    void WakePump(Entry& entry, std::int64_t account);
    void RetryPump(const ConnectionPtr& conn, std::int64_t account);

    Store& store_;
    std::size_t maxMailPerUser_;
    std::size_t mailRoom_;
    std::array<Shard, 64> shards_;
};

}  // namespace vexa::server
