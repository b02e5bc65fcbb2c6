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
    // A read that runs past the top of the address space is refused rather
    // than wrapped; its last byte may be the very last one.
    if (size - 1 > kLastAddress - address) return false;
    auto* to = static_cast<unsigned char*>(out);
    Address at = address;
    for (std::size_t left = size; left > 0;) {
        const Address page = at & ~Address{kPageSize - 1};
        const unsigned char* bytes = Page(page);
        if (bytes == nullptr) return underlying_.Read(address, out, size);
        const std::size_t inPage = kPageSize - static_cast<std::size_t>(at - page);
        const std::size_t count = left < inPage ? left : inPage;
        std::memcpy(to, bytes + (at - page), count);
        to += count;
        left -= count;
        // Wraps to 0 only after the very last page, when nothing is left.
        at += count;
    }
    return true;
}

bool CachedMemory::IsWritable(Address address, std::size_t size) const { return underlying_.IsWritable(address, size); }

}  // namespace vexa::crash
