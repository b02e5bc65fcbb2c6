#include "server/program/console_backend.h"

#include <ctime>

#include "server/admin/metrics.h"
#include "server/base/log.h"

namespace vexa::server {

ServerBackend::ServerBackend(Store& store, Router& router, const ServerCounters& counters,
                             std::function<ServerStats()> stats, std::string node, ThrottleOptions throttle)
    : store_(store),
      router_(router),
      counters_(counters),
      stats_(std::move(stats)),
      node_(std::move(node)),
      throttle_(throttle) {}

void ServerBackend::SetCluster(Cluster* cluster, std::chrono::seconds nodeTimeout) {
    cluster_ = cluster;
    nodeTimeout_ = nodeTimeout;
    // At once, so the other nodes' consoles know this node before its first heartbeat.
    PublishStats();
}

NodeStats ServerBackend::LocalStats() {
    ServerStats s = stats_();
    NodeStats n;
    n.node = node_;
    n.updated = static_cast<std::int64_t>(std::time(nullptr));
    n.online = s.online;
    n.connections = s.connections;
    n.loginsSucceeded = counters_.loginsSucceeded.load();
    n.loginsFailed = counters_.LoginFailures();
    n.messages = counters_.messagesRouted.load() + counters_.messagesStored.load();
    n.slowReaders = counters_.slowReaders.load();
    n.bytesIn = counters_.bytesIn.load();
    n.bytesOut = counters_.bytesOut.load();
    return n;
}

void ServerBackend::PublishStats() {
    try {
        store_.PutNodeStats(LocalStats());
    } catch (const StoreError& e) {
        Log(LogLevel::Debug, std::string("node counters not recorded: ") + e.what());
    }
}

std::vector<NodeStats> ServerBackend::OtherNodes() {
    std::vector<NodeStats> others;
    if (!cluster_) return others;
    for (NodeStats& n : store_.RecentNodeStats(nodeTimeout_))
        if (n.node != node_) others.push_back(std::move(n));
    return others;
}

std::vector<admin::ConsoleBackend::OnlineEntry> ServerBackend::Online(std::vector<std::string>& silent) {
    std::vector<OnlineEntry> all;
    for (const Router::OnlineUser& u : router_.ListOnline()) all.push_back(OnlineEntry{u.account, node_, u.since, u.from});
    if (!cluster_) return all;
    for (const NodeStats& n : OtherNodes()) {
        auto users = cluster_->OnlineOn(n.node);
        if (!users) {
            silent.push_back(n.node);
            continue;
        }
        for (const Router::OnlineUser& u : *users) all.push_back(OnlineEntry{u.account, n.node, u.since, u.from});
    }
    return all;
}

bool ServerBackend::Disconnect(std::int64_t account) {
    if (router_.Disconnect(account, "disconnected by an administrator")) return true;
    return cluster_ && cluster_->DisconnectElsewhere(account);
}

std::string ServerBackend::Metrics() { return admin::RenderMetrics(counters_, stats_(), store_.AllMailboxes()); }

}  // namespace vexa::server
