// The report itself: which lines, in which order, from which values. The
// writer only formats; the bytes go to a sink (the open report file on
// Windows, memory in tests) and module names come from a lookup, so the whole
// report is built and checked the same way natively and in the filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "crash/frame_walk.h"
#include "crash/memory_reader.h"
#include "crash/report_line.h"
#include "crash/report_path.h"

namespace vexa::crash {

// The registers of a faulting 32-bit x86 thread that the report prints.
struct Registers {
    std::uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0, esi = 0, edi = 0;
    std::uint32_t eip = 0, esp = 0, ebp = 0, flags = 0;
    std::uint32_t cs = 0, ss = 0, ds = 0, es = 0, fs = 0, gs = 0;
};

// The same of a faulting x64 thread: its sixteen general registers, and the
// flags and selectors, which stay 32 and 16 bits wide.
struct Registers64 {
    std::uint64_t rax = 0, rbx = 0, rcx = 0, rdx = 0, rsi = 0, rdi = 0;
    std::uint64_t r8 = 0, r9 = 0, r10 = 0, r11 = 0, r12 = 0, r13 = 0, r14 = 0, r15 = 0;
    std::uint64_t rip = 0, rsp = 0, rbp = 0;
    std::uint32_t flags = 0;
    std::uint32_t cs = 0, ss = 0, ds = 0, es = 0, fs = 0, gs = 0;
};

// What happened, as the report states it.
struct ExceptionFacts {
    const char* time = "";            // FormatReportTime text
    std::uint32_t code = 0;
    const char* name = "";            // ExceptionName of the code
    Address address = 0;              // where it was raised
};

class ReportSink {
public:
    // Writes count bytes; returns how many were written. A failed write is
    // not retried: the report simply lacks that piece.
    virtual std::size_t Write(const char* bytes, std::size_t count) = 0;

protected:
    ~ReportSink() = default;  // never deleted through the interface
};

// Gathers what is written into large pieces for another sink, so that a
// report of thousands of lines takes a few writes of the file rather than
// one per line. The buffer is the caller's, prepared before any crash.
class BufferedSink : public ReportSink {
public:
    constexpr BufferedSink(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}
    BufferedSink(const BufferedSink&) = delete;
    BufferedSink& operator=(const BufferedSink&) = delete;

    // Where the pieces go until Detach; nothing is written before.
    void Attach(ReportSink& target) {
        target_ = &target;
        used_ = 0;
    }
    // Writes what is gathered and lets go of the target.
    void Detach() {
        Flush();
        target_ = nullptr;
    }

    // Takes all count bytes (written through at once when they are more than
    // the buffer holds). Without a target it takes nothing.
    std::size_t Write(const char* bytes, std::size_t count) override;
    // A failed write of the target is not retried: the report lacks that piece.
    void Flush();

private:
    char* buffer_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    ReportSink* target_ = nullptr;
};

class ModuleLookup {
public:
    // Fills moduleName (kPathCapacity bytes) with the path of the module
    // holding address and, when it returns true, the section number and the
    // offset in it. The caller has set them to 0 and "" beforehand; a lookup
    // that fails half-way may leave the module path written.
    virtual bool FindModuleSection(Address address, char* moduleName, std::uint32_t& section,
                                   std::uint32_t& offset) = 0;

protected:
    // Never deleted through the interface; the process-wide objects that
    // implement it then need no destructor at unload.
    ~ModuleLookup() = default;
};

// Holds its line and module-name buffers inside itself, so a writer prepared
// before any crash needs no memory while it writes.
class ReportWriter {
public:
    // Constant-initialised when the arguments are static objects, so a writer
    // defined at namespace scope is ready before any static constructor runs.
    constexpr ReportWriter(ModuleLookup& modules, const MemoryReader& memory) : modules_(modules), memory_(memory) {}
    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    // Writes one whole report to sink: the time line, the exception, the
    // fault address, the registers, the call stack and a closing blank line.
    // A 32-bit thread's report prints eight-digit addresses and walks the
    // saved frame pointers.
    void WriteReport(ReportSink& sink, const ExceptionFacts& facts, const Registers& registers);
    // An x64 thread's report: the same rows with sixteen-digit addresses,
    // all sixteen general registers, and a call stack walked by unwinder,
    // whose Frame column is each frame's stack pointer.
    void WriteReport(ReportSink& sink, const ExceptionFacts& facts, const Registers64& registers, Unwinder& unwinder);

    // The call stack: its heading and one line per frame.
    void WriteCallStack(ReportSink& sink, const Registers& registers);
    void WriteCallStack(ReportSink& sink, const Registers64& registers, Unwinder& unwinder);

    // Formats one piece (at most 1023 bytes) and writes it; returns the number
    // of bytes written.
    std::size_t WriteReportLine(ReportSink& sink, const char* format, std::initializer_list<FormatArg> args);

private:
    class StackLines;

    // The rows up to the registers: time, exception, fault address.
    void WriteHead(ReportSink& sink, const ExceptionFacts& facts, const char* faultFormat);
    // Section and offset of address, 0 and 0 with an empty name outside every module.
    void Locate(Address address, std::uint32_t& section, std::uint32_t& offset);

    ModuleLookup& modules_;
    const MemoryReader& memory_;
    char line_[kLineCapacity] = {};
    char moduleName_[kPathCapacity] = {};
};

}  // namespace vexa::crash
