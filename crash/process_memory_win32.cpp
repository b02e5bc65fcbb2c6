#include "crash/process_memory_win32.h"

#include <cstdint>

namespace vexa::crash {
namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
// One piece through the pipe; the pipe holds it whole, so the write never
// waits for a reader.
constexpr DWORD kPipePiece = 4096;
constexpr DWORD kPipeCapacity = 4 * kPipePiece;

// True when every page of [address, address + size) is committed, carries
// one of the wanted protections, and is no guard page. Touching a guard page
// would take the guard off the stack it protects, so the pages are asked
// about, never probed.
bool RangeHas(Address address, std::size_t size, DWORD wanted) {
    if (size == 0) return true;
    // Nothing beyond what a pointer of this process can name: a 32-bit
    // process would otherwise ask about an address cut to its low half.
    constexpr Address kLastPointer = static_cast<std::uintptr_t>(-1);
    if (address > kLastPointer || size - 1 > kLastPointer - address) return false;
    const Address last = address + (size - 1);
    Address at = address;
    while (at <= last) {
        MEMORY_BASIC_INFORMATION region;
        if (::VirtualQuery(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(at)), &region,
                           sizeof region) != sizeof region)
            return false;
        if (region.State != MEM_COMMIT) return false;
        if ((region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
        if ((region.Protect & wanted) == 0) return false;
        const Address regionLast =
            Address{reinterpret_cast<std::uintptr_t>(region.BaseAddress)} + (region.RegionSize - 1);
        if (regionLast < at) return false;
        if (regionLast >= last) break;
        at = regionLast + 1;
    }
    return true;
}

const void* Pointer(Address address) { return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)); }

bool SystemCopy(Address address, void* out, std::size_t size) {
    SIZE_T copied = 0;
    return ::ReadProcessMemory(::GetCurrentProcess(), Pointer(address), out, size, &copied) && copied == size;
}

}  // namespace

void ProcessMemory::Prepare() const {
    if (prepared_) return;
    prepared_ = true;
    static const char known = 'V';
    char copy = 0;
    usePipe_ = copy_ == Copy::kThroughPipe ||
               !SystemCopy(static_cast<Address>(reinterpret_cast<std::uintptr_t>(&known)), &copy, 1) ||
               copy != known;
    if (usePipe_ && !::CreatePipe(&pipeRead_, &pipeWrite_, nullptr, kPipeCapacity)) {
        pipeRead_ = pipeWrite_ = nullptr;
    }
}

void ProcessMemory::Release() const {
    if (pipeRead_ != nullptr) ::CloseHandle(pipeRead_);
    if (pipeWrite_ != nullptr) ::CloseHandle(pipeWrite_);
    pipeRead_ = pipeWrite_ = nullptr;
    prepared_ = false;
}

bool ProcessMemory::CopyThroughPipe(Address address, void* out, std::size_t size) const {
    if (pipeWrite_ == nullptr) return false;
    auto* to = static_cast<unsigned char*>(out);
    while (size > 0) {
        const DWORD piece = size < kPipePiece ? static_cast<DWORD>(size) : kPipePiece;
        DWORD written = 0, read = 0;
        const bool wrote = ::WriteFile(pipeWrite_, Pointer(address), piece, &written, nullptr) != 0;
        // Whatever went in comes out again, so the next copy starts empty.
        if (written > 0 && (!::ReadFile(pipeRead_, to, written, &read, nullptr) || read != written)) {
            // The pipe is out of step: never use it again.
            Release();
            prepared_ = true;
            return false;
        }
        if (!wrote || written != piece) return false;
        address += piece;
        to += piece;
        size -= piece;
    }
    return true;
}

bool ProcessMemory::Read(Address address, void* out, std::size_t size) const {
    if (!RangeHas(address, size, kReadable)) return false;
    Prepare();
    // Another thread may free the pages between the question and the copy;
    // both ways of copying then fail where a plain copy would fault.
    return usePipe_ ? CopyThroughPipe(address, out, size) : SystemCopy(address, out, size);
}

bool ProcessMemory::IsWritable(Address address, std::size_t size) const {
    return RangeHas(address, size, kWritable);
}

}  // namespace vexa::crash
