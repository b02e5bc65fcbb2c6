// What the operators' console needs of the server it runs in. The server
// implements it (server_backend.h); the console itself never sees a
// connection or a router.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "server/auth/login_throttle.h"
#include "server/store/store.h"

namespace vexa::server::admin {

class ConsoleBackend {
public:
    struct OnlineEntry {
        std::int64_t account = 0;
        std::string node;
        std::chrono::system_clock::time_point since;
        std::string from;  // "address:port"
    };

    virtual ~ConsoleBackend() = default;
    virtual Store& GetStore() = 0;
    virtual std::string NodeName() = 0;
    // This node's counters now.
    virtual NodeStats LocalStats() = 0;
    // The other nodes of a cluster, as each last recorded itself; empty on a single server.
    virtual std::vector<NodeStats> OtherNodes() = 0;
    // Everybody online on every node; nodes that did not answer are added to silent.
    virtual std::vector<OnlineEntry> Online(std::vector<std::string>& silent) = 0;
    // Closes the user's connection, on whichever node has it; false when the user is online nowhere.
    virtual bool Disconnect(std::int64_t account) = 0;
    // This node's /metrics text.
    virtual std::string Metrics() = 0;
    virtual const ThrottleOptions& Throttle() = 0;
};

}  // namespace vexa::server::admin
