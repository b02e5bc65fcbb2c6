// The texts of user data the server writes into its packets, and the parsers
// of the user data that clients send.
//
// Elements are written in exactly the order the library reads them, since its
// reader consumes the text up to each element it takes: an element out of
// order would be lost.
#pragma once

#include <string>
#include <string_view>

#include "server/store.h"

namespace vexa::server {

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

// A user ID as the server accepts it in account names: 1 to 20 bytes of
// well-formed GBK with no blank, control character, markup or separator.
bool IsValidAccountName(std::string_view name);

// Free text that is put inside an element or a field of someone else's
// packet: well-formed GBK with no control character, no "<" or ">" (which
// would end or open an element) and no "!|!" or "~|~" separator, at most
// maxBytes long.
bool IsSafeText(std::string_view text, std::size_t maxBytes);

// The server's current local time as "%Y%m%d %H:%M:%S" (17 bytes).
std::string ServerTimeText();

}  // namespace vexa::server
