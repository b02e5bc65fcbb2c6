// The result records that share the 284-byte head of IM_LOGIN_RESULT.
#pragma once

#include <string_view>

#include "VexaIMPlusRecords.h"

namespace vexa::protocol {

// result 1: success, all else zero. result 0: the message is copied with its
// NUL when it is shorter than 256 bytes; a longer one leaves it empty.
IM_LOGIN_RESULT MakeLoginResult(int result, std::string_view message);

}  // namespace vexa::protocol
