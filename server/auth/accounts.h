// Account rules and account work: what a user ID and a text that others see
// may be, new accounts, friendships and the demo accounts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "server/store/store.h"

namespace vexa::server {

// A user ID as the server accepts it in account names: 1 to 20 bytes of
// well-formed GBK with no blank, control character, markup or separator.
bool IsValidAccountName(std::string_view name);

// Free text that is put inside an element or a field of someone else's
// packet: well-formed GBK with no control character, no "<" or ">" (which
// would end or open an element) and no "!|!" or "~|~" separator, at most
// maxBytes long.
bool IsSafeText(std::string_view text, std::size_t maxBytes);

enum class AccountResult { Created, Exists, BadName, BadPassword, HashFailed };

// Password: 1 to 19 bytes (what the library's login record can carry).
AccountResult CreateAccount(Store& store, std::string_view name, std::string_view password,
                            std::string_view nickname);
enum class PasswordResult { Set, BadPassword, HashFailed };

// A new password (1 to 19 bytes) for an existing account, in force at its next login.
PasswordResult SetPassword(Store& store, std::int64_t id, std::string_view password);

// False when either account is unknown or both are the same.
bool MakeFriends(Store& store, std::string_view a, std::string_view b);

// The demo accounts (created only when missing, so seeding twice is harmless):
//   10001 alice  password "alice123"  nickname 爱丽丝
//   10002 bob    password "bob123"    nickname 鲍勃
//   10003 carol  password "carol123"  nickname 卡罗尔
// alice is friends with bob and with carol; bob and carol are not friends.
// Returns how many accounts were created.
int SeedDemo(Store& store);

}  // namespace vexa::server
