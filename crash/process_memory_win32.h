// The live memory of the current process, as the crash reporter may read it:
// only committed pages that are neither guard pages nor inaccessible, and
// copied with a call that reports failure instead of faulting.
#pragma once

#include "crash/memory_reader.h"

namespace vexa::crash {

class ProcessMemory : public MemoryReader {
public:
    bool Read(Address address, void* out, std::size_t size) const override;
    bool IsWritable(Address address, std::size_t size) const override;
};

}  // namespace vexa::crash
