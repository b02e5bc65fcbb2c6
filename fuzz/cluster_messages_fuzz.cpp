// What another node sends over NATS: any bytes through every decoder of the
// cluster's messages. What a decoder takes must encode back to the same
// bytes (the format has one spelling per message), so nothing loose is read.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/cluster/messages.h"

using namespace vexa::server::cluster;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (auto m = Decode(bytes); m && Encode(*m) != bytes) std::abort();
    if (auto a = DecodeAnswers(bytes); a && EncodeAnswers(*a) != bytes) std::abort();
    if (auto s = DecodeSnapshot(bytes); s && EncodeSnapshot(*s) != bytes) std::abort();
    if (auto b = DecodeChatBatch(bytes); b && EncodeChatBatch(*b) != bytes) std::abort();
    for (const auto& user : DecodeOnlineList(bytes))
        if (user.account <= 0) std::abort();
    (void)AccountOf(bytes);
    (void)ReplyTargetOf(bytes);
    return 0;
}
