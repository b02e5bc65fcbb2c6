#include "server/cluster/cluster.h"

#include <nats/nats.h>

#include <algorithm>

#include "server/base/log.h"
#include "server/cluster/messages.h"

namespace vexa::server {

namespace {

using cluster::Kind;
using cluster::Message;
using cluster::UserSubject;

constexpr auto kOnlineWait = 1000;  // ms
constexpr auto kPingWait = 500;  // ms

std::string Status(natsStatus s) { return natsStatus_GetText(s); }

}  // namespace

Cluster::Cluster(ClusterOptions options, PresenceDirectory& presence, Router& router)
    : options_(std::move(options)), presence_(presence), router_(router) {
    // A few delivery threads for every subscription, rather than one each:
    // each subscription still gets its messages in order.
    nats_SetMessageDeliveryPoolSize(4);
    natsOptions* opts = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK) s = natsOptions_SetURL(opts, options_.natsUrl.c_str());
    if (s == NATS_OK) s = natsOptions_SetName(opts, options_.node.c_str());
    if (s == NATS_OK) s = natsOptions_UseGlobalMessageDelivery(opts, true);
    if (s == NATS_OK) s = natsOptions_SetAllowReconnect(opts, true);
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, 250);
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(
            opts, [](natsConnection*, void*) { Log(LogLevel::Warn, "cluster: the link to NATS is down"); }, this);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(
            opts, [](natsConnection*, void* self) { static_cast<Cluster*>(self)->OnReconnected(); }, this);
    if (s == NATS_OK)
        s = natsOptions_SetRetryOnFailedConnect(
            opts, true, [](natsConnection*, void* self) { static_cast<Cluster*>(self)->OnReconnected(); }, this);
    if (s == NATS_OK) {
        s = natsConnection_Connect(&nc_, opts);
        if (s == NATS_NOT_YET_CONNECTED) {
            Log(LogLevel::Warn, "cluster: NATS at " + options_.natsUrl + " not reachable yet; trying on");
            s = NATS_OK;
        }
    }
    if (s == NATS_OK) {
        std::string replies = cluster::ReplySubjects(options_.node);
        s = natsConnection_Subscribe(
            &replies_, nc_, replies.c_str(),
            [](natsConnection*, natsSubscription*, natsMsg* msg, void* self) { static_cast<Cluster*>(self)->OnReply(msg); },
            this);
    }
    natsOptions_Destroy(opts);
    if (s != NATS_OK) {
        natsConnection_Destroy(nc_);
        throw std::runtime_error("cluster: cannot use NATS at " + options_.natsUrl + ": " + Status(s));
    }
    // The first heartbeat also clears the presence a crash of this node left behind.
    presence_.Heartbeat(options_.node, true);
    heartbeat_ = std::thread([this] { HeartbeatLoop(); });
    Log(LogLevel::Info, "cluster: node " + options_.node + " on " + options_.natsUrl);
}

Cluster::~Cluster() {
    stopping_ = true;
    heartbeatWake_.notify_all();
    if (heartbeat_.joinable()) heartbeat_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [account, sub] : subscriptions_) natsSubscription_Destroy(sub);
        subscriptions_.clear();
    }
    natsSubscription_Destroy(replies_);
    natsConnection_Close(nc_);
    natsConnection_Destroy(nc_);
}

void Cluster::Publish(const std::string& subject, const std::string& data, const char* reply) {
    natsStatus s = reply ? natsConnection_PublishRequest(nc_, subject.c_str(), reply, data.data(),
                                                         static_cast<int>(data.size()))
                         : natsConnection_Publish(nc_, subject.c_str(), data.data(), static_cast<int>(data.size()));
    if (s != NATS_OK) throw std::runtime_error(Status(s));
}

// --- RemoteRoutes ----------------------------------------------------------

void Cluster::Ring(std::int64_t account) {
    try {
        Publish(UserSubject(account), cluster::Encode(Message{Kind::Mail}));
    } catch (const std::exception& e) {
        // Rung again once the link is back; the row itself is safe.
        std::lock_guard<std::mutex> lock(mutex_);
        unrung_.push_back(account);
    }
}

void Cluster::MailStored(std::int64_t account) { Ring(account); }

bool Cluster::SendElsewhere(std::int64_t account, int code, const std::string& payload) {
    if (presence_.PresentOn(account, options_.nodeTimeout).empty()) return false;
    Message send{Kind::Send};
    send.code = code;
    send.payload = payload;
    try {
        Publish(UserSubject(account), cluster::Encode(send));
    } catch (const std::exception& e) {
        Log(LogLevel::Debug, std::string("cluster: a packet for another node is dropped: ") + e.what());
    }
    return true;
}

std::vector<bool> Cluster::OnlineElsewhere(const std::vector<std::int64_t>& accounts) {
    return presence_.PresentAmong(accounts, options_.nodeTimeout);
}

void Cluster::Acquire(std::int64_t account, std::function<void()> done) {
    std::string owner;
    try {
        owner = presence_.PresentOn(account, options_.nodeTimeout);
    } catch (const StoreError& e) {
        Log(LogLevel::Warn, std::string("cluster: presence unknown: ") + e.what());
    }
    if (owner.empty() || owner == options_.node) return Own(account, std::move(done));
    // The presence row may belong to a node that just died: NATS says at
    // once when nobody has the user's subject any more.
    natsMsg* pong = nullptr;
    const std::string ping = cluster::Encode(Message{Kind::Ping});
    natsStatus s = natsConnection_Request(&pong, nc_, UserSubject(account).c_str(), ping.data(),
                                          static_cast<int>(ping.size()), kPingWait);
    natsMsg_Destroy(pong);
    if (s != NATS_OK) {
        Log(LogLevel::Info, "cluster: node " + owner + " does not answer for account " + std::to_string(account) +
                                " (" + Status(s) + "); taking it over");
        return Own(account, std::move(done));
    }
    std::uint64_t token;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        token = nextToken_++;
        pending_[token] = Pending{account, std::move(done), std::chrono::steady_clock::now() + options_.takeoverWait};
    }
    std::string reply = cluster::ReplySubject(options_.node, token);
    Message letGo{Kind::LetGo};
    letGo.node = options_.node;
    try {
        Publish(UserSubject(account), cluster::Encode(letGo), reply.c_str());
    } catch (const std::exception& e) {
        Log(LogLevel::Warn, std::string("cluster: cannot ask node ") + owner + " to let go: " + e.what());
    }
    heartbeatWake_.notify_all();  // the heartbeat thread also watches the deadlines
}

// The account is this node's now: its subject, its presence row, the claim.
void Cluster::Own(std::int64_t account, std::function<void()> done) {
    Log(LogLevel::Debug, "cluster: account " + std::to_string(account) + " is on this node now");
    natsSubscription* sub = nullptr;
    natsStatus s = natsConnection_Subscribe(
        &sub, nc_, UserSubject(account).c_str(),
        [](natsConnection*, natsSubscription*, natsMsg* msg, void* self) { static_cast<Cluster*>(self)->OnUserMessage(msg); },
        this);
    if (s == NATS_OK) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& slot = subscriptions_[account];
        if (slot) natsSubscription_Destroy(slot);
        slot = sub;
    } else {
        Log(LogLevel::Warn, "cluster: cannot subscribe for account " + std::to_string(account) + ": " + Status(s));
    }
    // The subscription must be in place before the mailbox is read, so a
    // doorbell for a row added meanwhile is not missed.
    natsConnection_FlushTimeout(nc_, 1000);
    try {
        presence_.SetPresent(account, options_.node);
    } catch (const StoreError& e) {
        Log(LogLevel::Warn, std::string("cluster: presence not recorded: ") + e.what());
    }
    Message claim{Kind::Claim};
    claim.loginNanos =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    claim.node = options_.node;
    try {
        Publish(UserSubject(account), cluster::Encode(claim));
    } catch (const std::exception&) {
    }
    done();
}

void Cluster::Release(std::int64_t account) {
    std::vector<std::string> answers;
    natsSubscription* sub = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = subscriptions_.find(account);
        if (found != subscriptions_.end()) {
            sub = found->second;
            subscriptions_.erase(found);
        }
        auto waiting = releaseAnswers_.find(account);
        if (waiting != releaseAnswers_.end()) {
            answers = std::move(waiting->second);
            releaseAnswers_.erase(waiting);
        }
    }
    Log(LogLevel::Debug, "cluster: account " + std::to_string(account) + " let go, " + std::to_string(answers.size()) +
                             " nodes told");
    if (sub) {
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
    }
    try {
        presence_.SetAbsent(account, options_.node);
    } catch (const StoreError& e) {
        Log(LogLevel::Warn, std::string("cluster: presence not cleared: ") + e.what());
    }
    for (const std::string& reply : answers) {
        try {
            Publish(reply, cluster::Encode(Message{Kind::Released}));
        } catch (const std::exception&) {
        }
    }
}

// --- From the other nodes (NATS threads) ---------------------------------------

void Cluster::OnUserMessage(natsMsg* msg) {
    std::int64_t account = cluster::AccountOf(natsMsg_GetSubject(msg));
    auto message = cluster::Decode(std::string_view(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg))));
    const char* replyTo = natsMsg_GetReply(msg);
    std::string reply = replyTo ? replyTo : "";
    natsMsg_Destroy(msg);
    if (!message || account <= 0) return;
    switch (message->kind) {
        case Kind::Mail:
            router_.MailArrived(account);
            break;
        case Kind::Ping:
            if (!reply.empty()) {
                try {
                    Publish(reply, std::string(cluster::kPong));
                } catch (const std::exception&) {
                }
            }
            break;
        case Kind::Kick:
            router_.Disconnect(account, "disconnected by an administrator");
            break;
        case Kind::Send:
            router_.SendHere(account, message->code, message->payload);
            break;
        case Kind::LetGo:
            if (message->node != options_.node && !reply.empty()) LetGo(account, reply);
            break;
        case Kind::Claim:
            if (message->node != options_.node)
                router_.Claimed(account, std::chrono::system_clock::time_point(
                                             std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                                 std::chrono::nanoseconds(message->loginNanos))));
            break;
        case Kind::Released:
            break;
    }
}

// Another node takes the account over: the connection here closes, and the
// answer waits for Release.
void Cluster::LetGo(std::int64_t account, const std::string& reply) {
    // Noted first, so a Release that comes at once still finds it.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        releaseAnswers_[account].push_back(reply);
    }
    if (router_.LetGo(account)) return;
    bool answerNow = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& waiting = releaseAnswers_[account];
        auto it = std::find(waiting.begin(), waiting.end(), reply);
        if (it != waiting.end()) {
            waiting.erase(it);
            answerNow = true;
        }
        if (waiting.empty()) releaseAnswers_.erase(account);
    }
    if (answerNow) {
        try {
            Publish(reply, cluster::Encode(Message{Kind::Released}));
        } catch (const std::exception&) {
        }
    }
}

void Cluster::OnReply(natsMsg* msg) {
    cluster::ReplyTarget target = cluster::ReplyTargetOf(natsMsg_GetSubject(msg));
    const char* replyTo = natsMsg_GetReply(msg);
    std::string reply = replyTo ? replyTo : "";
    natsMsg_Destroy(msg);
    if (target.online) {
        if (reply.empty()) return;
        try {
            Publish(reply, cluster::EncodeOnlineList(router_.ListOnline()));
        } catch (const std::exception&) {
        }
        return;
    }
    Pending done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = pending_.find(target.token);
        if (found == pending_.end()) return;
        done = std::move(found->second);
        pending_.erase(found);
    }
    Own(done.account, std::move(done.done));
}

std::optional<std::vector<Router::OnlineUser>> Cluster::OnlineOn(const std::string& node) {
    natsMsg* answer = nullptr;
    if (natsConnection_Request(&answer, nc_, cluster::OnlineSubject(node).c_str(), "", 0, kOnlineWait) != NATS_OK)
        return std::nullopt;
    auto users = cluster::DecodeOnlineList(
        std::string_view(natsMsg_GetData(answer), static_cast<std::size_t>(natsMsg_GetDataLength(answer))));
    natsMsg_Destroy(answer);
    return users;
}

bool Cluster::DisconnectElsewhere(std::int64_t account) {
    if (presence_.PresentOn(account, options_.nodeTimeout).empty()) return false;
    try {
        Publish(UserSubject(account), cluster::Encode(Message{Kind::Kick}));
    } catch (const std::exception& e) {
        Log(LogLevel::Warn, std::string("cluster: cannot ask for a disconnect: ") + e.what());
        return false;
    }
    return true;
}

void Cluster::OnReconnected() {
    Log(LogLevel::Info, "cluster: connected to NATS at " + options_.natsUrl);
    std::vector<std::int64_t> unrung;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unrung.swap(unrung_);
    }
    for (std::int64_t account : unrung) Ring(account);
    // Doorbells sent to this node while it was away are lost: every user here
    // reads the mailbox again.
    router_.WakeAll();
}

void Cluster::HeartbeatLoop() {
    auto next = std::chrono::steady_clock::now() + options_.heartbeat;
    bool warned = false;
    while (!stopping_) {
        std::vector<Pending> expired;
        {
            std::unique_lock<std::mutex> lock(heartbeatMutex_);
            heartbeatWake_.wait_until(lock, std::min(next, std::chrono::steady_clock::now() + std::chrono::milliseconds(200)),
                                      [&] { return stopping_.load(); });
        }
        if (stopping_) break;
        auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (it->second.deadline <= now) {
                    expired.push_back(std::move(it->second));
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        // A node that does not answer is gone or cut off; its claim loses to ours later.
        for (Pending& p : expired) {
            Log(LogLevel::Warn, "cluster: no node let go of account " + std::to_string(p.account) + " in time");
            Own(p.account, std::move(p.done));
        }
        if (now < next) continue;
        next = now + options_.heartbeat;
        if (options_.onHeartbeat) options_.onHeartbeat();
        try {
            presence_.Heartbeat(options_.node, false);
            if (warned) Log(LogLevel::Info, "cluster: heartbeat recorded again");
            warned = false;
        } catch (const StoreError& e) {
            if (!warned) Log(LogLevel::Warn, std::string("cluster: heartbeat not recorded: ") + e.what());
            warned = true;
        }
    }
}

}  // namespace vexa::server
