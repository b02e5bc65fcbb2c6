// Incoming server packets on the IM side: checking a complete packet,
// choosing its handler, and turning its payload into the fixed-size record
// that the IM program's window receives.
//
// The handlers never see a window or a socket. They hand (kind, record) to a
// DeliveryPort: the Win32 side sends WM_IMPLUS_NOTIFY, tests and the fuzz
// target record or check what arrives. Every record is built in the handler's
// own storage and is valid only during the Notify call.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "VexaIMPlusRecords.h"

namespace vexa::protocol {

class DeliveryPort {
public:
    virtual ~DeliveryPort() = default;
    // Synchronous WM_IMPLUS_NOTIFY to the own window; lParam = address (record, list object); returns the answer.
    virtual long Notify(int kind, const void* lParam) = 0;
    // Posted WM_IMPLUS_NOTIFY with a small lParam (kind 23 with 0).
    virtual void Post(int kind, long lParam) = 0;
    // A framed request to queue on the socket (request 44 after a successful login).
    virtual void SendRequest(const std::string& framedRequest) = 0;
    // Modal message box with an OK button (GBK text).
    virtual void ShowMessage(const std::string& gbkText) = 0;
    // One line to the debugger output (GBK text).
    virtual void DebugLine(const std::string& gbkText) = 0;
    // Current local time formatted "%Y%m%d %H:%M:%S" (17 chars); injectable for tests.
    virtual std::string LocalTimeText() = 0;
};

// One complete packet as the socket delivers it: from the first length digit,
// size counting the trailing byte. A size that disagrees with the length field
// is dropped with the bad-packet message box.
void HandleServerPacket(const char* packet, int size, std::string_view ownId, DeliveryPort& port);

// payload: the bytes after the code (null when there are none); length: their
// number. The payload is read as text up to its first zero byte, but never
// beyond length, so a packet whose trailing byte is not zero is still read
// within its own bounds. Unknown codes are ignored.
void DispatchServerPacket(int code, const char* payload, int length, std::string_view ownId, DeliveryPort& port);

// The payload as the handlers read it: up to the first zero byte within length.
std::string_view PayloadText(const char* payload, int length);

// The handlers, one per code. body is the payload text; ownId the logged-in
// user's id (empty before the first login).
void OnLoginAnswer(std::string_view body, std::string_view ownId, DeliveryPort& port);          // 2
void OnChatMessage(std::string_view body, DeliveryPort& port);                                 // 3
void OnFriendAsk(std::string_view body, std::string_view ownId, DeliveryPort& port);            // 23
void OnFriendReply(std::string_view body, std::string_view ownId, DeliveryPort& port);          // 24
void OnAddBlacklistResult(std::string_view body, std::string_view ownId, DeliveryPort& port);   // 26
void OnDeleteFriendResult(std::string_view body, std::string_view ownId, DeliveryPort& port);   // 30
void OnInvite(std::string_view body, std::string_view ownId, DeliveryPort& port);               // 31
void OnStatusChange(std::string_view body, DeliveryPort& port);                                // 32
void OnFriendResult(std::string_view body, std::string_view ownId, DeliveryPort& port);         // 38
void On1V1Ask(std::string_view body, std::string_view ownId, DeliveryPort& port);               // 40
void On1V1Reply(std::string_view body, std::string_view ownId, DeliveryPort& port);             // 42
void On1V1Stop(std::string_view body, std::string_view ownId, DeliveryPort& port);              // 43

// A user id, account name or text fits a char[N] field when it has 1 to N-1
// bytes: the field then always keeps its terminating zero.
template <std::size_t N>
bool FitsField(const char (&)[N], std::string_view text) {
    return !text.empty() && text.size() < N;
}

// Copies text with its terminating zero when it fits; otherwise the field is
// left as it is (zero in a fresh record). Returns whether it was copied.
template <std::size_t N>
bool CopyField(char (&field)[N], std::string_view text) {
    if (!FitsField(field, text)) return false;
    std::memcpy(field, text.data(), text.size());
    field[text.size()] = '\0';
    return true;
}

}  // namespace vexa::protocol
