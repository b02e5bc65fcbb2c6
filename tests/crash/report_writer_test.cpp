#include "crash/report_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/crash/fake_memory.h"

namespace vexa::crash {
namespace {

using testing::FakeMemory;

class StringSink : public ReportSink {
public:
    std::size_t Write(const char* bytes, std::size_t count) override {
        ++writes;
        if (writes == failingWrite) return 0;
        text.append(bytes, count);
        return count;
    }
    std::string text;
    int writes = 0;
    int failingWrite = -1;  // the 1-based write that fails, if any
};

// Modules by address range: a path, and the section the range lies in (0
// for a module whose sections do not cover it).
class FakeModules : public ModuleLookup {
public:
    struct Module {
        Address begin, end;
        std::string path;
        std::uint32_t section;
        Address sectionStart;
    };
    bool FindModuleSection(Address address, char* moduleName, std::uint32_t& section,
                           std::uint32_t& offset) override {
        for (const Module& m : modules) {
            if (address < m.begin || address >= m.end) continue;
            std::strncpy(moduleName, m.path.c_str(), kPathCapacity);
            if (m.section == 0) return false;
            section = m.section;
            offset = static_cast<std::uint32_t>(address - m.sectionStart);
            return true;
        }
        return false;
    }
    std::vector<Module> modules;
};

constexpr Address kStack = 0x0012F000;

struct Fixture {
    FakeMemory memory;
    FakeModules modules;
    ExceptionFacts facts;
    Registers registers;
    Fixture() {
        modules.modules = {
            {0x00400000, 0x00410000, "D:\\App\\host.exe", 1, 0x00401000},
            {0x10000000, 0x10020000, "D:\\App\\VexaIMPlus.dll", 1, 0x10001000},
            {0x20000000, 0x20001000, "D:\\App\\\xD6\xD0\xCE\xC4.dll", 0, 0},
        };
        memory.Map(kStack, 0x1000, true);
        // host.exe called the library, which called the GBK-named module,
        // which called back into the library, where it faulted. The
        // outermost frame's saved frame pointer of 0 ends the chain.
        memory.PutU32(kStack + 0x100, kStack + 0x180);
        memory.PutU32(kStack + 0x104, 0x20000456);
        memory.PutU32(kStack + 0x180, kStack + 0x400);
        memory.PutU32(kStack + 0x184, 0x10001ABC);
        memory.PutU32(kStack + 0x400, kStack + 0x500);
        memory.PutU32(kStack + 0x404, 0x00401F00);
        memory.PutU32(kStack + 0x500, 0);
        memory.PutU32(kStack + 0x504, 0x00401000);
        facts.time = "2026-12-07,21:55:52";
        facts.code = 0xC0000005;
        facts.name = "ACCESS_VIOLATION";
        facts.address = 0x10001234;
        Registers& r = registers;
        r.eax = 0x11111111, r.ebx = 0x22222222, r.ecx = 0x33333333, r.edx = 0x44444444;
        r.esi = 0x55555555, r.edi = 0x66666666;
        r.eip = 0x10001234, r.esp = kStack + 0xF0, r.ebp = kStack + 0x100, r.flags = 0x00010246;
        r.cs = 0x1B, r.ss = 0x23, r.ds = 0x23, r.es = 0x23, r.fs = 0x3B, r.gs = 0;
    }
};

const char kExpectedReport[] =
    "//== Error Time[2026-12-07,21:55:52] =================================================\n"
    "Exception code: C0000005 ACCESS_VIOLATION\n"
    "Fault address:  10001234 01:00000234 D:\\App\\VexaIMPlus.dll\n"
    "\nRegisters:\n"
    "EAX:11111111\nEBX:22222222\nECX:33333333\nEDX:44444444\nESI:55555555\nEDI:66666666\n"
    "CS:EIP:001B:10001234\n"
    "SS:ESP:0023:0012F0F0  EBP:0012F100\n"
    "DS:0023  ES:0023  FS:003B  GS:0000\n"
    "Flags:00010246\n"
    "\nCall stack:\n"
    "Address   Frame     Logical addr  Module\n"
    "10001234  0012F100  0001:00000234 D:\\App\\VexaIMPlus.dll\n"
    "20000456  0012F180  0000:00000000 D:\\App\\\xD6\xD0\xCE\xC4.dll\n"
    "10001ABC  0012F400  0001:00000ABC D:\\App\\VexaIMPlus.dll\n"
    "00401F00  0012F500  0001:00000F00 D:\\App\\host.exe\n"
    "\n";

TEST(ReportWriter, WholeReportRowByRow) {
    Fixture f;
    StringSink sink;
    ReportWriter writer(f.modules, f.memory);
    writer.WriteReport(sink, f.facts, f.registers);
    EXPECT_EQ(sink.text, kExpectedReport);
    // Another report through the same writer is the same text again.
    writer.WriteReport(sink, f.facts, f.registers);
    EXPECT_EQ(sink.text, std::string(kExpectedReport) + kExpectedReport);
}

// An x64 thread: the same rows, sixteen-digit addresses, all sixteen general
// registers, and the frames as the unwinder finds them (the Frame column is
// each frame's stack pointer).
class ListUnwinder : public Unwinder {
public:
    bool Unwind(Address& pc, Address& stack) override {
        if (next >= callers.size()) return false;
        pc = callers[next].first;
        stack = callers[next].second;
        ++next;
        return true;
    }
    std::vector<std::pair<Address, Address>> callers;
    std::size_t next = 0;
};

TEST(ReportWriter, WholeX64Report) {
    FakeMemory memory;
    FakeModules modules;
    modules.modules = {
        {0x00007FF600000000, 0x00007FF600100000, "D:\\App\\host64.exe", 1, 0x00007FF600001000},
        {0x00007FFA10000000, 0x00007FFA10080000, "D:\\App\\x64\\VexaIMPlus.dll", 1, 0x00007FFA10001000},
    };
    ExceptionFacts facts;
    facts.time = "2026-12-07,21:55:52";
    facts.code = 0xC0000005;
    facts.name = "ACCESS_VIOLATION";
    facts.address = 0x00007FFA10001234;
    Registers64 r;
    r.rax = 0x1111111111111111, r.rbx = 0x2222222222222222, r.rcx = 0x3333333333333333;
    r.rdx = 0x4444444444444444, r.rsi = 0x5555555555555555, r.rdi = 0x6666666666666666;
    r.r8 = 8, r.r9 = 9, r.r10 = 0x10, r.r11 = 0x11, r.r12 = 0x12, r.r13 = 0x13, r.r14 = 0x14;
    r.r15 = 0xFFFFFFFFFFFFFFFF;
    r.rip = 0x00007FFA10001234, r.rsp = 0x000000000014FE00, r.rbp = 0x000000000014FF00, r.flags = 0x00010246;
    r.cs = 0x33, r.ss = 0x2B, r.ds = 0x2B, r.es = 0x2B, r.fs = 0x53, r.gs = 0x2B;
    ListUnwinder unwinder;
    unwinder.callers = {{0x00007FF600001F00, 0x000000000014FE40}, {0x0000000012345678, 0x000000000014FEA0}};

    StringSink sink;
    ReportWriter writer(modules, memory);
    writer.WriteReport(sink, facts, r, unwinder);
    EXPECT_EQ(sink.text,
              "//== Error Time[2026-12-07,21:55:52] =================================================\n"
              "Exception code: C0000005 ACCESS_VIOLATION\n"
              "Fault address:  00007FFA10001234 01:00000234 D:\\App\\x64\\VexaIMPlus.dll\n"
              "\nRegisters:\n"
              "RAX:1111111111111111\nRBX:2222222222222222\nRCX:3333333333333333\nRDX:4444444444444444\n"
              "RSI:5555555555555555\nRDI:6666666666666666\n"
              "R8:0000000000000008\nR9:0000000000000009\nR10:0000000000000010\nR11:0000000000000011\n"
              "R12:0000000000000012\nR13:0000000000000013\nR14:0000000000000014\nR15:FFFFFFFFFFFFFFFF\n"
              "CS:RIP:0033:00007FFA10001234\n"
              "SS:RSP:002B:000000000014FE00  RBP:000000000014FF00\n"
              "DS:002B  ES:002B  FS:0053  GS:002B\n"
              "Flags:00010246\n"
              "\nCall stack:\n"
              "Address           Frame             Logical addr  Module\n"
              "00007FFA10001234  000000000014FE00  0001:00000234 D:\\App\\x64\\VexaIMPlus.dll\n"
              "00007FF600001F00  000000000014FE40  0001:00000F00 D:\\App\\host64.exe\n"
              "0000000012345678  000000000014FEA0  0000:00000000 \n"
              "\n");
}

TEST(ReportWriter, AddressesInNoModule) {
    Fixture f;
    f.facts.code = 0xC000001D;
    f.facts.name = "ILLEGAL_INSTRUCTION";
    f.facts.address = 0x00000010;
    f.registers.eip = 0x00000010;
    f.registers.ebp = 0;
    StringSink sink;
    ReportWriter writer(f.modules, f.memory);
    writer.WriteReport(sink, f.facts, f.registers);
    EXPECT_NE(sink.text.find("Exception code: C000001D ILLEGAL_INSTRUCTION\n"
                             "Fault address:  00000010 00:00000000 \n"),
              std::string::npos);
    // EBP 0: exactly one call-stack line.
    const std::string stack = sink.text.substr(sink.text.find("\nCall stack:\n"));
    EXPECT_EQ(stack,
              "\nCall stack:\n"
              "Address   Frame     Logical addr  Module\n"
              "00000010  00000000  0000:00000000 \n"
              "\n");
}

TEST(ReportWriter, ModuleNameOfAnEarlierLineDoesNotLinger) {
    // An address in a module followed by one in no module: the second line
    // must not repeat the first one's module.
    Fixture f;
    f.memory.PutU32(kStack + 0x100, kStack + 0x200);
    f.memory.PutU32(kStack + 0x104, 0x7FFE0000);  // in no module
    f.memory.PutU32(kStack + 0x200, 0);
    StringSink sink;
    ReportWriter writer(f.modules, f.memory);
    writer.WriteCallStack(sink, f.registers);
    EXPECT_EQ(sink.text,
              "\nCall stack:\n"
              "Address   Frame     Logical addr  Module\n"
              "10001234  0012F100  0001:00000234 D:\\App\\VexaIMPlus.dll\n"
              "7FFE0000  0012F200  0000:00000000 \n");
}

TEST(ReportWriter, AFailedWriteLosesOnlyItsPiece) {
    Fixture f;
    StringSink whole;
    ReportWriter writer(f.modules, f.memory);
    writer.WriteReport(whole, f.facts, f.registers);
    // Every piece in turn fails once; the rest of the report still comes.
    for (int failing = 1; failing <= whole.writes; ++failing) {
        StringSink sink;
        sink.failingWrite = failing;
        writer.WriteReport(sink, f.facts, f.registers);
        EXPECT_EQ(sink.writes, whole.writes);
        EXPECT_LT(sink.text.size(), whole.text.size());
        EXPECT_EQ(sink.text.substr(0, 15), failing == 1 ? "Exception code:" : "//== Error Time");
    }
}

TEST(ReportWriter, DeepStackThroughABufferedSinkInFewWrites) {
    // A chain of 2000 frames in the library.
    Fixture f;
    constexpr Address kDeep = 0x00200000;
    constexpr int kFrames = 2000;
    f.memory.Map(kDeep, kFrames * 16 + 16, true);
    for (int i = 0; i < kFrames; ++i) {
        const Address frame = kDeep + static_cast<Address>(i) * 16;
        f.memory.PutU32(frame, i + 1 < kFrames ? frame + 16 : 0);
        f.memory.PutU32(frame + 4, 0x10001000 + static_cast<Address>(i));
    }
    f.registers.ebp = kDeep;
    ReportWriter writer(f.modules, f.memory);
    StringSink direct;
    writer.WriteReport(direct, f.facts, f.registers);

    struct Case {
        std::size_t capacity;
        int failingWrite;
    };
    // A buffer smaller than a line writes through; a failed write loses only
    // its own piece.
    for (const Case& c : {Case{8192, -1}, Case{16, -1}, Case{8192, 3}}) {
        SCOPED_TRACE(c.capacity);
        std::vector<char> buffer(c.capacity);
        BufferedSink buffered(buffer.data(), buffer.size());
        StringSink sink;
        sink.failingWrite = c.failingWrite;
        EXPECT_EQ(buffered.Write("x", 1), 0u);  // no target yet
        buffered.Attach(sink);
        writer.WriteReport(buffered, f.facts, f.registers);
        buffered.Detach();
        if (c.failingWrite > 0) {
            EXPECT_LT(sink.text.size(), direct.text.size());
            EXPECT_GT(sink.text.size(), direct.text.size() - c.capacity);
            EXPECT_EQ(direct.text.substr(direct.text.size() - 200), sink.text.substr(sink.text.size() - 200));
        } else {
            EXPECT_TRUE(sink.text == direct.text) << "reports differ";
        }
        if (c.capacity > kLineCapacity) {
            EXPECT_LE(sink.writes, static_cast<int>(direct.text.size() / (c.capacity - kLineCapacity)) + 1);
        } else {
            EXPECT_EQ(sink.writes, direct.writes);
        }
    }
}

TEST(ReportWriter, WriteReportLineReturnsTheBytesWritten) {
    Fixture f;
    ReportWriter writer(f.modules, f.memory);
    StringSink sink;
    EXPECT_EQ(writer.WriteReportLine(sink, "Flags:%08X\n", {0x246u}), 15u);
    EXPECT_EQ(sink.text, "Flags:00000246\n");
    const std::string longName(3000, 'x');
    EXPECT_EQ(writer.WriteReportLine(sink, "%s\n", {longName.c_str()}), 1023u);
    sink.failingWrite = sink.writes + 1;
    EXPECT_EQ(writer.WriteReportLine(sink, "Flags:%08X\n", {0x246u}), 0u);
}

}  // namespace
}  // namespace vexa::crash
