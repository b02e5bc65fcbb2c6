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

struct ChatFields {
    std::string_view recipient, date, sender, msgType, body;
};

// "recipient!|!date!|!sender!|!msgType!|!body": nullptr when it reads well,
// why it is dropped otherwise.
const char* ReadChat(const Link& link, std::string_view payload, ChatFields& f) {
    f.recipient = text::TakeField(payload, protocol::kFieldSeparator);
    f.date = text::TakeField(payload, protocol::kFieldSeparator);
    f.sender = text::TakeField(payload, protocol::kFieldSeparator);
    f.msgType = text::TakeField(payload, protocol::kFieldSeparator);
    f.body = payload;  // the rest, separators included
    if (f.sender != link.login.Name()) return "own ID mismatch";
    if (!IsUserIdField(f.recipient) || f.date.empty() || f.date.size() > protocol::kMaxChatTimeBytes ||
        f.msgType.empty() || f.body.empty())
        return "malformed chat";
    return nullptr;
}

// Passed on with the date filled in when the sender left it to the server:
// offline messages may wait for days, and the time they were sent is the
// server's, not that of their delivery.
std::string Forwarded(const ChatFields& f) {
    std::string when = f.date == "SYSTEMDATE" ? ServerTimeText() : std::string(f.date);
    return protocol::JoinFields({f.recipient, when, f.sender, f.msgType, f.body});
}

}  // namespace

void RequestHandlers::OnChat(const LinkPtr& link, int code, std::string_view payload) {
    const auto started = Clock::now();
    ChatFields f;
    if (const char* why = ReadChat(*link, payload, f)) return Drop(*link, code, why);
    Recipient target = store_.FindRecipient(f.recipient, link->login.Account());
    if (!target.id) return Drop(*link, code, "unknown recipient");
    if (target.blocksSender) return Drop(*link, code, "blacklisted by the recipient");
    std::string forward = Forwarded(f);
    if (forward.size() > protocol::kMaxPayloadSize) return Drop(*link, code, "too long to forward");
    router_.Deliver(*target.id, protocol::kRequestChat, forward);
    counters_.chatRouting.Observe(Clock::now() - started);
}

// The same on the network side, when nothing on the way needs the database;
// false, having done nothing, for anything else (OnChat then serves it).
bool RequestHandlers::ChatAtOnce(const Link& link, std::string_view payload) {
    const auto started = Clock::now();
    ChatFields f;
    if (ReadChat(link, payload, f)) return false;
    std::optional<Recipient> target = store_.KnownRecipient(f.recipient, link.login.Account());
    if (!target || !target->id || target->blocksSender) return false;
    std::string forward = Forwarded(f);
    if (forward.size() > protocol::kMaxPayloadSize ||
        !router_.DeliverWithoutStore(*target->id, protocol::kRequestChat, forward))
        return false;
    counters_.CountRequest(protocol::kRequestChat);
    counters_.chatRouting.Observe(Clock::now() - started);
    return true;
}

}  // namespace vexa::server
