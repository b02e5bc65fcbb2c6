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

// One call-stack line per frame of the walk.
class ReportWriter::StackLines : public FrameVisitor {
public:
    StackLines(ReportWriter& writer, ReportSink& sink) : writer_(writer), sink_(sink) {}

    void OnFrame(Address pc, Address frame) override {
        std::uint32_t section = 0, offset = 0;
        writer_.Locate(pc, section, offset);
        writer_.WriteReportLine(sink_, "%08X  %08X  %04X:%08X %s\n",
                                {pc, frame, section, offset, writer_.moduleName_});
    }

private:
    ReportWriter& writer_;
    ReportSink& sink_;
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

void ReportWriter::WriteReport(ReportSink& sink, const ExceptionFacts& facts) {
    const Registers& r = facts.registers;
    WriteReportLine(sink, "//== Error Time[%s] =================================================\n", {facts.time});
    WriteReportLine(sink, "Exception code: %08X %s\n", {facts.code, facts.name});
    std::uint32_t section = 0, offset = 0;
    Locate(facts.address, section, offset);
    WriteReportLine(sink, "Fault address:  %08X %02X:%08X %s\n", {facts.address, section, offset, moduleName_});
    WriteReportLine(sink, "\nRegisters:\n", {});
    WriteReportLine(sink, "EAX:%08X\nEBX:%08X\nECX:%08X\nEDX:%08X\nESI:%08X\nEDI:%08X\n",
                    {r.eax, r.ebx, r.ecx, r.edx, r.esi, r.edi});
    WriteReportLine(sink, "CS:EIP:%04X:%08X\n", {r.cs, r.eip});
    WriteReportLine(sink, "SS:ESP:%04X:%08X  EBP:%08X\n", {r.ss, r.esp, r.ebp});
    WriteReportLine(sink, "DS:%04X  ES:%04X  FS:%04X  GS:%04X\n", {r.ds, r.es, r.fs, r.gs});
    WriteReportLine(sink, "Flags:%08X\n", {r.flags});
    WriteCallStack(sink, r);
    WriteReportLine(sink, "\n", {});
}

void ReportWriter::WriteCallStack(ReportSink& sink, const Registers& registers) {
    WriteReportLine(sink, "\nCall stack:\n", {});
    WriteReportLine(sink, "Address   Frame     Logical addr  Module\n", {});
    StackLines lines(*this, sink);
    WalkFrames(memory_, registers.eip, registers.ebp, lines);
}

}  // namespace vexa::crash
