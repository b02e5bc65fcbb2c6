#include "protocol/incoming.h"

#include <cstring>
#include <string>

#include "protocol/frame.h"
#include "protocol/login_result.h"
#include "protocol/requests.h"
#include "protocol/system_texts.h"
#include "protocol/text.h"
#include "protocol/user_records.h"

namespace vexa::protocol {

namespace {

using text::AtoI;
using text::TakeField;

// Every record starts as all zero bytes: padding and unfilled fields included,
// because the IM program reads them at fixed offsets.
template <typename Record>
Record Zeroed() {
    Record record;
    std::memset(&record, 0, sizeof record);
    return record;
}

std::string_view NextField(std::string_view& rest) { return TakeField(rest, kFieldSeparator); }

bool IsOwn(std::string_view field, std::string_view ownId) { return text::Equal(field, ownId); }

// The friend answers of codes 24 and 38 share their record; only the order of
// the two user fields differs.
void DeliverFriendAnswer(std::string_view user, std::string_view peer, std::string_view answer,
                         std::string_view replyText, int kind, DeliveryPort& port) {
    auto record = Zeroed<IM_FRIEND_REPLY_DATA>();
    CopyField(record.user, user);
    CopyField(record.peer, peer);
    record.agreed = AtoI(answer) == 0 ? 1 : 0;
    CopyField(record.replyText, replyText);
    port.Notify(kind, &record);
}

// Codes 40 and 43 carry the same two fields: the other user and the own id.
bool TakeOtherAndOwn(std::string_view body, std::string_view ownId, std::string_view& other, std::string_view& own) {
    if (body.empty() || ownId.empty()) return false;
    other = NextField(body);
    own = NextField(body);
    IM_1V1_DATA shape;
    return FitsField(shape.firstUser, other) && FitsField(shape.secondUser, own) && IsOwn(own, ownId);
}

}  // namespace

std::string_view PayloadText(const char* payload, int length) {
    if (!payload || length <= 0) return {};
    return text::CString(payload, static_cast<std::size_t>(length));
}

void HandleServerPacket(const char* packet, int size, std::string_view ownId, DeliveryPort& port) {
    ServerPacket checked;
    int lengthField = 0;
    switch (CheckServerPacket(packet, size, checked, lengthField)) {
        case PacketCheck::Ignored:
            return;
        case PacketCheck::SizeMismatch:
            port.ShowMessage(texts::BadPacketText(lengthField, size - 1));
            return;
        case PacketCheck::Accepted:
            DispatchServerPacket(checked.code, checked.payload, checked.payloadLength, ownId, port);
            return;
    }
}

void DispatchServerPacket(int code, const char* payload, int length, std::string_view ownId, DeliveryPort& port) {
    const std::string_view body = PayloadText(payload, length);
    switch (code) {
        case kAnswerLogin: OnLoginAnswer(body, ownId, port); break;
        case kRequestChat: OnChatMessage(body, port); break;
        case kAnswerKeepAlive: break;  // the keep-alive answer carries nothing for the IM program
        case kAnswerInitData: OnFriendList(body, port); break;
        case kRequestAskAddFriend: OnFriendAsk(body, ownId, port); break;
        case kRequestReplyAddFriend: OnFriendReply(body, ownId, port); break;
        case kAnswerAddBlacklist: OnAddBlacklistResult(body, ownId, port); break;
        case kAnswerDeleteFriend: OnDeleteFriendResult(body, ownId, port); break;
        case kRequestInvite: OnInvite(body, ownId, port); break;
        case kRequestChangeStatus: OnStatusChange(body, port); break;
        case kRequestChangePosition: OnUserPosition(body, port); break;
        case kAnswerChangeUserInfo: OnChangeInfoResult(body, port); break;
        case kAnswerGetUserInfo: OnUserInfoResult(body, port); break;
        case kFriendResult: OnFriendResult(body, ownId, port); break;
        case kLoggedInElsewhere: port.Post(IMN_SERVER_SIGNAL, 0); break;
        case kRequestAsk1V1: On1V1Ask(body, ownId, port); break;
        case kAnswer1V1: On1V1Reply(body, ownId, port); break;
        case kRequestStop1V1: On1V1Stop(body, ownId, port); break;
        case kAnswerSendAsk: OnSendAskList(body, ownId, port); break;
        default: break;
    }
}

void OnLoginAnswer(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    if (body == "0") {
        // The list of request 44 is asked for before the IM program hears of
        // the login, so its answer can never overtake the login result.
        if (!ownId.empty())
            if (auto request = BuildSendAskRequest(ownId)) port.SendRequest(*request);
        IM_LOGIN_RESULT record = MakeLoginResult(1, "");
        port.Notify(IMN_LOGIN_RESULT, &record);
        return;
    }
    // One status character, then the reason shown to the user. The empty
    // reason is a real empty text, never a view without storage.
    IM_LOGIN_RESULT record = MakeLoginResult(0, body.size() > 1 ? body.substr(1) : std::string_view(""));
    port.Notify(IMN_LOGIN_RESULT, &record);
}

void OnFriendAsk(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    if (body.empty() || ownId.empty()) return;
    auto record = Zeroed<IM_FRIEND_ASK_DATA>();
    std::string_view from = NextField(body);
    std::string_view to = NextField(body);
    if (!FitsField(record.fromUser, from) || !FitsField(record.toUser, to) || !IsOwn(to, ownId)) return;
    CopyField(record.fromUser, from);
    CopyField(record.toUser, to);
    CopyField(record.userInfo.name, from);
    if (!body.empty()) CopyField(record.askText, NextField(body));
    port.Notify(IMN_FRIEND_ASK, &record);
}

void OnFriendReply(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    if (body.empty() || ownId.empty()) return;
    IM_FRIEND_REPLY_DATA shape;
    std::string_view peer = NextField(body);
    std::string_view own = NextField(body);
    std::string_view answer = NextField(body);
    std::string_view replyText = NextField(body);
    if (!FitsField(shape.peer, peer) || !FitsField(shape.user, own) || !IsOwn(own, ownId) || answer.empty()) return;
    DeliverFriendAnswer(own, peer, answer, replyText, IMN_FRIEND_REPLY, port);
}

void OnFriendResult(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    if (body.empty() || ownId.empty()) return;
    IM_FRIEND_REPLY_DATA shape;
    std::string_view own = NextField(body);
    std::string_view peer = NextField(body);
    std::string_view answer = NextField(body);
    std::string_view replyText = NextField(body);
    if (!FitsField(shape.user, own) || !IsOwn(own, ownId) || !FitsField(shape.peer, peer) || answer.empty()) return;
    DeliverFriendAnswer(own, peer, answer, replyText, IMN_FRIEND_RESULT, port);
}

void OnAddBlacklistResult(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    if (body.empty() || ownId.empty()) return;
    auto record = Zeroed<IM_PEER_RESULT>();
    std::string_view own = NextField(body);
    std::string_view peer = NextField(body);
    std::string_view value = NextField(body);
    std::string_view result = NextField(body);
    if (own.empty() || !IsOwn(own, ownId) || !FitsField(record.peer, peer)) return;
    CopyField(record.peer, peer);
    record.value = AtoI(value);
    if (result == "0") {
        record.result = 1;
    } else {
        CopyField(record.message, NextField(body));
    }
    port.Notify(IMN_ADDBL_RESULT, &record);
}

void OnDeleteFriendResult(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    if (body.empty() || ownId.empty()) return;
    auto record = Zeroed<IM_PEER_RESULT>();
    std::string_view own = NextField(body);
    std::string_view peer = NextField(body);
    std::string_view result = NextField(body);
    if (own.empty() || !IsOwn(own, ownId) || !FitsField(record.peer, peer)) return;
    CopyField(record.peer, peer);
    if (result == "0") {
        record.result = 1;
    } else {
        CopyField(record.message, NextField(body));
    }
    port.Notify(IMN_DELFL_RESULT, &record);
}

void OnInvite(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    if (body.empty() || ownId.empty()) return;
    auto record = Zeroed<IM_INVITE_DATA>();
    std::string_view from = NextField(body);
    std::string_view to = NextField(body);
    if (!FitsField(record.fromUser, from) || !FitsField(record.toUser, to) || !IsOwn(to, ownId)) return;
    CopyField(record.fromUser, from);
    CopyField(record.toUser, to);
    port.Notify(IMN_INVITE, &record);
}

void OnStatusChange(std::string_view body, DeliveryPort& port) {
    // Status changes of every user are reported, logged in or not.
    port.DebugLine(texts::kStatusChangeEntry);
    auto record = Zeroed<IM_USER_CHANGESTATUS>();
    std::string_view user = NextField(body);
    std::string_view status = NextField(body);
    std::string_view note = NextField(body);
    if (!FitsField(record.user, user)) return;
    CopyField(record.user, user);
    record.status = AtoI(status);
    CopyField(record.note, note);
    // The fields are joined into the line, never used as a format.
    port.DebugLine(texts::StatusChangeLine(user, status, note));
    port.Notify(IMN_USER_STATUS, &record);
}

void On1V1Ask(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    std::string_view asker, own;
    if (!TakeOtherAndOwn(body, ownId, asker, own)) return;
    auto record = Zeroed<IM_1V1_DATA>();
    CopyField(record.firstUser, asker);
    CopyField(record.secondUser, own);
    CopyField(record.userInfo.name, asker);
    port.Notify(IMN_1V1_ASK, &record);
}

void On1V1Stop(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    std::string_view stopper, own;
    if (!TakeOtherAndOwn(body, ownId, stopper, own)) return;
    auto record = Zeroed<IM_1V1_DATA>();
    CopyField(record.firstUser, own);
    CopyField(record.secondUser, stopper);
    port.Notify(IMN_1V1_STOP, &record);
}

void On1V1Reply(std::string_view body, std::string_view ownId, DeliveryPort& port) {
    if (body.empty() || ownId.empty()) return;
    auto record = Zeroed<IM_1V1_REPLY_DATA>();
    std::string_view peer = NextField(body);
    std::string_view own = NextField(body);
    std::string_view answer = NextField(body);
    if (!FitsField(record.peer, peer) || !FitsField(record.user, own) || !IsOwn(own, ownId) || answer.empty()) return;
    // The text lives in this frame until Notify returns, zero-terminated, so
    // the pointer in the record is valid for exactly the notification.
    const std::string text(NextField(body));
    std::string_view number1 = NextField(body);
    std::string_view number2 = NextField(body);
    CopyField(record.user, own);
    CopyField(record.peer, peer);
    record.agreed = AtoI(answer) == 0 ? 1 : 0;
    record.textPointer = text.c_str();
    record.number1 = AtoI(number1);
    record.number2 = AtoI(number2);
    port.Notify(IMN_1V1_REPLY, &record);
}

}  // namespace vexa::protocol
