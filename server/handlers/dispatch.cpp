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

// The keep-alive asks nothing of anybody, and an IM program takes a
// connection whose keep-alives go unanswered for dead; so it is answered on
// the network side, never behind the request threads (which may all be busy
// with a slow database). It overtakes earlier requests only while one of
// them waits for the database: otherwise its answer still comes after
// theirs, as clients (and the tests' Sync) may expect. Before a login it
// takes the usual road (and is dropped there); so it does after an exit.
// A chat is served here too when the store has request threads of its own
// and nothing on the chat's way needs them: handing it over and back would
// cost more than the chat itself.
bool RequestHandlers::AnswerAtOnce(const LinkPtr& link, int code, std::string_view payload, bool nothingBefore) {
    if (link->login.Now() != LoginState::Phase::LoggedIn || link->Closing()) return false;
    // A chat right behind nothing, held back by nothing, and with every
    // lookup at hand needs no other thread (the request side would have
    // nothing to do for the link meanwhile).
    if (code == protocol::kRequestChat)
        return store_.Blocking() && nothingBefore && link->held.pauses == 0 && !link->waitsForStore &&
               ChatAtOnce(*link, payload);
    if (code != protocol::kRequestKeepAlive) return false;
    if (!nothingBefore && !link->waitsForStore.load()) return false;
    counters_.CountRequest(code);
    link->Send(protocol::kAnswerKeepAlive, "");
    return true;
}

void RequestHandlers::OnRequest(const LinkPtr& link, int code, std::string payload) {
    if (link->held.pauses > 0) {
        // It came here before the network side knew that the ones before it wait.
        if (link->waitsForStore && AnswerAtOnce(link, code, payload, true)) return link->RequestDone();
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

// Once a close has begun, nothing more is done for the client but its chats:
// after a takeover its other requests would act for a connection that is no
// longer the account's, and after an exit for a user who has gone. A chat
// the server has read is the sender's, whoever has the account now, and is
// kept like any other (after an exit the login check below drops it).
static bool ServedWhileClosing(int code) { return code == protocol::kRequestChat; }

void RequestHandlers::Serve(const LinkPtr& link, int code, std::string_view payload) {
    if (link->Closing() && !ServedWhileClosing(code)) return;
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
// reordered. It is tried again until the database answers, then the ones
// behind it are served in order; only a stop of the server ends the wait
// otherwise. One pause per waiting request, however often it is tried.
void RequestHandlers::RetryLater(const LinkPtr& link, int code, std::string payload, const std::string& why) {
    Log(LogLevel::Warn, "request " + std::to_string(code) + " of connection #" + std::to_string(link->Serial()) +
                            " waits for the database: " + why);
    Pause(link);
    link->waitsForStore = true;
    TryAgain(link, code, std::move(payload));
}

void RequestHandlers::TryAgain(const LinkPtr& link, int code, std::string payload) {
    auto timer = std::make_shared<asio::steady_timer>(link->RequestExecutor(), kStoreRetry);
    timer->async_wait([this, timer, link, code, payload = std::move(payload)](std::error_code) mutable {
        if (stopping_) {
            Log(LogLevel::Warn, "request " + std::to_string(code) + " of connection #" + std::to_string(link->Serial()) +
                                    " and the " + std::to_string(link->held.queue.size()) +
                                    " behind it are given up: the server stops while the database is out of reach");
            return;
        }
        try {
            if (!link->Closing() || ServedWhileClosing(code)) Dispatch(link, code, payload);
            Log(LogLevel::Info, "request " + std::to_string(code) + " of connection #" +
                                    std::to_string(link->Serial()) + " went on: the database answers again");
        } catch (const StoreUnavailable&) {
            return TryAgain(link, code, std::move(payload));
        } catch (const std::exception& e) {
            Log(LogLevel::Error, "request " + std::to_string(code) + ": " + e.what());
        }
        link->waitsForStore = false;
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
