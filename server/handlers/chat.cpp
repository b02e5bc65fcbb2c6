// Chats (request 3): kept packets, to the recipient or the recipient's mailbox.
#include "server/handlers/handlers.h"

#include <ctime>

#include "protocol/field_widths.h"
#include "protocol/frame.h"
#include "protocol/requests.h"
#include "protocol/text.h"

namespace vexa::server {

namespace {

// The server's current local time as "%Y%m%d %H:%M:%S" (17 bytes).
std::string ServerTimeText() {
    // Every chat asks; the text changes once a second.
    thread_local std::time_t shown = -1;
    thread_local std::string text;
    std::time_t now = std::time(nullptr);
    if (now != shown) {
        std::tm local{};
        localtime_r(&now, &local);
        char buffer[32];
        std::size_t n = std::strftime(buffer, sizeof buffer, "%Y%m%d %H:%M:%S", &local);
        text.assign(buffer, n);
        shown = now;
    }
    return text;
}

}  // namespace

// "recipient!|!date!|!sender!|!msgType!|!body", passed on with the date
// filled in when the sender left it to the server.
void RequestHandlers::OnChat(const LinkPtr& link, int code, std::string_view payload) {
    const auto started = Clock::now();
    std::string_view recipient = text::TakeField(payload, protocol::kFieldSeparator);
    std::string_view date = text::TakeField(payload, protocol::kFieldSeparator);
    std::string_view sender = text::TakeField(payload, protocol::kFieldSeparator);
    std::string_view msgType = text::TakeField(payload, protocol::kFieldSeparator);
    std::string_view body = payload;  // the rest, separators included
    if (sender != link->login.Name()) return Drop(*link, code, "own ID mismatch");
    if (!IsUserIdField(recipient) || date.empty() || date.size() > protocol::kMaxChatTimeBytes || msgType.empty() ||
        body.empty())
        return Drop(*link, code, "malformed chat");
    Recipient target = store_.FindRecipient(recipient, link->login.Account());
    if (!target.id) return Drop(*link, code, "unknown recipient");
    if (target.blocksSender) return Drop(*link, code, "blacklisted by the recipient");
    // Offline messages may wait for days: the time they were sent is the
    // server's, not that of their delivery.
    std::string when = date == "SYSTEMDATE" ? ServerTimeText() : std::string(date);
    std::string forward = protocol::JoinFields({recipient, when, sender, msgType, body});
    if (forward.size() > protocol::kMaxPayloadSize) return Drop(*link, code, "too long to forward");
    router_.Deliver(*target.id, protocol::kRequestChat, forward);
    counters_.chatRouting.Observe(Clock::now() - started);
}

}  // namespace vexa::server
