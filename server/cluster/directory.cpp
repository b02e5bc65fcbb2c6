#include "server/cluster/directory.h"

#include <algorithm>

namespace vexa::server::cluster {

namespace {
using Lock = std::lock_guard<std::mutex>;
}  // namespace

Directory::Node& Directory::Heard(const std::string& name, std::uint64_t boot, Clock::time_point now) {
    Node& node = nodes_[name];
    if (node.boot != boot) {
        // A new run of the node: what the old one had is gone.
        for (auto it = node.users.begin(); it != node.users.end();) {
            std::int64_t account = it->first;
            ++it;
            Remove(name, node, account);
        }
        node.boot = boot;
        node.version = 0;
    }
    node.heard = now;
    return node;
}

void Directory::Add(Node& node, std::int64_t account, const LoginStamp& stamp) {
    node.users.insert_or_assign(account, stamp);
    auto& nodes = where_[account];
    if (std::find(nodes.begin(), nodes.end(), stamp.node) == nodes.end()) nodes.push_back(stamp.node);
}

void Directory::Remove(const std::string& name, Node& node, std::int64_t account) {
    node.users.erase(account);
    auto found = where_.find(account);
    if (found == where_.end()) return;
    auto& nodes = found->second;
    nodes.erase(std::remove(nodes.begin(), nodes.end(), name), nodes.end());
    if (nodes.empty()) where_.erase(found);
}

bool Directory::Up(const std::string& name, std::uint64_t boot, std::uint64_t version, std::int64_t account,
                   const LoginStamp& stamp, Clock::time_point now) {
    Lock lock(mutex_);
    Node& node = Heard(name, boot, now);
    if (version <= node.version) return false;  // already in a snapshot
    const bool missed = version != node.version + 1;
    node.version = version;
    LoginStamp own = stamp;
    own.node = name;
    Add(node, account, own);
    return missed;
}

bool Directory::Down(const std::string& name, std::uint64_t boot, std::uint64_t version, std::int64_t account,
                     Clock::time_point now) {
    Lock lock(mutex_);
    Node& node = Heard(name, boot, now);
    if (version <= node.version) return false;
    const bool missed = version != node.version + 1;
    node.version = version;
    Remove(name, node, account);
    return missed;
}

bool Directory::Beat(const std::string& name, std::uint64_t boot, std::uint64_t version, Clock::time_point now) {
    Lock lock(mutex_);
    return Heard(name, boot, now).version != version;
}

void Directory::Replace(const Snapshot& snapshot, Clock::time_point now) {
    Lock lock(mutex_);
    Node& node = Heard(snapshot.node, snapshot.boot, now);
    for (auto it = node.users.begin(); it != node.users.end();) {
        std::int64_t account = it->first;
        ++it;
        Remove(snapshot.node, node, account);
    }
    node.version = snapshot.version;
    for (const Snapshot::User& u : snapshot.users) Add(node, u.account, LoginStamp{u.nanos, snapshot.node, u.counter});
}

std::vector<std::string> Directory::DropSilent(Clock::time_point now, Clock::duration timeout) {
    Lock lock(mutex_);
    std::vector<std::string> dropped;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
        if (now - it->second.heard <= timeout) {
            ++it;
            continue;
        }
        for (auto user = it->second.users.begin(); user != it->second.users.end();) {
            std::int64_t account = user->first;
            ++user;
            Remove(it->first, it->second, account);
        }
        dropped.push_back(it->first);
        it = nodes_.erase(it);
    }
    return dropped;
}

std::optional<LoginStamp> Directory::FindLocked(std::int64_t account) const {
    auto found = where_.find(account);
    if (found == where_.end()) return std::nullopt;
    std::optional<LoginStamp> newest;
    for (const std::string& name : found->second) {
        const LoginStamp& stamp = nodes_.at(name).users.at(account);
        if (!newest || *newest < stamp) newest = stamp;
    }
    return newest;
}

std::optional<LoginStamp> Directory::Find(std::int64_t account) const {
    Lock lock(mutex_);
    return FindLocked(account);
}

std::vector<bool> Directory::OnlineAmong(const std::vector<std::int64_t>& accounts) const {
    Lock lock(mutex_);
    std::vector<bool> online(accounts.size());
    for (std::size_t i = 0; i < accounts.size(); ++i) online[i] = where_.count(accounts[i]) != 0;
    return online;
}

}  // namespace vexa::server::cluster
