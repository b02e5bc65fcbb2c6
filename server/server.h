// The reference IM server: accepts the library's connections, answers its
// requests and routes what one user sends to another.
//
// Everything runs on the thread that runs the io_context: connections,
// routing and the store. Password hashing alone runs on a small pool of its
// own, so a login never stalls the other connections; the connection that
// waits for its hash reads nothing meanwhile, which keeps its requests in
// order.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include "server/store.h"

namespace vexa::server {

struct ServerOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 7788;                        // 0: any free port (see Server::Port)
    std::size_t maxConnections = 1024;
    std::size_t maxBacklogBytes = 256 * 1024;         // unsent bytes a slow reader may hold up (>= 64 KiB)
    std::chrono::milliseconds loginTimeout{30'000};   // from accept to a successful login
    std::chrono::milliseconds idleTimeout{300'000};   // no byte received for this long
    std::size_t maxMailPerUser = 10'000;              // kept packets for one offline user
    std::size_t maxFriendRequestsPerUser = 200;       // pending requests waiting for one user
    std::size_t maxFriendsPerUser = 1'000;
    unsigned hashThreads = 2;
};

struct ServerStats {
    std::size_t connections = 0;
    std::size_t online = 0;
    std::uint64_t requests = 0;
    std::uint64_t dropped = 0;         // requests refused without an answer
    std::uint64_t slowReaders = 0;     // connections closed for their backlog
};

class Server {
public:
    // Binds and listens at once; throws std::system_error when it cannot.
    Server(asio::io_context& io, Store& store, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The port actually bound (the chosen one when options.port was 0).
    std::uint16_t Port() const;
    // Starts accepting; call once, before running the io_context.
    void Start();
    // Stops accepting and closes every connection; packets that must not be
    // lost and are still unsent are kept for their users' next login. Call on
    // the io_context's thread.
    void Stop();
    // Call on the io_context's thread.
    ServerStats Stats() const;

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace vexa::server
