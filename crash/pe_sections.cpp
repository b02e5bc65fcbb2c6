#include "crash/pe_sections.h"

namespace vexa::crash {
namespace {

// Offsets within the DOS header, the NT headers and a section table entry.
constexpr std::uint32_t kDosSignature = 0x5A4D;        // "MZ"
constexpr std::uint32_t kNtHeadersOffsetField = 60;
constexpr std::uint32_t kNtSignature = 0x00004550;     // "PE\0\0"
constexpr std::uint32_t kSectionCountField = 6;
constexpr std::uint32_t kOptionalHeaderSizeField = 20;
constexpr std::uint32_t kFirstSectionEntry = 24;       // plus the optional header's size
constexpr std::uint32_t kSectionEntrySize = 40;
constexpr std::uint32_t kVirtualSizeField = 8;
constexpr std::uint32_t kVirtualAddressField = 12;
constexpr std::uint32_t kRawSizeField = 16;

// A hostile offset must not wrap around to an address that happens to be
// readable.
bool Offset(Address base, std::uint64_t offset, Address& result) {
    if (offset > kLastAddress - base) return false;
    result = base + offset;
    return true;
}

bool ReadU32At(const MemoryReader& memory, Address base, std::uint64_t offset, std::uint32_t& value) {
    Address at;
    return Offset(base, offset, at) && memory.ReadU32(at, value);
}

bool ReadU16At(const MemoryReader& memory, Address base, std::uint64_t offset, std::uint16_t& value) {
    Address at;
    return Offset(base, offset, at) && memory.ReadU16(at, value);
}

}  // namespace

bool FindSection(const MemoryReader& memory, Address base, Address address, SectionHit& hit) {
    // Offsets inside an image are 32-bit, on either target.
    if (address < base || address - base > 0xFFFFFFFFu) return false;
    const std::uint32_t rva = static_cast<std::uint32_t>(address - base);

    std::uint16_t dosSignature = 0;
    std::uint32_t ntOffset = 0, ntSignature = 0;
    std::uint16_t sectionCount = 0, optionalHeaderSize = 0;
    if (!ReadU16At(memory, base, 0, dosSignature) || dosSignature != kDosSignature) return false;
    if (!ReadU32At(memory, base, kNtHeadersOffsetField, ntOffset)) return false;
    if (!ReadU32At(memory, base, ntOffset, ntSignature) || ntSignature != kNtSignature) return false;
    if (!ReadU16At(memory, base, std::uint64_t{ntOffset} + kSectionCountField, sectionCount)) return false;
    if (!ReadU16At(memory, base, std::uint64_t{ntOffset} + kOptionalHeaderSizeField, optionalHeaderSize))
        return false;

    const std::uint64_t table = std::uint64_t{ntOffset} + kFirstSectionEntry + optionalHeaderSize;
    // The first section holding rva with its end excluded wins; failing that,
    // the first whose end is exactly rva (an address just past the last byte).
    bool found = false;
    SectionHit atEnd;
    bool foundAtEnd = false;
    for (std::uint32_t index = 0; index < sectionCount && !found; ++index) {
        const std::uint64_t entry = table + std::uint64_t{index} * kSectionEntrySize;
        std::uint32_t virtualSize = 0, start = 0, rawSize = 0;
        // A table that runs into unreadable memory ends there.
        if (!ReadU32At(memory, base, entry + kVirtualSizeField, virtualSize) ||
            !ReadU32At(memory, base, entry + kVirtualAddressField, start) ||
            !ReadU32At(memory, base, entry + kRawSizeField, rawSize))
            break;
        const std::uint64_t size = rawSize > virtualSize ? rawSize : virtualSize;
        const std::uint64_t end = std::uint64_t{start} + size;
        if (start <= rva && rva < end) {
            hit.number = index + 1;
            hit.offset = rva - start;
            found = true;
        } else if (rva == end && !foundAtEnd) {
            atEnd.number = index + 1;
            atEnd.offset = rva - start;
            foundAtEnd = true;
        }
    }
    if (found) return true;
    if (foundAtEnd) {
        hit = atEnd;
        return true;
    }
    return false;
}

}  // namespace vexa::crash
