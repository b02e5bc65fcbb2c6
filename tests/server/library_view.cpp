#include "library_view.h"

namespace vexa::server::testing {

namespace {
std::size_t RecordSize(int kind) {
    switch (kind) {
        case IMN_LOGIN_RESULT: return sizeof(IM_LOGIN_RESULT);
        case IMN_CHAT_MESSAGE: return sizeof(IM_CHAT_DATA);
        case IMN_FRIEND_ASK: return sizeof(IM_FRIEND_ASK_DATA);
        case IMN_FRIEND_REPLY:
        case IMN_FRIEND_RESULT: return sizeof(IM_FRIEND_REPLY_DATA);
        case IMN_1V1_ASK:
        case IMN_1V1_STOP: return sizeof(IM_1V1_DATA);
        case IMN_1V1_REPLY: return sizeof(IM_1V1_REPLY_DATA);
        case IMN_FILE_ASK: return sizeof(IM_FILE_ASK_DATA);
        case IMN_ADDBL_RESULT:
        case IMN_DELFL_RESULT: return sizeof(IM_PEER_RESULT);
        case IMN_INVITE: return sizeof(IM_INVITE_DATA);
        case IMN_CHANGEINFO_RESULT: return sizeof(IM_CHANGEINFO_RESULT);
        case IMN_USERINFO_RESULT: return sizeof(IM_USERINFO_RESULT);
        case IMN_USER_POSITION: return sizeof(IM_USER_POSITION);
        case IMN_USER_STATUS: return sizeof(IM_USER_CHANGESTATUS);
        default: return 0;
    }
}
}  // namespace

long RecordingPort::Notify(int kind, const void* lParam) {
    Delivered d;
    d.kind = kind;
    if (kind == IMN_FRIEND_LIST) {
        const auto* list = static_cast<const IM_FRIENDLIST_DATA*>(lParam);
        d.users.assign(list->users, list->users + list->count);
        d.over = list->over;
    } else if (kind == IMN_SENDASK_LIST) {
        const auto* list = static_cast<const IM_SENDASK_LIST*>(lParam);
        d.items.assign(list->items, list->items + list->count);
    } else {
        d.record.assign(static_cast<const char*>(lParam), RecordSize(kind));
        if (kind == IMN_1V1_REPLY) {
            const auto* reply = static_cast<const IM_1V1_REPLY_DATA*>(lParam);
            if (reply->textPointer) d.replyText = reply->textPointer;
        }
    }
    delivered.push_back(std::move(d));
    return 0;
}

std::vector<Delivered> LibraryView(const Packet& packet, std::string_view ownId) {
    RecordingPort port;
    protocol::HandleServerPacket(packet.raw.data(), static_cast<int>(packet.raw.size()), ownId, port);
    return port.delivered;
}

}  // namespace vexa::server::testing
