#include "crash/memory_reader.h"

namespace vexa::crash {

// Values are assembled from little-endian bytes, the layout of the target,
// whatever the byte order of the machine the tests run on.
bool MemoryReader::ReadU16(Address address, std::uint16_t& value) const {
    unsigned char bytes[2];
    if (!Read(address, bytes, sizeof bytes)) return false;
    value = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    return true;
}

bool MemoryReader::ReadU32(Address address, std::uint32_t& value) const {
    unsigned char bytes[4];
    if (!Read(address, bytes, sizeof bytes)) return false;
    value = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
            (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    return true;
}

bool MemoryReader::ReadU64(Address address, std::uint64_t& value) const {
    unsigned char bytes[8];
    if (!Read(address, bytes, sizeof bytes)) return false;
    value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return true;
}

}  // namespace vexa::crash
