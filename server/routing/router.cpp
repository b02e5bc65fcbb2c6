#include "server/routing/router.h"

#include <asio/post.hpp>

#include "protocol/requests.h"
#include "server/base/log.h"

namespace vexa::server {

namespace {
using Lock = std::lock_guard<std::mutex>;
}  // namespace

Router::Router(Store& store, RoutingOptions options)
    : mailbox_(store, *this, options.maxMailPerUser, options.maxBacklogBytes / 2) {}

// The mailbox's own thread calls back into the router: it ends first.
Router::~Router() { mailbox_.Stop(); }

Router::Ownership Router::Attach(std::int64_t account, const LinkPtr& link) {
    {
        Shard& shard = ShardOf(account);
        Lock lock(shard.mutex);
        Entry& entry = shard.entries[account];
        if (entry.owner == link) return Ownership::Now;
        if (entry.owner) {
            if (entry.next && entry.next != link)
                entry.next->Close("replaced by a newer login", CloseMode::Cut, protocol::kLoggedInElsewhere);
            entry.next = link;
            entry.owner->Close("replaced by a newer login", CloseMode::Cut, protocol::kLoggedInElsewhere);
            return Ownership::AfterHandover;
        }
        entry = Entry{};
        entry.owner = link;
        if (!remote_) return Ownership::Now;
        entry.mail.held = true;
    }
    // Another node may have the account: it lets go first, and what it could
    // not deliver is in the mailbox before this one reads it.
    remote_->Acquire(account, [this, account, link] {
        asio::post(link->RequestExecutor(), [this, account, link] { Acquired(account, link); });
    });
    return Ownership::AfterOtherNodes;
}

void Router::Leave(std::int64_t account, const LinkPtr& link) {
    {
        Shard& shard = ShardOf(account);
        Lock lock(shard.mutex);
        auto found = shard.entries.find(account);
        if (found == shard.entries.end() || found->second.owner != link) return;
        found->second.leaving = true;
    }
    if (remote_) remote_->Left(account);
}

Router::Handover Router::Finished(const LinkPtr& link, std::int64_t account, std::vector<KeptPacket> unacknowledged,
                                  std::int64_t ackedMailSeq) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    bool release = false;
    Handover result = FinishedLocked(link, account, std::move(unacknowledged), ackedMailSeq, release);
    // Under the account's lock, so a new login here cannot take the account
    // before this node has let go of it.
    if (release) remote_->Release(account);
    return result;
}

Router::Handover Router::FinishedLocked(const LinkPtr& link, std::int64_t account,
                                        std::vector<KeptPacket> unacknowledged, std::int64_t ackedMailSeq,
                                        bool& release) {
    Handover result;
    Shard& shard = ShardOf(account);
    std::vector<KeptPacket> held = link->Seal();
    if (account == 0) return result;
    std::vector<KeptPacket> back = std::move(unacknowledged);
    back.insert(back.end(), std::make_move_iterator(held.begin()), std::make_move_iterator(held.end()));
    result.handedBack = mailbox_.HandBack(account, back, ackedMailSeq);
    if (remote_) {
        // The nodes these came from need not keep them any more.
        std::vector<std::uint64_t> stored;
        for (std::size_t i = 0; i < result.handedBack; ++i)
            if (back[i].ticket != 0) stored.push_back(back[i].ticket);
        if (!stored.empty()) remote_->Settled(stored, false);
    }
    auto found = shard.entries.find(account);
    if (found == shard.entries.end()) return result;
    Entry& entry = found->second;
    if (entry.next == link) {
        entry.next.reset();
        return result;
    }
    if (entry.owner != link) return result;
    if (entry.next && !entry.next->Closing() && !entry.goingElsewhere) {
        LinkPtr successor = std::move(entry.next);
        entry = Entry{};
        entry.owner = successor;
        result.successor = std::move(successor);
        return result;
    }
    // Gone to another node, the user is still online for the friends.
    result.wentOffline = !entry.leaving && !entry.goingElsewhere;
    shard.entries.erase(found);
    release = remote_ != nullptr;
    return result;
}

void Router::Acquired(std::int64_t account, const LinkPtr& link) {
    {
        Shard& shard = ShardOf(account);
        Lock lock(shard.mutex);
        auto found = shard.entries.find(account);
        if (found == shard.entries.end()) {
            // The login ended while the account was being taken over: let go again.
            if (remote_) remote_->Release(account);
            return;
        }
        if (found->second.owner != link) return;
        found->second.mail.held = false;
    }
    mailbox_.Pump(link, account);
}

bool Router::WithCursor(std::int64_t account, const LinkPtr& link, FunctionRef<void(MailCursor&)> fn) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    if (found == shard.entries.end() || found->second.owner != link) return false;
    fn(found->second.mail);
    return true;
}

void Router::Deliver(std::int64_t account, int code, const std::string& payload) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    const bool chat = code == protocol::kRequestChat && counters_;
    if (found == shard.entries.end()) {
        if (remote_) {
            if (remote_->Forward(account, code, payload)) {
                if (chat) ++counters_->messagesRouted;
                return;
            }
            // Older packets still on their way to another node go first.
            KeepUnsettled(account);
        }
        if (mailbox_.Keep(account, code, payload)) {
            if (chat) ++counters_->messagesStored;
            if (remote_) remote_->MailStored(account);
        }
        return;
    }
    Entry& entry = found->second;
    if (entry.mail.draining) {
        if (mailbox_.Keep(account, code, payload)) {
            if (chat) ++counters_->messagesStored;
            mailbox_.Wake(entry.mail, entry.owner, account);
        }
        return;
    }
    entry.owner->Send(code, payload, Keep::Yes);
    if (chat) ++counters_->messagesRouted;
}

bool Router::DeliverWithoutStore(std::int64_t account, int code, const std::string& payload) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    if (found == shard.entries.end()) {
        // Forward does nothing when it says no.
        if (!remote_ || !remote_->Forward(account, code, payload)) return false;
    } else {
        if (found->second.mail.draining) return false;
        found->second.owner->Send(code, payload, Keep::Yes);
    }
    if (code == protocol::kRequestChat && counters_) ++counters_->messagesRouted;
    return true;
}

bool Router::SendIfOnline(std::int64_t account, int code, const std::string& payload) {
    {
        Shard& shard = ShardOf(account);
        Lock lock(shard.mutex);
        auto found = shard.entries.find(account);
        if (found != shard.entries.end()) return ArriveAndSend(found->second, account, code, payload);
    }
    return remote_ && remote_->SendElsewhere(account, code, payload);
}

void Router::SendHere(std::int64_t account, int code, const std::string& payload) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    if (found != shard.entries.end()) ArriveAndSend(found->second, account, code, payload);
}

bool Router::ArriveAndSend(Entry& entry, std::int64_t account, int code, const std::string& payload) {
    // The hook hears of the packet before it can reach the client: a client
    // may answer it (a one-to-one request) before this thread runs again.
    // Only a connection sealed meanwhile refuses it, and then its user can
    // no longer answer.
    if (!Shown(entry)) return false;
    if (arrived_) arrived_(account, code, payload);
    return SendToEntry(entry, code, payload);
}

bool Router::SendToEntry(Entry& entry, int code, const std::string& payload) {
    // During a takeover the newer login is the one the user sees.
    if (entry.next) return entry.next->Send(code, payload);
    if (!Shown(entry)) return false;
    return entry.owner->Send(code, payload);
}

bool Router::IsOnline(std::int64_t account) { return OnlineAmong({account})[0]; }

std::vector<bool> Router::OnlineAmong(const std::vector<std::int64_t>& accounts) {
    std::vector<bool> online(accounts.size(), false);
    std::vector<std::int64_t> elsewhere;
    std::vector<std::size_t> where;
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        Shard& shard = ShardOf(accounts[i]);
        Lock lock(shard.mutex);
        auto found = shard.entries.find(accounts[i]);
        if (found != shard.entries.end()) {
            online[i] = Shown(found->second);
        } else if (remote_) {
            elsewhere.push_back(accounts[i]);
            where.push_back(i);
        }
    }
    if (!elsewhere.empty()) {
        std::vector<bool> remote = remote_->OnlineElsewhere(elsewhere);
        for (std::size_t j = 0; j < where.size() && j < remote.size(); ++j) online[where[j]] = remote[j];
    }
    return online;
}

void Router::MailArrived(std::int64_t account) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    if (found == shard.entries.end() || found->second.mail.held) return;
    found->second.mail.draining = true;
    mailbox_.Wake(found->second.mail, found->second.owner, account);
}

void Router::WakeAll() {
    for (Shard& shard : shards_) {
        Lock lock(shard.mutex);
        for (auto& [account, entry] : shard.entries) {
            if (entry.mail.held) continue;
            entry.mail.draining = true;
            mailbox_.Wake(entry.mail, entry.owner, account);
        }
    }
}

bool Router::LetGo(std::int64_t account) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    if (found == shard.entries.end()) return false;
    Entry& entry = found->second;
    entry.goingElsewhere = true;
    if (entry.next) entry.next->Close("logged in on another node", CloseMode::Cut, protocol::kLoggedInElsewhere);
    entry.owner->Close("logged in on another node", CloseMode::Cut, protocol::kLoggedInElsewhere);
    return true;
}

Router::Arrival Router::Forwarded(std::int64_t account, const FromNode& from, int code, const std::string& payload,
                                  std::uint64_t ticket) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    // A login changing hands here: the origin keeps it in the mailbox.
    if (found == shard.entries.end() || found->second.next || !Shown(found->second)) return Arrival::Refused;
    Entry& entry = found->second;
    auto last = entry.lastForwarded.find(from.origin);
    if (last != entry.lastForwarded.end() && from.seq <= last->second) return Arrival::Duplicate;
    // An older one from the same node is unsettled and not here: it would be overtaken.
    const bool next = from.seq == from.base || (last != entry.lastForwarded.end() && last->second == from.prev);
    if (!next) return Arrival::Refused;
    Arrival arrival = Arrival::Queued;
    if (entry.mail.draining) {
        // Behind what the mailbox holds, as a packet read here would be. A
        // database out of reach refuses it: its origin keeps it.
        try {
            if (!mailbox_.Keep(account, code, payload)) return Arrival::Refused;
        } catch (const StoreError& e) {
            Log(LogLevel::Warn, std::string("mailbox: ") + e.what() + "; a forwarded packet is left to its origin");
            return Arrival::Refused;
        }
        mailbox_.Wake(entry.mail, entry.owner, account);
        arrival = Arrival::Stored;
    } else if (!entry.owner->Send(code, payload, Keep::Yes, 0, ticket)) {
        return Arrival::Refused;
    }
    entry.lastForwarded[from.origin] = from.seq;
    return arrival;
}

bool Router::KeepUnsettled(std::int64_t account) {
    std::vector<KeptPacket> unsettled = remote_->TakeUnsettled(account);
    if (unsettled.empty()) return false;
    for (KeptPacket& p : unsettled) p.ticket = 0;
    mailbox_.HandBack(account, unsettled, 0);
    return true;
}

void Router::Unsettled(std::int64_t account) {
    if (!remote_) return;
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    if (!KeepUnsettled(account)) return;
    auto found = shard.entries.find(account);
    if (found == shard.entries.end()) {
        remote_->MailStored(account);
    } else if (!found->second.mail.held) {
        found->second.mail.draining = true;
        mailbox_.Wake(found->second.mail, found->second.owner, account);
    }
}

void Router::ForwardedAcknowledged(const std::vector<std::uint64_t>& tickets) {
    if (remote_) remote_->Settled(tickets, true);
}

void Router::Drained(std::int64_t account) {
    if (remote_) remote_->Drained(account);
}

void Router::Stored(std::int64_t account) {
    {
        Shard& shard = ShardOf(account);
        Lock lock(shard.mutex);
        auto found = shard.entries.find(account);
        if (found != shard.entries.end()) {
            if (found->second.mail.held) return;
            found->second.mail.draining = true;
            mailbox_.Wake(found->second.mail, found->second.owner, account);
            return;
        }
    }
    if (remote_) remote_->MailStored(account);
}

std::size_t Router::OnlineCount() {
    std::size_t n = 0;
    for (Shard& shard : shards_) {
        Lock lock(shard.mutex);
        for (auto& [account, entry] : shard.entries)
            if (Shown(entry)) ++n;
    }
    return n;
}

std::vector<Router::OnlineUser> Router::ListOnline() {
    std::vector<OnlineUser> out;
    for (Shard& shard : shards_) {
        Lock lock(shard.mutex);
        for (auto& [account, entry] : shard.entries) {
            if (!Shown(entry)) continue;
            // During a takeover the newer login is the one that stays.
            const LinkPtr& link = entry.next ? entry.next : entry.owner;
            out.push_back(OnlineUser{account, entry.since, link->Peer()});
        }
    }
    return out;
}

bool Router::Disconnect(std::int64_t account, const std::string& why) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    // One already on its way out is not online any more.
    if (found == shard.entries.end() || !Shown(found->second)) return false;
    Entry& entry = found->second;
    if (entry.next) entry.next->Close(why, CloseMode::Cut);
    entry.owner->Close(why, CloseMode::Cut);
    return true;
}

}  // namespace vexa::server
