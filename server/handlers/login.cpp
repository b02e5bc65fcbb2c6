// Logging in and out, and the keep-alive.
#include "server/handlers/handlers.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "protocol/field_widths.h"
#include "protocol/frame.h"
#include "protocol/requests.h"
#include "protocol/text.h"
#include "server/auth/password.h"
#include "server/base/log.h"
#include "server/base/texts.h"

namespace vexa::server {

using protocol::JoinFields;

void RequestHandlers::Refuse(const LinkPtr& link, char status, const char* reason) {
    counters_.CountLoginFailure(status);
    std::string answer(1, status);
    answer.append(reason);
    link->Send(protocol::kAnswerLogin, answer);
}

void RequestHandlers::OnLogin(const LinkPtr& link, int, std::string_view payload) {
    if (link->login.Account() != 0 || link->login.Pending())
        return Refuse(link, texts::kLoginAlreadyLoggedIn, texts::kAlreadyLoggedIn);
    std::string_view user = text::TakeField(payload, protocol::kFieldSeparator);
    std::string_view password = payload;  // the rest: a password may hold any bytes
    if (!IsUserIdField(user) || password.empty() || password.size() > kMaxCheckedPasswordBytes)
        return Refuse(link, texts::kLoginBadData, texts::kBadLoginData);
    std::optional<Profile> profile = store_.FindByName(user);
    auto now = LoginThrottle::Clock::now();
    LoginThrottle::Verdict verdict = throttle_.Admit(profile ? profile->id : 0, link->Address(), now);
    if (verdict.refused) {
        ++counters_.loginsRefused;
        LogLimited(LogLevel::Warn, "login throttled",
                   "login refused for " + Printable(user) + " from " + link->Address() +
                       ": too many failed attempts (retry in " + std::to_string(verdict.retryAfter.count()) + " s)");
        return Refuse(link, texts::kLoginThrottled, texts::kTooManyAttempts);
    }
    link->login.Begin();
    Pause(link);
    if (verdict.notBefore <= now) return CheckPassword(link, std::string(user), std::move(profile), std::string(password));
    // Its turn comes later: earlier failures for this account or address earned a delay.
    auto timer = std::make_shared<asio::steady_timer>(link->RequestExecutor(), verdict.notBefore);
    timer->async_wait([this, timer, link, user = std::string(user), profile = std::move(profile),
                       password = std::string(password)](std::error_code) mutable {
        CheckPassword(link, std::move(user), std::move(profile), std::move(password));
    });
}

void RequestHandlers::CheckPassword(const LinkPtr& link, std::string user, std::optional<Profile> profile,
                                    std::string password) {
    auto answer = [this, link](std::int64_t account, const std::string& name, char status, const char* reason,
                               const std::string& why) {
        link->login.Refused();
        const bool guess = status == texts::kLoginWrongPassword || status == texts::kLoginNoSuchAccount;
        if (guess && throttle_.Failed(account, link->Address(), LoginThrottle::Clock::now()))
            Log(LogLevel::Warn, "logins for " + Printable(name) + " from " + link->Address() +
                                    " are refused for a while: too many failed attempts");
        std::string line = "login refused for " + Printable(name) + " from " + link->Peer() + ": " + why;
        // Wrong passwords and unknown accounts are what a guesser makes as many of as he can.
        if (guess)
            LogLimited(LogLevel::Info, "login refused", line);
        else
            Log(status == texts::kLoginUnavailable ? LogLevel::Warn : LogLevel::Info, line);
        Refuse(link, status, reason);
        Resume(link);
    };
    if (link->Closing() || stopping_) return;
    if (!profile) return answer(0, user, texts::kLoginNoSuchAccount, texts::kNoSuchAccount, "unknown account");
    std::string hash;
    try {
        hash = store_.PasswordHash(profile->id);
    } catch (const StoreError& e) {
        return answer(0, user, texts::kLoginUnavailable, texts::kUnavailable, e.what());
    }
    asio::post(hashing_, [this, link, hash = std::move(hash), password = std::move(password),
                          profile = std::move(*profile), answer, queued = Clock::now()]() mutable {
        counters_.loginHashQueue.Observe(Clock::now() - queued);
        bool ok = VerifyPassword(hash, password);
        asio::post(link->RequestExecutor(), [this, link, ok, profile = std::move(profile), answer] {
            if (link->Closing() || stopping_) return;
            if (!ok)
                return answer(profile.id, profile.name, texts::kLoginWrongPassword, texts::kWrongPassword,
                              "wrong password");
            // Told only to whoever knows the password, so a guesser learns nothing from it.
            if (profile.disabled)
                return answer(0, profile.name, texts::kLoginDisabled, texts::kAccountDisabled, "account disabled");
            try {
                FinishLogin(link, profile);
            } catch (const StoreError& e) {
                return answer(0, profile.name, texts::kLoginUnavailable, texts::kUnavailable, e.what());
            }
            Resume(link);
        });
    });
}

void RequestHandlers::FinishLogin(const LinkPtr& link, const Profile& profile) {
    // Everything the login needs from the store is read before anything
    // changes, so an unreachable database refuses the login cleanly.
    std::vector<FriendRequest> requests = store_.FriendRequestsTo(profile.id);
    std::vector<std::int64_t> friends = store_.FriendIds(profile.id);

    throttle_.Succeeded(profile.id);
    ++counters_.loginsSucceeded;
    link->login.Succeeded(profile.id, profile.name);
    Router::Ownership ownership = router_.Attach(profile.id, link);
    Log(LogLevel::Info, Printable(profile.name) + " logged in from " + link->Peer() +
                            (ownership == Router::Ownership::AfterHandover ? " (replacing an older connection)" : ""));
    link->Send(protocol::kAnswerLogin, "0");

    // Pending requests stay pending until answered; those beyond a quarter of
    // the backlog limit come at a later login instead of making this one slow.
    std::size_t budget = options_.maxBacklogBytes / 4;
    for (const FriendRequest& request : requests) {
        std::string body = JoinFields({request.fromName, profile.name});
        if (request.withText) body.append(protocol::kFieldSeparator).append(request.text);
        const std::size_t size = protocol::ServerPacketSize(body.size());
        if (size > budget) break;
        budget -= size;
        link->Send(protocol::kRequestAskAddFriend, body);
    }
    // A replaced connection, here or on another node, hands over its
    // undelivered packets first; the mailbox follows once it has.
    if (ownership == Router::Ownership::Now) router_.Mail().Pump(link, profile.id);
    ToFriends(friends, protocol::kRequestChangeStatus,
              JoinFields({profile.name, std::to_string(profile.status), profile.statusNote}));
}

void RequestHandlers::OnExit(const LinkPtr& link, int code, std::string_view payload) {
    LoginState& login = link->login;
    if (payload != login.Name()) return Drop(*link, code, "own ID mismatch");
    std::int64_t account = login.Account();
    router_.Leave(account, link);
    login.Exited();
    Log(LogLevel::Info, Printable(login.Name()) + " logged out");
    ForgetOneToOne(account, login.Name());
    ToOnlineFriends(account, protocol::kRequestChangeStatus, JoinFields({login.Name(), "0"}));
    link->Close("exit", CloseMode::Flush);
}

void RequestHandlers::OnKeepAlive(const LinkPtr& link, int, std::string_view) {
    link->Send(protocol::kAnswerKeepAlive, "");
}

}  // namespace vexa::server
