#include "protocol/login_result.h"

#include <cstring>

namespace vexa::protocol {

IM_LOGIN_RESULT MakeLoginResult(int result, std::string_view message) {
    IM_LOGIN_RESULT record;
    std::memset(&record, 0, sizeof record);
    record.result = result;
    if (result == 0 && !message.empty() && message.size() < sizeof record.message) std::memcpy(record.message, message.data(), message.size());
    return record;
}

}  // namespace vexa::protocol
