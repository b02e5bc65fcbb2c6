// The listening sockets and the connections they accepted: the limits at
// accept (all connections, and per address), TLS, and the stop that closes
// every connection the lossless way at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "server/net/connection.h"

namespace vexa::server {

// A TLS listener beside (or instead of) the plain one.
struct TlsOptions {
    int port = -1;          // -1: none; 0: any free port (see Listener::TlsPort)
    std::string certFile;   // PEM, the server's certificate first, then its chain
    std::string keyFile;    // PEM
    bool only = false;      // no plain listener at all
};

struct ListenOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 7788;  // 0: any free port (see Listener::Port)
    std::size_t maxConnections = 1024;
    // One address may not take every place; an office behind one NAT still logs in.
    std::size_t maxConnectionsPerAddress = 256;
    ConnectionLimits limits;
    TlsOptions tls;
};

class Listener {
public:
    // Where a new connection's requests are to run; an empty executor for
    // the connection's own strand.
    using RequestExecutors = std::function<asio::any_io_executor()>;

    // Binds and listens at once; throws std::system_error (or
    // std::runtime_error for TLS) when it cannot. Accepting starts with Start.
    Listener(asio::io_context& io, ListenOptions options, LinkEvents& events, ServerCounters& counters,
             RequestExecutors requests);
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // The ports actually bound; 0 for a listener that is not there.
    std::uint16_t Port() const { return port_; }
    std::uint16_t TlsPort() const { return tlsPort_; }
    void Start();
    // Stops accepting and begins the lossless close of every connection;
    // idle runs once none is left (at once when there is none). Returns how
    // many were open. On the io_context.
    std::size_t Stop(std::function<void()> idle);
    // Safe from any thread.
    std::size_t Connections() const;

private:
    void Accept(asio::ip::tcp::acceptor& acceptor, bool tls);
    void Accepted(std::shared_ptr<asio::ip::tcp::socket> socket, Connection::Strand strand, bool tls);
    void Closed(const ConnectionPtr& conn);

    asio::io_context& io_;
    ListenOptions options_;
    LinkEvents& events_;
    ServerCounters& counters_;
    RequestExecutors requests_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp::acceptor tlsAcceptor_;
    std::unique_ptr<asio::ssl::context> tlsContext_;
    std::uint16_t port_ = 0;
    std::uint16_t tlsPort_ = 0;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::unordered_set<ConnectionPtr> connections_;
    std::unordered_map<std::string, std::size_t> perAddress_;  // open connections by address
    std::uint64_t nextSerial_ = 1;
    std::function<void()> idle_;  // after Stop
};

}  // namespace vexa::server
