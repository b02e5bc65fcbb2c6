// The texts of user data the server writes into its packets, and the readers
// of the user data that clients send.
//
// Elements are written in exactly the order the library reads them, since its
// reader consumes the text up to each element it takes: an element out of
// order would be lost. The order of the elements that both ends read is the
// protocol's (protocol/user_records.h).
#pragma once

#include <string>
#include <string_view>

#include "protocol/field_widths.h"
#include "server/store/store.h"

namespace vexa::server {

// A user ID field of a request: 1 to 20 bytes (the width of the library's records).
inline bool IsUserIdField(std::string_view id) { return !id.empty() && id.size() <= protocol::kMaxUserIdBytes; }

// "<user><id>..</id><name>..</name>...<lt>..</lt></user>" with the status the
// others should see (0 while the user is offline).
std::string UserElement(const Profile& profile, int shownStatus);

// "<id>..</id><ms>..</ms><pos0>..</pos0>...<pos3>..</pos3>".
std::string PositionElement(const Position& pos);

// Reads the elements of a position in order: "<id>" and "<pos0>" to "<pos3>"
// are required, "<ms>" is optional. False on a missing element or a text that
// cannot be carried safely.
bool ParsePositionText(std::string_view text, Position& out);

// The fields of a profile change (request 34).
struct ProfileChange {
    std::string nickname, oldpass, newpass, littleword, birthday;
    int afset = 0;
};
bool ParseProfileChange(std::string_view userElement, ProfileChange& out);
// The profile as the answer (35) confirms it. The new password is not
// echoed: the client knows it, and the wire need not carry it twice.
std::string ProfileChangeElement(const ProfileChange& change);

}  // namespace vexa::server
