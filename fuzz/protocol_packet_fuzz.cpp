// One received server packet of any bytes: the check that precedes dispatch,
// then the payload read the way the handlers read it. The packet sits in a
// buffer of exactly its size, so any read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "fuzz/protocol_fuzz_support.h"
#include "protocol/frame.h"
#include "protocol/style.h"
#include "protocol/text.h"

using namespace vexa;

namespace {

// The handlers' way through a payload: fields, then elements, then a list.
void ReadLikeTheHandlers(std::string_view payload) {
    std::string_view fields = payload;
    for (int i = 0; i < 6; ++i) {
        std::string_view field = text::TakeField(fields, "!|!");
        std::string_view copy = field;
        (void)text::TakeBetween(copy, "<id>", "</id>");
        (void)text::TakeBetween(copy, "<ms>", "</ms>");
        std::string_view style = text::TakeBetween(copy, "<imzt>", "</imzt>");
        IM_CHARFORMAT format;
        protocol::TextToStyle(style, format);
        std::string_view file = text::TakeBetween(copy, "<file>", "</file>");
        for (int item = 0; item < 5; ++item) (void)text::AtoI(text::TakeField(file, "~|~"));
    }
    std::string_view list = payload;
    std::size_t users = 0;
    for (std::string_view user; !(user = text::TakeBetween(list, "<user>", "</user>")).empty(); ++users) {
        std::string_view copy = user;
        (void)text::TakeBetween(copy, "<nickname>", "</nickname>");
        (void)text::TakeBetween(copy, "<littleword>", "</littleword>");
        fuzz::Require(users <= payload.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 20000) return 0;
    auto packet = std::make_unique<char[]>(size ? size : 1);
    if (size) std::memcpy(packet.get(), data, size);
    protocol::ServerPacket out;
    int lengthField = 0;
    const protocol::PacketCheck check = protocol::CheckServerPacket(packet.get(), static_cast<int>(size), out, lengthField);
    if (check != protocol::PacketCheck::Accepted) return 0;

    fuzz::Require(lengthField == static_cast<int>(size) - 5);
    fuzz::Require(out.payloadLength == lengthField - 4);
    fuzz::Require((out.payload != nullptr) == (out.payloadLength > 0));
    fuzz::Require(out.code >= -999 && out.code <= 9999);
    if (out.payload) {
        fuzz::Require(out.payload == packet.get() + 8);
        fuzz::Require(out.payloadText.data() == out.payload);
        fuzz::Require(out.payloadText.size() <= static_cast<std::size_t>(out.payloadLength));
        fuzz::Require(out.payloadText.find('\0') == std::string_view::npos);
    } else {
        fuzz::Require(out.payloadText.empty());
    }
    ReadLikeTheHandlers(out.payloadText);

    // A packet framed again from what was read passes the check unchanged.
    if (out.code >= 0) {
        const auto again = protocol::FrameServerPacket(out.code, out.payloadText);
        fuzz::Require(again.has_value());
        protocol::ServerPacket back;
        int backLength = 0;
        fuzz::Require(protocol::CheckServerPacket(*again, back, backLength) == protocol::PacketCheck::Accepted);
        fuzz::Require(back.code == out.code && back.payloadText == out.payloadText);
    }
    return 0;
}
