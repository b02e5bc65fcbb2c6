// Which section of a loaded module an address falls in, read from the
// module's PE headers in memory.
#pragma once

#include <cstdint>

#include "crash/memory_reader.h"

namespace vexa::crash {

struct SectionHit {
    std::uint32_t number = 0;  // 1-based index in the section table
    std::uint32_t offset = 0;  // address minus the section's start
};

// Looks address up in the section table of the module loaded at base. A
// section spans from its virtual address for the larger of its raw and virtual
// sizes. The headers may be damaged or not a module's at all: every read goes
// through memory and is checked, the "MZ" and "PE" signatures must be there,
// and nothing is assumed about counts or offsets, so hostile bytes give false,
// never a fault or an endless loop. An address one past a section's end counts
// as that section's only when no section starts there.
bool FindSection(const MemoryReader& memory, Address base, Address address, SectionHit& hit);

}  // namespace vexa::crash
