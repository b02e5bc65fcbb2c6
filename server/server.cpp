#include "server/server.h"

#include <unistd.h>

#include <csignal>

#include <asio/ssl.hpp>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/admin/console.h"
#include "server/admin/server_backend.h"
#include "server/cluster.h"
#include "server/connection.h"
#include "server/pg_store.h"
#include "server/handlers.h"
#include "server/log.h"
#include "server/password.h"
#include "server/router.h"

namespace vexa::server {

class Server::Impl : private ConnectionEvents {
public:
    Impl(Store& store, ServerOptions options);
    ~Impl() override;

    std::uint16_t Port() const { return port_; }
    std::uint16_t TlsPort() const { return tlsPort_; }
    void Run();
    void Stop();
    void StopOnSignals();
    ServerStats Stats() const;
    std::uint16_t AdminPort() const { return console_ ? console_->Port() : 0; }

private:
    void Accept(asio::ip::tcp::acceptor& acceptor, bool tls);
    void FinishStopWhenIdle();

    // ConnectionEvents: each on the connection's request executor.
    void OnRequest(const ConnectionPtr& conn, int code, std::string_view payload) override {
        handlers_.Handle(conn, code, payload);
    }
    void OnMailAcknowledged(const ConnectionPtr& conn, std::int64_t seq) override {
        handlers_.MailAcknowledged(conn, seq);
    }
    void OnRoom(const ConnectionPtr& conn) override { handlers_.Room(conn); }
    void OnFinished(const ConnectionPtr& conn, std::vector<KeptPacket> unacknowledged,
                    std::int64_t ackedMailSeq) override;
    void OnSlowReader(const Connection&) override { ++counters_.slowReaders; }
    void OnBytes(std::size_t received, std::size_t sent) override {
        if (received) counters_.bytesIn.fetch_add(received, std::memory_order_relaxed);
        if (sent) counters_.bytesOut.fetch_add(sent, std::memory_order_relaxed);
    }

    ServerOptions options_;
    Store& store_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp::acceptor tlsAcceptor_;
    std::unique_ptr<asio::ssl::context> tlsContext_;
    asio::signal_set signals_;
    asio::steady_timer stopDeadline_;
    std::uint16_t port_ = 0;
    std::uint16_t tlsPort_ = 0;
    ServerCounters counters_;
    std::atomic<bool> stopping_{false};
    Router router_;
    LoginThrottle throttle_;
    asio::thread_pool hashPool_;
    // Handlers run here, not on the network threads, when the store's calls
    // may wait on another machine.
    std::unique_ptr<asio::thread_pool> storePool_;
    RequestHandlers handlers_;
    // The console's view of this server; it outlives the cluster, whose heartbeat records through it.
    std::unique_ptr<admin::ServerBackend> backend_;
    std::unique_ptr<Cluster> cluster_;  // before the router goes: it calls into it
    mutable std::mutex connectionsMutex_;
    std::unordered_set<ConnectionPtr> connections_;
    std::unordered_map<std::string, std::size_t> perAddress_;  // open connections by address
    std::uint64_t nextSerial_ = 1;
    std::unique_ptr<admin::AdminConsole> console_;  // goes first: it reads everything above
};

namespace {
unsigned ThreadCount(unsigned wanted) {
    if (wanted != 0) return wanted;
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}
}  // namespace

Server::Impl::Impl(Store& store, ServerOptions options)
    : options_(std::move(options)),
      store_(store),
      io_(static_cast<int>(ThreadCount(options_.networkThreads))),
      work_(asio::make_work_guard(io_)),
      acceptor_(io_),
      tlsAcceptor_(io_),
      signals_(io_),
      stopDeadline_(io_),
      router_(store_, options_.maxMailPerUser, options_.limits.maxBacklogBytes),
      throttle_(options_.throttle),
      hashPool_(std::max(1u, options_.hashThreads)),
      storePool_(store.Blocking() ? std::make_unique<asio::thread_pool>(std::max(1u, options_.storeThreads)) : nullptr),
      handlers_(store_, router_, throttle_, options_, hashPool_, counters_, stopping_) {
    if (!InitPasswordHashing()) throw std::runtime_error("libsodium cannot be initialised");
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
    router_.SetArrivalHook(
        [this](std::int64_t account, int code, const std::string& payload) { handlers_.Arrived(account, code, payload); });
    router_.SetCounters(&counters_);
    if (!options_.cluster.natsUrl.empty() || options_.admin.enabled) {
        std::string node = options_.cluster.node;
        if (node.empty()) {
            char host[256] = {};
            gethostname(host, sizeof host - 1);
            node = std::string(host) + ":" + std::to_string(port_ ? port_ : tlsPort_);
        }
        backend_ = std::make_unique<admin::ServerBackend>(store_, router_, counters_, [this] { return Stats(); }, node,
                                                          options_.throttle);
    }
    if (!options_.cluster.natsUrl.empty()) {
        auto* presence = dynamic_cast<PresenceDirectory*>(&store_);
        if (!presence) throw std::runtime_error("a cluster needs its nodes to share a PostgreSQL store (--store)");
        ClusterOptions cluster = options_.cluster;
        if (cluster.node.empty()) {
            char host[256] = {};
            gethostname(host, sizeof host - 1);
            cluster.node = std::string(host) + ":" + std::to_string(port_ ? port_ : tlsPort_);
        }
        // Every node records its counters for the consoles of the others.
        cluster.onHeartbeat = [backend = backend_.get()] { backend->PublishStats(); };
        cluster_ = std::make_unique<Cluster>(cluster, *presence, router_);
        router_.SetRemote(cluster_.get());
        handlers_.SetClustered();
        backend_->SetCluster(cluster_.get(), cluster.nodeTimeout);
    }
    if (options_.admin.enabled) console_ = std::make_unique<admin::AdminConsole>(options_.admin, *backend_);
    if (acceptor_.is_open()) Accept(acceptor_, false);
    if (tlsAcceptor_.is_open()) Accept(tlsAcceptor_, true);
}

Server::Impl::~Impl() {
    // Password checks and store work in flight post back into io_, so they end first.
    hashPool_.join();
    if (storePool_) {
        storePool_->stop();
        storePool_->join();
    }
}

void Server::Impl::Run() {
    unsigned n = ThreadCount(options_.networkThreads);
    std::vector<std::thread> others;
    for (unsigned i = 1; i < n; ++i) others.emplace_back([this] { io_.run(); });
    io_.run();
    for (auto& t : others) t.join();
}

void Server::Impl::Accept(asio::ip::tcp::acceptor& acceptor, bool tls) {
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
        asio::any_io_executor requests;
        if (storePool_) requests = asio::make_strand(*storePool_);
        std::unique_lock<std::mutex> lock(connectionsMutex_);
        auto conn = std::make_shared<Connection>(strand, std::move(*socket), nextSerial_++, options_.limits,
                                                 static_cast<ConnectionEvents&>(*this), requests,
                                                 tls ? tlsContext_.get() : nullptr);
        // Counted by the address the connection itself reports, which OnFinished takes off again.
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
                           "connection from " + address + " refused: " +
                               std::to_string(options_.maxConnectionsPerAddress) +
                               " connections from there already (--max-connections-per-address)");
            // Never started: dropping it closes its socket.
        } else {
            ++fromAddress;
            connections_.insert(conn);
            lock.unlock();
            Log(LogLevel::Debug, "connection #" + std::to_string(conn->Serial()) + " from " + conn->Peer());
            conn->Start();
        }
        Accept(acceptor, tls);
    });
}

void Server::Impl::OnFinished(const ConnectionPtr& conn, std::vector<KeptPacket> unacknowledged,
                              std::int64_t ackedMailSeq) {
    handlers_.Finished(conn, std::move(unacknowledged), ackedMailSeq);
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.erase(conn);
        auto found = perAddress_.find(conn->Address());
        if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
    }
    if (stopping_) FinishStopWhenIdle();
}

void Server::Impl::Stop() {
    asio::post(io_, [this] {
        if (stopping_.exchange(true)) return;
        std::error_code ec;
        acceptor_.close(ec);
        tlsAcceptor_.close(ec);
        signals_.cancel(ec);
        std::vector<ConnectionPtr> all;
        {
            std::lock_guard<std::mutex> lock(connectionsMutex_);
            all.assign(connections_.begin(), connections_.end());
        }
        Log(LogLevel::Info, "closing " + std::to_string(all.size()) + " connections");
        for (auto& conn : all) conn->Close("server stopping", CloseMode::Cut);
        // Every close ends within the linger time; this is the bound on the bound.
        stopDeadline_.expires_after(options_.limits.linger + std::chrono::seconds(2));
        stopDeadline_.async_wait([this](std::error_code waitError) {
            if (waitError) return;
            std::lock_guard<std::mutex> lock(connectionsMutex_);
            Log(LogLevel::Error, std::to_string(connections_.size()) + " connections did not finish in time");
            io_.stop();
        });
        FinishStopWhenIdle();
    });
}

void Server::Impl::FinishStopWhenIdle() {
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        if (!connections_.empty()) return;
    }
    // Work still queued (login timers, late notices) belongs to finished
    // connections and is dropped with the io_context.
    io_.stop();
}

void Server::Impl::StopOnSignals() {
    signals_.add(SIGINT);
    signals_.add(SIGTERM);
    signals_.async_wait([this](std::error_code ec, int signal) {
        if (ec) return;
        Log(LogLevel::Info, std::string("signal ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ": stopping");
        Stop();
    });
}

ServerStats Server::Impl::Stats() const {
    ServerStats s;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        s.connections = connections_.size();
    }
    s.online = const_cast<Router&>(router_).OnlineCount();
    s.requests = counters_.requests;
    s.dropped = counters_.dropped;
    s.slowReaders = counters_.slowReaders;
    s.refusedPerAddress = counters_.refusedPerAddress;
    s.loginsRefused = counters_.loginsRefused;
    s.handedBack = counters_.handedBack;
    return s;
}

Server::Server(Store& store, ServerOptions options) : impl_(std::make_unique<Impl>(store, std::move(options))) {}
Server::~Server() = default;
std::uint16_t Server::Port() const { return impl_->Port(); }
std::uint16_t Server::TlsPort() const { return impl_->TlsPort(); }
void Server::Run() { impl_->Run(); }
void Server::Stop() { impl_->Stop(); }
void Server::StopOnSignals() { impl_->StopOnSignals(); }
ServerStats Server::Stats() const { return impl_->Stats(); }
std::uint16_t Server::AdminPort() const { return impl_->AdminPort(); }

}  // namespace vexa::server
