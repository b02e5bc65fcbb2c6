// The other nodes of a cluster, over NATS, with PostgreSQL as the truth.
//
// Every node serves its own connections; the nodes share one database and
// one NATS server. What they say to each other:
//   - Kept packets (chats, friend answers) for a user with no connection on
//     the sending node are written to the mailbox in the database, the one
//     place every node reads, and a doorbell ("mail") on the user's subject
//     tells the node that has the user to read it. A packet a node has read
//     from its sender is therefore committed before the sender's next one is
//     looked at, and survives the loss of any node, of NATS, or of the link
//     between them: the reading node deletes a row only once its client's
//     TCP has acknowledged it.
//   - Presence rows in the database (which node has which user, and the
//     nodes' heartbeats) answer "is the user online anywhere".
//   - Packets that only matter now (presence, invitations, one-to-one
//     requests, friend requests as they are made) go straight to the user's
//     subject, for the node that has the user to hand on.
//   - A login on one node while another has the account: the new node asks
//     the old one to let go (39, lossless close); the old one writes what it
//     could not deliver to the mailbox, drops the account, and answers; only
//     then does the new node read the mailbox. Should both have taken the
//     account at once, each says so (a claim) and the older login lets go.
// The subjects and messages are in messages.h; this class is the only code
// that speaks to NATS. Locks: the router's account locks come before this
// class's lock, never after.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

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
    std::function<void()> onHeartbeat;              // also run at every heartbeat, on its thread
};

class Cluster final : public RemoteRoutes {
public:
    // Connects in the background (and again whenever the link drops), so a
    // node starts even while NATS is away.
    Cluster(ClusterOptions options, PresenceDirectory& presence, Router& router);
    ~Cluster() override;
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    // RemoteRoutes
    void MailStored(std::int64_t account) override;
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
    struct Pending {
        std::int64_t account;
        std::function<void()> done;
        std::chrono::steady_clock::time_point deadline;
    };

    void Publish(const std::string& subject, const std::string& data, const char* reply = nullptr);
    void Ring(std::int64_t account);
    void Own(std::int64_t account, std::function<void()> done);
    void OnUserMessage(__natsMsg* msg);
    void LetGo(std::int64_t account, const std::string& reply);
    void OnReply(__natsMsg* msg);
    void HeartbeatLoop();
    void OnReconnected();

    ClusterOptions options_;
    PresenceDirectory& presence_;
    Router& router_;
    __natsConnection* nc_ = nullptr;
    __natsSubscription* replies_ = nullptr;

    std::mutex mutex_;
    std::unordered_map<std::int64_t, __natsSubscription*> subscriptions_;
    std::unordered_map<std::int64_t, std::vector<std::string>> releaseAnswers_;  // reply subjects per account
    std::map<std::uint64_t, Pending> pending_;                                  // acquisitions by token
    std::vector<std::int64_t> unrung_;                                          // doorbells NATS did not take
    std::uint64_t nextToken_ = 1;

    std::atomic<bool> stopping_{false};
    std::mutex heartbeatMutex_;
    std::condition_variable heartbeatWake_;
    std::thread heartbeat_;
};

}  // namespace vexa::server
