// The frame-pointer walk of a 32-bit x86 stack: each frame starts with the
// caller's saved EBP and the return address.
#pragma once

#include <cstdint>

#include "crash/memory_reader.h"

namespace vexa::crash {

class FrameVisitor {
public:
    // Called once per line of the call stack: the code address and the frame
    // it belongs to (the register values for the first line).
    virtual void OnFrame(Address pc, Address frame) = 0;

protected:
    ~FrameVisitor() = default;  // never deleted through the interface
};

// Visits (eip, ebp) and then every caller reached through the saved frame
// pointers. The walk stops after the current line when the frame is not
// 4-byte aligned or its 8 bytes are not writable memory (tested before the
// frame is read, the register value included), or when the saved frame
// pointer is not aligned or not strictly above the current frame. Frames
// strictly grow, so a cyclic or hostile chain always ends. Returns the number
// of lines visited.
std::uint32_t WalkFrames(const MemoryReader& memory, Address eip, Address ebp, FrameVisitor& visitor);

}  // namespace vexa::crash
