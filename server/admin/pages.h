// The console's pages and JSON answers, built from plain data: no HTTP, no
// server. Every text from the store (GBK) is decoded and escaped here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/store/store.h"

namespace vexa::server::admin {

struct Frame {
    std::string title;
    std::string active;  // the navigation entry to mark: "overview", "online", ...
    std::string csrf;
    std::string flash;   // UTF-8
    bool flashIsError = false;
    std::string node;
};
std::string Page(const Frame& frame, const std::string& body);
std::string SignInPage(const std::string& csrf, const std::string& message);

struct NodeView {
    NodeStats stats;
    double messagesPerSecond = 0, loginsPerMinute = 0;
    std::int64_t seenSecondsAgo = 0;
};
struct OverviewView {
    std::vector<NodeView> nodes;
    MailboxTotals mailbox;
    std::string backupDir;  // where the backup action writes; empty: off
};
// One line of the chart per node: (Unix milliseconds, messages per second).
using History = std::vector<std::pair<std::string, std::vector<std::pair<std::int64_t, double>>>>;
std::string OverviewBody(const OverviewView& view, const std::string& csrf);
std::string OverviewJson(const OverviewView& view, const History& history, std::int64_t nowMillis);

struct OnlineView {
    std::int64_t account = 0;
    std::string name, nickname;  // GBK
    std::string node;
    std::int64_t sinceUnix = 0;
    std::string from;
};
std::string OnlineBody(const std::vector<OnlineView>& users, const std::vector<std::string>& silentNodes,
                       const std::string& csrf);
std::string OnlineJson(const std::vector<OnlineView>& users, const std::vector<std::string>& silentNodes);

std::string AccountsBody(const std::vector<AccountSummary>& accounts, const std::string& query,
                         const std::string& csrf);
std::string AccountsJson(const std::vector<AccountSummary>& accounts);

struct AccountView {
    Profile profile;
    std::vector<Profile> friends;
    std::vector<Profile> blocked;
    MailboxSummary mailbox;
};
std::string AccountBody(const AccountView& view, const std::string& csrf);
std::string AccountJson(const AccountView& view);

std::string MailboxesBody(const MailboxTotals& totals, const std::vector<MailboxSummary>& largest,
                          const std::optional<MailboxSummary>& lookedUp, const std::string& query);
std::string MailboxesJson(const MailboxTotals& totals, const std::vector<MailboxSummary>& largest);
std::string MailboxJson(const MailboxSummary& mailbox);

// Newest first.
std::string LogBody(const std::vector<std::string>& lines);
std::string LogJson(const std::vector<std::string>& lines);

// {"ok":true|false,"message":...}
std::string ResultJson(bool ok, const std::string& message);

}  // namespace vexa::server::admin
