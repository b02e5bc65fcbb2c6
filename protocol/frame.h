// The packet frame between the library and the IM server.
//
// Client to server: four decimal digits (code plus payload length), four
// digits of code, the payload; nothing after it. Server to client: the same
// and one trailing byte (zero) that the length does not count.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexa::protocol {

constexpr int kMaxFrameLength = 9999;   // four decimal digits
constexpr int kSeparatorLength = 3;
inline constexpr char kFieldSeparator[] = "!|!";
inline constexpr char kFileSeparator[] = "~|~";

// "%4.4d" of a value 0..9999.
std::string FourDigits(int value);

// body = code as four digits followed by the fields. The framed request is the
// body's length as four digits and the body. A body longer than 9999 bytes
// does not fit the length field and is refused (nullopt), never cut.
std::optional<std::string> FrameRequest(std::string_view body);

// A server packet: length, code, payload and the trailing zero byte. Used by
// the reference server and by tests. Refused when the payload is too long.
std::optional<std::string> FrameServerPacket(int code, std::string_view payload);

// One complete packet from the server, checked against its own length field.
struct ServerPacket {
    int code = 0;
    const char* payload = nullptr;  // offset 8; null when empty
    int payloadLength = 0;          // length - 4
    // The payload as the handlers read it: up to its first zero byte and never
    // past the packet. The server is expected to put a zero in the trailing
    // byte, but a hostile one may not, so handlers read this rather than
    // trusting payload to be zero-terminated.
    std::string_view payloadText;
};

enum class PacketCheck {
    Accepted,      // packet filled in
    Ignored,       // null or shorter than four bytes: nothing to do
    SizeMismatch,  // the length field does not match the size: dropped with a message
};

// packet: the bytes from the first length character; size: length + 5 with the
// trailing byte. On SizeMismatch, lengthField holds the value read, and the
// message "非法数据包:nPageLen:<length>,nLen:<size - 1>" is due
// (texts::BadPacketText(lengthField, size - 1)). A negative length field can
// describe no packet and is a mismatch as well. Never reads outside
// [packet, packet + size).
PacketCheck CheckServerPacket(const char* packet, int size, ServerPacket& out, int& lengthField);

// The same check over a counted buffer, for callers that hold the packet as
// a string (tests, the reference server).
PacketCheck CheckServerPacket(std::string_view packet, ServerPacket& out, int& lengthField);

}  // namespace vexa::protocol
