#include "crash/cached_memory.h"

#include <cstring>

namespace vexa::crash {

void CachedMemory::Clear() {
    for (Slot& slot : slots_) slot.used = false;
    nextSlot_ = 0;
}

const unsigned char* CachedMemory::Page(Address page) const {
    for (const Slot& slot : slots_)
        if (slot.used && slot.page == page) return slot.bytes;
    Slot& slot = slots_[nextSlot_];
    slot.used = false;
    if (!underlying_.Read(page, slot.bytes, kPageSize)) return nullptr;
    slot.used = true;
    slot.page = page;
    nextSlot_ = (nextSlot_ + 1) % kSlots;
    return slot.bytes;
}

bool CachedMemory::Read(Address address, void* out, std::size_t size) const {
    if (size == 0) return underlying_.Read(address, out, size);
    // In 64 bits, so that a read that runs past the top of the address space
    // is refused rather than wrapped.
    const std::uint64_t end = std::uint64_t{address} + size;
    if (end > 0x100000000ull) return false;
    auto* to = static_cast<unsigned char*>(out);
    for (std::uint64_t at = address; at < end;) {
        const Address page = static_cast<Address>(at & ~std::uint64_t{kPageSize - 1});
        const unsigned char* bytes = Page(page);
        if (bytes == nullptr) return underlying_.Read(address, out, size);
        const std::uint64_t pageEnd = std::uint64_t{page} + kPageSize;
        const std::size_t count = static_cast<std::size_t>((end < pageEnd ? end : pageEnd) - at);
        std::memcpy(to, bytes + (at - page), count);
        to += count;
        at += count;
    }
    return true;
}

bool CachedMemory::IsWritable(Address address, std::size_t size) const { return underlying_.IsWritable(address, size); }

}  // namespace vexa::crash
