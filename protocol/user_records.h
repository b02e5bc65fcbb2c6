// User and friend records from the server's element bodies: the friend list
// batch (code 22), a user's position (33), the change-user-info reply (35),
// the user-information reply (37) and the list that answers request 44 (45).
//
// Each parser reads its elements in one fixed order; every element read cuts
// the working text after its close marker, so an element standing before one
// already read is no longer found and a missing one leaves the text as it was.
#pragma once

#include <string_view>
#include <vector>

#include "VexaIMPlusRecords.h"
#include "protocol/incoming.h"

namespace vexa::protocol {

// The elements of a position ("<id>", "<ms>", "<pos0>".."<pos3>"), read in
// the order both ends write them. Stops at the first of id and the four
// numbers that is missing or empty (false); what was read stays in out,
// numbers counting the numbers read.
struct PositionElements {
    std::string_view id, ms;
    std::string_view pos[4];
    int numbers = 0;
};
bool TakePositionElements(std::string_view body, PositionElements& out);

// The elements of a profile change, read in the order they are written:
// "<nickname>", "<oldpass>" (in the request only: withOldPassword),
// "<newpass>", "<littleword>", "<brithday>", "<afset>"; empty where absent.
struct ProfileElements {
    std::string_view nickname, oldpass, newpass, littleword, birthday, afset;
};
ProfileElements TakeProfileElements(std::string_view body, bool withOldPassword);

// The text of one "<user>" element into a zeroed record. False when the id is
// missing or not above 0, or the name is missing or longer than 20 bytes; the
// fields read before the failure stay filled, so callers discard the record.
bool ParseUserInfo(std::string_view body, IM_USER_INFO& user);

// "<id>", "<ms>", "<pos0>".."<pos3>" into a zeroed record (user stays as it
// is). False when the id or one of the four numbers is missing.
bool ParsePosition(std::string_view body, IM_USER_POSITION& position);

// The "<user>" element of a code-35 reply. False at the first required field
// that is missing or too long; the later fields stay zero.
bool ParseChangeData(std::string_view body, IM_USERCHANGEDATA& data);

// Splits at separator. A piece that would be empty (no separator left, or the
// rest begins with one) ends the split with the whole rest as its last piece:
// "a!|!b!|!" gives a, b; "a!|!!|!b" gives a, "!|!b". Always one piece or more.
std::vector<std::string_view> SplitToArray(std::string_view text, std::string_view separator);

// The handlers; each delivers at most one notification.
void OnFriendList(std::string_view body, DeliveryPort& port);                             // 22 -> kind 2
void OnUserPosition(std::string_view body, DeliveryPort& port);                           // 33 -> kind 21
void OnChangeInfoResult(std::string_view body, DeliveryPort& port);                       // 35 -> kind 19
void OnUserInfoResult(std::string_view body, DeliveryPort& port);                         // 37 -> kind 20
void OnSendAskList(std::string_view body, std::string_view ownId, DeliveryPort& port);    // 45 -> kind 14

}  // namespace vexa::protocol
