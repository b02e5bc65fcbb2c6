// /metrics: the server's counters in the Prometheus text format (version
// 0.0.4). Built from a reading of the counters, so it can be checked without
// a server.
#pragma once

#include <string>

#include "server/base/counters.h"
#include "server/store/store.h"

namespace vexa::server::admin {

std::string RenderMetrics(const ServerCounters& counters, const ServerStats& stats, const MailboxTotals& mailbox);

}  // namespace vexa::server::admin
