// The live memory of the current process, as the crash reporter may read it:
// only committed pages that are neither guard pages nor inaccessible, and
// copied with calls that report failure instead of faulting.
#pragma once

#include <windows.h>

#include "crash/memory_reader.h"

namespace vexa::crash {

class ProcessMemory : public MemoryReader {
public:
    // How the bytes are copied. ReadProcessMemory is the system's own way.
    // Wine serves it, even for a process reading itself, through the Unix
    // debugger interface, and where that is refused (ptrace switched off,
    // containers, user-mode emulators) it fails for every address. A pipe
    // then does the same job: the system checks the source as WriteFile
    // copies it, so a page freed by another thread fails the write rather
    // than faulting.
    enum class Copy { kAsTheSystemAllows, kThroughPipe };

    constexpr explicit ProcessMemory(Copy copy = Copy::kAsTheSystemAllows) : copy_(copy) {}
    ProcessMemory(const ProcessMemory&) = delete;
    ProcessMemory& operator=(const ProcessMemory&) = delete;

    // Finds out, outside any crash, whether the pipe is needed, and makes it
    // then. A reader not prepared does this on its first read.
    void Prepare() const;
    // Closes the pipe, if one was made.
    void Release() const;

    bool Read(Address address, void* out, std::size_t size) const override;
    bool IsWritable(Address address, std::size_t size) const override;

private:
    bool CopyThroughPipe(Address address, void* out, std::size_t size) const;

    Copy copy_;
    mutable bool prepared_ = false;
    mutable bool usePipe_ = false;
    mutable HANDLE pipeRead_ = nullptr;
    mutable HANDLE pipeWrite_ = nullptr;
};

}  // namespace vexa::crash
