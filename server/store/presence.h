// Who is online on which node of a cluster: the presence rows, and the
// nodes' heartbeats that say which rows are alive. Kept in the database that
// the nodes share.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::server {

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

}  // namespace vexa::server
