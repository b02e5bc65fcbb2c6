#include "server/cluster/cluster.h"

#include <nats/nats.h>

#include <algorithm>

#include "server/base/log.h"

namespace vexa::server {

namespace {

using cluster::Kind;
using cluster::Message;
using cluster::UserSubject;
using cluster::Verdict;
using Lock = std::lock_guard<std::mutex>;

constexpr auto kOnlineWait = 1000;  // ms
constexpr auto kPingWait = 500;     // ms
// A node is asked for its whole list at most this often.
constexpr auto kSnapshotInterval = std::chrono::milliseconds(1000);
// A forwarded chat still waiting for its client this long is reported to
// its origin as queued, well within the origin's wait (forwardWait); most
// are acknowledged sooner, and need only the one answer.
constexpr auto kTellQueuedAfter = std::chrono::milliseconds(400);
// Under load, the least time between two rounds of the sending thread.
constexpr auto kLinger = std::chrono::microseconds(2000);

std::string Status(natsStatus s) { return natsStatus_GetText(s); }

std::int64_t WallNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string_view DataOf(natsMsg* msg) {
    return std::string_view(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
}

}  // namespace

Cluster::Cluster(ClusterOptions options, PresenceDirectory& nodes, Router& router)
    : options_(std::move(options)), boot_(static_cast<std::uint64_t>(WallNanos())), nodes_(nodes), router_(router) {
    // A few delivery threads for every subscription, rather than one each:
    // each subscription still gets its messages in order.
    nats_SetMessageDeliveryPoolSize(4);
    natsOptions* opts = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK) s = natsOptions_SetURL(opts, options_.natsUrl.c_str());
    if (s == NATS_OK) s = natsOptions_SetName(opts, options_.node.c_str());
    if (s == NATS_OK) s = natsOptions_UseGlobalMessageDelivery(opts, true);
    // What this node publishes is already gathered into batches (SendLoop):
    // written at once, without a wake-up of the client's flusher thread each.
    if (s == NATS_OK) s = natsOptions_SetSendAsap(opts, true);
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
    // One subscription, so each node's presence changes arrive in the order it told them.
    if (s == NATS_OK)
        s = natsConnection_Subscribe(
            &nodesSub_, nc_, cluster::kNodesSubject,
            [](natsConnection*, natsSubscription*, natsMsg* msg, void* self) {
                static_cast<Cluster*>(self)->OnNodesMessage(msg);
            },
            this);
    natsOptions_Destroy(opts);
    if (s != NATS_OK) {
        natsSubscription_Destroy(replies_);
        natsConnection_Destroy(nc_);
        throw std::runtime_error("cluster: cannot use NATS at " + options_.natsUrl + ": " + Status(s));
    }
    try {
        nodes_.Heartbeat(options_.node, true);
    } catch (const StoreError& e) {
        Log(LogLevel::Warn, std::string("cluster: heartbeat not recorded: ") + e.what());
    }
    Message ask(Kind::Ask);
    ask.node = options_.node;
    Publish(cluster::kNodesSubject, cluster::Encode(ask));
    heartbeat_ = std::thread([this] { HeartbeatLoop(); });
    sender_ = std::thread([this] { SendLoop(); });
    Log(LogLevel::Info, "cluster: node " + options_.node + " on " + options_.natsUrl);
}

Cluster::~Cluster() {
    stopping_ = true;
    heartbeatWake_.notify_all();
    sendWake_.notify_all();
    if (heartbeat_.joinable()) heartbeat_.join();
    if (sender_.joinable()) sender_.join();
    {
        Lock lock(mutex_);
        for (auto& [account, sub] : subscriptions_) natsSubscription_Destroy(sub);
        subscriptions_.clear();
    }
    natsSubscription_Destroy(nodesSub_);
    natsSubscription_Destroy(replies_);
    natsConnection_Close(nc_);
    natsConnection_Destroy(nc_);
}

bool Cluster::Publish(const std::string& subject, const std::string& data, const char* reply) {
    natsStatus s = reply ? natsConnection_PublishRequest(nc_, subject.c_str(), reply, data.data(),
                                                         static_cast<int>(data.size()))
                         : natsConnection_Publish(nc_, subject.c_str(), data.data(), static_cast<int>(data.size()));
    if (s != NATS_OK) Log(LogLevel::Debug, "cluster: NATS did not take a message for " + subject + ": " + Status(s));
    return s == NATS_OK;
}

// Under mutex_, so the changes go out in the order of their numbers.
void Cluster::PublishPresenceLocked(Kind kind, std::int64_t account, const cluster::LoginStamp* stamp) {
    Message m(kind);
    m.node = options_.node;
    m.boot = boot_;
    m.version = ++version_;
    m.account = account;
    if (stamp) {
        m.nanos = stamp->nanos;
        m.counter = stamp->counter;
    }
    // One that NATS does not take is noticed by the others at the next heartbeat.
    Publish(cluster::kNodesSubject, cluster::Encode(m));
}

// --- RemoteRoutes ----------------------------------------------------------

void Cluster::Ring(std::int64_t account) {
    if (Publish(UserSubject(account), cluster::Encode(Message{Kind::Mail}))) return;
    // Rung again once the link is back; the row itself is safe.
    Lock lock(mutex_);
    unrung_.push_back(account);
}

void Cluster::MailStored(std::int64_t account) { Ring(account); }

bool Cluster::Forward(std::int64_t account, int code, const std::string& payload) {
    auto where = directory_.Find(account);
    cluster::BatchedChat chat{account, 0, 0, 0, code, payload};
    {
        Lock lock(mutex_);
        auto found = outgoing_.find(account);
        if (found != outgoing_.end() && found->second.onMailbox) return false;
        if (!where) return false;
        Outgoing& out = outgoing_[account];
        chat.seq = nextSeq_++;
        chat.base = out.chats.empty() ? chat.seq : out.chats.front().seq;
        chat.prev = out.lastSeq;
        out.lastSeq = chat.seq;
        out.chats.push_back(InFlight{chat.seq, code, payload, Clock::now() + options_.forwardWait});
        out.node = where->node;
        inFlightAccount_[chat.seq] = account;
    }
    // The caller holds the account's lock: the packets for one user join the
    // batch in the order of their numbers. One NATS does not take is not
    // answered, and goes to the mailbox when its wait ends (SendLoop).
    bool wake;
    {
        Lock lock(sendMutex_);
        wake = outbox_.empty();
        auto& batches = outbox_[where->node].chats;
        if (batches.empty() || batches.back().size() + payload.size() > kMaxBatchBytes)
            batches.push_back(cluster::ChatBatchHead(options_.node, boot_));
        cluster::AppendChat(batches.back(), chat);
    }
    if (wake) sendWake_.notify_one();
    return true;
}

std::vector<KeptPacket> Cluster::TakeUnsettled(std::int64_t account) {
    std::vector<KeptPacket> packets;
    Lock lock(mutex_);
    auto found = outgoing_.find(account);
    if (found == outgoing_.end()) return packets;
    for (InFlight& chat : found->second.chats) {
        packets.push_back(KeptPacket{chat.code, std::move(chat.payload), 0});
        inFlightAccount_.erase(chat.seq);
    }
    found->second.chats.clear();
    if (packets.empty()) {
        if (!found->second.onMailbox) outgoing_.erase(found);
    } else {
        found->second.onMailbox = true;
    }
    return packets;
}

void Cluster::Settled(const std::vector<std::uint64_t>& tickets, bool delivered) {
    std::vector<Ticket> settled;
    {
        Lock lock(mutex_);
        for (std::uint64_t t : tickets) {
            auto found = tickets_.find(t);
            if (found == tickets_.end()) continue;
            settled.push_back(std::move(found->second));
            tickets_.erase(found);
        }
    }
    Answer(settled, delivered ? Verdict::Delivered : Verdict::Stored);
}

void Cluster::Drained(std::int64_t account) {
    Message drained(Kind::Drained);
    drained.account = account;
    Publish(cluster::kNodesSubject, cluster::Encode(drained));
}

void Cluster::Left(std::int64_t account) {
    Lock lock(mutex_);
    auto found = mine_.find(account);
    if (found == mine_.end() || found->second.left) return;
    found->second.left = true;
    PublishPresenceLocked(Kind::Down, account, nullptr);
}

bool Cluster::SendElsewhere(std::int64_t account, int code, const std::string& payload) {
    if (!directory_.Find(account)) return false;
    Message send{Kind::Send};
    send.code = code;
    send.payload = payload;
    Publish(UserSubject(account), cluster::Encode(send));
    return true;
}

std::vector<bool> Cluster::OnlineElsewhere(const std::vector<std::int64_t>& accounts) {
    return directory_.OnlineAmong(accounts);
}

void Cluster::Acquire(std::int64_t account, std::function<void()> done) {
    auto owner = directory_.Find(account);
    if (!owner || owner->node == options_.node) return Own(account, std::move(done));
    // The node may have died a moment ago: NATS says at once when nobody
    // has the user's subject any more.
    natsMsg* pong = nullptr;
    const std::string ping = cluster::Encode(Message{Kind::Ping});
    natsStatus s = natsConnection_Request(&pong, nc_, UserSubject(account).c_str(), ping.data(),
                                          static_cast<int>(ping.size()), kPingWait);
    natsMsg_Destroy(pong);
    if (s != NATS_OK) {
        Log(LogLevel::Info, "cluster: node " + owner->node + " does not answer for account " + std::to_string(account) +
                                " (" + Status(s) + "); taking it over");
        return Own(account, std::move(done));
    }
    std::uint64_t token;
    {
        Lock lock(mutex_);
        token = nextToken_++;
        pending_[token] = Pending{account, std::move(done), Clock::now() + options_.takeoverWait};
    }
    std::string reply = cluster::ReplySubject(options_.node, token);
    Message letGo{Kind::LetGo};
    letGo.node = options_.node;
    if (!Publish(UserSubject(account), cluster::Encode(letGo), reply.c_str()))
        Log(LogLevel::Warn, "cluster: cannot ask node " + owner->node + " to let go of account " + std::to_string(account));
    heartbeatWake_.notify_all();  // the heartbeat thread also watches the deadlines
}

// The account is this node's now: its subject, its presence for the others.
void Cluster::Own(std::int64_t account, std::function<void()> done) {
    Log(LogLevel::Debug, "cluster: account " + std::to_string(account) + " is on this node now");
    natsSubscription* sub = nullptr;
    natsStatus s = natsConnection_Subscribe(
        &sub, nc_, UserSubject(account).c_str(),
        [](natsConnection*, natsSubscription*, natsMsg* msg, void* self) { static_cast<Cluster*>(self)->OnUserMessage(msg); },
        this);
    if (s == NATS_OK) {
        Lock lock(mutex_);
        auto& slot = subscriptions_[account];
        if (slot) natsSubscription_Destroy(slot);
        slot = sub;
    } else {
        Log(LogLevel::Warn, "cluster: cannot subscribe for account " + std::to_string(account) + ": " + Status(s));
    }
    // The subscription must be in place before the mailbox is read, so a
    // doorbell for a row added meanwhile is not missed.
    natsConnection_FlushTimeout(nc_, 1000);
    // A login that takes the account over from another node is newer than
    // the one it replaces, whatever the two clocks say.
    auto replaced = directory_.Find(account);
    cluster::LoginStamp stamp{std::max(WallNanos(), replaced ? replaced->nanos + 1 : 0), options_.node, 0};
    {
        Lock lock(mutex_);
        stamp.counter = ++loginCounter_;
        mine_[account] = Mine{stamp, false};
        PublishPresenceLocked(Kind::Up, account, &stamp);
    }
    // Another node may have taken the account at the same instant.
    if (auto theirs = directory_.Find(account)) SettleConflict(account, *theirs);
    done();
}

void Cluster::Release(std::int64_t account) {
    std::vector<std::string> answers;
    natsSubscription* sub = nullptr;
    {
        Lock lock(mutex_);
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
        auto mine = mine_.find(account);
        if (mine != mine_.end()) {
            if (!mine->second.left) PublishPresenceLocked(Kind::Down, account, nullptr);
            mine_.erase(mine);
        }
    }
    Log(LogLevel::Debug, "cluster: account " + std::to_string(account) + " let go, " + std::to_string(answers.size()) +
                             " nodes told");
    if (sub) {
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
    }
    for (const std::string& reply : answers) Publish(reply, cluster::Encode(Message{Kind::Released}));
    // A login that won at the same instant elsewhere reads what was handed back here.
    Ring(account);
}

// --- From the other nodes (NATS threads) ---------------------------------------

void Cluster::OnUserMessage(natsMsg* msg) {
    std::int64_t account = cluster::AccountOf(natsMsg_GetSubject(msg));
    auto message = cluster::Decode(DataOf(msg));
    const char* replyTo = natsMsg_GetReply(msg);
    std::string reply = replyTo ? replyTo : "";
    natsMsg_Destroy(msg);
    if (!message || account <= 0) return;
    switch (message->kind) {
        case Kind::Mail: router_.MailArrived(account); break;
        case Kind::Ping:
            if (!reply.empty()) Publish(reply, std::string(cluster::kPong));
            break;
        case Kind::Kick: router_.Disconnect(account, "disconnected by an administrator"); break;
        case Kind::Send: router_.SendHere(account, message->code, message->payload); break;
        case Kind::Chat:
            // One at a time, as a node of the previous release sends them.
            ReceiveChats(message->node, message->boot,
                         {{account, message->seq, message->base, message->prev, message->code, message->payload}});
            break;
        case Kind::LetGo:
            if (message->node != options_.node && !reply.empty()) LetGo(account, reply);
            break;
        default: break;
    }
}

// Chats from one run of a node, in its order: each waits on its connection
// with a ticket, and its node hears what became of it.
void Cluster::ReceiveChats(const std::string& node, std::uint64_t boot, const std::vector<cluster::BatchedChat>& chats) {
    std::uint64_t first;
    {
        Lock lock(mutex_);
        first = nextTicket_;
        nextTicket_ += chats.size();
        const auto now = Clock::now();
        for (std::size_t i = 0; i < chats.size(); ++i) {
            tickets_[first + i] = Ticket{node, boot, chats[i].seq};
            untold_.emplace_back(now, first + i);
        }
    }
    Router::FromNode from{node + "#" + std::to_string(boot), 0, 0, 0};
    std::vector<std::uint64_t> done;
    std::vector<Ticket> stored, refused;
    for (std::size_t i = 0; i < chats.size(); ++i) {
        const cluster::BatchedChat& chat = chats[i];
        from.seq = chat.seq;
        from.base = chat.base;
        from.prev = chat.prev;
        Router::Arrival arrival = router_.Forwarded(chat.account, from, chat.code, chat.payload, first + i);
        if (arrival == Router::Arrival::Queued) continue;  // told later, unless settled before (TellQueued)
        done.push_back(first + i);
        // A duplicate is not answered: the first one is.
        if (arrival == Router::Arrival::Stored) stored.push_back(Ticket{node, boot, chat.seq});
        if (arrival == Router::Arrival::Refused) refused.push_back(Ticket{node, boot, chat.seq});
    }
    if (!done.empty()) {
        Lock lock(mutex_);
        for (std::uint64_t number : done) tickets_.erase(number);
    }
    Answer(stored, Verdict::Stored);
    Answer(refused, Verdict::Refused);
}

void Cluster::OnChats(std::string_view data) {
    auto batch = cluster::DecodeChatBatch(data);
    if (batch && batch->node != options_.node) ReceiveChats(batch->node, batch->boot, batch->chats);
}

void Cluster::OnNodesMessage(natsMsg* msg) {
    auto message = cluster::Decode(DataOf(msg));
    natsMsg_Destroy(msg);
    if (!message) return;
    const Message& m = *message;
    if (m.kind == Kind::Drained) {
        // What this node handed back during an outage is not in the mailbox
        // yet: the user stays on it until that is in and read too.
        if (router_.Mail().HasParked(m.account)) return;
        Lock lock(mutex_);
        auto found = outgoing_.find(m.account);
        if (found == outgoing_.end()) return;
        found->second.onMailbox = false;
        if (found->second.chats.empty()) outgoing_.erase(found);
        return;
    }
    if (m.node == options_.node) return;  // our own, back from NATS
    const auto now = Clock::now();
    bool missed = false;
    switch (m.kind) {
        case Kind::Up:
            missed = directory_.Up(m.node, m.boot, m.version, m.account, {m.nanos, m.node, m.counter}, now);
            SettleConflict(m.account, {m.nanos, m.node, m.counter});
            break;
        case Kind::Down: missed = directory_.Down(m.node, m.boot, m.version, m.account, now); break;
        case Kind::Beat: missed = directory_.Beat(m.node, m.boot, m.version, now); break;
        case Kind::Ask: SendSnapshot(m.node); break;
        default: break;
    }
    if (missed) AskSnapshot(m.node);
}

// This node's users, for a node that asked.
void Cluster::SendSnapshot(const std::string& to) {
    cluster::Snapshot snapshot;
    snapshot.node = options_.node;
    snapshot.boot = boot_;
    {
        Lock lock(mutex_);
        snapshot.version = version_;
        for (const auto& [account, mine] : mine_)
            if (!mine.left) snapshot.users.push_back({account, mine.stamp.nanos, mine.stamp.counter});
    }
    Publish(cluster::SnapshotSubject(to), cluster::EncodeSnapshot(snapshot));
}

void Cluster::AskSnapshot(const std::string& node) {
    {
        Lock lock(mutex_);
        auto& asked = snapshotAsked_[node];
        const auto now = Clock::now();
        if (now - asked < kSnapshotInterval) return;
        asked = now;
    }
    Message ask(Kind::Ask);
    ask.node = options_.node;
    // On the node's snapshot subject, which also carries the answers it gets:
    // OnReply tells the two apart by their kind.
    Publish(cluster::SnapshotSubject(node), cluster::Encode(ask));
}

void Cluster::OnSnapshot(std::string_view data) {
    if (!data.empty() && data[0] == static_cast<char>(Kind::Ask)) {
        // Asked by one node: as if it had asked everyone.
        if (auto ask = cluster::Decode(data); ask && ask->kind == Kind::Ask) SendSnapshot(ask->node);
        return;
    }
    auto snapshot = cluster::DecodeSnapshot(data);
    if (!snapshot || snapshot->node == options_.node) return;
    directory_.Replace(*snapshot, Clock::now());
    for (const auto& u : snapshot->users) SettleConflict(u.account, {u.nanos, snapshot->node, u.counter});
}

// Two nodes have the account: the one with the older login lets go. Both
// compare the same two stamps, so exactly one of them does.
void Cluster::SettleConflict(std::int64_t account, const cluster::LoginStamp& theirs) {
    if (theirs.node == options_.node) return;
    {
        Lock lock(mutex_);
        auto found = mine_.find(account);
        if (found == mine_.end() || found->second.left || !(found->second.stamp < theirs)) return;
    }
    Log(LogLevel::Info, "cluster: account " + std::to_string(account) + " logged in on node " + theirs.node +
                            " at the same time; the newer login there stays");
    router_.LetGo(account);
}

// Another node takes the account over: the connection here closes, and the
// answer waits for Release.
void Cluster::LetGo(std::int64_t account, const std::string& reply) {
    // Noted first, so a Release that comes at once still finds it.
    {
        Lock lock(mutex_);
        releaseAnswers_[account].push_back(reply);
    }
    if (router_.LetGo(account)) return;
    bool answerNow = false;
    {
        Lock lock(mutex_);
        auto& waiting = releaseAnswers_[account];
        auto it = std::find(waiting.begin(), waiting.end(), reply);
        if (it != waiting.end()) {
            waiting.erase(it);
            answerNow = true;
        }
        if (waiting.empty()) releaseAnswers_.erase(account);
    }
    if (answerNow) Publish(reply, cluster::Encode(Message{Kind::Released}));
}

void Cluster::OnReply(natsMsg* msg) {
    cluster::ReplyTarget target = cluster::ReplyTargetOf(natsMsg_GetSubject(msg));
    const char* replyTo = natsMsg_GetReply(msg);
    std::string reply = replyTo ? replyTo : "";
    std::string data(DataOf(msg));
    natsMsg_Destroy(msg);
    using What = cluster::ReplyTarget::What;
    switch (target.what) {
        case What::Online:
            if (!reply.empty()) Publish(reply, cluster::EncodeOnlineList(router_.ListOnline()));
            return;
        case What::Answers: return OnAnswers(data);
        case What::Snapshot: return OnSnapshot(data);
        case What::Chats: return OnChats(data);
        case What::Token: break;
    }
    Pending done;
    {
        Lock lock(mutex_);
        auto found = pending_.find(target.token);
        if (found == pending_.end()) return;
        done = std::move(found->second);
        pending_.erase(found);
    }
    Own(done.account, std::move(done.done));
}

void Cluster::OnAnswers(std::string_view data) {
    auto answers = cluster::DecodeAnswers(data);
    if (!answers || answers->boot != boot_) return;  // for an earlier run of this node
    std::vector<std::int64_t> refused;
    {
        Lock lock(mutex_);
        const auto queuedWait = Clock::now() + 3 * options_.nodeTimeout;
        for (const cluster::Answer& a : answers->answers) {
            auto account = inFlightAccount_.find(a.seq);
            if (account == inFlightAccount_.end()) continue;
            auto out = outgoing_.find(account->second);
            if (out == outgoing_.end()) continue;
            auto& chats = out->second.chats;
            auto chat = std::find_if(chats.begin(), chats.end(), [&](const InFlight& c) { return c.seq == a.seq; });
            if (chat == chats.end()) continue;
            switch (a.verdict) {
                case Verdict::Queued:
                    // It waits on the connection for its client: either it is
                    // acknowledged or handed back, or its node falls silent.
                    chat->deadline = queuedWait;
                    break;
                case Verdict::Delivered:
                case Verdict::Stored:
                    chats.erase(chat);
                    inFlightAccount_.erase(account);
                    if (chats.empty() && !out->second.onMailbox) outgoing_.erase(out);
                    break;
                case Verdict::Refused: refused.push_back(account->second); break;
            }
        }
    }
    std::sort(refused.begin(), refused.end());
    refused.erase(std::unique(refused.begin(), refused.end()), refused.end());
    for (std::int64_t account : refused) router_.Unsettled(account);
}

void Cluster::Answer(const std::vector<Ticket>& tickets, Verdict verdict) {
    if (tickets.empty()) return;
    bool wake;
    {
        Lock lock(sendMutex_);
        wake = outbox_.empty();
        for (const Ticket& ticket : tickets) {
            cluster::Answers& batch = outbox_[ticket.node].answers;
            if (batch.boot != ticket.boot) {
                // Answers for an earlier run of that node are of no use to it.
                batch.boot = ticket.boot;
                batch.answers.clear();
            }
            batch.answers.push_back(cluster::Answer{ticket.seq, verdict});
        }
    }
    if (wake) sendWake_.notify_one();
}

// Chats and answers go out as they come; under load each message carries
// many. The heartbeat and the chats that wait long go out from here too:
// this thread never waits on the database, so a node whose database is away
// is not taken for dead, nor are its users' chats.
void Cluster::SendLoop() {
    auto nextBeat = Clock::now();
    Clock::time_point lastRound{};
    while (!stopping_) {
        std::unordered_map<std::string, Outbox> batch;
        {
            std::unique_lock<std::mutex> lock(sendMutex_);
            sendWake_.wait_until(lock, std::min(nextBeat, Clock::now() + std::chrono::milliseconds(200)),
                                 [&] { return stopping_ || !outbox_.empty(); });
            // NATS's cost (and each node's) is by the message more than by
            // the byte: under load a round waits for the linger time after
            // the one before, so that a message carries a burst. One chat
            // after a quiet spell goes at once.
            const auto since = Clock::now() - lastRound;
            if (since < kLinger && !stopping_) {
                lock.unlock();
                std::this_thread::sleep_for(kLinger - since);
                lock.lock();
            }
            batch.swap(outbox_);
            lastRound = Clock::now();
        }
        std::vector<std::string> refused;
        for (auto& [node, box] : batch) {
            for (const std::string& chats : box.chats)
                if (!Publish(cluster::ChatsSubject(node), chats)) refused.push_back(node);
            if (!box.answers.answers.empty()) Publish(cluster::AnswersSubject(node), cluster::EncodeAnswers(box.answers));
        }
        const auto now = Clock::now();
        if (!refused.empty()) {
            // Nobody will answer them: to the mailbox at the next look.
            Lock lock(mutex_);
            for (auto& [account, out] : outgoing_)
                if (std::find(refused.begin(), refused.end(), out.node) != refused.end())
                    for (InFlight& chat : out.chats) chat.deadline = now;
        }
        TellQueued(now);
        if (now >= nextBeat) {
            nextBeat = now + options_.heartbeat;
            Beat(now);
        }
    }
}

void Cluster::Beat(Clock::time_point now) {
    std::vector<std::int64_t> ring;
    {
        Lock lock(mutex_);
        Message beat(Kind::Beat);
        beat.node = options_.node;
        beat.boot = boot_;
        beat.version = version_;
        Publish(cluster::kNodesSubject, cluster::Encode(beat));
        // Should the news that a mailbox was read have been lost, it is asked for again.
        for (const auto& [account, out] : outgoing_)
            if (out.onMailbox) ring.push_back(account);
    }
    // A user online nowhere reads the whole mailbox at the next login before
    // anything live: nothing to wait for, and nobody to ring.
    std::vector<std::int64_t> offline;
    const std::vector<bool> online = directory_.OnlineAmong(ring);
    for (std::size_t i = 0; i < ring.size(); ++i) {
        if (online[i])
            Ring(ring[i]);
        else
            offline.push_back(ring[i]);
    }
    if (!offline.empty()) {
        Lock lock(mutex_);
        for (std::int64_t account : offline) {
            auto found = outgoing_.find(account);
            if (found != outgoing_.end() && found->second.chats.empty()) outgoing_.erase(found);
        }
    }
    for (const std::string& node : directory_.DropSilent(now, options_.nodeTimeout)) {
        Log(LogLevel::Warn, "cluster: node " + node + " is silent; its users count as offline");
        // What went to it will not be answered: to the mailbox at once.
        Lock lock(mutex_);
        for (auto& [account, out] : outgoing_)
            if (out.node == node)
                for (InFlight& chat : out.chats) chat.deadline = now;
    }
}

std::optional<std::vector<Router::OnlineUser>> Cluster::OnlineOn(const std::string& node) {
    natsMsg* answer = nullptr;
    if (natsConnection_Request(&answer, nc_, cluster::OnlineSubject(node).c_str(), "", 0, kOnlineWait) != NATS_OK)
        return std::nullopt;
    auto users = cluster::DecodeOnlineList(DataOf(answer));
    natsMsg_Destroy(answer);
    return users;
}

bool Cluster::DisconnectElsewhere(std::int64_t account) {
    if (!directory_.Find(account)) return false;
    if (Publish(UserSubject(account), cluster::Encode(Message{Kind::Kick}))) return true;
    Log(LogLevel::Warn, "cluster: cannot ask for a disconnect of account " + std::to_string(account));
    return false;
}

void Cluster::OnReconnected() {
    Log(LogLevel::Info, "cluster: connected to NATS at " + options_.natsUrl);
    std::vector<std::int64_t> ring;
    {
        Lock lock(mutex_);
        ring.swap(unrung_);
        // The news that their mailboxes were read may have been missed.
        for (const auto& [account, out] : outgoing_)
            if (out.onMailbox) ring.push_back(account);
    }
    for (std::int64_t account : ring) Ring(account);
    // What the others told meanwhile was missed: they tell it again.
    Message ask(Kind::Ask);
    ask.node = options_.node;
    Publish(cluster::kNodesSubject, cluster::Encode(ask));
    // Doorbells sent to this node while it was away are lost: every user here
    // reads the mailbox again.
    router_.WakeAll();
}

// Forwarded chats that have waited a while for their client: their origins
// give them longer before they count as lost.
void Cluster::TellQueued(Clock::time_point now) {
    std::vector<Ticket> waiting;
    {
        Lock lock(mutex_);
        while (!untold_.empty() && untold_.front().first + kTellQueuedAfter <= now) {
            auto found = tickets_.find(untold_.front().second);
            if (found != tickets_.end()) waiting.push_back(found->second);
            untold_.pop_front();
        }
    }
    Answer(waiting, Verdict::Queued);
}

void Cluster::HeartbeatLoop() {
    auto next = Clock::now();
    bool warned = false;
    while (!stopping_) {
        {
            std::unique_lock<std::mutex> lock(heartbeatMutex_);
            heartbeatWake_.wait_until(lock, std::min(next, Clock::now() + std::chrono::milliseconds(100)),
                                      [&] { return stopping_.load(); });
        }
        if (stopping_) break;
        const auto now = Clock::now();
        std::vector<Pending> expired;
        std::vector<std::int64_t> late;
        {
            Lock lock(mutex_);
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (it->second.deadline <= now) {
                    expired.push_back(std::move(it->second));
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
            for (const auto& [account, out] : outgoing_)
                for (const InFlight& chat : out.chats)
                    if (chat.deadline <= now) {
                        late.push_back(account);
                        break;
                    }
        }
        // A node that does not answer is gone or cut off; its login loses to ours later.
        for (Pending& p : expired) {
            Log(LogLevel::Warn, "cluster: no node let go of account " + std::to_string(p.account) + " in time");
            Own(p.account, std::move(p.done));
        }
        for (std::int64_t account : late) router_.Unsettled(account);
        if (now < next) continue;
        next = now + options_.heartbeat;
        if (options_.onHeartbeat) options_.onHeartbeat();
        try {
            nodes_.Heartbeat(options_.node, false);
            if (warned) Log(LogLevel::Info, "cluster: heartbeat recorded again");
            warned = false;
        } catch (const StoreError& e) {
            if (!warned) Log(LogLevel::Warn, std::string("cluster: heartbeat not recorded: ") + e.what());
            warned = true;
        }
    }
}

}  // namespace vexa::server
