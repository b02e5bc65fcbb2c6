// The packet frame between the library and the IM server, for both ends.
//
// Client to server: four decimal digits (code plus payload length), four
// digits of code, the payload; nothing after it. Server to client: the same
// and one trailing byte (zero) that the length does not count. A length
// field is read the way the runtime's atoi reads it (leading blanks and a
// sign allowed, reading stops at the first non-digit); a value below 1 is no
// length, its four bytes are dropped and the next byte starts a new field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace vexa::protocol {

constexpr int kMaxFrameLength = 9999;   // four decimal digits
constexpr std::size_t kLengthFieldSize = 4;
constexpr std::size_t kCodeSize = 4;
constexpr std::size_t kFrameHeadSize = kLengthFieldSize + kCodeSize;
constexpr std::size_t kTrailerSize = 1;  // the zero after a server packet's payload
constexpr std::size_t kMaxPayloadSize = static_cast<std::size_t>(kMaxFrameLength) - kCodeSize;
constexpr std::size_t kMaxServerPacketSize = kLengthFieldSize + static_cast<std::size_t>(kMaxFrameLength) + kTrailerSize;
constexpr int kSeparatorLength = 3;
inline constexpr char kFieldSeparator[] = "!|!";
inline constexpr char kFileSeparator[] = "~|~";

// The bytes a server packet with a payload of this size takes on the wire.
constexpr std::size_t ServerPacketSize(std::size_t payloadSize) { return kFrameHeadSize + payloadSize + kTrailerSize; }

// "%4.4d" of a value 0..9999.
std::string FourDigits(int value);

// body = code as four digits followed by the fields. The framed request is the
// body's length as four digits and the body. A body longer than 9999 bytes
// does not fit the length field and is refused (nullopt), never cut.
std::optional<std::string> FrameRequest(std::string_view body);

// A server packet: length, code, payload and the trailing zero byte. Used by
// the reference server and by tests. Refused when the payload is too long.
std::optional<std::string> FrameServerPacket(int code, std::string_view payload);

// The payload of a packet that FrameServerPacket made.
inline std::string_view ServerPacketPayload(std::string_view framed) {
    return framed.substr(kFrameHeadSize, framed.size() - kFrameHeadSize - kTrailerSize);
}

// Fields joined by the field separator.
std::string JoinFields(std::initializer_list<std::string_view> fields);

// Who wrote a frame: the server's frames carry the trailing byte.
enum class FrameSender { Client, Server };

// Cuts a byte stream into whole frames and never takes a byte of the next
// one: the caller reads at most Wanted() bytes to Space() and commits them.
// Wanted() is what the length field still lacks, then the rest of the frame,
// which is assembled in a buffer of exactly its size. So at most one frame
// (10004 bytes at most) is ever held, whatever arrives. The library's packet
// socket, the server's request reader and the test clients all cut here.
class FrameCutter {
public:
    enum class Step {
        More,      // the frame in progress wants more bytes
        Frame,     // a whole frame is in: Take it
        NoLength,  // four bytes that were no length were dropped
    };

    explicit FrameCutter(FrameSender sender) : sender_(sender) { Reset(); }

    std::size_t Wanted() const { return frame_.size() - filled_; }
    char* Space() { return frame_.data() + filled_; }
    // n bytes (at most Wanted()) were written at Space().
    Step Commit(std::size_t n);
    // For a caller that has the bytes already: takes as many of them as the
    // frame in progress wants, advancing data and size past them.
    Step Feed(const char*& data, std::size_t& size);
    // After Step::Frame: the frame from its first length character; the
    // cutter goes on with the next one.
    std::string Take();
    // Drops the frame in progress.
    void Reset();
    // Bytes of the frame in progress.
    std::size_t Buffered() const { return filled_; }

private:
    FrameSender sender_;
    std::string frame_;       // the length field, then, once it is read, the whole frame
    std::size_t filled_ = 0;  // bytes of frame_ that arrived
};

// A request's code and payload. False for a frame too short for a code (1 to
// 3 bytes after the length field), which is read and thrown away. The
// payload is text: what follows a zero byte in it is noise.
bool ReadRequestFrame(std::string_view frame, int& code, std::string_view& payload);

// The server's side of the stream: requests cut and read as above.
class RequestReader {
public:
    // Called for each complete request. Returning false stops the feed
    // right after this request, so a caller can hold the rest back while an
    // earlier request is still being served.
    struct Sink {
        virtual ~Sink() = default;
        virtual bool OnRequest(int code, std::string_view payload) = 0;
    };

    // Consumes bytes until they are used up or the sink asks to stop; returns
    // how many were consumed.
    std::size_t Feed(const char* data, std::size_t size, Sink& sink);

    // Bytes of the frame in progress (the per-connection memory bound).
    std::size_t Buffered() const { return cutter_.Buffered(); }
    // Length fields below 1 and frames too short for a code, since the start.
    std::uint64_t Discarded() const { return discarded_; }

private:
    FrameCutter cutter_{FrameSender::Client};
    std::uint64_t discarded_ = 0;
};

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
