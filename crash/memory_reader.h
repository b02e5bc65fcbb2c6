// The crash reporter reads the crashed process's memory (module headers, the
// frame chain) only through this interface, so that the same walking code runs
// against the live process on Windows and against hand-made memory in tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::crash {

// Addresses are as wide as the widest target's: a 32-bit process's addresses
// fit, and so do an x64 process's. The arithmetic on them is done so that it
// never wraps, whatever the width of the process that is read.
using Address = std::uint64_t;
constexpr Address kLastAddress = ~Address{0};

class MemoryReader {
public:
    // Copies size bytes from address into out. Returns false, and leaves the
    // walk to stop, when any of the bytes is not readable; it never faults.
    virtual bool Read(Address address, void* out, std::size_t size) const = 0;
    // True when all size bytes at address are committed, writable memory,
    // which every genuine stack frame is.
    virtual bool IsWritable(Address address, std::size_t size) const = 0;

    bool ReadU16(Address address, std::uint16_t& value) const;
    bool ReadU32(Address address, std::uint32_t& value) const;
    bool ReadU64(Address address, std::uint64_t& value) const;

protected:
    // Never deleted through the interface; the process-wide objects that
    // implement it then need no destructor at unload.
    ~MemoryReader() = default;
};

}  // namespace vexa::crash
