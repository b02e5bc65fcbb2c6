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
// nothing overtakes anything for the same user. What is done with the
// mailbox itself is in mailbox.h.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/base/counters.h"
#include "server/routing/mailbox.h"
#include "server/session/link.h"
#include "server/store/store.h"

namespace vexa::server {

// The other nodes of a cluster, as the router needs them (cluster/cluster.h).
// Called from the handlers' threads, never from the network threads, except
// Forward and Settled, which never wait and may also be called from there.
class RemoteRoutes {
public:
    virtual ~RemoteRoutes() = default;
    // A kept packet went into the mailbox of an account with no connection
    // here: whichever node has it reads it from there.
    virtual void MailStored(std::int64_t account) = 0;
    // A kept packet for an account with no connection here, handed to the
    // node that has it and kept until that node says it is settled. False
    // when it is to go to the mailbox: the account is online nowhere, its
    // packets from here go to the mailbox until it is read to its end, or
    // NATS did not take it. Under the account's lock.
    virtual bool Forward(std::int64_t account, int code, const std::string& payload) = 0;
    // What Forward took for the account and is not settled, oldest first,
    // for the mailbox; from then on the account's packets go there too,
    // until its node has read it to its end. Under the account's lock.
    virtual std::vector<KeptPacket> TakeUnsettled(std::int64_t account) = 0;
    // Packets another node forwarded (their tickets) reached their client
    // (delivered), or were put into the mailbox here.
    virtual void Settled(const std::vector<std::uint64_t>& tickets, bool delivered) = 0;
    // The account's mailbox was read to its end here.
    virtual void Drained(std::int64_t account) = 0;
    // The user logged out here: offline for the other nodes at once.
    virtual void Left(std::int64_t account) = 0;
    // A packet that only matters now, for an account with no connection
    // here. False when the account is online nowhere.
    virtual bool SendElsewhere(std::int64_t account, int code, const std::string& payload) = 0;
    virtual std::vector<bool> OnlineElsewhere(const std::vector<std::int64_t>& accounts) = 0;
    // The account logged in here: a node that has it lets go first (its
    // connection closes the lossless way); then done runs, on any thread.
    virtual void Acquire(std::int64_t account, std::function<void()> done) = 0;
    // The account's last connection here has finished.
    virtual void Release(std::int64_t account) = 0;
};

struct RoutingOptions {
    std::size_t maxMailPerUser = 10'000;   // kept packets for one offline user
    std::size_t maxBacklogBytes = 256 * 1024;  // the connections' backlog limit
};

class Router : private MailOwners {
public:
    Router(Store& store, RoutingOptions options);
    ~Router();
    // In a cluster; set before the first connection.
    void SetRemote(RemoteRoutes* remote) { remote_ = remote; }
    // Told of every packet that only matters now once it is handed to a
    // connection here.
    void SetArrivalHook(std::function<void(std::int64_t, int, const std::string&)> hook) { arrived_ = std::move(hook); }
    // Chats routed and kept are counted here; set before the first connection.
    void SetCounters(ServerCounters* counters) { counters_ = counters; }
    Mailbox& Mail() { return mailbox_; }

    // Makes link the account's owner. When another link owns it, that one
    // is told it was replaced (39) and closes; link takes over when it has
    // finished. In a cluster, another node that has the account lets go
    // first. The mailbox is to be pumped at once only when link owns it at
    // once (Now); otherwise the router starts the pump when it does.
    enum class Ownership { Now, AfterHandover, AfterOtherNodes };
    Ownership Attach(std::int64_t account, const LinkPtr& link);
    // The user logged out on link: shown offline from now on.
    void Leave(std::int64_t account, const LinkPtr& link);

    struct Handover {
        LinkPtr successor;         // now owns the account: start its mailbox
        bool wentOffline = false;  // nobody owns it any more: tell the friends
        std::size_t handedBack = 0;  // packets put back into the mailbox
    };
    // link has finished (see LinkEvents::OnFinished). Seals it, puts back
    // what did not reach its client, and passes the account on.
    Handover Finished(const LinkPtr& link, std::int64_t account, std::vector<KeptPacket> unacknowledged,
                      std::int64_t ackedMailSeq);

    // A kept packet: to the owner, or to the mailbox.
    void Deliver(std::int64_t account, int code, const std::string& payload);
    // Deliver when that needs no database (the owner is here and not reading
    // its mailbox, or another node has the account): false, having done
    // nothing, when the packet would go to the mailbox. Never waits.
    bool DeliverWithoutStore(std::int64_t account, int code, const std::string& payload);
    // A packet that only matters now: to the user's connection when online.
    // False when the user is offline.
    bool SendIfOnline(std::int64_t account, int code, const std::string& payload);
    bool IsOnline(std::int64_t account);
    std::vector<bool> OnlineAmong(const std::vector<std::int64_t>& accounts);
    // Users with a connection on this node.
    std::size_t OnlineCount();

    // For the operators: who is online here, since when and from where.
    struct OnlineUser {
        std::int64_t account = 0;
        std::chrono::system_clock::time_point since;
        std::string from;  // "address:port"
    };
    std::vector<OnlineUser> ListOnline();
    // Closes the account's connection here the lossless way; false when it has none that is online.
    bool Disconnect(std::int64_t account, const std::string& why);

    // From the other nodes of a cluster (any thread).
    // Rows were added to the account's mailbox.
    void MailArrived(std::int64_t account);
    // Every owner here reads its mailbox again (after the messages of others
    // may have been missed, as when the link to the others was down).
    void WakeAll();
    // A packet that only matters now, for a user who may be here.
    void SendHere(std::int64_t account, int code, const std::string& payload);
    // The account logged in on another node: the connection here closes (39).
    // True when there was one; Release follows when it has finished.
    bool LetGo(std::int64_t account);
    // A kept packet another node forwarded: origin names that node's run,
    // seq is its number for the packet, base the oldest of its packets for
    // this user not settled yet, prev its packet for this user before this
    // one. Queued carries ticket to the client.
    enum class Arrival { Queued, Stored, Refused, Duplicate };
    struct FromNode {
        std::string origin;
        std::uint64_t seq = 0, base = 0, prev = 0;
    };
    Arrival Forwarded(std::int64_t account, const FromNode& from, int code, const std::string& payload,
                      std::uint64_t ticket);
    // What this node forwarded for the account and was not settled goes to
    // the mailbox, oldest first (its node is silent, refused it, or did not
    // answer in time).
    void Unsettled(std::int64_t account);
    // Forwarded packets reached their client.
    void ForwardedAcknowledged(const std::vector<std::uint64_t>& tickets);

private:
    struct Entry {
        LinkPtr owner;
        LinkPtr next;             // a newer login waiting for the owner to finish
        bool leaving = false;     // logged out; the owner is closing
        bool goingElsewhere = false;  // another node takes the account over
        MailCursor mail;
        std::chrono::system_clock::time_point since = std::chrono::system_clock::now();
        // Per node run that forwarded packets to this owner, the last one
        // shown: a packet at or below it is not shown twice, one past a gap
        // is refused (an older one was lost on the way).
        std::unordered_map<std::string, std::uint64_t> lastForwarded;
    };
    struct Shard {
        std::mutex mutex;
        std::unordered_map<std::int64_t, Entry> entries;
    };
    // Online as the others see it: a closing owner is gone for them, unless
    // a newer login is taking over.
    static bool Shown(const Entry& e) { return e.next || (!e.leaving && !e.goingElsewhere && !e.owner->Closing()); }
    bool WithCursor(std::int64_t account, const LinkPtr& link, FunctionRef<void(MailCursor&)> fn) override;
    void Drained(std::int64_t account) override;
    void Stored(std::int64_t account) override;
    bool KeepUnsettled(std::int64_t account);
    void Acquired(std::int64_t account, const LinkPtr& link);
    bool SendToEntry(Entry& entry, int code, const std::string& payload);
    bool ArriveAndSend(Entry& entry, std::int64_t account, int code, const std::string& payload);
    Handover FinishedLocked(const LinkPtr& link, std::int64_t account, std::vector<KeptPacket> unacknowledged,
                            std::int64_t ackedMailSeq, bool& release);
    Shard& ShardOf(std::int64_t account) { return shards_[static_cast<std::uint64_t>(account) % shards_.size()]; }

    Mailbox mailbox_;
    RemoteRoutes* remote_ = nullptr;
    ServerCounters* counters_ = nullptr;
    std::function<void(std::int64_t, int, const std::string&)> arrived_;
    std::array<Shard, 64> shards_;
};

}  // namespace vexa::server
