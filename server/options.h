// The server's settings and its counters.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/cluster.h"
#include "server/connection.h"
#include "server/counters.h"
#include "server/login_throttle.h"

namespace vexa::server {

// A TLS listener beside (or instead of) the plain one.
struct TlsOptions {
    int port = -1;          // -1: none; 0: any free port (see Server::TlsPort)
    std::string certFile;   // PEM, the server's certificate first, then its chain
    std::string keyFile;    // PEM
    bool only = false;      // no plain listener at all
};

// The operators' console and /metrics (see server/admin/console.h).
struct AdminOptions {
    bool enabled = false;
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;       // 0 with enabled: any free port (see Server::AdminPort)
    std::string metricsToken;     // a scraper may read /metrics with it; empty: only a signed-in console
    std::string publicUrl;        // where browsers reach it through a reverse proxy, such as https://host/
};

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
    AdminOptions admin;                               // the operators' console, off unless given a port
};

struct ServerStats {
    std::size_t connections = 0;
    std::size_t online = 0;
    std::uint64_t requests = 0;
    std::uint64_t dropped = 0;         // requests refused without an answer
    std::uint64_t slowReaders = 0;     // connections closed for their backlog
    std::uint64_t refusedPerAddress = 0;  // connections refused: their address had its share
    std::uint64_t loginsRefused = 0;   // refused by the throttle without a password check
    std::uint64_t handedBack = 0;      // kept packets put back into the mailbox at a close
};

}  // namespace vexa::server
