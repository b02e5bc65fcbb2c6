#include "ipc/shared_packet.h"

#include <cstring>

namespace vexa::ipc {

void WriteSharedPacket(unsigned char* view, bool writeRole, std::uint16_t role, std::uint16_t command,
                       const void* data, std::uint32_t length) {
    // The reader sees zeros behind a short packet, never the tail of a longer one.
    std::memset(view, 0, kPacketArea);
    SharedPacketHeader header{};
    header.senderRole = writeRole ? role : 0;
    header.command = command;
    header.totalLength = length + kHeaderSize;
    std::memcpy(view, &header, sizeof header);
    std::memcpy(view + kHeaderSize, data, length);
}

std::optional<SharedPacketView> ReadSharedPacket(const unsigned char* view, std::uint32_t announced,
                                                 std::uint32_t limit) {
    // Never past the packet area, whatever limit a caller names.
    if (limit > kPacketArea) limit = kPacketArea;
    if (!view || announced < kHeaderSize || announced >= limit) return std::nullopt;
    SharedPacketHeader header;
    std::memcpy(&header, view, sizeof header);
    if (header.totalLength != announced) return std::nullopt;
    return SharedPacketView{header.senderRole, header.command, view + kHeaderSize, announced - kHeaderSize};
}

}  // namespace vexa::ipc
