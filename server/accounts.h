// Account administration from the command line: new accounts, friendships
// and the demo accounts.
#pragma once

#include <string>
#include <string_view>

#include "server/store.h"

namespace vexa::server {

enum class AccountResult { Created, Exists, BadName, BadPassword, HashFailed };

// Password: 1 to 19 bytes (what the library's login record can carry).
AccountResult CreateAccount(Store& store, std::string_view name, std::string_view password,
                            std::string_view nickname);
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
