#include "crash/thread_context_win32.h"

#include <cstdint>

namespace vexa::crash {

#if defined(_WIN64)

namespace {

// The unwinder moves this copy of the context from frame to frame. It is
// not on the stack, which may be all but used up (a stack overflow), and it
// serves one report at a time, as the reporter's other buffers do.
alignas(16) CONTEXT unwindContext;

// One frame up by the unwind data that every x64 module carries, through the
// system's own calls, which allocate nothing.
class SystemUnwinder final : public Unwinder {
public:
    SystemUnwinder(const CONTEXT& context, const MemoryReader& memory) : memory_(memory) {
        unwindContext = context;
        // The filter runs on the faulting thread: its whole stack
        // reservation, from the lowest reserved page (a stack overflow
        // leaves RSP below the committed part) to the base.
        ULONG_PTR low = 0, high = 0;
        ::GetCurrentThreadStackLimits(&low, &high);
        stackBottom_ = low;
        stackTop_ = high;
    }

    bool Unwind(Address& pc, Address& stack) override {
        // The walk and this context move together.
        if (unwindContext.Rip != pc || unwindContext.Rsp != stack) return false;
        // The system's unwinder reads the frame's saved registers and its
        // return address straight from the stack, above RSP: RSP must lie in
        // committed memory of this thread's stack, from where everything up
        // to the stack's base is committed too.
        if (stack < stackBottom_ || stack >= stackTop_ || stackTop_ - stack < 8 || !memory_.IsWritable(stack, 8))
            return false;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(unwindContext.Rip, &imageBase, nullptr);
        if (function == nullptr) {
            // Code without unwind data is a leaf function, which keeps
            // nothing on the stack but its return address. Only the faulting
            // frame can be one (a leaf calls nothing, and a jump to a bad
            // address lands in no function); further up, it is the end.
            if (!first_) return false;
            std::uint64_t returnAddress = 0;
            if (!memory_.ReadU64(stack, returnAddress)) return false;
            unwindContext.Rip = returnAddress;
            unwindContext.Rsp += 8;
        } else {
            void* handlerData = nullptr;
            DWORD64 establisherFrame = 0;
            ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, unwindContext.Rip, function, &unwindContext,
                               &handlerData, &establisherFrame, nullptr);
        }
        first_ = false;
        pc = unwindContext.Rip;
        stack = unwindContext.Rsp;
        return true;
    }

private:
    const MemoryReader& memory_;
    Address stackBottom_ = 0;
    Address stackTop_ = 0;
    bool first_ = true;
};

Registers64 RegistersOf(const CONTEXT& context) {
    Registers64 r;
    r.rax = context.Rax;
    r.rbx = context.Rbx;
    r.rcx = context.Rcx;
    r.rdx = context.Rdx;
    r.rsi = context.Rsi;
    r.rdi = context.Rdi;
    r.r8 = context.R8;
    r.r9 = context.R9;
    r.r10 = context.R10;
    r.r11 = context.R11;
    r.r12 = context.R12;
    r.r13 = context.R13;
    r.r14 = context.R14;
    r.r15 = context.R15;
    r.rip = context.Rip;
    r.rsp = context.Rsp;
    r.rbp = context.Rbp;
    r.flags = context.EFlags;
    r.cs = context.SegCs;
    r.ss = context.SegSs;
    r.ds = context.SegDs;
    r.es = context.SegEs;
    r.fs = context.SegFs;
    r.gs = context.SegGs;
    return r;
}

}  // namespace

void WriteThreadReport(ReportWriter& writer, ReportSink& sink, const ExceptionFacts& facts, const CONTEXT& context,
                       const MemoryReader& memory) {
    SystemUnwinder unwinder(context, memory);
    writer.WriteReport(sink, facts, RegistersOf(context), unwinder);
}

#else

namespace {

Registers RegistersOf(const CONTEXT& context) {
    Registers r;
    r.eax = context.Eax;
    r.ebx = context.Ebx;
    r.ecx = context.Ecx;
    r.edx = context.Edx;
    r.esi = context.Esi;
    r.edi = context.Edi;
    r.eip = context.Eip;
    r.esp = context.Esp;
    r.ebp = context.Ebp;
    r.flags = context.EFlags;
    // Selectors are 16 bits wide, but a context captured in user mode (as
    // RaiseException does) may leave junk in the upper half of their fields.
    r.cs = context.SegCs & 0xFFFFu;
    r.ss = context.SegSs & 0xFFFFu;
    r.ds = context.SegDs & 0xFFFFu;
    r.es = context.SegEs & 0xFFFFu;
    r.fs = context.SegFs & 0xFFFFu;
    r.gs = context.SegGs & 0xFFFFu;
    return r;
}

}  // namespace

// The frame pointers are walked through the report's reader of memory, which
// the writer was made with.
void WriteThreadReport(ReportWriter& writer, ReportSink& sink, const ExceptionFacts& facts, const CONTEXT& context,
                       const MemoryReader&) {
    writer.WriteReport(sink, facts, RegistersOf(context));
}

#endif

}  // namespace vexa::crash
