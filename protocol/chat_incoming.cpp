// Incoming chat messages (code 3): a plain message becomes kind 5 with an
// IM_CHAT_DATA record, a message that offers a file becomes kind 15 with an
// IM_FILE_ASK_DATA record.
#include <cstring>
#include <string>

#include "protocol/frame.h"
#include "protocol/incoming.h"
#include "protocol/style.h"
#include "protocol/text.h"

namespace vexa::protocol {

namespace {

using text::TakeBetween;
using text::TakeField;

// The sender writes this in place of a date; the receiver puts its own time.
constexpr std::string_view kSystemDate = "SYSTEMDATE";

// The five "~|~" items of a file description. Every text item must fit its
// field: a file name or a checksum cut short would describe another file, so
// an offer with an item too long for its field is refused as a whole, as a
// chat text too long for its field is.
bool ParseFileItems(std::string_view items, IM_FILE_INFO& file) {
    std::string_view text1 = TakeField(items, kFileSeparator);
    std::string_view value1 = TakeField(items, kFileSeparator);
    std::string_view text2 = TakeField(items, kFileSeparator);
    std::string_view text3 = TakeField(items, kFileSeparator);
    std::string_view value2 = TakeField(items, kFileSeparator);
    if (text1.size() >= sizeof file.text1 || text2.size() >= sizeof file.text2 || text3.size() >= sizeof file.text3)
        return false;
    CopyField(file.text1, text1);
    file.value1 = text::AtoI(value1);
    CopyField(file.text2, text2);
    CopyField(file.text3, text3);
    file.value2 = text::AtoI(value2);
    return true;
}

}  // namespace

void OnChatMessage(std::string_view body, DeliveryPort& port) {
    if (body.empty()) return;
    IM_CHAT_DATA chat;
    std::memset(&chat, 0, sizeof chat);

    const std::string_view recipient = TakeField(body, kFieldSeparator);
    if (body.empty()) return;

    std::string_view date = TakeField(body, kFieldSeparator);
    if (!FitsField(chat.time, date)) return;
    // The local time must outlive the view that points into it.
    std::string localTime;
    if (date == kSystemDate) {
        localTime = port.LocalTimeText();
        date = localTime;
    }
    CopyField(chat.time, date);

    if (body.empty()) return;
    const std::string_view sender = TakeField(body, kFieldSeparator);
    if (!CopyField(chat.peer, sender)) return;

    if (body.empty()) return;
    const std::string_view type = TakeField(body, kFieldSeparator);
    if (type.empty()) return;
    chat.msgType = text::AtoI(type);
    // A message without a recipient is only accepted when its type says it is
    // not an ordinary one-to-one message.
    if (chat.msgType == 0 && recipient.empty()) return;

    // Separators inside the body belong to the message: only the first four split.
    std::string_view message = body;
    if (message.empty()) return;
    message = TakeBetween(message, "<msg>", "</msg>");
    if (message.empty()) return;

    std::string_view id = TakeBetween(message, "<id>", "</id>");
    if (id.empty()) return;
    chat.id = static_cast<int32_t>(text::AtoL(id));

    std::string_view style = TakeBetween(message, "<imzt>", "</imzt>");
    if (style.empty()) return;
    TextToStyle(style, chat.format);

    std::string_view fileItems = TakeBetween(message, "<file>", "</file>");
    if (fileItems.empty()) {
        std::string_view content = TakeBetween(message, "<cnt>", "</cnt>");
        if (!CopyField(chat.content, content)) return;
        chat.contentLength = static_cast<int32_t>(content.size());
        port.Notify(IMN_CHAT_MESSAGE, &chat);
        return;
    }

    IM_FILE_ASK_DATA offer;
    std::memset(&offer, 0, sizeof offer);
    if (!ParseFileItems(fileItems, offer.file)) return;
    CopyField(offer.fromUser, sender);
    port.Notify(IMN_FILE_ASK, &offer);
}

}  // namespace vexa::protocol
