// The packet inside a shared block: the wire format between the IM program and
// a host program. Portable: both the Win32 relay and the native tests use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vexa::ipc {

// The mapping is one byte larger than the packet area; that byte is never touched.
constexpr std::uint32_t kBlockSize = 8193;
constexpr std::uint32_t kPacketArea = 8192;
constexpr std::uint32_t kHeaderSize = 8;
constexpr std::uint32_t kMaxPayload = kPacketArea - 1 - kHeaderSize;  // 8183
// Announced lengths a reader acts on lie below its limit. The host side
// takes every packet the IM side's sender writes (8..8191), so nothing that
// IM_SendDataToPROM reported as sent is dropped; the IM side's host commands
// are all far shorter, and its reader keeps to 8..2047.
constexpr std::uint32_t kHostReaderLimit = kPacketArea;
constexpr std::uint32_t kIMReaderLimit = 2048;

inline constexpr char kSendBlockName[] = "#IMSENDMAP1#";  // IM program -> host
inline constexpr char kRevBlockName[] = "#IMREVMAP1#";    // host -> IM program

#pragma pack(push, 1)
struct SharedPacketHeader {
    std::uint16_t senderRole;   // host: low 16 bits of its role; IM program: 0
    std::uint16_t command;      // IMCOMMAND or PROGCOMMAND, low 16 bits
    std::uint32_t totalLength;  // payload length + 8
};
#pragma pack(pop)
static_assert(sizeof(SharedPacketHeader) == kHeaderSize, "shared packet header");
static_assert(offsetof(SharedPacketHeader, senderRole) == 0, "senderRole");
static_assert(offsetof(SharedPacketHeader, command) == 2, "command");
static_assert(offsetof(SharedPacketHeader, totalLength) == 4, "totalLength");

// Whether a writer accepts a payload: 1 to 8183 bytes, not null.
inline bool PayloadFits(const void* data, std::uint32_t length) {
    return data != nullptr && length > 0 && length <= kMaxPayload;
}

// Clears the packet area and writes one packet. The caller has checked
// PayloadFits. writeRole is false on the IM side, which leaves the field 0.
void WriteSharedPacket(unsigned char* view, bool writeRole, std::uint16_t role, std::uint16_t command,
                       const void* data, std::uint32_t length);

struct SharedPacketView {
    std::uint16_t senderRole;
    std::uint16_t command;
    const unsigned char* payload;  // offset 8 of the view
    std::uint32_t payloadLength;   // announced length - 8
};

// The packet a reader may act on: the announced length is at least 8, below
// limit (at most kPacketArea) and equal to the header's totalLength. Nothing
// otherwise.
std::optional<SharedPacketView> ReadSharedPacket(const unsigned char* view, std::uint32_t announced,
                                                 std::uint32_t limit);

}  // namespace vexa::ipc
