// The one table from request code to handler, and what every request goes
// through on its way there: its place in the link's order, the login check,
// and what a failure costs.
#include "server/handlers/handlers.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "protocol/frame.h"
#include "protocol/requests.h"
#include "protocol/text.h"
#include "server/base/log.h"
#include "server/base/texts.h"

namespace vexa::server {

namespace {
constexpr auto kStoreRetry = std::chrono::milliseconds(500);
}  // namespace

RequestHandlers::RequestHandlers(Store& store, Router& router, LoginThrottle& throttle, HandlerOptions options,
                                 asio::any_io_executor hashing, ServerCounters& counters,
                                 const std::atomic<bool>& stopping)
    : store_(store),
      router_(router),
      throttle_(throttle),
      options_(options),
      hashing_(std::move(hashing)),
      counters_(counters),
      stopping_(stopping) {}

const std::array<RequestHandlers::Handler, 100>& RequestHandlers::Table() {
    static const std::array<Handler, 100> table = [] {
        std::array<Handler, 100> t{};
        using namespace protocol;
        t[kRequestLogin] = &RequestHandlers::OnLogin;
        t[kRequestChat] = &RequestHandlers::OnChat;
        t[kRequestKeepAlive] = &RequestHandlers::OnKeepAlive;
        t[kRequestInitData] = &RequestHandlers::OnInitData;
        t[kRequestAskAddFriend] = &RequestHandlers::OnFriendAsk;
        t[kRequestReplyAddFriend] = &RequestHandlers::OnFriendReply;
        t[kRequestAddBlacklist] = &RequestHandlers::OnAddBlacklist;
        t[kRequestDeleteFriend] = &RequestHandlers::OnDeleteFriend;
        t[kRequestInvite] = &RequestHandlers::OnPlainRoute;
        t[kRequestChangeStatus] = &RequestHandlers::OnStatus;
        t[kRequestChangePosition] = &RequestHandlers::OnPosition;
        t[kRequestChangeUserInfo] = &RequestHandlers::OnChangeInfo;
        t[kRequestGetUserInfo] = &RequestHandlers::OnGetUserInfo;
        t[kRequestAsk1V1] = &RequestHandlers::OnPlainRoute;
        t[kRequestReply1V1] = &RequestHandlers::On1V1Reply;
        t[kRequestStop1V1] = &RequestHandlers::OnPlainRoute;
        t[kRequestSendAsk] = &RequestHandlers::OnSendAskList;
        t[kRequestExit] = &RequestHandlers::OnExit;
        return t;
    }();
    return table;
}

// --- A link's requests, in order --------------------------------------------------

void RequestHandlers::OnRequest(const LinkPtr& link, int code, std::string payload) {
    if (link->held.pauses > 0) {
        link->held.queue.push_back(HeldRequests::Request{code, std::move(payload)});
        return;
    }
    Serve(link, code, payload);
    link->RequestDone();
}

// Holds back the requests that follow until as many Resume calls (a password
// is being checked, the database is out of reach), so they keep their order.
void RequestHandlers::Pause(const LinkPtr& link) { ++link->held.pauses; }

void RequestHandlers::Resume(const LinkPtr& link) {
    HeldRequests& held = link->held;
    if (held.pauses > 0) --held.pauses;
    while (held.pauses == 0 && !held.queue.empty()) {
        HeldRequests::Request next = std::move(held.queue.front());
        held.queue.pop_front();
        Serve(link, next.code, next.payload);
        link->RequestDone();
    }
}

void RequestHandlers::Serve(const LinkPtr& link, int code, std::string_view payload) {
    // Once a close has begun, nothing more is done for the client: after a
    // takeover its requests would act for an account that is no longer its
    // own, and after an exit for a user who has gone.
    if (link->Closing()) return;
    counters_.CountRequest(code);
    if (link->login.Now() == LoginState::Phase::LoggedOut) return Drop(*link, code, "logged out");
    if (link->login.Account() == 0 && code != protocol::kRequestLogin) return Drop(*link, code, "not logged in");
    try {
        Dispatch(link, code, payload);
    } catch (const StoreUnavailable& e) {
        if (code == protocol::kRequestLogin) {
            // A login needs the database; the user is told so at once.
            Log(LogLevel::Warn, "login refused for a client at " + link->Address() + ": " + e.what());
            link->login.Refused();
            return Refuse(link, texts::kLoginUnavailable, texts::kUnavailable);
        }
        RetryLater(link, code, std::string(payload), e.what());
    } catch (const std::exception& e) {
        // A failing statement or allocation costs this request, never the server.
        Log(LogLevel::Error, "request " + std::to_string(code) + ": " + e.what());
    }
}

void RequestHandlers::Dispatch(const LinkPtr& link, int code, std::string_view payload) {
    const auto& table = Table();
    Handler handler = code >= 0 && code < static_cast<int>(table.size()) ? table[static_cast<std::size_t>(code)] : nullptr;
    if (!handler) return Drop(*link, code, "unknown code");
    (this->*handler)(link, code, payload);
}

// The database is out of reach: the request waits, and the connection's
// later requests behind it, so that nothing it asked for is lost or
// reordered. It is tried again until the database answers or the
// connection ends.
void RequestHandlers::RetryLater(const LinkPtr& link, int code, std::string payload, const std::string& why) {
    if (!why.empty())
        Log(LogLevel::Warn, "request " + std::to_string(code) + " of connection #" + std::to_string(link->Serial()) +
                                " waits for the database: " + why);
    Pause(link);
    auto timer = std::make_shared<asio::steady_timer>(link->RequestExecutor(), kStoreRetry);
    timer->async_wait([this, timer, link, code, payload = std::move(payload)](std::error_code) mutable {
        if (link->Closing() || stopping_) return;
        try {
            Dispatch(link, code, payload);
        } catch (const StoreUnavailable&) {
            return RetryLater(link, code, std::move(payload), std::string());
        } catch (const std::exception& e) {
            Log(LogLevel::Error, "request " + std::to_string(code) + ": " + e.what());
        }
        Resume(link);
    });
}

// Most requests name the user first; one that names somebody else is dropped.
bool RequestHandlers::TakeOwnId(const Link& link, int code, std::string_view& payload) {
    if (text::TakeField(payload, protocol::kFieldSeparator) == link.login.Name()) return true;
    Drop(link, code, "own ID mismatch");
    return false;
}

void RequestHandlers::Drop(const Link& link, int code, std::string_view why) {
    ++counters_.dropped;
    if (CurrentLogLevel() >= LogLevel::Debug)
        Log(LogLevel::Debug, "connection #" + std::to_string(link.Serial()) + ": request " + std::to_string(code) +
                                 " dropped: " + std::string(why));
}

// --- What the link reports besides its requests ----------------------------------------

void RequestHandlers::OnFinished(const LinkPtr& link, std::vector<KeptPacket> unacknowledged,
                                 std::int64_t ackedMailSeq) {
    const std::int64_t account = link->login.MailAccount();
    Router::Handover handover = router_.Finished(link, account, std::move(unacknowledged), ackedMailSeq);
    counters_.handedBack += handover.handedBack;
    if (handover.successor) {
        asio::post(handover.successor->RequestExecutor(),
                   [this, successor = handover.successor, account] { router_.Mail().Pump(successor, account); });
    }
    if (!handover.wentOffline) return;
    ForgetOneToOne(account, link->login.Name());
    // When the server stops, its own users are all going; in a cluster the
    // friends on other nodes are still told.
    if (stopping_ && !clustered_) return;
    // Status 0 tells the friends that the user went offline.
    try {
        ToOnlineFriends(account, protocol::kRequestChangeStatus, protocol::JoinFields({link->login.Name(), "0"}));
    } catch (const StoreError& e) {
        Log(LogLevel::Error, e.what());
    }
}

void RequestHandlers::OnMailAcknowledged(const LinkPtr& link, std::int64_t seq) {
    if (link->login.MailAccount() != 0) router_.Mail().Acknowledged(link->login.MailAccount(), seq);
}

void RequestHandlers::OnForwardedAcknowledged(const LinkPtr&, std::vector<std::uint64_t> tickets) {
    router_.ForwardedAcknowledged(tickets);
}

void RequestHandlers::OnRoom(const LinkPtr& link) {
    if (link->login.MailAccount() != 0) router_.Mail().Pump(link, link->login.MailAccount());
}

}  // namespace vexa::server
