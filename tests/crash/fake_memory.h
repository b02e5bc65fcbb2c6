// A made-up address space for the crash reporter's tests: a few
// regions at chosen addresses, each readable and maybe writable. Everything
// else is unmapped, and any access that leaves a region fails.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "crash/memory_reader.h"

namespace vexa::crash::testing {

class FakeMemory : public MemoryReader {
public:
    struct Region {
        Address base;
        std::vector<unsigned char> bytes;
        bool writable;
    };

    // Adds a region of size zero bytes.
    Region& Map(Address base, std::size_t size, bool writable) {
        regions_.push_back(Region{base, std::vector<unsigned char>(size), writable});
        return regions_.back();
    }

    void PutU32(Address address, std::uint32_t value) {
        unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                  static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
        Put(address, bytes, 4);
    }
    void PutU16(Address address, std::uint16_t value) {
        unsigned char bytes[2] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8)};
        Put(address, bytes, 2);
    }
    void Put(Address address, const void* data, std::size_t size) {
        Region* region = Find(address, size);
        if (region == nullptr) throw "write outside the fake memory";
        std::memcpy(region->bytes.data() + (address - region->base), data, size);
    }

    bool Read(Address address, void* out, std::size_t size) const override {
        ++reads;
        const Region* region = Find(address, size);
        if (region == nullptr) return false;
        std::memcpy(out, region->bytes.data() + (address - region->base), size);
        return true;
    }
    bool IsWritable(Address address, std::size_t size) const override {
        const Region* region = Find(address, size);
        return region != nullptr && region->writable;
    }

    mutable int reads = 0;

private:
    // The region that holds all of [address, address + size), counted from
    // the region's start so that nothing wraps around the top of the
    // address space.
    const Region* Find(Address address, std::size_t size) const {
        for (const Region& region : regions_) {
            if (address < region.base) continue;
            const Address into = address - region.base;
            if (into <= region.bytes.size() && size <= region.bytes.size() - into) return &region;
        }
        return nullptr;
    }
    Region* Find(Address address, std::size_t size) {
        return const_cast<Region*>(static_cast<const FakeMemory*>(this)->Find(address, size));
    }

    std::deque<Region> regions_;  // stable addresses for Map()'s callers
};

}  // namespace vexa::crash::testing
