// The friend list (21, 44), friend requests and their answers (23, 24), the
// blacklist (25) and ending a friendship (29).
#include "server/handlers/handlers.h"

#include "protocol/field_widths.h"
#include "protocol/frame.h"
#include "protocol/requests.h"
#include "protocol/text.h"
#include "server/auth/accounts.h"
#include "server/base/texts.h"

namespace vexa::server {

using protocol::JoinFields;
using protocol::kFieldSeparator;

namespace {
constexpr std::string_view kMoreBatches = "<over>0</over>";
constexpr std::string_view kLastBatch = "<over>1</over>";
}  // namespace

void RequestHandlers::ToOnlineFriends(std::int64_t account, int code, const std::string& payload) {
    ToFriends(store_.FriendIds(account), code, payload);
}

void RequestHandlers::ToFriends(const std::vector<std::int64_t>& friends, int code, const std::string& payload) {
    for (std::int64_t friendId : friends) router_.SendIfOnline(friendId, code, payload);
}

void RequestHandlers::OnInitData(const LinkPtr& link, int, std::string_view payload) {
    // The number asks for at most that many users per packet; 0 or less
    // leaves it to the packet size.
    int perBatch = text::AtoI(payload);
    const std::size_t room = protocol::kMaxPayloadSize - kMoreBatches.size();
    std::vector<Profile> friends = store_.Friends(link->login.Account());
    std::vector<std::int64_t> ids;
    for (const Profile& p : friends) ids.push_back(p.id);
    std::vector<bool> online = router_.OnlineAmong(ids);
    std::string batch;
    int inBatch = 0;
    auto flush = [&](bool last) {
        batch.append(last ? kLastBatch : kMoreBatches);
        link->Send(protocol::kAnswerInitData, batch);
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

void RequestHandlers::OnFriendAsk(const LinkPtr& link, int code, std::string_view payload) {
    const LoginState& login = link->login;
    if (!TakeOwnId(*link, code, payload)) return;
    bool withText = !payload.empty() && text::Find(payload, kFieldSeparator) != text::npos;
    std::string_view user = text::TakeField(payload, kFieldSeparator);
    std::string_view askText = payload;
    if (!IsUserIdField(user)) return Drop(*link, code, "malformed user");
    if (withText && !IsSafeText(askText, protocol::kMaxAskTextBytes)) return Drop(*link, code, "unsafe or long text");
    Recipient found = store_.FindRecipient(user, login.Account());
    if (!found.id || *found.id == login.Account()) return Drop(*link, code, "unknown or own account");
    if (found.blocksSender) return Drop(*link, code, "blacklisted by the user");
    const std::int64_t target = *found.id;
    if (store_.AreFriends(login.Account(), target)) return Drop(*link, code, "already friends");
    if (!store_.HasFriendRequest(login.Account(), target) &&
        store_.FriendRequestCountTo(target) >= options_.maxFriendRequestsPerUser)
        return Drop(*link, code, "too many pending requests for the user");
    store_.AskFriend(login.Account(), target, askText, withText);
    std::string forward = JoinFields({login.Name(), user});
    if (withText) forward.append(kFieldSeparator).append(askText);
    router_.SendIfOnline(target, protocol::kRequestAskAddFriend, forward);
}

void RequestHandlers::OnFriendReply(const LinkPtr& link, int code, std::string_view payload) {
    const LoginState& login = link->login;
    if (!TakeOwnId(*link, code, payload)) return;
    std::string_view asker = text::TakeField(payload, kFieldSeparator);
    std::string_view answer = text::TakeField(payload, kFieldSeparator);
    if (answer != "0" && answer != "1") return Drop(*link, code, "answer is neither 0 nor 1");
    if (answer == "0") text::TakeField(payload, kFieldSeparator);  // the number n: not used by the server
    std::string_view replyText = payload;
    if (!IsSafeText(replyText, protocol::kMaxReplyTextBytes)) replyText = {};
    auto other = IsUserIdField(asker) ? store_.FindIdByName(asker) : std::nullopt;
    if (!other || !store_.HasFriendRequest(*other, login.Account()))
        return Drop(*link, code, "no pending request from that user");
    bool agreed = answer == "0";
    if (agreed && (store_.FriendCount(login.Account()) >= options_.maxFriendsPerUser ||
                   store_.FriendCount(*other) >= options_.maxFriendsPerUser))
        return Drop(*link, code, "friend list full");
    store_.AnswerFriendRequest(*other, login.Account(), agreed);
    std::string result = JoinFields({login.Name(), asker, answer});
    if (!replyText.empty()) result.append(kFieldSeparator).append(replyText);
    router_.Deliver(*other, protocol::kRequestReplyAddFriend, result);
    link->Send(protocol::kFriendResult, result);
}

void RequestHandlers::OnAddBlacklist(const LinkPtr& link, int code, std::string_view payload) {
    const LoginState& login = link->login;
    if (!TakeOwnId(*link, code, payload)) return;
    std::string_view user = text::TakeField(payload, kFieldSeparator);
    std::string_view number = text::TakeField(payload, kFieldSeparator);
    // The library keeps at most 19 bytes of it; a longer ID gets no answer it could use.
    if (user.empty() || !IsSafeText(user, protocol::kMaxResultPeerBytes)) return Drop(*link, code, "malformed user");
    std::string head = JoinFields({login.Name(), user, std::to_string(text::AtoI(number))});
    auto target = store_.FindIdByName(user);
    if (!target) return (void)link->Send(protocol::kAnswerAddBlacklist, JoinFields({head, "1", texts::kNoSuchAccount}));
    if (*target == login.Account())
        return (void)link->Send(protocol::kAnswerAddBlacklist, JoinFields({head, "1", texts::kNotYourself}));
    store_.BlockUser(login.Account(), *target);
    ForgetOneToOne(std::string(user), login.Account());
    link->Send(protocol::kAnswerAddBlacklist, JoinFields({head, "0"}));
}

void RequestHandlers::OnDeleteFriend(const LinkPtr& link, int code, std::string_view payload) {
    const LoginState& login = link->login;
    if (!TakeOwnId(*link, code, payload)) return;
    std::string_view user = text::TakeField(payload, kFieldSeparator);
    if (user.empty() || !IsSafeText(user, protocol::kMaxResultPeerBytes)) return Drop(*link, code, "malformed user");
    auto target = store_.FindIdByName(user);
    if (!target)
        return (void)link->Send(protocol::kAnswerDeleteFriend, JoinFields({login.Name(), user, "1", texts::kNoSuchAccount}));
    if (!store_.RemoveFriendship(login.Account(), *target))
        return (void)link->Send(protocol::kAnswerDeleteFriend, JoinFields({login.Name(), user, "1", texts::kNotAFriend}));
    link->Send(protocol::kAnswerDeleteFriend, JoinFields({login.Name(), user, "0"}));
}

// The answer to request 44 lists the user's friends who are online now, each
// as "ID:status", in friend-ID order; entries that would not fit one packet
// are left out. Nobody online gives an empty list.
void RequestHandlers::OnSendAskList(const LinkPtr& link, int code, std::string_view payload) {
    if (payload != link->login.Name()) return Drop(*link, code, "own ID mismatch");
    std::string list;
    std::vector<std::int64_t> friends = store_.FriendIds(link->login.Account());
    std::vector<bool> online = router_.OnlineAmong(friends);
    for (std::size_t i = 0; i < friends.size(); ++i) {
        if (!online[i]) continue;
        auto profile = store_.FindById(friends[i]);
        if (!profile) continue;
        std::string entry = profile->name + ":" + std::to_string(profile->status);
        if (list.size() + protocol::kSeparatorLength + entry.size() > protocol::kMaxPayloadSize) break;
        if (!list.empty()) list.append(kFieldSeparator);
        list.append(entry);
    }
    link->Send(protocol::kAnswerSendAsk, list);
}

}  // namespace vexa::server
