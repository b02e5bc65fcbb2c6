// Who is online on the other nodes of a cluster, kept in memory on every
// node: account -> the node that has it and the stamp of that login.
//
// Each node owns its users' presence and tells the others of every change
// (Up, Down), numbering its changes; its heartbeat carries the latest number.
// A node that sees a number out of step (a change was missed: NATS dropped
// it, or this node was away) asks that node for the whole list (a snapshot),
// which replaces what was known of it. A node silent for longer than the
// time-out is dropped with its users, so a dead node's users are offline
// everywhere within a bounded time. A new run of a node (its boot number
// changed) starts from nothing. No I/O here: the cluster feeds it.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/cluster/messages.h"

namespace vexa::server::cluster {

class Directory {
public:
    using Clock = std::chrono::steady_clock;

    // Each returns true when the node's whole list is wanted (a change was missed).
    bool Up(const std::string& node, std::uint64_t boot, std::uint64_t version, std::int64_t account,
            const LoginStamp& stamp, Clock::time_point now);
    bool Down(const std::string& node, std::uint64_t boot, std::uint64_t version, std::int64_t account,
              Clock::time_point now);
    bool Beat(const std::string& node, std::uint64_t boot, std::uint64_t version, Clock::time_point now);
    void Replace(const Snapshot& snapshot, Clock::time_point now);

    // Forgets the nodes not heard from since now - timeout; their names.
    std::vector<std::string> DropSilent(Clock::time_point now, Clock::duration timeout);

    // The newest login of the account on another node.
    std::optional<LoginStamp> Find(std::int64_t account) const;
    std::vector<bool> OnlineAmong(const std::vector<std::int64_t>& accounts) const;

private:
    struct Node {
        std::uint64_t boot = 0;
        std::uint64_t version = 0;
        Clock::time_point heard;
        std::unordered_map<std::int64_t, LoginStamp> users;
    };
    Node& Heard(const std::string& node, std::uint64_t boot, Clock::time_point now);
    void Add(Node& node, std::int64_t account, const LoginStamp& stamp);
    void Remove(const std::string& name, Node& node, std::int64_t account);
    std::optional<LoginStamp> FindLocked(std::int64_t account) const;

    mutable std::mutex mutex_;
    std::unordered_map<std::string, Node> nodes_;
    // account -> the nodes that have it (more than one only while two logins are settled)
    std::unordered_map<std::int64_t, std::vector<std::string>> where_;
};

}  // namespace vexa::server::cluster
