#include "server/net/listener.h"

#include <asio/ssl.hpp>

#include "server/base/log.h"

namespace vexa::server {

Listener::Listener(asio::io_context& io, ListenOptions options, LinkEvents& events, ServerCounters& counters,
                   RequestExecutors requests)
    : io_(io),
      options_(std::move(options)),
      events_(events),
      counters_(counters),
      requests_(std::move(requests)),
      acceptor_(io),
      tlsAcceptor_(io) {
    auto listen = [&](asio::ip::tcp::acceptor& acceptor, std::uint16_t port) {
        asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options_.address), port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(asio::socket_base::max_listen_connections);
        return acceptor.local_endpoint().port();
    };
    const TlsOptions& tls = options_.tls;
    if (tls.only && tls.port < 0) throw std::runtime_error("--tls-only needs --tls-port");
    if (tls.port >= 0) {
        tlsContext_ = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        // TLS 1.2 or newer; the rest is OpenSSL's own choice of safe ciphers.
        SSL_CTX_set_min_proto_version(tlsContext_->native_handle(), TLS1_2_VERSION);
        tlsContext_->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_compression |
                                 asio::ssl::context::single_dh_use);
        tlsContext_->use_certificate_chain_file(tls.certFile);
        tlsContext_->use_private_key_file(tls.keyFile, asio::ssl::context::pem);
        tlsPort_ = listen(tlsAcceptor_, static_cast<std::uint16_t>(tls.port));
    }
    if (!tls.only) port_ = listen(acceptor_, options_.port);
}

void Listener::Start() {
    if (acceptor_.is_open()) Accept(acceptor_, false);
    if (tlsAcceptor_.is_open()) Accept(tlsAcceptor_, true);
}

void Listener::Accept(asio::ip::tcp::acceptor& acceptor, bool tls) {
    // Each connection gets a strand of its own, and its socket is made on it.
    auto strand = asio::make_strand(io_);
    auto socket = std::make_shared<asio::ip::tcp::socket>(strand);
    acceptor.async_accept(*socket, [this, &acceptor, tls, socket, strand](std::error_code ec) {
        if (stopping_) return;
        if (ec) {
            // Out of descriptors and the like: try again shortly rather than spin.
            Log(LogLevel::Warn, "accept: " + ec.message());
            auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(100));
            timer->async_wait([this, timer, &acceptor, tls](std::error_code) {
                if (!stopping_) Accept(acceptor, tls);
            });
            return;
        }
        Accepted(socket, strand, tls);
        Accept(acceptor, tls);
    });
}

void Listener::Accepted(std::shared_ptr<asio::ip::tcp::socket> socket, Connection::Strand strand, bool tls) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto conn = std::make_shared<Connection>(strand, std::move(*socket), nextSerial_++, options_.limits, events_,
                                             counters_, [this](const ConnectionPtr& c) { Closed(c); },
                                             requests_ ? requests_() : asio::any_io_executor(),
                                             tls ? tlsContext_.get() : nullptr);
    // Counted by the address the connection itself reports, which Closed takes off again.
    const std::string& address = conn->Address();
    std::size_t& fromAddress = perAddress_[address];
    const bool full = connections_.size() >= options_.maxConnections;
    if (full || fromAddress >= options_.maxConnectionsPerAddress) {
        if (fromAddress == 0) perAddress_.erase(address);
        lock.unlock();
        ++(full ? counters_.refusedFull : counters_.refusedPerAddress);
        if (full)
            LogLimited(LogLevel::Warn, "connection refused, full",
                       "connection from " + address + " refused: " + std::to_string(options_.maxConnections) +
                           " connections already (--max-connections)");
        else
            LogLimited(LogLevel::Warn, "connection refused, per address",
                       "connection from " + address + " refused: " + std::to_string(options_.maxConnectionsPerAddress) +
                           " connections from there already (--max-connections-per-address)");
        return;  // never started: dropping it closes its socket
    }
    ++fromAddress;
    connections_.insert(conn);
    lock.unlock();
    Log(LogLevel::Debug, "connection #" + std::to_string(conn->Serial()) + " from " + conn->Peer());
    conn->Start();
}

void Listener::Closed(const ConnectionPtr& conn) {
    std::function<void()> idle;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.erase(conn);
        auto found = perAddress_.find(conn->Address());
        if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
        if (stopping_ && connections_.empty()) idle = std::move(idle_);
    }
    if (idle) idle();
}

std::size_t Listener::Stop(std::function<void()> idle) {
    stopping_ = true;
    std::error_code ec;
    acceptor_.close(ec);
    tlsAcceptor_.close(ec);
    std::vector<ConnectionPtr> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.assign(connections_.begin(), connections_.end());
        if (!all.empty()) idle_ = std::move(idle);
    }
    if (all.empty()) {
        if (idle) idle();
        return 0;
    }
    for (auto& conn : all) conn->Close("server stopping", CloseMode::Cut);
    return all.size();
}

std::size_t Listener::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

}  // namespace vexa::server
