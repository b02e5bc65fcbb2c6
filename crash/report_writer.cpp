#include "crash/report_writer.h"

#include <cstring>

namespace vexa::crash {

std::size_t BufferedSink::Write(const char* bytes, std::size_t count) {
    if (target_ == nullptr) return 0;
    if (count > capacity_ - used_) Flush();
    if (count > capacity_) {
        target_->Write(bytes, count);
        return count;
    }
    std::memcpy(buffer_ + used_, bytes, count);
    used_ += count;
    return count;
}

void BufferedSink::Flush() {
    if (target_ != nullptr && used_ > 0) target_->Write(buffer_, used_);
    used_ = 0;
}

namespace {

// The rows that differ between a 32-bit and an x64 report: the width of an
// address, and the registers.
constexpr char kFaultLine32[] = "Fault address:  %08X %02X:%08X %s\n";
constexpr char kFaultLine64[] = "Fault address:  %016X %02X:%08X %s\n";
constexpr char kStackHeading32[] = "Address   Frame     Logical addr  Module\n";
constexpr char kStackHeading64[] = "Address           Frame             Logical addr  Module\n";
constexpr char kStackLine32[] = "%08X  %08X  %04X:%08X %s\n";
constexpr char kStackLine64[] = "%016X  %016X  %04X:%08X %s\n";

}  // namespace

// One call-stack line per frame of the walk.
class ReportWriter::StackLines : public FrameVisitor {
public:
    StackLines(ReportWriter& writer, ReportSink& sink, const char* format)
        : writer_(writer), sink_(sink), format_(format) {}

    void OnFrame(Address pc, Address frame) override {
        std::uint32_t section = 0, offset = 0;
        writer_.Locate(pc, section, offset);
        writer_.WriteReportLine(sink_, format_, {pc, frame, section, offset, writer_.moduleName_});
    }

private:
    ReportWriter& writer_;
    ReportSink& sink_;
    const char* format_;
};

void ReportWriter::Locate(Address address, std::uint32_t& section, std::uint32_t& offset) {
    section = 0;
    offset = 0;
    moduleName_[0] = '\0';
    modules_.FindModuleSection(address, moduleName_, section, offset);
    // The lookup fills a buffer of the system's path size; keep it a string.
    moduleName_[kPathCapacity - 1] = '\0';
}

std::size_t ReportWriter::WriteReportLine(ReportSink& sink, const char* format,
                                          std::initializer_list<FormatArg> args) {
    const std::size_t length = FormatReportLine(line_, format, args);
    if (length == 0) return 0;
    return sink.Write(line_, length);
}

void ReportWriter::WriteHead(ReportSink& sink, const ExceptionFacts& facts, const char* faultFormat) {
    WriteReportLine(sink, "//== Error Time[%s] =================================================\n", {facts.time});
    WriteReportLine(sink, "Exception code: %08X %s\n", {facts.code, facts.name});
    std::uint32_t section = 0, offset = 0;
    Locate(facts.address, section, offset);
    WriteReportLine(sink, faultFormat, {facts.address, section, offset, moduleName_});
    WriteReportLine(sink, "\nRegisters:\n", {});
}

void ReportWriter::WriteReport(ReportSink& sink, const ExceptionFacts& facts, const Registers& r) {
    WriteHead(sink, facts, kFaultLine32);
    WriteReportLine(sink, "EAX:%08X\nEBX:%08X\nECX:%08X\nEDX:%08X\nESI:%08X\nEDI:%08X\n",
                    {r.eax, r.ebx, r.ecx, r.edx, r.esi, r.edi});
    WriteReportLine(sink, "CS:EIP:%04X:%08X\n", {r.cs, r.eip});
    WriteReportLine(sink, "SS:ESP:%04X:%08X  EBP:%08X\n", {r.ss, r.esp, r.ebp});
    WriteReportLine(sink, "DS:%04X  ES:%04X  FS:%04X  GS:%04X\n", {r.ds, r.es, r.fs, r.gs});
    WriteReportLine(sink, "Flags:%08X\n", {r.flags});
    WriteCallStack(sink, r);
    WriteReportLine(sink, "\n", {});
}

void ReportWriter::WriteReport(ReportSink& sink, const ExceptionFacts& facts, const Registers64& r,
                               Unwinder& unwinder) {
    WriteHead(sink, facts, kFaultLine64);
    WriteReportLine(sink, "RAX:%016X\nRBX:%016X\nRCX:%016X\nRDX:%016X\nRSI:%016X\nRDI:%016X\n",
                    {r.rax, r.rbx, r.rcx, r.rdx, r.rsi, r.rdi});
    WriteReportLine(sink, "R8:%016X\nR9:%016X\nR10:%016X\nR11:%016X\nR12:%016X\nR13:%016X\nR14:%016X\nR15:%016X\n",
                    {r.r8, r.r9, r.r10, r.r11, r.r12, r.r13, r.r14, r.r15});
    WriteReportLine(sink, "CS:RIP:%04X:%016X\n", {r.cs, r.rip});
    WriteReportLine(sink, "SS:RSP:%04X:%016X  RBP:%016X\n", {r.ss, r.rsp, r.rbp});
    WriteReportLine(sink, "DS:%04X  ES:%04X  FS:%04X  GS:%04X\n", {r.ds, r.es, r.fs, r.gs});
    WriteReportLine(sink, "Flags:%08X\n", {r.flags});
    WriteCallStack(sink, r, unwinder);
    WriteReportLine(sink, "\n", {});
}

void ReportWriter::WriteCallStack(ReportSink& sink, const Registers& registers) {
    WriteReportLine(sink, "\nCall stack:\n", {});
    WriteReportLine(sink, kStackHeading32, {});
    StackLines lines(*this, sink, kStackLine32);
    WalkFrames(memory_, registers.eip, registers.ebp, lines);
}

void ReportWriter::WriteCallStack(ReportSink& sink, const Registers64& registers, Unwinder& unwinder) {
    WriteReportLine(sink, "\nCall stack:\n", {});
    WriteReportLine(sink, kStackHeading64, {});
    StackLines lines(*this, sink, kStackLine64);
    WalkUnwound(unwinder, registers.rip, registers.rsp, lines);
}

}  // namespace vexa::crash
