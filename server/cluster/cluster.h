// The other nodes of a cluster, over NATS. The database is the record, not
// the road: a chat between two online users never waits on it.
//
// What the nodes say to each other (the format is in messages.h):
//   - Presence lives in memory. Each node owns its users' presence and tells
//     the others of every change on the nodes' subject; every node keeps the
//     directory of who is where (directory.h), with heartbeats, so a node
//     that goes silent has its users dropped within nodeTimeout.
//   - A kept packet (chat, friend answer) for a user online on another node
//     goes to that node, numbered by this node's run (seq); the packets of a
//     burst go out together, one NATS message per node, from the sending
//     thread, so that the network and request threads never wait on NATS. It is
//     kept here until the user's node answers that the client's TCP
//     acknowledged it, or that it put it into the mailbox. Without such an
//     answer in time (the user left, the node is silent or refused it, NATS
//     or the answer was lost), this node puts it into the mailbox, with
//     every later one for that user, oldest first; that user's packets from
//     here then go to the mailbox until the user's node has read it to its
//     end (Drained), so nothing overtakes. The user's node shows a packet
//     only in its origin's order and drops one it already showed on that
//     connection (router.h).
//   - Packets that only matter now (presence, invitations, one-to-one
//     requests, friend requests as they are made) go straight to the user's
//     subject, for the node that has the user to hand on.
//   - A login on one node while another has the account: the new node asks
//     the old one to let go (39, lossless close); the old one writes what it
//     could not deliver to the mailbox, drops the account, and answers; only
//     then does the new node read the mailbox. Should two nodes take the
//     account at the same instant, both see the other's Up and compare the
//     login stamps (a total order): the older lets go, so exactly one stays.
// This class is the only code that speaks to NATS. Locks: the router's
// account locks come before this class's lock, never after.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/cluster/directory.h"
#include "server/cluster/messages.h"
#include "server/routing/router.h"
#include "server/store/presence.h"

struct __natsConnection;
struct __natsSubscription;
struct __natsMsg;

namespace vexa::server {

struct ClusterOptions {
    std::string natsUrl;            // empty: no cluster
    std::string node;               // this node's name, unique in the cluster
    std::chrono::milliseconds takeoverWait{8'000};  // for another node to let go of an account
    std::chrono::milliseconds heartbeat{2'000};
    std::chrono::seconds nodeTimeout{10};           // a node silent this long counts as gone
    std::chrono::milliseconds forwardWait{2'000};   // for the user's node to answer a forwarded packet
    std::function<void()> onHeartbeat;              // also run at every heartbeat, on its thread
};

class Cluster final : public RemoteRoutes {
public:
    // Connects in the background (and again whenever the link drops), so a
    // node starts even while NATS is away. nodes records the heartbeat in
    // the database for the operators' consoles.
    Cluster(ClusterOptions options, PresenceDirectory& nodes, Router& router);
    ~Cluster() override;
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    // RemoteRoutes
    void MailStored(std::int64_t account) override;
    bool Forward(std::int64_t account, int code, const std::string& payload) override;
    std::vector<KeptPacket> TakeUnsettled(std::int64_t account) override;
    void Settled(const std::vector<std::uint64_t>& tickets, bool delivered) override;
    void Drained(std::int64_t account) override;
    void Left(std::int64_t account) override;
    bool SendElsewhere(std::int64_t account, int code, const std::string& payload) override;
    std::vector<bool> OnlineElsewhere(const std::vector<std::int64_t>& accounts) override;
    void Acquire(std::int64_t account, std::function<void()> done) override;
    void Release(std::int64_t account) override;

    // For the operators' console.
    // The users online on another node; nullopt when it does not answer.
    std::optional<std::vector<Router::OnlineUser>> OnlineOn(const std::string& node);
    // Asks whichever node has the account to close its connection; false
    // when it is online nowhere.
    bool DisconnectElsewhere(std::int64_t account);

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        std::int64_t account;
        std::function<void()> done;
        Clock::time_point deadline;
    };
    // A kept packet forwarded to another node and not settled yet.
    struct InFlight {
        std::uint64_t seq;
        int code;
        std::string payload;
        Clock::time_point deadline;  // for an answer; longer once it is queued there
    };
    // This node's packets for one user on another node.
    struct Outgoing {
        std::deque<InFlight> chats;
        std::string node;         // where they went
        std::uint64_t lastSeq = 0;  // the last one sent, for the next one's prev
        bool onMailbox = false;   // until that user's mailbox was read to its end
    };
    // A packet forwarded here, on a connection, waiting for its acknowledgement.
    struct Ticket {
        std::string node;
        std::uint64_t boot;
        std::uint64_t seq;
    };
    struct Mine {
        cluster::LoginStamp stamp;
        bool left = false;  // logged out; closing
    };

    bool Publish(const std::string& subject, const std::string& data, const char* reply = nullptr);
    void PublishPresenceLocked(cluster::Kind kind, std::int64_t account, const cluster::LoginStamp* stamp);
    void Ring(std::int64_t account);
    void Own(std::int64_t account, std::function<void()> done);
    void OnUserMessage(__natsMsg* msg);
    void ReceiveChats(const std::string& node, std::uint64_t boot, const std::vector<cluster::BatchedChat>& chats);
    void OnChats(std::string_view data);
    void OnNodesMessage(__natsMsg* msg);
    void OnSnapshot(std::string_view data);
    void SettleConflict(std::int64_t account, const cluster::LoginStamp& theirs);
    void AskSnapshot(const std::string& node);
    void SendSnapshot(const std::string& to);
    void LetGo(std::int64_t account, const std::string& reply);
    void OnReply(__natsMsg* msg);
    void OnAnswers(std::string_view data);
    void Answer(const std::vector<Ticket>& tickets, cluster::Verdict verdict);
    void SendLoop();
    void Beat(Clock::time_point now);
    void HeartbeatLoop();
    void OnReconnected();
    void TellQueued(Clock::time_point now);

    ClusterOptions options_;
    const std::uint64_t boot_;
    PresenceDirectory& nodes_;
    Router& router_;
    cluster::Directory directory_;
    __natsConnection* nc_ = nullptr;
    __natsSubscription* replies_ = nullptr;
    __natsSubscription* nodesSub_ = nullptr;

    std::mutex mutex_;
    std::unordered_map<std::int64_t, __natsSubscription*> subscriptions_;
    std::unordered_map<std::int64_t, std::vector<std::string>> releaseAnswers_;  // reply subjects per account
    std::map<std::uint64_t, Pending> pending_;                                  // acquisitions by token
    std::vector<std::int64_t> unrung_;                                          // doorbells NATS did not take
    std::uint64_t nextToken_ = 1;
    std::unordered_map<std::int64_t, Mine> mine_;       // this node's users
    std::uint64_t version_ = 0;                         // presence changes told
    std::uint64_t loginCounter_ = 0;
    std::unordered_map<std::int64_t, Outgoing> outgoing_;
    std::unordered_map<std::uint64_t, std::int64_t> inFlightAccount_;  // seq -> account
    std::uint64_t nextSeq_ = 1;
    std::unordered_map<std::uint64_t, Ticket> tickets_;
    // Tickets by arrival, for telling their origins of those still waiting
    // for their client (Queued) once that takes longer than usual.
    std::deque<std::pair<Clock::time_point, std::uint64_t>> untold_;
    std::uint64_t nextTicket_ = 1;
    std::unordered_map<std::string, Clock::time_point> snapshotAsked_;

    // Chats and answers for other nodes, sent in batches by their own thread.
    struct Outbox {
        std::vector<std::string> chats;  // encoded batches, each at most kMaxBatchBytes
        cluster::Answers answers;
    };
    static constexpr std::size_t kMaxBatchBytes = 256 * 1024;
    std::mutex sendMutex_;
    std::condition_variable sendWake_;
    std::unordered_map<std::string, Outbox> outbox_;  // by node

    std::atomic<bool> stopping_{false};
    std::mutex heartbeatMutex_;
    std::condition_variable heartbeatWake_;
    std::thread heartbeat_;
    std::thread sender_;
};

}  // namespace vexa::server
