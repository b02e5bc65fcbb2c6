#include "crash/frame_walk.h"

namespace vexa::crash {

std::uint32_t WalkFrames(const MemoryReader& memory, Address eip, Address ebp, FrameVisitor& visitor) {
    Address pc = eip;
    Address frame = ebp;
    std::uint32_t lines = 0;
    for (;;) {
        visitor.OnFrame(pc, frame);
        ++lines;
        if ((frame & 3u) != 0 || !memory.IsWritable(frame, 8)) break;
        std::uint32_t next = 0, returnAddress = 0;
        // The frame passed the test above, but another thread may have
        // released it since: a read that fails ends the walk as well.
        if (!memory.ReadU32(frame, next) || !memory.ReadU32(frame + 4, returnAddress)) break;
        if ((next & 3u) != 0 || next <= frame) break;
        frame = next;
        pc = returnAddress;
    }
    return lines;
}

std::uint32_t WalkUnwound(Unwinder& unwinder, Address rip, Address rsp, FrameVisitor& visitor) {
    Address pc = rip;
    Address stack = rsp;
    std::uint32_t lines = 0;
    for (;;) {
        visitor.OnFrame(pc, stack);
        ++lines;
        Address callerPc = pc, callerStack = stack;
        if (!unwinder.Unwind(callerPc, callerStack)) break;
        if (callerPc == 0 || (callerStack & 7u) != 0 || callerStack <= stack) break;
        pc = callerPc;
        stack = callerStack;
    }
    return lines;
}

}  // namespace vexa::crash
