// The walks of the report's call stack. A 32-bit x86 stack is walked by its
// saved frame pointers: each frame starts with the caller's saved EBP and the
// return address. x64 code keeps no such chain; its stack is walked by the
// unwind data of its modules, one frame at a time by an Unwinder.
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

class Unwinder {
public:
    // Moves pc and stack (the stack pointer inside the frame) to the frame's
    // caller. False when no caller can be found.
    virtual bool Unwind(Address& pc, Address& stack) = 0;

protected:
    ~Unwinder() = default;  // never deleted through the interface
};

// Visits (rip, rsp) and then every caller the unwinder finds. The walk stops
// after the current line when the unwinder finds no caller, when the
// caller's pc is 0 (the outermost frame), or when the caller's stack pointer
// is not 8-byte aligned or not strictly above the current one. Frames
// strictly grow, so a damaged or hostile stack always ends the walk. Returns
// the number of lines visited.
std::uint32_t WalkUnwound(Unwinder& unwinder, Address rip, Address rsp, FrameVisitor& visitor);

}  // namespace vexa::crash
