// A user's status (32), position (33) and profile (34), and another user's
// information (36).
#include "server/handlers/handlers.h"

#include <asio/post.hpp>

#include "protocol/field_widths.h"
#include "protocol/frame.h"
#include "protocol/requests.h"
#include "protocol/text.h"
#include "server/auth/accounts.h"
#include "server/auth/password.h"
#include "server/base/log.h"
#include "server/base/texts.h"

namespace vexa::server {

using protocol::JoinFields;
using protocol::kFieldSeparator;

void RequestHandlers::OnStatus(const LinkPtr& link, int code, std::string_view payload) {
    const LoginState& login = link->login;
    if (!TakeOwnId(*link, code, payload)) return;
    std::string_view status = text::TakeField(payload, kFieldSeparator);
    std::string_view note = text::TakeField(payload, kFieldSeparator);
    if (status.empty() || !IsSafeText(note, protocol::kMaxStatusNoteBytes)) return Drop(*link, code, "malformed status");
    int value = text::AtoI(status);
    store_.SetStatus(login.Account(), value, note);
    ToOnlineFriends(login.Account(), protocol::kRequestChangeStatus, JoinFields({login.Name(), std::to_string(value), note}));
}

void RequestHandlers::OnPosition(const LinkPtr& link, int code, std::string_view payload) {
    const LoginState& login = link->login;
    if (!TakeOwnId(*link, code, payload)) return;
    Position pos;
    if (!ParsePositionText(payload, pos)) return Drop(*link, code, "malformed position");
    store_.SetPosition(login.Account(), pos);
    ToOnlineFriends(login.Account(), protocol::kRequestChangePosition, JoinFields({login.Name(), PositionElement(pos)}));
}

void RequestHandlers::OnChangeInfo(const LinkPtr& link, int code, std::string_view payload) {
    if (!TakeOwnId(*link, code, payload)) return;
    std::string_view element = text::TakeBetween(payload, "<user>", "</user>");
    ProfileChange change;
    if (element.empty() || !ParseProfileChange(element, change))
        return (void)link->Send(protocol::kAnswerChangeUserInfo, JoinFields({"1", texts::kBadProfileData}));
    if (change.newpass.empty()) return FinishChangeInfo(link, change, std::string());
    // A new password needs the current one; both hashes run off the network threads.
    std::string hash = store_.PasswordHash(link->login.Account());
    Pause(link);
    asio::post(hashing_, [this, link, hash = std::move(hash), change = std::move(change)]() mutable {
        bool ok = VerifyPassword(hash, change.oldpass);
        std::optional<std::string> newHash = ok ? HashPassword(change.newpass) : std::nullopt;
        asio::post(link->RequestExecutor(), [this, link, ok, newHash = std::move(newHash), change = std::move(change)] {
            if (link->Closing() || stopping_ || link->login.Account() == 0) return;
            try {
                if (!ok)
                    link->Send(protocol::kAnswerChangeUserInfo, JoinFields({"2", texts::kOldPasswordWrong}));
                else if (!newHash)
                    link->Send(protocol::kAnswerChangeUserInfo, JoinFields({"3", texts::kBusy}));
                else
                    FinishChangeInfo(link, change, *newHash);
            } catch (const StoreError& e) {
                Log(LogLevel::Error, std::string("change info: ") + e.what());
            }
            Resume(link);
        });
    });
}

void RequestHandlers::FinishChangeInfo(const LinkPtr& link, const ProfileChange& change, const std::string& newHash) {
    store_.ChangeProfile(link->login.Account(), change.nickname, change.littleword, change.birthday, change.afset,
                         newHash);
    link->Send(protocol::kAnswerChangeUserInfo, JoinFields({"0", ProfileChangeElement(change)}));
}

void RequestHandlers::OnGetUserInfo(const LinkPtr& link, int code, std::string_view payload) {
    std::string_view user = payload;
    if (!IsUserIdField(user) || !IsSafeText(user, protocol::kMaxUserIdBytes)) return Drop(*link, code, "malformed user");
    auto target = store_.FindByName(user);
    if (!target)
        return (void)link->Send(protocol::kAnswerGetUserInfo, JoinFields({"1", user, texts::kNoSuchAccount}));
    int shownStatus = router_.IsOnline(target->id) ? target->status : 0;
    link->Send(protocol::kAnswerGetUserInfo, "0" + UserElement(*target, shownStatus));
}

}  // namespace vexa::server
