// The server's settings, each layer's own gathered in one place (the
// program's option table fills them; tests set them directly).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/admin/console.h"
#include "server/auth/login_throttle.h"
#include "server/cluster/cluster.h"
#include "server/handlers/handlers.h"
#include "server/net/listener.h"
#include "server/routing/router.h"

namespace vexa::server {

struct ServerOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 7788;                        // 0: any free port (see Server::Port)
    std::size_t maxConnections = 1024;
    // One address may not take every place; an office behind one NAT still logs in.
    std::size_t maxConnectionsPerAddress = 256;
    ConnectionLimits limits;                          // backlog, time-outs, linger
    std::size_t maxMailPerUser = 10'000;              // kept packets for one offline user
    std::size_t maxFriendRequestsPerUser = 200;       // pending requests waiting for one user
    std::size_t maxFriendsPerUser = 1'000;
    unsigned networkThreads = 0;                      // 0: one per core
    unsigned hashThreads = 2;
    unsigned storeThreads = 8;                        // handler threads for a store on another machine
    ThrottleOptions throttle;
    ClusterOptions cluster;                           // a NATS URL makes this node part of a cluster
    TlsOptions tls;
    admin::AdminOptions admin;                        // the operators' console, off unless given a port

    ListenOptions Listening() const {
        return ListenOptions{address, port, maxConnections, maxConnectionsPerAddress, limits, tls};
    }
    RoutingOptions Routing() const { return RoutingOptions{maxMailPerUser, limits.maxBacklogBytes}; }
    HandlerOptions Handling() const {
        return HandlerOptions{maxFriendRequestsPerUser, maxFriendsPerUser, limits.maxBacklogBytes};
    }
};

}  // namespace vexa::server
