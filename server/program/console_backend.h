// The console's view of a running server: its store, router, counters and,
// in a cluster, the other nodes.
#pragma once

#include <functional>
#include <string>

#include "server/admin/backend.h"
#include "server/base/counters.h"
#include "server/cluster/cluster.h"
#include "server/routing/router.h"

namespace vexa::server {

class ServerBackend final : public admin::ConsoleBackend {
public:
    ServerBackend(Store& store, Router& router, const ServerCounters& counters, std::function<ServerStats()> stats,
                  std::string node, ThrottleOptions throttle);
    // In a cluster; before the console starts.
    void SetCluster(Cluster* cluster, std::chrono::seconds nodeTimeout);
    // Records this node's counters for the other nodes' consoles (the cluster's heartbeat calls it).
    void PublishStats();

    Store& GetStore() override { return store_; }
    std::string NodeName() override { return node_; }
    NodeStats LocalStats() override;
    std::vector<NodeStats> OtherNodes() override;
    std::vector<OnlineEntry> Online(std::vector<std::string>& silent) override;
    bool Disconnect(std::int64_t account) override;
    std::string Metrics() override;
    const ThrottleOptions& Throttle() override { return throttle_; }

private:
    Store& store_;
    Router& router_;
    const ServerCounters& counters_;
    std::function<ServerStats()> stats_;
    std::string node_;
    ThrottleOptions throttle_;
    Cluster* cluster_ = nullptr;
    std::chrono::seconds nodeTimeout_{10};
};

}  // namespace vexa::server
