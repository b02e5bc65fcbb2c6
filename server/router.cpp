#include "server/router.h"

#include "server/log.h"

#include <thread>

namespace vexa::server {

namespace {
using Lock = std::lock_guard<std::mutex>;
constexpr int kMailBatch = 32;
constexpr int kFinishRetries = 40;
constexpr auto kFinishRetryWait = std::chrono::milliseconds(250);
constexpr auto kPumpRetryWait = std::chrono::milliseconds(500);
}  // namespace

Router::Router(Store& store, std::size_t maxMailPerUser, std::size_t maxBacklogBytes)
    // Half the backlog limit leaves room for the live packets of the moment,
    // so a long mailbox never makes its own reader look slow.
    : store_(store), maxMailPerUser_(maxMailPerUser), mailRoom_(maxBacklogBytes / 2) {}

Router::Ownership Router::Attach(std::int64_t account, const ConnectionPtr& conn) {
    {
        Shard& shard = ShardOf(account);
        Lock lock(shard.mutex);
        Entry& entry = shard.entries[account];
        if (entry.owner == conn) return Ownership::Now;
        if (entry.owner) {
            if (entry.next && entry.next != conn) entry.next->Close("replaced by a newer login", CloseMode::Cut, 39);
            entry.next = conn;
            entry.owner->Close("replaced by a newer login", CloseMode::Cut, 39);
            return Ownership::AfterHandover;
        }
        entry = Entry{};
        entry.owner = conn;
        if (!remote_) return Ownership::Now;
        entry.acquiring = true;
    }
    // Another node may have the account: it lets go first, and what it could
    // not deliver is in the mailbox before this one reads it.
    remote_->Acquire(account, [this, account, conn] {
        asio::post(conn->RequestExecutor(), [this, account, conn] { Acquired(account, conn); });
    });
    return Ownership::AfterOtherNodes;
}

void Router::Leave(std::int64_t account, const ConnectionPtr& conn) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    if (found != shard.entries.end() && found->second.owner == conn) found->second.leaving = true;
}

Router::Handover Router::Finished(const ConnectionPtr& conn, std::int64_t account,
                                  std::vector<KeptPacket> unacknowledged, std::int64_t ackedMailSeq) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    bool release = false;
    Handover result = FinishedLocked(conn, account, std::move(unacknowledged), ackedMailSeq, release);
    // Under the account's lock, so a new login here cannot take the account
    // before this node has let go of it.
    if (release) remote_->Release(account);
    return result;
}

Router::Handover Router::FinishedLocked(const ConnectionPtr& conn, std::int64_t account,
                                        std::vector<KeptPacket> unacknowledged, std::int64_t ackedMailSeq,
                                        bool& release) {
    Handover result;
    Shard& shard = ShardOf(account);
    std::vector<KeptPacket> held = conn->Seal();
    if (account == 0) return result;
    // Handed back, not new: the mailbox limit is for what piles up while a
    // user is away, and these were already counted once. A database out of
    // reach is waited for a while, since nothing for this user may pass meanwhile.
    std::vector<KeptPacket> back = std::move(unacknowledged);
    back.insert(back.end(), std::make_move_iterator(held.begin()), std::make_move_iterator(held.end()));
    std::size_t stored = 0;
    for (int attempt = 0;; ++attempt) {
        try {
            if (ackedMailSeq != 0) store_.DeleteMailUpTo(account, ackedMailSeq);
            ackedMailSeq = 0;
            for (; stored < back.size(); ++stored) store_.AddMail(account, back[stored].code, back[stored].payload);
            break;
        } catch (const StoreUnavailable& e) {
            if (attempt < kFinishRetries) {
                std::this_thread::sleep_for(kFinishRetryWait);
                continue;
            }
            Log(LogLevel::Error, "mailbox of account " + std::to_string(account) + ": " + e.what() + "; " +
                                     std::to_string(back.size() - stored) + " packets lost");
            break;
        } catch (const StoreError& e) {
            Log(LogLevel::Error, "mailbox of account " + std::to_string(account) + ": " + e.what() + "; " +
                                     std::to_string(back.size() - stored) + " packets lost");
            break;
        }
    }
    result.handedBack = stored;
    auto found = shard.entries.find(account);
    if (found == shard.entries.end()) return result;
    Entry& entry = found->second;
    if (entry.next == conn) {
        entry.next.reset();
        return result;
    }
    if (entry.owner != conn) return result;
    if (entry.next && !entry.next->Closing() && !entry.goingElsewhere) {
        ConnectionPtr successor = std::move(entry.next);
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

void Router::Acquired(std::int64_t account, const ConnectionPtr& conn) {
    {
        Shard& shard = ShardOf(account);
        Lock lock(shard.mutex);
        auto found = shard.entries.find(account);
        if (found == shard.entries.end()) {
            // The login ended while the account was being taken over: let go again.
            if (remote_) remote_->Release(account);
            return;
        }
        if (found->second.owner != conn) return;
        found->second.acquiring = false;
    }
    PumpMail(conn, account);
}

bool Router::KeepInMailbox(std::int64_t account, int code, const std::string& payload) {
    if (store_.MailCount(account) >= maxMailPerUser_) {
        Log(LogLevel::Warn, "mailbox of account " + std::to_string(account) + " full; packet " +
                                std::to_string(code) + " not kept");
        return false;
    }
    store_.AddMail(account, code, payload);
    return true;
}

void Router::WakePump(Entry& entry, std::int64_t account) {
    if (entry.wakeQueued) return;
    entry.wakeQueued = true;
    asio::post(entry.owner->RequestExecutor(),
               [this, conn = entry.owner, account] { PumpMail(conn, account); });
}

void Router::Deliver(std::int64_t account, int code, const std::string& payload) {
    Shard& shard = ShardOf(account);
    Lock lock(shard.mutex);
    auto found = shard.entries.find(account);
    const bool chat = code == 3 && counters_;
    if (found == shard.entries.end()) {
        if (KeepInMailbox(account, code, payload)) {
            if (chat) ++counters_->messagesStored;
            if (remote_) remote_->MailStored(account);
        }
        return;
    }
    Entry& entry = found->second;
    if (entry.viaMailbox) {
        if (KeepInMailbox(account, code, payload)) {
            if (chat) ++counters_->messagesStored;
            WakePump(entry, account);
        }
        return;
    }
    entry.owner->Send(code, payload, Keep::Yes);
    if (chat) ++counters_->messagesRouted;
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
    if (found == shard.entries.end() || found->second.acquiring) return;
    found->second.viaMailbox = true;
    WakePump(found->second, account);
}

void Router::WakeAll() {
    for (Shard& shard : shards_) {
        Lock lock(shard.mutex);
        for (auto& [account, entry] : shard.entries) {
            if (entry.acquiring) continue;
            entry.viaMailbox = true;
            WakePump(entry, account);
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
    if (entry.next) entry.next->Close("logged in on another node", CloseMode::Cut, 39);
    entry.owner->Close("logged in on another node", CloseMode::Cut, 39);
    return true;
}

void Router::Claimed(std::int64_t account, std::chrono::system_clock::time_point loginTime) {
    {
        Shard& shard = ShardOf(account);
        Lock lock(shard.mutex);
        auto found = shard.entries.find(account);
        if (found == shard.entries.end() || found->second.since > loginTime) return;
    }
    LetGo(account);
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
            const ConnectionPtr& conn = entry.next ? entry.next : entry.owner;
            out.push_back(OnlineUser{account, entry.since, conn->Peer()});
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

void Router::RetryPump(const ConnectionPtr& conn, std::int64_t account) {
    auto timer = std::make_shared<asio::steady_timer>(conn->RequestExecutor(), kPumpRetryWait);
    timer->async_wait([this, timer, conn, account](std::error_code) {
        if (!conn->Closing()) PumpMail(conn, account);
    });
}

void Router::PumpMail(const ConnectionPtr& conn, std::int64_t account) {
    Shard& shard = ShardOf(account);
    for (;;) {
        std::int64_t cursor = 0;
        {
            Lock lock(shard.mutex);
            auto found = shard.entries.find(account);
            if (found == shard.entries.end() || found->second.owner != conn) return;
            Entry& entry = found->second;
            entry.wakeQueued = false;
            if (!entry.viaMailbox || entry.acquiring) return;
            cursor = entry.mailCursor;
        }
        if (conn->Closing()) return;
        if (conn->QueuedBytes() >= mailRoom_) {
            conn->RequestRoom();
            return;
        }
        std::vector<Mail> batch;
        try {
            batch = store_.MailAfter(account, cursor, kMailBatch);
        } catch (const StoreError& e) {
            Log(LogLevel::Error, std::string("mailbox: ") + e.what());
            RetryPump(conn, account);
            return;
        }
        Lock lock(shard.mutex);
        auto found = shard.entries.find(account);
        if (found == shard.entries.end() || found->second.owner != conn) return;
        Entry& entry = found->second;
        if (entry.mailCursor != cursor) continue;  // another pump went on meanwhile
        if (batch.empty()) {
            // Rows are only added under this lock, so an empty read here
            // means the mailbox is done and live delivery may take over.
            try {
                if (!store_.MailAfter(account, cursor, 1).empty()) continue;
            } catch (const StoreError& e) {
                Log(LogLevel::Error, std::string("mailbox: ") + e.what());
                RetryPump(conn, account);
                return;
            }
            entry.viaMailbox = false;
            return;
        }
        for (const Mail& mail : batch) {
            conn->Send(mail.code, mail.payload, Keep::Yes, mail.seq);
            entry.mailCursor = mail.seq;
        }
    }
}

}  // namespace vexa::server
