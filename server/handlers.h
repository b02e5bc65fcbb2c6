// The request handlers: what the server does for each request code.
//
// A handler runs on its connection's request executor, so one connection's
// requests are handled one at a time and in order; handlers of different
// connections run at the same time. They reach other users only through the
// router and keep nothing of their own but the open one-to-one requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/connection.h"
#include "server/login_throttle.h"
#include "server/options.h"
#include "server/records.h"
#include "server/router.h"
#include "server/store.h"

namespace vexa::server {

class RequestHandlers {
public:
    RequestHandlers(Store& store, Router& router, LoginThrottle& throttle, const ServerOptions& options,
                    asio::thread_pool& hashPool, ServerCounters& counters, const std::atomic<bool>& stopping);

    void Handle(const ConnectionPtr& conn, int code, std::string_view payload);
    // The connection's socket is closed: the router takes back what did not
    // reach its client, and the friends learn when the user went offline.
    void Finished(const ConnectionPtr& conn, std::vector<KeptPacket> unacknowledged, std::int64_t ackedMailSeq);
    void MailAcknowledged(const ConnectionPtr& conn, std::int64_t seq);
    void Room(const ConnectionPtr& conn);
    // A packet that only matters now was handed to a connection here.
    void Arrived(std::int64_t account, int code, const std::string& payload);
    void SetClustered() { clustered_ = true; }

private:
    void Dispatch(const ConnectionPtr& conn, int code, std::string_view payload);
    void RetryLater(const ConnectionPtr& conn, int code, std::string payload, const std::string& why);
    void Drop(const Connection& conn, int code, std::string_view why);
    void Refuse(const ConnectionPtr& conn, char status, const char* reason);

    void OnLogin(const ConnectionPtr& conn, std::string_view payload);
    void CheckPassword(const ConnectionPtr& conn, std::string user, std::optional<Profile> profile,
                       std::string password);
    void FinishLogin(const ConnectionPtr& conn, const Profile& profile);
    void OnChat(const ConnectionPtr& conn, std::string_view payload);
    void OnInitData(const ConnectionPtr& conn, std::string_view payload);
    void OnFriendAsk(const ConnectionPtr& conn, std::string_view payload);
    void OnFriendReply(const ConnectionPtr& conn, std::string_view payload);
    void OnAddBlacklist(const ConnectionPtr& conn, std::string_view payload);
    void OnDeleteFriend(const ConnectionPtr& conn, std::string_view payload);
    void OnPlainRoute(const ConnectionPtr& conn, int code, std::string_view payload);
    void OnStatus(const ConnectionPtr& conn, std::string_view payload);
    void OnPosition(const ConnectionPtr& conn, std::string_view payload);
    void OnChangeInfo(const ConnectionPtr& conn, std::string_view payload);
    void FinishChangeInfo(const ConnectionPtr& conn, const ProfileChange& change, const std::string& newHash);
    void OnGetUserInfo(const ConnectionPtr& conn, std::string_view payload);
    void On1V1Reply(const ConnectionPtr& conn, std::string_view payload);
    void OnSendAskList(const ConnectionPtr& conn, std::string_view payload);
    void OnExit(const ConnectionPtr& conn, std::string_view payload);

    void ToOnlineFriends(std::int64_t account, int code, const std::string& payload);
    void ToFriends(const std::vector<std::int64_t>& friends, int code, const std::string& payload);
    int ShownStatus(const Profile& p) { return router_.IsOnline(p.id) ? p.status : 0; }
    void ForgetOneToOne(std::int64_t account, const std::string& name);

    Store& store_;
    Router& router_;
    LoginThrottle& throttle_;
    const ServerOptions& options_;
    asio::thread_pool& hashPool_;
    ServerCounters& counters_;
    const std::atomic<bool>& stopping_;
    std::mutex oneToOneMutex_;
    std::set<std::pair<std::string, std::int64_t>> oneToOneAsks_;  // (asker's ID, asked account)
    bool clustered_ = false;
};

}  // namespace vexa::server
