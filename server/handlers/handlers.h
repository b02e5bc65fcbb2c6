// The request handlers: what the server does for each request code.
//
// A link's requests arrive here (LinkEvents) on its request executor, so one
// connection's requests are handled one at a time and in order; handlers of
// different connections run at the same time. Only the keep-alive, and a
// chat that needs no database, may be served on the network side
// (AnswerAtOnce): the one never waits for the database, the other is not
// handed from thread to thread when the store has threads of its own. The
// one dispatch table is in dispatch.cpp, the handlers by theme beside it:
// login.cpp, chat.cpp, friends.cpp, moments.cpp (invitations and one-to-one
// sessions), profile.cpp (status, position, profile, user info). They reach
// other users only through the router and keep nothing of their own but the
// open one-to-one requests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/any_io_executor.hpp>

#include "server/auth/login_throttle.h"
#include "server/base/counters.h"
#include "server/handlers/records.h"
#include "server/routing/router.h"
#include "server/session/link.h"
#include "server/store/store.h"

namespace vexa::server {

struct HandlerOptions {
    std::size_t maxFriendRequestsPerUser = 200;  // pending requests waiting for one user
    std::size_t maxFriendsPerUser = 1'000;
    // The connections' backlog limit: a login sends its pending friend
    // requests within a quarter of it.
    std::size_t maxBacklogBytes = 256 * 1024;
};

class RequestHandlers final : public LinkEvents {
public:
    // Password checks run on hashing (a pool of their own, off the network threads).
    RequestHandlers(Store& store, Router& router, LoginThrottle& throttle, HandlerOptions options,
                    asio::any_io_executor hashing, ServerCounters& counters, const std::atomic<bool>& stopping);

    // LinkEvents
    bool AnswerAtOnce(const LinkPtr& link, int code, std::string_view payload, bool nothingBefore) override;
    void OnRequest(const LinkPtr& link, int code, std::string payload) override;
    void OnMailAcknowledged(const LinkPtr& link, std::int64_t seq) override;
    void OnForwardedAcknowledged(const LinkPtr& link, std::vector<std::uint64_t> tickets) override;
    void OnRoom(const LinkPtr& link) override;
    // The router takes back what did not reach the client, and the friends
    // learn when the user went offline.
    void OnFinished(const LinkPtr& link, std::vector<KeptPacket> unacknowledged, std::int64_t ackedMailSeq) override;

    // A packet that only matters now was handed to a connection here.
    void Arrived(std::int64_t account, int code, const std::string& payload);
    // Also a node of a cluster: the friends on other nodes are told of
    // this node's users going, also when it stops.
    void SetClustered() { clustered_ = true; }

private:
    using Handler = void (RequestHandlers::*)(const LinkPtr&, int code, std::string_view payload);

    // dispatch.cpp: the table, the order of a link's requests, the failures.
    void Serve(const LinkPtr& link, int code, std::string_view payload);
    void Dispatch(const LinkPtr& link, int code, std::string_view payload);
    void Pause(const LinkPtr& link);
    void Resume(const LinkPtr& link);
    void RetryLater(const LinkPtr& link, int code, std::string payload, const std::string& why);
    void TryAgain(const LinkPtr& link, int code, std::string payload);
    void Drop(const Link& link, int code, std::string_view why);
    bool TakeOwnId(const Link& link, int code, std::string_view& payload);

    // login.cpp
    void OnLogin(const LinkPtr& link, int code, std::string_view payload);
    void CheckPassword(const LinkPtr& link, std::string user, std::optional<Profile> profile, std::string password);
    void FinishLogin(const LinkPtr& link, const Profile& profile);
    void Refuse(const LinkPtr& link, char status, const char* reason);
    void OnExit(const LinkPtr& link, int code, std::string_view payload);
    void OnKeepAlive(const LinkPtr& link, int code, std::string_view payload);

    // chat.cpp
    void OnChat(const LinkPtr& link, int code, std::string_view payload);
    bool ChatAtOnce(const Link& link, std::string_view payload);

    // friends.cpp
    void OnInitData(const LinkPtr& link, int code, std::string_view payload);
    void OnFriendAsk(const LinkPtr& link, int code, std::string_view payload);
    void OnFriendReply(const LinkPtr& link, int code, std::string_view payload);
    void OnAddBlacklist(const LinkPtr& link, int code, std::string_view payload);
    void OnDeleteFriend(const LinkPtr& link, int code, std::string_view payload);
    void OnSendAskList(const LinkPtr& link, int code, std::string_view payload);
    void ToOnlineFriends(std::int64_t account, int code, const std::string& payload);
    void ToFriends(const std::vector<std::int64_t>& friends, int code, const std::string& payload);

    // moments.cpp
    void OnPlainRoute(const LinkPtr& link, int code, std::string_view payload);
    void On1V1Reply(const LinkPtr& link, int code, std::string_view payload);
    void ForgetOneToOne(std::int64_t account, const std::string& name);
    void ForgetOneToOne(const std::string& asker, std::int64_t asked);

    // profile.cpp
    void OnStatus(const LinkPtr& link, int code, std::string_view payload);
    void OnPosition(const LinkPtr& link, int code, std::string_view payload);
    void OnChangeInfo(const LinkPtr& link, int code, std::string_view payload);
    void FinishChangeInfo(const LinkPtr& link, const ProfileChange& change, const std::string& newHash);
    void OnGetUserInfo(const LinkPtr& link, int code, std::string_view payload);

    static const std::array<Handler, 100>& Table();

    Store& store_;
    Router& router_;
    LoginThrottle& throttle_;
    HandlerOptions options_;
    asio::any_io_executor hashing_;
    ServerCounters& counters_;
    const std::atomic<bool>& stopping_;
    std::mutex oneToOneMutex_;
    std::set<std::pair<std::string, std::int64_t>> oneToOneAsks_;  // (asker's ID, asked account)
    bool clustered_ = false;
};

}  // namespace vexa::server
