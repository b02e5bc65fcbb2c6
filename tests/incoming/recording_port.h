// A DeliveryPort that keeps a copy of everything the handlers deliver, and
// the check that every record obeys the layout rules: each character field
// NUL-terminated within its width with zeros behind the text, padding zero.
// Shared by the tests and the fuzz target.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "VexaIMPlusRecords.h"
#include "tools/describe.h"
#include "protocol/incoming.h"

namespace vexa::testing {

// Empty when every byte after the first NUL is zero and a NUL exists.
template <std::size_t N>
inline std::string FieldFault(const char (&field)[N], const char* name) {
    const void* nul = std::memchr(field, 0, N);
    if (!nul) return std::string(name) + " not terminated";
    for (auto* p = static_cast<const char*>(nul); p < field + N; ++p)
        if (*p) return std::string(name) + " has bytes after its terminator";
    return {};
}

template <std::size_t N>
inline std::string ZeroFault(const uint8_t (&bytes)[N], const char* name) {
    for (uint8_t b : bytes)
        if (b) return std::string(name) + " not zero";
    return {};
}

#define VEXA_CHECK_TEXT(record, field) \
    if (auto f = FieldFault((record).field, #field); !f.empty()) return f
#define VEXA_CHECK_ZERO(record, field) \
    if (auto f = ZeroFault((record).field, #field); !f.empty()) return f

inline std::string PositionFault(const IM_USER_POSITION& r) {
    VEXA_CHECK_TEXT(r, user);
    VEXA_CHECK_TEXT(r, ms);
    VEXA_CHECK_ZERO(r, padding);
    return {};
}

inline std::string UserFault(const IM_USER_INFO& r) {
    VEXA_CHECK_TEXT(r, name);
    VEXA_CHECK_TEXT(r, nickname);
    VEXA_CHECK_TEXT(r, littleword);
    VEXA_CHECK_TEXT(r, birthday);
    VEXA_CHECK_TEXT(r, photo);
    VEXA_CHECK_ZERO(r, padding1);
    VEXA_CHECK_ZERO(r, padding2);
    if (r.sex > 1 || r.vp > 1 || r.lt > 1) return "flag not 0 or 1";
    // The nickname field is 41 bytes wide but never holds more than 20.
    if (std::strlen(r.nickname) > 20) return "nickname longer than 20 bytes";
    return PositionFault(r.pos);
}

inline std::string FileFault(const IM_FILE_INFO& r) {
    VEXA_CHECK_TEXT(r, text1);
    VEXA_CHECK_TEXT(r, text2);
    VEXA_CHECK_TEXT(r, text3);
    return {};
}

inline std::string ChangeDataFault(const IM_USERCHANGEDATA& r) {
    VEXA_CHECK_TEXT(r, user);
    VEXA_CHECK_TEXT(r, nickname);
    VEXA_CHECK_TEXT(r, oldpass);
    VEXA_CHECK_TEXT(r, newpass);
    VEXA_CHECK_TEXT(r, littleword);
    VEXA_CHECK_TEXT(r, birthday);
    if (r.padding) return "padding not zero";
    return {};
}

// The layout rules of the record delivered with kind; empty when they hold.
inline std::string RecordFault(int kind, const void* lParam) {
    if (!lParam) return "null record";
    switch (kind) {
        case IMN_LOGIN_RESULT: {
            auto& r = *static_cast<const IM_LOGIN_RESULT*>(lParam);
            VEXA_CHECK_ZERO(r, reserved);
            VEXA_CHECK_TEXT(r, message);
            if (r.result != 0 && r.result != 1) return "result not 0 or 1";
            return {};
        }
        case IMN_FRIEND_LIST: {
            auto& r = *static_cast<const IM_FRIENDLIST_DATA*>(lParam);
            if (r.count < 1 || !r.users) return "empty friend list delivered";
            for (int32_t i = 0; i < r.count; ++i) {
                if (r.users[i].id <= 0) return "user id not above 0";
                if (r.users[i].name[0] == 0 || r.users[i].nickname[0] == 0) return "user without name or nickname";
                if (auto f = UserFault(r.users[i]); !f.empty()) return "user " + std::to_string(i) + ": " + f;
            }
            return {};
        }
        case IMN_CHAT_MESSAGE: {
            auto& r = *static_cast<const IM_CHAT_DATA*>(lParam);
            VEXA_CHECK_TEXT(r, peer);
            VEXA_CHECK_TEXT(r, time);
            VEXA_CHECK_ZERO(r, padding);
            VEXA_CHECK_TEXT(r, content);
            VEXA_CHECK_TEXT(r.format, szFaceName);
            VEXA_CHECK_ZERO(r.format, padding);
            if (r.contentLength < 1 || static_cast<std::size_t>(r.contentLength) != std::strlen(r.content))
                return "contentLength does not match content";
            const IM_FILE_INFO zeroFile{};
            if (std::memcmp(&r.file, &zeroFile, sizeof zeroFile) != 0) return "file not zero in a chat message";
            return {};
        }
        case IMN_FRIEND_ASK: {
            auto& r = *static_cast<const IM_FRIEND_ASK_DATA*>(lParam);
            VEXA_CHECK_TEXT(r, fromUser);
            VEXA_CHECK_TEXT(r, toUser);
            VEXA_CHECK_TEXT(r, askText);
            VEXA_CHECK_ZERO(r, padding);
            return UserFault(r.userInfo);
        }
        case IMN_FRIEND_REPLY:
        case IMN_FRIEND_RESULT: {
            auto& r = *static_cast<const IM_FRIEND_REPLY_DATA*>(lParam);
            VEXA_CHECK_TEXT(r, user);
            VEXA_CHECK_TEXT(r, peer);
            VEXA_CHECK_ZERO(r, padding);
            VEXA_CHECK_TEXT(r, replyText);
            if (r.agreed != 0 && r.agreed != 1) return "agreed not 0 or 1";
            return {};
        }
        case IMN_1V1_ASK:
        case IMN_1V1_STOP: {
            auto& r = *static_cast<const IM_1V1_DATA*>(lParam);
            VEXA_CHECK_TEXT(r, firstUser);
            VEXA_CHECK_TEXT(r, secondUser);
            VEXA_CHECK_ZERO(r, padding);
            return UserFault(r.userInfo);
        }
        case IMN_1V1_REPLY: {
            auto& r = *static_cast<const IM_1V1_REPLY_DATA*>(lParam);
            VEXA_CHECK_TEXT(r, user);
            VEXA_CHECK_TEXT(r, peer);
            VEXA_CHECK_ZERO(r, padding);
            if (!r.textPointer) return "textPointer null";
            (void)std::strlen(r.textPointer);  // must be readable and terminated (ASan checks)
            return {};
        }
        case IMN_SENDASK_LIST: {
            auto& r = *static_cast<const IM_SENDASK_LIST*>(lParam);
            if (!r.vtable || r.count < 1 || !r.items || r.allocated < r.count) return "list object malformed";
            for (int32_t i = 0; i < r.count; ++i)
                if (auto f = FieldFault(r.items[i].text, "item text"); !f.empty()) return f;
            return {};
        }
        case IMN_FILE_ASK: {
            auto& r = *static_cast<const IM_FILE_ASK_DATA*>(lParam);
            VEXA_CHECK_ZERO(r, reserved);
            VEXA_CHECK_TEXT(r, fromUser);
            VEXA_CHECK_TEXT(r, toUser);
            VEXA_CHECK_ZERO(r, padding);
            if (r.fromUser[0] == 0 || r.toUser[0] != 0) return "file offer users wrong";
            return FileFault(r.file);
        }
        case IMN_ADDBL_RESULT:
        case IMN_DELFL_RESULT: {
            auto& r = *static_cast<const IM_PEER_RESULT*>(lParam);
            VEXA_CHECK_TEXT(r, peer);
            VEXA_CHECK_TEXT(r, message);
            if (r.result == 1 && r.message[0]) return "message on success";
            return {};
        }
        case IMN_INVITE: {
            auto& r = *static_cast<const IM_INVITE_DATA*>(lParam);
            VEXA_CHECK_TEXT(r, fromUser);
            VEXA_CHECK_TEXT(r, toUser);
            return {};
        }
        case IMN_CHANGEINFO_RESULT: {
            auto& r = *static_cast<const IM_CHANGEINFO_RESULT*>(lParam);
            VEXA_CHECK_ZERO(r, reserved);
            VEXA_CHECK_TEXT(r, message);
            return ChangeDataFault(r.data);
        }
        case IMN_USERINFO_RESULT: {
            auto& r = *static_cast<const IM_USERINFO_RESULT*>(lParam);
            VEXA_CHECK_ZERO(r, reserved);
            VEXA_CHECK_TEXT(r, message);
            return UserFault(r.user);
        }
        case IMN_USER_POSITION:
            return PositionFault(*static_cast<const IM_USER_POSITION*>(lParam));
        case IMN_USER_STATUS: {
            auto& r = *static_cast<const IM_USER_CHANGESTATUS*>(lParam);
            VEXA_CHECK_TEXT(r, user);
            VEXA_CHECK_ZERO(r, padding);
            VEXA_CHECK_TEXT(r, note);
            return {};
        }
        default:
            return "kind " + std::to_string(kind) + " is not delivered by the incoming handlers";
    }
}

#undef VEXA_CHECK_TEXT
#undef VEXA_CHECK_ZERO

// One delivery as the IM window would have seen it, copied while it was valid.
struct Delivery {
    int kind = 0;
    bool posted = false;
    long postedValue = 0;
    std::string bytes;                     // the record itself
    std::vector<IM_USER_INFO> users;       // kind 2: the array behind the record
    std::string replyText;                 // kind 11: the text behind textPointer
    std::vector<IM_SENDASK_ITEM> items;    // kind 14: the entries behind the object
    std::string description;               // DescribeNotification while valid
    std::string fault;                     // RecordFault while valid

    template <typename Record>
    Record As() const {
        Record record;
        std::memset(&record, 0, sizeof record);
        std::memcpy(&record, bytes.data(), bytes.size() < sizeof record ? bytes.size() : sizeof record);
        return record;
    }
};

inline std::size_t RecordSize(int kind) {
    switch (kind) {
        case IMN_LOGIN_RESULT: return sizeof(IM_LOGIN_RESULT);
        case IMN_FRIEND_LIST: return sizeof(IM_FRIENDLIST_DATA);
        case IMN_CHAT_MESSAGE: return sizeof(IM_CHAT_DATA);
        case IMN_FRIEND_ASK: return sizeof(IM_FRIEND_ASK_DATA);
        case IMN_FRIEND_REPLY:
        case IMN_FRIEND_RESULT: return sizeof(IM_FRIEND_REPLY_DATA);
        case IMN_1V1_ASK:
        case IMN_1V1_STOP: return sizeof(IM_1V1_DATA);
        case IMN_1V1_REPLY: return sizeof(IM_1V1_REPLY_DATA);
        case IMN_SENDASK_LIST: return sizeof(IM_SENDASK_LIST);
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

class RecordingPort : public protocol::DeliveryPort {
public:
    std::vector<Delivery> deliveries;
    std::vector<std::string> requests;
    std::vector<std::string> messages;
    std::vector<std::string> debugLines;
    std::string localTime = "20240131 23:59:58";
    long answer = 0;

    long Notify(int kind, const void* lParam) override {
        Delivery d;
        d.kind = kind;
        d.fault = RecordFault(kind, lParam);
        d.description = demo::DescribeNotification(kind, lParam);
        if (lParam) {
            d.bytes.assign(static_cast<const char*>(lParam), RecordSize(kind));
            if (kind == IMN_FRIEND_LIST) {
                auto& r = *static_cast<const IM_FRIENDLIST_DATA*>(lParam);
                if (r.users && r.count > 0) d.users.assign(r.users, r.users + r.count);
            } else if (kind == IMN_1V1_REPLY) {
                auto& r = *static_cast<const IM_1V1_REPLY_DATA*>(lParam);
                if (r.textPointer) d.replyText = r.textPointer;
            } else if (kind == IMN_SENDASK_LIST) {
                auto& r = *static_cast<const IM_SENDASK_LIST*>(lParam);
                if (r.items && r.count > 0) d.items.assign(r.items, r.items + r.count);
            }
        }
        deliveries.push_back(std::move(d));
        return answer;
    }
    void Post(int kind, long lParam) override {
        Delivery d;
        d.kind = kind;
        d.posted = true;
        d.postedValue = lParam;
        deliveries.push_back(std::move(d));
    }
    void SendRequest(const std::string& framedRequest) override { requests.push_back(framedRequest); }
    void ShowMessage(const std::string& gbkText) override { messages.push_back(gbkText); }
    void DebugLine(const std::string& gbkText) override { debugLines.push_back(gbkText); }
    std::string LocalTimeText() override { return localTime; }
};

}  // namespace vexa::testing
