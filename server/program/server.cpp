#include "server/program/server.h"

#include <unistd.h>

#include <csignal>
#include <thread>
#include <vector>

#include "server/admin/console.h"
#include "server/auth/password.h"
#include "server/base/log.h"
#include "server/cluster/cluster.h"
#include "server/handlers/handlers.h"
#include "server/net/listener.h"
#include "server/program/console_backend.h"
#include "server/routing/router.h"

namespace vexa::server {

class Server::Impl {
public:
    Impl(Store& store, ServerOptions options);
    ~Impl();

    std::uint16_t Port() const { return listener_.Port(); }
    std::uint16_t TlsPort() const { return listener_.TlsPort(); }
    void Run();
    void Stop();
    void StopOnSignals();
    ServerStats Stats() const;
    std::uint16_t AdminPort() const { return console_ ? console_->Port() : 0; }

private:
    std::string NodeName() const;
    void JoinCluster(const std::string& node);

    ServerOptions options_;
    Store& store_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::signal_set signals_;
    asio::steady_timer stopDeadline_;
    ServerCounters counters_;
    std::atomic<bool> stopping_{false};
    Router router_;
    LoginThrottle throttle_;
    asio::thread_pool hashPool_;
    // Handlers run here, not on the network threads, when the store's calls
    // may wait on another machine.
    std::unique_ptr<asio::thread_pool> storePool_;
    RequestHandlers handlers_;
    Listener listener_;
    // The console's view of this server; it outlives the cluster, whose heartbeat records through it.
    std::unique_ptr<ServerBackend> backend_;
    std::unique_ptr<Cluster> cluster_;  // before the router goes: it calls into it
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
      signals_(io_),
      stopDeadline_(io_),
      router_(store_, options_.Routing()),
      throttle_(options_.throttle),
      hashPool_(std::max(1u, options_.hashThreads)),
      storePool_(store.Blocking() ? std::make_unique<asio::thread_pool>(std::max(1u, options_.storeThreads)) : nullptr),
      handlers_(store_, router_, throttle_, options_.Handling(), hashPool_.get_executor(), counters_, stopping_),
      listener_(io_, options_.Listening(), handlers_, counters_, [this]() -> asio::any_io_executor {
          return storePool_ ? asio::any_io_executor(asio::make_strand(*storePool_)) : asio::any_io_executor();
      }) {
    if (!InitPasswordHashing()) throw std::runtime_error("libsodium cannot be initialised");
    router_.SetArrivalHook(
        [this](std::int64_t account, int code, const std::string& payload) { handlers_.Arrived(account, code, payload); });
    router_.SetCounters(&counters_);
    const bool clustered = !options_.cluster.natsUrl.empty();
    if (clustered || options_.admin.enabled)
        backend_ = std::make_unique<ServerBackend>(store_, router_, counters_, [this] { return Stats(); }, NodeName(),
                                                   options_.throttle);
    if (clustered) JoinCluster(NodeName());
    if (options_.admin.enabled) console_ = std::make_unique<admin::AdminConsole>(options_.admin, *backend_);
    listener_.Start();
}

Server::Impl::~Impl() {
    // Password checks and store work in flight post back into io_, so they end first.
    hashPool_.join();
    if (storePool_) {
        storePool_->stop();
        storePool_->join();
    }
    // While the cluster it tells is still there.
    router_.Mail().Stop();
}

// The name given, or this machine's and port.
std::string Server::Impl::NodeName() const {
    if (!options_.cluster.node.empty()) return options_.cluster.node;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return std::string(host) + ":" + std::to_string(Port() ? Port() : TlsPort());
}

void Server::Impl::JoinCluster(const std::string& node) {
    auto* presence = dynamic_cast<PresenceDirectory*>(&store_);
    if (!presence) throw std::runtime_error("a cluster needs its nodes to share a PostgreSQL store (--store)");
    ClusterOptions cluster = options_.cluster;
    cluster.node = node;
    // Every node records its counters for the consoles of the others.
    cluster.onHeartbeat = [backend = backend_.get()] { backend->PublishStats(); };
    cluster_ = std::make_unique<Cluster>(cluster, *presence, router_);
    router_.SetRemote(cluster_.get());
    handlers_.SetClustered();
    backend_->SetCluster(cluster_.get(), cluster.nodeTimeout);
}

void Server::Impl::Run() {
    unsigned n = ThreadCount(options_.networkThreads);
    std::vector<std::thread> others;
    for (unsigned i = 1; i < n; ++i) others.emplace_back([this] { io_.run(); });
    io_.run();
    for (auto& t : others) t.join();
}

void Server::Impl::Stop() {
    asio::post(io_, [this] {
        if (stopping_.exchange(true)) return;
        std::error_code ec;
        signals_.cancel(ec);
        // Work still queued once the last connection finished (login timers,
        // late notices) belongs to finished connections and is dropped with
        // the io_context.
        std::size_t open = listener_.Stop([this] { io_.stop(); });
        Log(LogLevel::Info, "closing " + std::to_string(open) + " connections");
        // Every close ends within the linger time; this is the bound on the bound.
        stopDeadline_.expires_after(options_.limits.linger + std::chrono::seconds(2));
        stopDeadline_.async_wait([this](std::error_code waitError) {
            if (waitError) return;
            Log(LogLevel::Error, std::to_string(listener_.Connections()) + " connections did not finish in time");
            io_.stop();
        });
    });
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
    s.connections = listener_.Connections();
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
