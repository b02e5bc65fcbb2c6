#include "library_view.h"

#include "recording_port.h"

namespace vexa::server::testing {

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
        d.record.assign(static_cast<const char*>(lParam), vexa::testing::RecordSize(kind));
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
