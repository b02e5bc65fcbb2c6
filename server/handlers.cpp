#include "server/handlers.h"

#include "protocol/frame.h"
#include "protocol/text.h"
#include "server/log.h"
#include "server/password.h"
#include "server/server_texts.h"

namespace vexa::server {

namespace {

constexpr std::string_view kSep = "!|!";
constexpr std::size_t kMaxUserId = 20;
constexpr std::size_t kMaxForward = static_cast<std::size_t>(protocol::kMaxFrameLength - 4);
constexpr auto kStoreRetry = std::chrono::milliseconds(500);

std::string Join(std::initializer_list<std::string_view> fields) {
    std::string out;
    bool first = true;
    for (std::string_view f : fields) {
        if (!first) out.append(kSep);
        out.append(f);
        first = false;
    }
    return out;
}

bool IsUserIdField(std::string_view id) { return !id.empty() && id.size() <= kMaxUserId; }

}  // namespace

RequestHandlers::RequestHandlers(Store& store, Router& router, LoginThrottle& throttle, const ServerOptions& options,
                                 asio::thread_pool& hashPool, ServerCounters& counters,
                                 const std::atomic<bool>& stopping)
    : store_(store),
      router_(router),
      throttle_(throttle),
      options_(options),
      hashPool_(hashPool),
      counters_(counters),
      stopping_(stopping) {}

void RequestHandlers::Drop(const Connection& conn, int code, std::string_view why) {
    ++counters_.dropped;
    if (CurrentLogLevel() >= LogLevel::Debug)
        Log(LogLevel::Debug, "connection #" + std::to_string(conn.Serial()) + ": request " + std::to_string(code) +
                                 " dropped: " + std::string(why));
}

void RequestHandlers::ToOnlineFriends(std::int64_t account, int code, const std::string& payload) {
    ToFriends(store_.FriendIds(account), code, payload);
}

void RequestHandlers::ToFriends(const std::vector<std::int64_t>& friends, int code, const std::string& payload) {
    for (std::int64_t friendId : friends) router_.SendIfOnline(friendId, code, payload);
}

void RequestHandlers::ForgetOneToOne(std::int64_t account, const std::string& name) {
    std::lock_guard<std::mutex> lock(oneToOneMutex_);
    for (auto it = oneToOneAsks_.begin(); it != oneToOneAsks_.end();) {
        if (it->first == name || it->second == account)
            it = oneToOneAsks_.erase(it);
        else
            ++it;
    }
}

void RequestHandlers::Handle(const ConnectionPtr& conn, int code, std::string_view payload) {
    counters_.CountRequest(code);
    if (conn->session.account == 0 && code != 1) {
        Drop(*conn, code, "not logged in");
        return;
    }
    try {
        Dispatch(conn, code, payload);
    } catch (const StoreUnavailable& e) {
        if (code == 1) {
            // A login needs the database; the user is told so at once.
            Log(LogLevel::Warn, "login refused for a client at " + conn->Address() + ": " + e.what());
            conn->session.loginPending = false;
            conn->SetLoginState(false, false);
            return Refuse(conn, texts::kLoginUnavailable, texts::kUnavailable);
        }
        RetryLater(conn, code, std::string(payload), e.what());
    } catch (const std::exception& e) {
        // A failing statement or allocation costs this request, never the server.
        Log(LogLevel::Error, "request " + std::to_string(code) + ": " + e.what());
    }
}

// The database is out of reach: the request waits, and the connection's
// later requests behind it, so that nothing it asked for is lost or
// reordered. It is tried again until the database answers or the
// connection ends.
void RequestHandlers::RetryLater(const ConnectionPtr& conn, int code, std::string payload, const std::string& why) {
    if (!why.empty())
        Log(LogLevel::Warn, "request " + std::to_string(code) + " of connection #" + std::to_string(conn->Serial()) +
                                " waits for the database: " + why);
    conn->Pause();
    auto timer = std::make_shared<asio::steady_timer>(conn->RequestExecutor(), kStoreRetry);
    timer->async_wait([this, timer, conn, code, payload = std::move(payload)](std::error_code) mutable {
        if (conn->Closing() || stopping_) return;
        try {
            Dispatch(conn, code, payload);
        } catch (const StoreUnavailable&) {
            return RetryLater(conn, code, std::move(payload), std::string());
        } catch (const std::exception& e) {
            Log(LogLevel::Error, "request " + std::to_string(code) + ": " + e.what());
        }
        conn->Resume();
    });
}

void RequestHandlers::Dispatch(const ConnectionPtr& conn, int code, std::string_view payload) {
        switch (code) {
            case 1: OnLogin(conn, payload); break;
            case 3: OnChat(conn, payload); break;
            case 7: conn->Send(8, ""); break;
            case 21: OnInitData(conn, payload); break;
            case 23: OnFriendAsk(conn, payload); break;
            case 24: OnFriendReply(conn, payload); break;
            case 25: OnAddBlacklist(conn, payload); break;
            case 29: OnDeleteFriend(conn, payload); break;
            case 31: case 40: case 43: OnPlainRoute(conn, code, payload); break;
            case 32: OnStatus(conn, payload); break;
            case 33: OnPosition(conn, payload); break;
            case 34: OnChangeInfo(conn, payload); break;
            case 36: OnGetUserInfo(conn, payload); break;
            case 41: On1V1Reply(conn, payload); break;
            case 44: OnSendAskList(conn, payload); break;
            case 99: OnExit(conn, payload); break;
            default: Drop(*conn, code, "unknown code"); break;
        }
}

void RequestHandlers::Finished(const ConnectionPtr& conn, std::vector<KeptPacket> unacknowledged,
                               std::int64_t ackedMailSeq) {
    const std::int64_t account = conn->session.mailAccount;
    Router::Handover handover = router_.Finished(conn, account, std::move(unacknowledged), ackedMailSeq);
    counters_.handedBack += handover.handedBack;
    if (handover.successor) {
        asio::post(handover.successor->RequestExecutor(),
                   [this, successor = handover.successor, account] { router_.PumpMail(successor, account); });
    }
    if (!handover.wentOffline) return;
    ForgetOneToOne(account, conn->session.name);
    // When the server stops, its own users are all going; in a cluster the
    // friends on other nodes are still told.
    if (stopping_ && !clustered_) return;
    // Status 0 tells the friends that the user went offline.
    try {
        ToOnlineFriends(account, 32, Join({conn->session.name, "0"}));
    } catch (const StoreError& e) {
        Log(LogLevel::Error, e.what());
    }
}

void RequestHandlers::MailAcknowledged(const ConnectionPtr& conn, std::int64_t seq) {
    if (conn->session.mailAccount == 0) return;
    try {
        store_.DeleteMailUpTo(conn->session.mailAccount, seq);
    } catch (const StoreError& e) {
        Log(LogLevel::Error, std::string("mailbox: ") + e.what());
    }
}

void RequestHandlers::Room(const ConnectionPtr& conn) {
    if (conn->session.mailAccount != 0) router_.PumpMail(conn, conn->session.mailAccount);
}

// --- Login ---------------------------------------------------------------

void RequestHandlers::Refuse(const ConnectionPtr& conn, char status, const char* reason) {
    counters_.CountLoginFailure(status);
    std::string answer(1, status);
    answer.append(reason);
    conn->Send(2, answer);
}

void RequestHandlers::OnLogin(const ConnectionPtr& conn, std::string_view payload) {
    Connection::Session& session = conn->session;
    if (session.account != 0 || session.loginPending)
        return Refuse(conn, texts::kLoginAlreadyLoggedIn, texts::kAlreadyLoggedIn);
    std::string_view user = text::TakeField(payload, kSep);
    std::string_view password = payload;  // the rest: a password may hold any bytes
    if (!IsUserIdField(user) || password.empty() || password.size() > 64)
        return Refuse(conn, texts::kLoginBadData, texts::kBadLoginData);
    std::optional<Profile> profile = store_.FindByName(user);
    auto now = LoginThrottle::Clock::now();
    LoginThrottle::Verdict verdict = throttle_.Admit(profile ? profile->id : 0, conn->Address(), now);
    if (verdict.refused) {
        ++counters_.loginsRefused;
        LogLimited(LogLevel::Warn, "login throttled",
                   "login refused for " + Printable(user) + " from " + conn->Address() +
                       ": too many failed attempts (retry in " + std::to_string(verdict.retryAfter.count()) + " s)");
        return Refuse(conn, texts::kLoginThrottled, texts::kTooManyAttempts);
    }
    session.loginPending = true;
    conn->SetLoginState(true, false);
    conn->Pause();
    if (verdict.notBefore <= now) return CheckPassword(conn, std::string(user), std::move(profile), std::string(password));
    // Its turn comes later: earlier failures for this account or address earned a delay.
    auto timer = std::make_shared<asio::steady_timer>(conn->RequestExecutor(), verdict.notBefore);
    timer->async_wait([this, timer, conn, user = std::string(user), profile = std::move(profile),
                       password = std::string(password)](std::error_code) mutable {
        CheckPassword(conn, std::move(user), std::move(profile), std::move(password));
    });
}

void RequestHandlers::CheckPassword(const ConnectionPtr& conn, std::string user, std::optional<Profile> profile,
                                    std::string password) {
    auto answer = [this, conn](std::int64_t account, const std::string& name, char status, const char* reason,
                               const std::string& why) {
        conn->session.loginPending = false;
        conn->SetLoginState(false, false);
        if (status == texts::kLoginWrongPassword || status == texts::kLoginNoSuchAccount) {
            if (throttle_.Failed(account, conn->Address(), LoginThrottle::Clock::now()))
                Log(LogLevel::Warn, "logins for " + Printable(name) + " from " + conn->Address() +
                                        " are refused for a while: too many failed attempts");
        }
        std::string line = "login refused for " + Printable(name) + " from " + conn->Peer() + ": " + why;
        // Wrong passwords and unknown accounts are what a guesser makes as many of as he can.
        if (status == texts::kLoginWrongPassword || status == texts::kLoginNoSuchAccount)
            LogLimited(LogLevel::Info, "login refused", line);
        else
            Log(status == texts::kLoginUnavailable ? LogLevel::Warn : LogLevel::Info, line);
        Refuse(conn, status, reason);
        conn->Resume();
    };
    if (conn->Closing() || stopping_) return;
    if (!profile) return answer(0, user, texts::kLoginNoSuchAccount, texts::kNoSuchAccount, "unknown account");
    std::string hash;
    try {
        hash = store_.PasswordHash(profile->id);
    } catch (const StoreError& e) {
        return answer(0, user, texts::kLoginUnavailable, texts::kUnavailable, e.what());
    }
    asio::post(hashPool_, [this, conn, hash = std::move(hash), password = std::move(password),
                           profile = std::move(*profile), answer, queued = Clock::now()]() mutable {
        counters_.loginHashQueue.Observe(Clock::now() - queued);
        bool ok = VerifyPassword(hash, password);
        asio::post(conn->RequestExecutor(), [this, conn, ok, profile = std::move(profile), answer] {
            if (conn->Closing() || stopping_) return;
            if (!ok)
                return answer(profile.id, profile.name, texts::kLoginWrongPassword, texts::kWrongPassword,
                              "wrong password");
            // Told only to whoever knows the password, so a guesser learns nothing from it.
            if (profile.disabled)
                return answer(0, profile.name, texts::kLoginDisabled, texts::kAccountDisabled, "account disabled");
            try {
                FinishLogin(conn, profile);
            } catch (const StoreError& e) {
                return answer(0, profile.name, texts::kLoginUnavailable, texts::kUnavailable, e.what());
            }
            conn->Resume();
        });
    });
}

void RequestHandlers::FinishLogin(const ConnectionPtr& conn, const Profile& profile) {
    // Everything the login needs from the store is read before anything
    // changes, so an unreachable database refuses the login cleanly.
    std::vector<FriendRequest> requests = store_.FriendRequestsTo(profile.id);
    std::vector<std::int64_t> friends = store_.FriendIds(profile.id);

    throttle_.Succeeded(profile.id);
    ++counters_.loginsSucceeded;
    Connection::Session& session = conn->session;
    session.loginPending = false;
    session.account = profile.id;
    session.mailAccount = profile.id;
    session.name = profile.name;
    conn->SetLoginState(false, true, profile.name);
    Router::Ownership ownership = router_.Attach(profile.id, conn);
    Log(LogLevel::Info, Printable(profile.name) + " logged in from " + conn->Peer() +
                            (ownership == Router::Ownership::AfterHandover ? " (replacing an older connection)" : ""));
    conn->Send(2, "0");

    // Pending requests stay pending until answered; those beyond a quarter of
    // the backlog limit come at a later login instead of making this one slow.
    std::size_t budget = options_.limits.maxBacklogBytes / 4;
    for (const FriendRequest& request : requests) {
        std::string body = Join({request.fromName, profile.name});
        if (request.withText) body.append(kSep).append(request.text);
        if (body.size() + 9 > budget) break;
        budget -= body.size() + 9;
        conn->Send(23, body);
    }
    // A replaced connection, here or on another node, hands over its
    // undelivered packets first; the mailbox follows once it has.
    if (ownership == Router::Ownership::Now) router_.PumpMail(conn, profile.id);
    ToFriends(friends, 32, Join({profile.name, std::to_string(profile.status), profile.statusNote}));
}

void RequestHandlers::OnExit(const ConnectionPtr& conn, std::string_view payload) {
    Connection::Session& session = conn->session;
    if (payload != session.name) return Drop(*conn, 99, "own ID mismatch");
    std::int64_t account = session.account;
    router_.Leave(account, conn);
    session.account = 0;
    Log(LogLevel::Info, Printable(session.name) + " logged out");
    ForgetOneToOne(account, session.name);
    ToOnlineFriends(account, 32, Join({session.name, "0"}));
    conn->Close("exit", CloseMode::Flush);
}

// --- Chat ----------------------------------------------------------------

void RequestHandlers::OnChat(const ConnectionPtr& conn, std::string_view payload) {
    const auto started = Clock::now();
    std::string_view recipient = text::TakeField(payload, kSep);
    std::string_view date = text::TakeField(payload, kSep);
    std::string_view sender = text::TakeField(payload, kSep);
    std::string_view msgType = text::TakeField(payload, kSep);
    std::string_view body = payload;  // the rest, separators included
    if (sender != conn->session.name) return Drop(*conn, 3, "own ID mismatch");
    if (!IsUserIdField(recipient) || date.empty() || date.size() > 31 || msgType.empty() || body.empty())
        return Drop(*conn, 3, "malformed chat");
    auto target = store_.FindIdByName(recipient);
    if (!target) return Drop(*conn, 3, "unknown recipient");
    if (store_.IsBlocked(*target, conn->session.account)) return Drop(*conn, 3, "blacklisted by the recipient");
    // Offline messages may wait for days: the time they were sent is the
    // server's, not that of their delivery.
    std::string when = date == "SYSTEMDATE" ? ServerTimeText() : std::string(date);
    std::string forward = Join({recipient, when, sender, msgType, body});
    if (forward.size() > kMaxForward) return Drop(*conn, 3, "too long to forward");
    router_.Deliver(*target, 3, forward);
    counters_.chatRouting.Observe(Clock::now() - started);
}

// --- Friend list ---------------------------------------------------------

void RequestHandlers::OnInitData(const ConnectionPtr& conn, std::string_view payload) {
    // The number asks for at most that many users per packet; 0 or less
    // leaves it to the packet size.
    int perBatch = text::AtoI(payload);
    const std::size_t room = kMaxForward - std::string_view("<over>0</over>").size();
    std::vector<Profile> friends = store_.Friends(conn->session.account);
    std::vector<std::int64_t> ids;
    for (const Profile& p : friends) ids.push_back(p.id);
    std::vector<bool> online = router_.OnlineAmong(ids);
    std::string batch;
    int inBatch = 0;
    auto flush = [&](bool last) {
        batch.append(last ? "<over>1</over>" : "<over>0</over>");
        conn->Send(22, batch);
        batch.clear();
        inBatch = 0;
    };
    for (std::size_t i = 0; i < friends.size(); ++i) {
        const Profile& p = friends[i];
        std::string element = UserElement(p, online[i] ? p.status : 0);
        if (inBatch > 0 && (batch.size() + element.size() > room || (perBatch > 0 && inBatch >= perBatch)))
            flush(false);
        if (element.size() > room) continue;  // cannot happen with stored limits; never split a user
        batch.append(element);
        ++inBatch;
    }
    flush(true);
}

void RequestHandlers::OnFriendAsk(const ConnectionPtr& conn, std::string_view payload) {
    const Connection::Session& session = conn->session;
    std::string_view own = text::TakeField(payload, kSep);
    bool withText = !payload.empty() && text::Find(payload, kSep) != text::npos;
    std::string_view user = text::TakeField(payload, kSep);
    std::string_view askText = payload;
    if (own != session.name) return Drop(*conn, 23, "own ID mismatch");
    if (!IsUserIdField(user)) return Drop(*conn, 23, "malformed user");
    if (withText && !IsSafeText(askText, 599)) return Drop(*conn, 23, "unsafe or long text");
    auto target = store_.FindIdByName(user);
    if (!target || *target == session.account) return Drop(*conn, 23, "unknown or own account");
    if (store_.IsBlocked(*target, session.account)) return Drop(*conn, 23, "blacklisted by the user");
    if (store_.AreFriends(session.account, *target)) return Drop(*conn, 23, "already friends");
    if (!store_.HasFriendRequest(session.account, *target) &&
        store_.FriendRequestCountTo(*target) >= options_.maxFriendRequestsPerUser)
        return Drop(*conn, 23, "too many pending requests for the user");
    store_.AskFriend(session.account, *target, askText, withText);
    std::string forward = Join({session.name, user});
    if (withText) forward.append(kSep).append(askText);
    router_.SendIfOnline(*target, 23, forward);
}

void RequestHandlers::OnFriendReply(const ConnectionPtr& conn, std::string_view payload) {
    const Connection::Session& session = conn->session;
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view asker = text::TakeField(payload, kSep);
    std::string_view answer = text::TakeField(payload, kSep);
    if (own != session.name) return Drop(*conn, 24, "own ID mismatch");
    if (answer != "0" && answer != "1") return Drop(*conn, 24, "answer is neither 0 nor 1");
    if (answer == "0") text::TakeField(payload, kSep);  // the number n: not used by the server
    std::string_view replyText = payload;
    if (!IsSafeText(replyText, 599)) replyText = {};
    auto other = IsUserIdField(asker) ? store_.FindIdByName(asker) : std::nullopt;
    if (!other || !store_.HasFriendRequest(*other, session.account))
        return Drop(*conn, 24, "no pending request from that user");
    bool agreed = answer == "0";
    if (agreed && (store_.FriendCount(session.account) >= options_.maxFriendsPerUser ||
                   store_.FriendCount(*other) >= options_.maxFriendsPerUser))
        return Drop(*conn, 24, "friend list full");
    store_.AnswerFriendRequest(*other, session.account, agreed);
    std::string result = Join({session.name, asker, answer});
    if (!replyText.empty()) result.append(kSep).append(replyText);
    router_.Deliver(*other, 24, result);
    conn->Send(38, result);
}

void RequestHandlers::OnAddBlacklist(const ConnectionPtr& conn, std::string_view payload) {
    const Connection::Session& session = conn->session;
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view user = text::TakeField(payload, kSep);
    std::string_view number = text::TakeField(payload, kSep);
    if (own != session.name) return Drop(*conn, 25, "own ID mismatch");
    // The library reads at most 19 bytes here; a longer ID gets no answer it could use.
    if (user.empty() || user.size() > 19 || !IsSafeText(user, 19)) return Drop(*conn, 25, "malformed user");
    std::string head = Join({session.name, user, std::to_string(text::AtoI(number))});
    auto target = store_.FindIdByName(user);
    if (!target) return (void)conn->Send(26, Join({head, "1", texts::kNoSuchAccount}));
    if (*target == session.account) return (void)conn->Send(26, Join({head, "1", texts::kNotYourself}));
    store_.BlockUser(session.account, *target);
    {
        std::lock_guard<std::mutex> lock(oneToOneMutex_);
        oneToOneAsks_.erase({std::string(user), session.account});
    }
    conn->Send(26, Join({head, "0"}));
}

void RequestHandlers::OnDeleteFriend(const ConnectionPtr& conn, std::string_view payload) {
    const Connection::Session& session = conn->session;
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view user = text::TakeField(payload, kSep);
    if (own != session.name) return Drop(*conn, 29, "own ID mismatch");
    if (user.empty() || user.size() > 19 || !IsSafeText(user, 19)) return Drop(*conn, 29, "malformed user");
    auto target = store_.FindIdByName(user);
    if (!target) return (void)conn->Send(30, Join({session.name, user, "1", texts::kNoSuchAccount}));
    if (!store_.RemoveFriendship(session.account, *target))
        return (void)conn->Send(30, Join({session.name, user, "1", texts::kNotAFriend}));
    conn->Send(30, Join({session.name, user, "0"}));
}

// Invitations (31), one-to-one requests (40) and stops (43): "own!|!user",
// passed on as they are to a user who is online and has not blacklisted the
// sender. They are moments, not messages: nobody offline is waiting for them.
void RequestHandlers::OnPlainRoute(const ConnectionPtr& conn, int code, std::string_view payload) {
    const Connection::Session& session = conn->session;
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view user = text::TakeField(payload, kSep);
    if (own != session.name) return Drop(*conn, code, "own ID mismatch");
    if (!IsUserIdField(user)) return Drop(*conn, code, "malformed user");
    auto target = store_.FindIdByName(user);
    if (!target || *target == session.account) return Drop(*conn, code, "unknown or own account");
    if (store_.IsBlocked(*target, session.account)) return Drop(*conn, code, "blacklisted by the user");
    if (code == 43) {
        std::lock_guard<std::mutex> lock(oneToOneMutex_);
        oneToOneAsks_.erase({std::string(user), session.account});
    }
    // The open request is noted where it is delivered (Arrived), on whichever node.
    if (!router_.SendIfOnline(*target, code, Join({session.name, user}))) return Drop(*conn, code, "user offline");
}

// One-to-one requests and stops are remembered on the node that hands them
// to the asked user, since that is where the answer (41) comes from.
void RequestHandlers::Arrived(std::int64_t account, int code, const std::string& payload) {
    if (code != 40 && code != 43) return;
    std::string_view rest = payload;
    std::string asker(text::TakeField(rest, kSep));
    std::lock_guard<std::mutex> lock(oneToOneMutex_);
    if (code == 40)
        oneToOneAsks_.insert({asker, account});
    else
        oneToOneAsks_.erase({asker, account});
}

void RequestHandlers::On1V1Reply(const ConnectionPtr& conn, std::string_view payload) {
    const Connection::Session& session = conn->session;
    // The one request whose own ID stands second.
    std::string_view asker = text::TakeField(payload, kSep);
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view answer = text::TakeField(payload, kSep);
    if (own != session.name) return Drop(*conn, 41, "own ID mismatch");
    if (answer != "0" && answer != "1") return Drop(*conn, 41, "answer is neither 0 nor 1");
    {
        std::lock_guard<std::mutex> lock(oneToOneMutex_);
        if (!oneToOneAsks_.erase({std::string(asker), session.account}))
            return Drop(*conn, 41, "no open one-to-one request from that user");
    }
    auto other = store_.FindIdByName(asker);
    if (other) router_.SendIfOnline(*other, 42, Join({session.name, asker, answer}));
}

// --- Presence and profile ------------------------------------------------

void RequestHandlers::OnStatus(const ConnectionPtr& conn, std::string_view payload) {
    const Connection::Session& session = conn->session;
    std::string_view own = text::TakeField(payload, kSep);
    std::string_view status = text::TakeField(payload, kSep);
    std::string_view note = text::TakeField(payload, kSep);
    if (own != session.name) return Drop(*conn, 32, "own ID mismatch");
    if (status.empty() || !IsSafeText(note, 255)) return Drop(*conn, 32, "malformed status");
    int value = text::AtoI(status);
    store_.SetStatus(session.account, value, note);
    ToOnlineFriends(session.account, 32, Join({session.name, std::to_string(value), note}));
}

void RequestHandlers::OnPosition(const ConnectionPtr& conn, std::string_view payload) {
    const Connection::Session& session = conn->session;
    std::string_view own = text::TakeField(payload, kSep);
    if (own != session.name) return Drop(*conn, 33, "own ID mismatch");
    Position pos;
    if (!ParsePositionText(payload, pos)) return Drop(*conn, 33, "malformed position");
    store_.SetPosition(session.account, pos);
    ToOnlineFriends(session.account, 33, Join({session.name, PositionElement(pos)}));
}

void RequestHandlers::OnChangeInfo(const ConnectionPtr& conn, std::string_view payload) {
    std::string_view own = text::TakeField(payload, kSep);
    if (own != conn->session.name) return Drop(*conn, 34, "own ID mismatch");
    std::string_view element = text::TakeBetween(payload, "<user>", "</user>");
    ProfileChange change;
    if (element.empty() || !ParseProfileChange(element, change))
        return (void)conn->Send(35, Join({"1", texts::kBadProfileData}));
    if (change.newpass.empty()) return FinishChangeInfo(conn, change, std::string());
    // A new password needs the current one; both hashes run off the network threads.
    std::string hash = store_.PasswordHash(conn->session.account);
    conn->Pause();
    asio::post(hashPool_, [this, conn, hash = std::move(hash), change = std::move(change)]() mutable {
        bool ok = VerifyPassword(hash, change.oldpass);
        std::optional<std::string> newHash = ok ? HashPassword(change.newpass) : std::nullopt;
        asio::post(conn->RequestExecutor(),
                   [this, conn, ok, newHash = std::move(newHash), change = std::move(change)] {
                       if (conn->Closing() || stopping_ || conn->session.account == 0) return;
                       try {
                           if (!ok)
                               conn->Send(35, Join({"2", texts::kOldPasswordWrong}));
                           else if (!newHash)
                               conn->Send(35, Join({"3", texts::kBusy}));
                           else
                               FinishChangeInfo(conn, change, *newHash);
                       } catch (const StoreError& e) {
                           Log(LogLevel::Error, std::string("change info: ") + e.what());
                       }
                       conn->Resume();
                   });
    });
}

void RequestHandlers::FinishChangeInfo(const ConnectionPtr& conn, const ProfileChange& change,
                                       const std::string& newHash) {
    store_.ChangeProfile(conn->session.account, change.nickname, change.littleword, change.birthday, change.afset,
                         newHash);
    // The new password is not echoed: the client knows it, and the wire need not carry it twice.
    std::string element = "<user><nickname>" + change.nickname + "</nickname><newpass></newpass><littleword>" +
                          change.littleword + "</littleword><brithday>" + change.birthday + "</brithday><afset>" +
                          std::to_string(change.afset) + "</afset></user>";
    conn->Send(35, Join({"0", element}));
}

void RequestHandlers::OnGetUserInfo(const ConnectionPtr& conn, std::string_view payload) {
    std::string_view user = payload;
    if (!IsUserIdField(user) || !IsSafeText(user, kMaxUserId)) return Drop(*conn, 36, "malformed user");
    auto target = store_.FindByName(user);
    if (!target) return (void)conn->Send(37, Join({"1", user, texts::kNoSuchAccount}));
    conn->Send(37, "0" + UserElement(*target, ShownStatus(*target)));
}

// The answer to request 44 lists the user's friends who are online now, each
// as "ID:status", in friend-ID order; entries that would not fit one packet
// are left out. Nobody online gives an empty list.
void RequestHandlers::OnSendAskList(const ConnectionPtr& conn, std::string_view payload) {
    if (payload != conn->session.name) return Drop(*conn, 44, "own ID mismatch");
    std::string list;
    std::vector<std::int64_t> friends = store_.FriendIds(conn->session.account);
    std::vector<bool> online = router_.OnlineAmong(friends);
    for (std::size_t i = 0; i < friends.size(); ++i) {
        if (!online[i]) continue;
        auto profile = store_.FindById(friends[i]);
        if (!profile) continue;
        std::string entry = profile->name + ":" + std::to_string(profile->status);
        if (list.size() + kSep.size() + entry.size() > kMaxForward) break;
        if (!list.empty()) list.append(kSep);
        list.append(entry);
    }
    conn->Send(45, list);
}

}  // namespace vexa::server
