// The packet frame: four-digit fields, framing a request, framing a server
// packet, and the check a received server packet passes before dispatch.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "protocol/system_texts.h"

namespace vexa::protocol {
namespace {

using namespace std::string_literals;

TEST(FrameFourDigits, Table) {
    const std::pair<int, const char*> cases[] = {{0, "0000"}, {7, "0007"}, {13, "0013"}, {99, "0099"},
                                                 {9999, "9999"}, {10000, "0000"}, {-1, "9999"}};
    for (const auto& [value, expected] : cases) EXPECT_EQ(FourDigits(value), expected) << value;
}

TEST(FrameRequest, LengthThenBody) {
    EXPECT_EQ(FrameRequest("0007Keepalive"), "00130007Keepalive");
    EXPECT_EQ(FrameRequest("009910001"), "0009009910001");
    EXPECT_EQ(FrameRequest("0044"), "00040044");  // empty payload
    EXPECT_EQ(FrameRequest(""), "0000");
}

TEST(FrameRequest, LongestBodyFitsAndOneMoreIsRefused) {
    const std::string longest = "0003" + std::string(9995, 'x');
    const auto framed = FrameRequest(longest);
    ASSERT_TRUE(framed);
    EXPECT_EQ(framed->substr(0, 8), "99990003");
    EXPECT_EQ(framed->size(), 10003u);
    EXPECT_FALSE(FrameRequest(longest + "x"));
}

TEST(FrameServerPacket, CarriesTheTrailingZero) {
    EXPECT_EQ(FrameServerPacket(2, "0"), "000500020\0"s);
    EXPECT_EQ(FrameServerPacket(45, ""), "00040045\0"s);
    EXPECT_EQ(FrameServerPacket(22, "<over>"), "00100022<over>\0"s);
    EXPECT_FALSE(FrameServerPacket(-1, ""));
    EXPECT_FALSE(FrameServerPacket(10000, ""));
    EXPECT_TRUE(FrameServerPacket(3, std::string(9995, 'a')));
    EXPECT_FALSE(FrameServerPacket(3, std::string(9996, 'a')));
}

struct CheckCase {
    const char* name;
    std::string packet;  // exactly the bytes handed over: size is its length
    PacketCheck check;
    int lengthField;
    int code;
    int payloadLength;
    bool hasPayload;
    std::string payloadText;
};

const CheckCase kCheckCases[] = {
    {"login answer", "000500020\0"s, PacketCheck::Accepted, 5, 2, 1, true, "0"},
    {"code only", "00040045\0"s, PacketCheck::Accepted, 4, 45, 0, false, ""},
    {"payload with a zero inside", "00070002a\0b\0"s, PacketCheck::Accepted, 7, 2, 3, true, "a"},
    {"trailing byte not zero", "000600021xZ"s, PacketCheck::Accepted, 6, 2, 2, true, "1x"},
    {"blank before the length", " 00500020\0"s, PacketCheck::Accepted, 5, 2, 1, true, "0"},
    {"length 1: one code digit", "00017\0"s, PacketCheck::Accepted, 1, 7, -3, false, ""},
    {"length 0: no code", "0000\0"s, PacketCheck::Accepted, 0, 0, -4, false, ""},
    {"code not a number", "0005ab120\0"s, PacketCheck::Accepted, 5, 0, 1, true, "0"},
    {"length too big", "000900020\0"s, PacketCheck::SizeMismatch, 9, 0, 0, false, ""},
    {"length too small", "000300020\0"s, PacketCheck::SizeMismatch, 3, 0, 0, false, ""},
    {"length not a number", "abcd00020\0"s, PacketCheck::SizeMismatch, 0, 0, 0, false, ""},
    {"negative length on four bytes", "-001"s, PacketCheck::SizeMismatch, -1, 0, 0, false, ""},
    {"three bytes", "000"s, PacketCheck::Ignored, 0, 0, 0, false, ""},
};

TEST(FrameCheckServerPacket, Table) {
    for (const auto& c : kCheckCases) {
        // An exactly sized copy, so that any read past the packet is caught by
        // the address sanitizer.
        auto bytes = std::make_unique<char[]>(c.packet.size());
        std::memcpy(bytes.get(), c.packet.data(), c.packet.size());
        ServerPacket packet;
        int lengthField = 0;
        EXPECT_EQ(CheckServerPacket(bytes.get(), static_cast<int>(c.packet.size()), packet, lengthField), c.check)
            << c.name;
        if (c.check == PacketCheck::Ignored) continue;
        EXPECT_EQ(lengthField, c.lengthField) << c.name;
        if (c.check != PacketCheck::Accepted) continue;
        EXPECT_EQ(packet.code, c.code) << c.name;
        EXPECT_EQ(packet.payloadLength, c.payloadLength) << c.name;
        EXPECT_EQ(packet.payload != nullptr, c.hasPayload) << c.name;
        if (c.hasPayload) {
            EXPECT_EQ(packet.payload, bytes.get() + 8) << c.name;
        }
        EXPECT_EQ(packet.payloadText, c.payloadText) << c.name;
    }
}

TEST(FrameCheckServerPacket, NullPacketIsIgnored) {
    ServerPacket packet;
    int lengthField = 0;
    EXPECT_EQ(CheckServerPacket(nullptr, 10, packet, lengthField), PacketCheck::Ignored);
    EXPECT_EQ(CheckServerPacket(std::string_view(), packet, lengthField), PacketCheck::Ignored);
}

TEST(FrameCheckServerPacket, EveryFramedPacketPasses) {
    for (int code : {0, 2, 22, 45, 9999}) {
        for (const std::string& payload : {""s, "0"s, "<user><nickname>\xD5\xC5</nickname></user>"s, std::string(9995, 'p')}) {
            const auto framed = FrameServerPacket(code, payload);
            ASSERT_TRUE(framed);
            ServerPacket packet;
            int lengthField = 0;
            ASSERT_EQ(CheckServerPacket(*framed, packet, lengthField), PacketCheck::Accepted);
            EXPECT_EQ(packet.code, code);
            EXPECT_EQ(packet.payloadLength, static_cast<int>(payload.size()));
            EXPECT_EQ(packet.payloadText, payload);
        }
    }
}

TEST(FrameCheckServerPacket, MismatchMessage) {
    const std::string packet = "000900020\0"s;
    ServerPacket out;
    int lengthField = 0;
    ASSERT_EQ(CheckServerPacket(packet, out, lengthField), PacketCheck::SizeMismatch);
    EXPECT_EQ(texts::BadPacketText(lengthField, static_cast<int>(packet.size()) - 1),
              "\xb7\xc7\xb7\xa8\xca\xfd\xbe\xdd\xb0\xfc:nPageLen:9,nLen:9");
}

}  // namespace
}  // namespace vexa::protocol
