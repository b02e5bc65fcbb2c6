#include "crash/process_memory_win32.h"

#include <windows.h>

#include <cstdint>

namespace vexa::crash {
namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// True when every page of [address, address + size) is committed, carries
// one of the wanted protections, and is no guard page. Touching a guard page
// would take the guard off the stack it protects, so the pages are asked
// about, never probed.
bool RangeHas(Address address, std::size_t size, DWORD wanted) {
    if (size == 0) return true;
    const std::uint64_t end = std::uint64_t{address} + size;
    if (end > 0x100000000ull) return false;
    std::uint64_t at = address;
    while (at < end) {
        MEMORY_BASIC_INFORMATION region;
        if (::VirtualQuery(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(at)), &region,
                           sizeof region) != sizeof region)
            return false;
        if (region.State != MEM_COMMIT) return false;
        if ((region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
        if ((region.Protect & wanted) == 0) return false;
        const std::uint64_t regionEnd =
            std::uint64_t{reinterpret_cast<std::uintptr_t>(region.BaseAddress)} + region.RegionSize;
        if (regionEnd <= at) return false;
        at = regionEnd;
    }
    return true;
}

}  // namespace

bool ProcessMemory::Read(Address address, void* out, std::size_t size) const {
    if (!RangeHas(address, size, kReadable)) return false;
    // Another thread may free the pages between the question and the copy;
    // ReadProcessMemory then fails where a plain copy would fault.
    SIZE_T copied = 0;
    return ::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)),
                               out, size, &copied) &&
           copied == size;
}

bool ProcessMemory::IsWritable(Address address, std::size_t size) const {
    return RangeHas(address, size, kWritable);
}

}  // namespace vexa::crash
