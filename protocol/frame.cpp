#include "protocol/frame.h"

#include "protocol/text.h"

namespace vexa::protocol {

std::string FourDigits(int value) {
    // Callers pass 0..9999; anything else is kept within four digits rather
    // than producing a field of another width.
    if (value < 0 || value > 9999) value = ((value % 10000) + 10000) % 10000;
    char digits[4];
    for (int i = 3; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return std::string(digits, 4);
}

std::optional<std::string> FrameRequest(std::string_view body) {
    if (body.size() > static_cast<std::size_t>(kMaxFrameLength)) return std::nullopt;
    std::string framed = FourDigits(static_cast<int>(body.size()));
    framed.append(body);
    return framed;
}

std::optional<std::string> FrameServerPacket(int code, std::string_view payload) {
    if (code < 0 || code > 9999 || payload.size() > static_cast<std::size_t>(kMaxFrameLength - 4))
        return std::nullopt;
    std::string framed = FourDigits(static_cast<int>(payload.size() + 4));
    framed.append(FourDigits(code)).append(payload);
    framed.push_back('\0');
    return framed;
}

PacketCheck CheckServerPacket(const char* packet, int size, ServerPacket& out, int& lengthField) {
    out = ServerPacket{};
    if (!packet || size < 4) return PacketCheck::Ignored;
    lengthField = text::AtoI(std::string_view(packet, 4));
    // With size 4 a length field of -1 would match size - 5, yet there is no
    // byte after it to read a code from: such a packet is refused too.
    if (lengthField < 0 || lengthField != size - 5) return PacketCheck::SizeMismatch;
    // A length of 1 to 3 carries no complete code: the digits that are there
    // are read, the missing ones are not (the trailing zero stops the reading).
    std::string_view codeText(packet + 4, static_cast<std::size_t>(lengthField < 4 ? lengthField : 4));
    out.code = text::AtoI(codeText);
    out.payloadLength = lengthField - 4;
    if (out.payloadLength > 0) {
        out.payload = packet + 8;
        out.payloadText = text::UpToNul(std::string_view(out.payload, static_cast<std::size_t>(out.payloadLength)));
    }
    return PacketCheck::Accepted;
}

PacketCheck CheckServerPacket(std::string_view packet, ServerPacket& out, int& lengthField) {
    // Larger than any packet can be; keeps the size within int.
    if (packet.size() > static_cast<std::size_t>(kMaxFrameLength) + 5 + 1) {
        out = ServerPacket{};
        lengthField = packet.size() >= 4 ? text::AtoI(packet.substr(0, 4)) : 0;
        return PacketCheck::SizeMismatch;
    }
    return CheckServerPacket(packet.data(), static_cast<int>(packet.size()), out, lengthField);
}

}  // namespace vexa::protocol
