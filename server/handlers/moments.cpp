// What only matters at the moment: invitations (31) and one-to-one sessions
// (40 asks, 41 answers, 43 stops). Never kept for later.
#include "server/handlers/handlers.h"

#include "protocol/frame.h"
#include "protocol/requests.h"
#include "protocol/text.h"

namespace vexa::server {

using protocol::JoinFields;
using protocol::kFieldSeparator;

// Invitations, one-to-one requests and stops: "own!|!user", passed on as
// they are to a user who is online and has not blacklisted the sender.
// Nobody offline is waiting for them.
void RequestHandlers::OnPlainRoute(const LinkPtr& link, int code, std::string_view payload) {
    const LoginState& login = link->login;
    if (!TakeOwnId(*link, code, payload)) return;
    std::string_view user = text::TakeField(payload, kFieldSeparator);
    if (!IsUserIdField(user)) return Drop(*link, code, "malformed user");
    Recipient found = store_.FindRecipient(user, login.Account());
    if (!found.id || *found.id == login.Account()) return Drop(*link, code, "unknown or own account");
    if (found.blocksSender) return Drop(*link, code, "blacklisted by the user");
    const std::int64_t target = *found.id;
    if (code == protocol::kRequestStop1V1) ForgetOneToOne(std::string(user), login.Account());
    // The open request is noted where it is delivered (Arrived), on whichever node.
    if (!router_.SendIfOnline(target, code, JoinFields({login.Name(), user}))) return Drop(*link, code, "user offline");
}

// One-to-one requests and stops are remembered on the node that hands them
// to the asked user, since that is where the answer (41) comes from.
void RequestHandlers::Arrived(std::int64_t account, int code, const std::string& payload) {
    if (code != protocol::kRequestAsk1V1 && code != protocol::kRequestStop1V1) return;
    std::string_view rest = payload;
    std::string asker(text::TakeField(rest, kFieldSeparator));
    std::lock_guard<std::mutex> lock(oneToOneMutex_);
    if (code == protocol::kRequestAsk1V1)
        oneToOneAsks_.insert({asker, account});
    else
        oneToOneAsks_.erase({asker, account});
}

void RequestHandlers::On1V1Reply(const LinkPtr& link, int code, std::string_view payload) {
    const LoginState& login = link->login;
    // The one request whose own ID stands second.
    std::string_view asker = text::TakeField(payload, kFieldSeparator);
    std::string_view own = text::TakeField(payload, kFieldSeparator);
    std::string_view answer = text::TakeField(payload, kFieldSeparator);
    if (own != login.Name()) return Drop(*link, code, "own ID mismatch");
    if (answer != "0" && answer != "1") return Drop(*link, code, "answer is neither 0 nor 1");
    {
        std::lock_guard<std::mutex> lock(oneToOneMutex_);
        if (!oneToOneAsks_.erase({std::string(asker), login.Account()}))
            return Drop(*link, code, "no open one-to-one request from that user");
    }
    auto other = store_.FindIdByName(asker);
    if (other) router_.SendIfOnline(*other, protocol::kAnswer1V1, JoinFields({login.Name(), asker, answer}));
}

// Everything open that the user asked or was asked.
void RequestHandlers::ForgetOneToOne(std::int64_t account, const std::string& name) {
    std::lock_guard<std::mutex> lock(oneToOneMutex_);
    for (auto it = oneToOneAsks_.begin(); it != oneToOneAsks_.end();) {
        if (it->first == name || it->second == account)
            it = oneToOneAsks_.erase(it);
        else
            ++it;
    }
}

void RequestHandlers::ForgetOneToOne(const std::string& asker, std::int64_t asked) {
    std::lock_guard<std::mutex> lock(oneToOneMutex_);
    oneToOneAsks_.erase({asker, asked});
}

}  // namespace vexa::server
