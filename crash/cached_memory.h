// A page cache in front of the memory the report reads. A deep stack is
// walked frame by frame, and every frame's module headers are read again;
// through the cache each stack page and each module's header page is asked
// of the system once per report, however many thousand frames there are.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crash/memory_reader.h"

namespace vexa::crash {

class CachedMemory final : public MemoryReader {
public:
    static constexpr std::uint32_t kPageSize = 4096;
    static constexpr std::size_t kSlots = 16;

    // Constant-initialised for a static underlying reader, so the cache is
    // ready before any static constructor runs; its pages live inside it.
    constexpr explicit CachedMemory(const MemoryReader& underlying) : underlying_(underlying) {}
    CachedMemory(const CachedMemory&) = delete;
    CachedMemory& operator=(const CachedMemory&) = delete;

    // Forgets every page. A report starts with this: pages are copies taken
    // while one report is written, and another thread may change memory
    // between reports.
    void Clear();

    // Served from cached copies of whole pages; a page that cannot be read
    // whole is not cached and the read goes to the underlying reader as it
    // stands.
    bool Read(Address address, void* out, std::size_t size) const override;
    // Asked of the underlying reader every time: protections are what the
    // walk's checks are about.
    bool IsWritable(Address address, std::size_t size) const override;

private:
    struct Slot {
        bool used = false;
        Address page = 0;
        unsigned char bytes[kPageSize] = {};
    };
    // The cached copy of the page at page (a multiple of kPageSize), loading
    // it when missing; null when it cannot be read whole.
    const unsigned char* Page(Address page) const;

    const MemoryReader& underlying_;
    mutable Slot slots_[kSlots] = {};
    mutable std::size_t nextSlot_ = 0;
};

}  // namespace vexa::crash
