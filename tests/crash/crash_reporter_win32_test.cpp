// The crash reporter under Wine: its Win32 pieces in this process, and real
// crashes in child processes that load a DLL holding the reporter.
#include "crash/crash_reporter_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crash/exception_names.h"
#include "crash/process_memory_win32.h"

namespace vexa::crash {
namespace {

std::string ExecutablePath() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

std::string Beside(const char* name) {
    std::string path = ExecutablePath();
    return path.substr(0, path.find_last_of('\\') + 1) + name;
}

std::string ReportPathOf(const std::string& executable) {
    return executable.substr(0, executable.rfind('.') + 1) + "RPT";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool SameText(std::string a, std::string b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// What the report of a process of this word size looks like: addresses of
// 8 or 16 digits, 6 or 14 general registers before the instruction pointer.
constexpr std::size_t kDigits = 2 * sizeof(void*);
#if defined(_WIN64)
const char* const kRegisterNames[] = {"RAX:", "RBX:", "RCX:", "RDX:", "RSI:", "RDI:", "R8:",  "R9:",
                                      "R10:", "R11:", "R12:", "R13:", "R14:", "R15:"};
const char kPcLine[] = "CS:RIP:";
const char kStackLine[] = "SS:RSP:";
const char kFrameRegister[] = "  RBP:";
const char kStackHeading[] = "Address           Frame             Logical addr  Module";
#else
const char* const kRegisterNames[] = {"EAX:", "EBX:", "ECX:", "EDX:", "ESI:", "EDI:"};
const char kPcLine[] = "CS:EIP:";
const char kStackLine[] = "SS:ESP:";
const char kFrameRegister[] = "  EBP:";
const char kStackHeading[] = "Address   Frame     Logical addr  Module";
#endif
constexpr std::size_t kGeneralRegisters = sizeof kRegisterNames / sizeof kRegisterNames[0];

std::string LocalTimeText() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u,%02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The reports of a file: each begins with its time line.
std::vector<std::string> Reports(const std::string& file) {
    std::vector<std::string> reports;
    const std::string head = "//== Error Time[";
    for (std::size_t at = file.find(head); at != std::string::npos;) {
        const std::size_t next = file.find(head, at + 1);
        reports.push_back(file.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return reports;
}

struct StackLine {
    std::uint64_t pc = 0, frame = 0;
    std::uint32_t section = 0, offset = 0;
    std::string module;
};

// One report taken apart, each row checked against its format on the way.
struct ParsedReport {
    std::string time;
    std::uint32_t code = 0;
    std::string name;
    std::uint64_t faultAddress = 0;
    std::uint32_t faultSection = 0, faultOffset = 0;
    std::string faultModule;
    // The instruction pointer, and the frame of the first call-stack line:
    // EBP on 32-bit x86, RSP on x64.
    std::uint64_t pc = 0, firstFrame = 0;
    std::vector<StackLine> stack;
};

std::uint64_t HexField(const std::string& line, std::size_t at, std::size_t digits) {
    EXPECT_LE(at + digits, line.size()) << line;
    const std::string field = line.substr(at, digits);
    EXPECT_EQ(field.find_first_not_of("0123456789ABCDEF"), std::string::npos) << line;
    return std::strtoull(field.c_str(), nullptr, 16);
}

ParsedReport Parse(const std::string& report) {
    ParsedReport parsed;
    const std::vector<std::string> lines = Lines(report);
    EXPECT_EQ(report.find('\r'), std::string::npos) << "line feeds only";
    // The heading, the registers and the call-stack heading, at least one
    // call-stack line, the closing blank line.
    const std::size_t headLines = 12 + kGeneralRegisters;
    EXPECT_GE(lines.size(), headLines + 2);
    if (lines.size() < headLines + 2) return parsed;
    const std::string timeHead = "//== Error Time[";
    const std::string timeTail = "] =================================================";
    EXPECT_EQ(lines[0].substr(0, timeHead.size()), timeHead);
    parsed.time = lines[0].substr(timeHead.size(), 19);
    EXPECT_EQ(lines[0].substr(timeHead.size() + 19), timeTail);
    for (std::size_t i : {4u, 7u, 10u, 13u, 16u}) EXPECT_TRUE(parsed.time[i] == '-' || parsed.time[i] == ',' ||
                                                             parsed.time[i] == ':') << parsed.time;

    EXPECT_EQ(lines[1].substr(0, 16), "Exception code: ");
    parsed.code = HexField(lines[1], 16, 8);
    EXPECT_EQ(lines[1][24], ' ');
    parsed.name = lines[1].substr(25);

    const std::size_t d = kDigits;
    EXPECT_EQ(lines[2].substr(0, 16), "Fault address:  ");
    parsed.faultAddress = HexField(lines[2], 16, d);
    parsed.faultSection = static_cast<std::uint32_t>(HexField(lines[2], 17 + d, 2));
    EXPECT_EQ(lines[2][19 + d], ':');
    parsed.faultOffset = static_cast<std::uint32_t>(HexField(lines[2], 20 + d, 8));
    parsed.faultModule = lines[2].substr(29 + d);

    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4], "Registers:");
    std::size_t at = 5;
    for (const char* name : kRegisterNames) {
        const std::string& line = lines[at++];
        const std::size_t width = std::strlen(name);
        EXPECT_EQ(line.substr(0, width), name);
        HexField(line, width, d);
        EXPECT_EQ(line.size(), width + d);
    }
    EXPECT_EQ(lines[at].substr(0, 7), kPcLine);
    HexField(lines[at], 7, 4);
    parsed.pc = HexField(lines[at], 12, d);
    ++at;
    EXPECT_EQ(lines[at].substr(0, 7), kStackLine);
    const std::uint64_t stackPointer = HexField(lines[at], 12, d);
    EXPECT_EQ(lines[at].substr(12 + d, 6), kFrameRegister);
    const std::uint64_t framePointer = HexField(lines[at], 18 + d, d);
    parsed.firstFrame = sizeof(void*) == 8 ? stackPointer : framePointer;
    ++at;
    EXPECT_EQ(lines[at].substr(0, 3), "DS:");
    EXPECT_EQ(lines[at].substr(7, 5), "  ES:");
    EXPECT_EQ(lines[++at].substr(0, 6), "Flags:");
    EXPECT_EQ(lines[++at], "");
    EXPECT_EQ(lines[++at], "Call stack:");
    EXPECT_EQ(lines[++at], kStackHeading);
    std::size_t i = at + 1;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        StackLine line;
        line.pc = HexField(lines[i], 0, d);
        EXPECT_EQ(lines[i].substr(d, 2), "  ");
        line.frame = HexField(lines[i], d + 2, d);
        line.section = static_cast<std::uint32_t>(HexField(lines[i], 2 * d + 4, 4));
        EXPECT_EQ(lines[i][2 * d + 8], ':');
        line.offset = static_cast<std::uint32_t>(HexField(lines[i], 2 * d + 9, 8));
        EXPECT_EQ(lines[i][2 * d + 17], ' ');
        line.module = lines[i].substr(2 * d + 18);
        parsed.stack.push_back(line);
    }
    // The closing blank line ends the report.
    EXPECT_EQ(i + 1, lines.size());
    EXPECT_EQ(report.substr(report.size() - 2), "\n\n");
    return parsed;
}

// ---------------------------------------------------------------------------
// The Win32 pieces in this process.

TEST(ExceptionNameWin32, TableThenNtdllMessages) {
    EXPECT_STREQ(CrashReporter::ExceptionName(0xC0000005), "ACCESS_VIOLATION");
    EXPECT_STREQ(CrashReporter::ExceptionName(0xC0000094), "INT_DIVIDE_BY_ZERO");
    EXPECT_STREQ(CrashReporter::ExceptionName(0x80000003), "BREAKPOINT");

    // Codes outside the table: whatever NTDLL's message table says, on one line.
    for (DWORD code : {0xC0000017u, 0xC0000022u, 0xC0000135u, 0xE0001234u, 0x12345678u}) {
        char expected[512] = {};
        ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                         ::GetModuleHandleA("ntdll.dll"), code, 0, expected, sizeof expected, nullptr);
        MakeSingleLine(expected, sizeof expected);
        const std::string name = CrashReporter::ExceptionName(code);
        EXPECT_EQ(name, expected) << std::hex << code;
        EXPECT_EQ(name.find_first_of("\r\n"), std::string::npos);
    }
    // A code the system has no text for is named "", not after an earlier code.
    CrashReporter::ExceptionName(0xC0000017u);
    char none[512] = {};
    ASSERT_EQ(::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                               ::GetModuleHandleA("ntdll.dll"), 0xE0001234u, 0, none, sizeof none, nullptr),
              0u);
    EXPECT_STREQ(CrashReporter::ExceptionName(0xE0001234u), "");
}

__attribute__((noinline)) void SomeCode() { ::Sleep(0); }

// The section of address according to this test's own reading of the headers.
bool ExpectedSection(HMODULE module, const void* address, DWORD& section, DWORD& offset) {
    auto base = reinterpret_cast<const unsigned char*>(module);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    const DWORD rva = static_cast<DWORD>(static_cast<const unsigned char*>(address) - base);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        const DWORD size = std::max(sections[i].SizeOfRawData, sections[i].Misc.VirtualSize);
        if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + size) {
            section = i + 1;
            offset = rva - sections[i].VirtualAddress;
            return true;
        }
    }
    return false;
}

TEST(FindModuleSectionWin32, AddressesOfThisProcess) {
    HMODULE self = ::GetModuleHandleA(nullptr);
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    static int someData = 1;
    void* heap = std::malloc(64);
    void* fresh = ::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    struct Case {
        const char* what;
        const void* address;
        HMODULE module;  // expected module, or null for none
        bool inSection;
    };
    const Case cases[] = {
        {"code of this program", reinterpret_cast<const void*>(&SomeCode), self, true},
        {"data of this program", &someData, self, true},
        {"code of kernel32", reinterpret_cast<const void*>(::GetProcAddress(kernel, "Sleep")), kernel, true},
        {"headers of this program", self, self, false},
        {"heap", heap, nullptr, false},
        {"private pages", fresh, nullptr, false},
        {"null", nullptr, nullptr, false},
        {"top of the user space", reinterpret_cast<const void*>(0x7FFEFFF0), nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char name[260];
        std::memset(name, 'X', sizeof name);
        name[0] = '\0';
        DWORD section = 0, offset = 0;
        const bool found = CrashReporter::FindModuleSection(c.address, name, section, offset);
        EXPECT_EQ(found, c.inSection);
        if (c.module == nullptr) {
            EXPECT_STREQ(name, "");
            continue;
        }
        char expectedName[260] = {};
        ::GetModuleFileNameA(c.module, expectedName, sizeof expectedName);
        EXPECT_STREQ(name, expectedName);
        if (c.inSection) {
            DWORD expectedSection = 0, expectedOffset = 0;
            ASSERT_TRUE(ExpectedSection(c.module, c.address, expectedSection, expectedOffset));
            EXPECT_EQ(section, expectedSection);
            EXPECT_EQ(offset, expectedOffset);
        }
    }
    // Code lies in the first section of this program.
    char name[260];
    DWORD section = 0, offset = 0;
    ASSERT_TRUE(CrashReporter::FindModuleSection(reinterpret_cast<const void*>(&SomeCode), name, section, offset));
    EXPECT_EQ(section, 1u);
    std::free(heap);
    ::VirtualFree(fresh, 0, MEM_RELEASE);
}

TEST(ProcessMemoryWin32, BothWaysOfCopyingReadTheSameAndNeverFault) {
    static const char text[] = "frame chain";
    char* pages = static_cast<char*>(::VirtualAlloc(nullptr, 3 * 4096, MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    ASSERT_NE(::VirtualAlloc(pages, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
    ASSERT_NE(::VirtualAlloc(pages + 8192, 4096, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD), nullptr);
    std::memset(pages, 'p', 4096);
    const auto at = [](const void* p) { return static_cast<Address>(reinterpret_cast<std::uintptr_t>(p)); };
    struct Case {
        const char* what;
        Address address;
        std::size_t size;
        bool readable;
    };
    const Case cases[] = {
        {"headers of this program", at(::GetModuleHandleA(nullptr)), 2, true},
        {"constant data", at(text), sizeof text, true},
        {"a committed page, whole", at(pages), 4096, true},
        {"more than a pipe's piece", at(::GetModuleHandleA(nullptr)), 3 * 4096 + 5, true},
        {"null", 0, 4, false},
        {"reserved, not committed", at(pages + 4096), 4, false},
        {"running into a reserved page", at(pages + 4094), 4, false},
        {"guard page", at(pages + 8192), 4, false},
    };
    for (ProcessMemory::Copy copy : {ProcessMemory::Copy::kAsTheSystemAllows, ProcessMemory::Copy::kThroughPipe}) {
        const ProcessMemory memory(copy);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (copy == ProcessMemory::Copy::kThroughPipe ? ", through a pipe" : ""));
            std::vector<char> out(c.size, '\0');
            ASSERT_EQ(memory.Read(c.address, out.data(), c.size), c.readable);
            if (c.readable) {
                EXPECT_EQ(std::memcmp(out.data(), reinterpret_cast<const void*>(static_cast<std::uintptr_t>(c.address)),
                                      c.size),
                          0);
            }
        }
        // Asking about the guard page left its guard in place.
        MEMORY_BASIC_INFORMATION region;
        ASSERT_EQ(::VirtualQuery(pages + 8192, &region, sizeof region), sizeof region);
        EXPECT_NE(region.Protect & PAGE_GUARD, 0u);
        memory.Release();
    }
    ::VirtualFree(pages, 0, MEM_RELEASE);
}

// Records the calls of the filter that was current before the reporter.
EXCEPTION_POINTERS* earlierFilterSaw = nullptr;
LONG WINAPI EarlierFilter(EXCEPTION_POINTERS* pointers) {
    earlierFilterSaw = pointers;
    return 0x1234;
}

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
    LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(current);
    return current;
}

#if defined(_WIN64)
// Captures this function's own context and reports it at once, so that the
// frames above it are still intact while the filter, running further down
// the stack, unwinds them.
__attribute__((noinline)) LONG ReportFromHere(EXCEPTION_POINTERS* pointers) {
    ::RtlCaptureContext(pointers->ContextRecord);
    const LONG result = CrashReporter::ReportFilter(pointers);
    asm volatile("" ::: "memory");  // no tail call: this frame must stay
    return result;
}

__attribute__((noinline)) LONG ReportOneCallDown(EXCEPTION_POINTERS* pointers) {
    const LONG result = ReportFromHere(pointers);
    asm volatile("" ::: "memory");
    return result;
}
#endif

// Calls ReportFilter as the system would, with a made-up exception: on
// 32-bit x86 its registers point at a frame chain laid out in memory of this
// test; on x64 the stack is this thread's own, unwound from a captured
// context.
class ReportFilterWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        reportPath_ = ReportPathOf(ExecutablePath());
        ::DeleteFileA(reportPath_.c_str());
        savedFilter_ = ::SetUnhandledExceptionFilter(nullptr);
        earlierFilterSaw = nullptr;
        std::memset(&context_, 0, sizeof context_);
        std::memset(&record_, 0, sizeof record_);
        record_.ExceptionCode = 0xC0000005;
        record_.ExceptionAddress = reinterpret_cast<void*>(&SomeCode);
        context_.ContextFlags = CONTEXT_FULL;
#if defined(_WIN64)
        context_.Rip = reinterpret_cast<DWORD64>(&SomeCode);
        context_.Rax = 0xA1A1A1A1A1A1A1A1;
        context_.R15 = 0xF1F1F1F1F1F1F1F1;
        context_.SegCs = 0x33;
        context_.SegSs = 0x2B;
#else
        context_.Eip = reinterpret_cast<DWORD>(&SomeCode);
        context_.Eax = 0xA1A1A1A1;
        context_.Edi = 0xD1D1D1D1;
        context_.SegCs = 0x1B;
        context_.SegSs = 0x23;
        context_.Esp = reinterpret_cast<DWORD>(&stack_[0]);
#endif
        context_.EFlags = 0x246;
        pointers_.ExceptionRecord = &record_;
        pointers_.ContextRecord = &context_;
    }
    void TearDown() override {
        ::SetUnhandledExceptionFilter(savedFilter_);
        ::DeleteFileA(reportPath_.c_str());
    }
#if defined(_WIN64)
    // A stack pointer outside this thread's stack: the walk ends at once.
    void EndStackAtOnce() { context_.Rsp = 0; }
    // The stack is this thread's own, from a context captured two calls down.
    LONG ReportWithStack() { return ReportOneCallDown(&pointers_); }
    void ExpectRegistersAndStack(const std::string& text, const ParsedReport& report) {
        EXPECT_NE(text.find("\nCS:RIP:" + Hex(context_.SegCs, 4) + ":" + Hex(context_.Rip, 16) + "\nSS:RSP:" +
                            Hex(context_.SegSs, 4) + ":" + Hex(context_.Rsp, 16) + "  RBP:" + Hex(context_.Rbp, 16) +
                            "\n"),
                  std::string::npos);
        EXPECT_NE(text.find("\nR15:" + Hex(context_.R15, 16) + "\n"), std::string::npos);
        // The capturing function, its caller and the test, all in this
        // program, on frames that grow; and more callers above them.
        ASSERT_GE(report.stack.size(), 4u);
        EXPECT_EQ(report.stack[0].pc, context_.Rip);
        EXPECT_EQ(report.stack[0].frame, context_.Rsp);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(report.stack[i].section, 1u) << i;
            EXPECT_TRUE(SameText(report.stack[i].module, ExecutablePath())) << report.stack[i].module;
            EXPECT_GT(report.stack[i + 1].frame, report.stack[i].frame) << i;
        }
    }
#else
    void EndStackAtOnce() { context_.Ebp = 0; }
    // Three frames laid out in stack_; the outermost one's saved frame
    // pointer of 0 ends the chain.
    LONG ReportWithStack() {
        PutFrame(4, FrameAt(10), Caller());
        PutFrame(10, FrameAt(20), Caller() + 1);
        PutFrame(20, 0, Caller() + 2);
        context_.Ebp = FrameAt(4);
        return CrashReporter::ReportFilter(&pointers_);
    }
    void ExpectRegistersAndStack(const std::string& text, const ParsedReport& report) {
        EXPECT_NE(text.find("\nEAX:A1A1A1A1\nEBX:00000000\nECX:00000000\nEDX:00000000\nESI:00000000\n"
                            "EDI:D1D1D1D1\nCS:EIP:001B:" + Hex(context_.Eip, 8) + "\nSS:ESP:0023:" +
                            Hex(context_.Esp, 8) + "  EBP:" + Hex(FrameAt(4), 8) +
                            "\nDS:0000  ES:0000  FS:0000  GS:0000\nFlags:00000246\n"),
                  std::string::npos);
        ASSERT_EQ(report.stack.size(), 3u);
        const DWORD pcs[] = {context_.Eip, Caller(), Caller() + 1};
        const DWORD frames[] = {FrameAt(4), FrameAt(10), FrameAt(20)};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(report.stack[i].pc, pcs[i]);
            EXPECT_EQ(report.stack[i].frame, frames[i]);
            EXPECT_EQ(report.stack[i].section, 1u);
            EXPECT_TRUE(SameText(report.stack[i].module, ExecutablePath()));
        }
    }
    DWORD Caller() const { return reinterpret_cast<DWORD>(&SomeCode) + 3; }
    DWORD FrameAt(int index) { return reinterpret_cast<DWORD>(&stack_[index]); }
    // A frame at stack_[index]: saved frame pointer, then return address.
    void PutFrame(int index, DWORD next, DWORD returnAddress) {
        stack_[index] = next;
        stack_[index + 1] = returnAddress;
    }
    DWORD stack_[64] = {};
#endif

    std::string reportPath_;
    LPTOP_LEVEL_EXCEPTION_FILTER savedFilter_ = nullptr;
    EXCEPTION_RECORD record_;
    CONTEXT context_;
    EXCEPTION_POINTERS pointers_;
};

#if defined(_WIN64)

TEST_F(ReportFilterWin32, StacksThatEndEarly) {
    CrashReporter reporter;
    EXPECT_EQ(CrashReporter::PreviousFilter(), nullptr);
    // A stack of this thread whose top holds a return address into SomeCode,
    // above it nothing: the unwinding of SomeCode finds a return address of 0.
    alignas(16) volatile std::uint64_t stack[8] = {reinterpret_cast<std::uintptr_t>(&SomeCode), 0, 0, 0, 0, 0, 0, 0};
    const auto top = reinterpret_cast<std::uintptr_t>(&stack[0]);
    void* heap = std::malloc(64);
    struct Case {
        const char* what;
        std::uint64_t rip, rsp;
        std::size_t lines;
    };
    const std::uint64_t code = reinterpret_cast<std::uintptr_t>(&SomeCode);
    const Case cases[] = {
        {"RSP of 0", code, 0, 1},
        {"misaligned RSP", code, top + 1, 1},
        {"RSP in read-only code", code, code & ~std::uint64_t{7}, 1},
        {"RSP in no memory", code, 0x7FFE0000, 1},
        {"RSP on the heap, not on this thread's stack", code, reinterpret_cast<std::uintptr_t>(heap), 1},
        {"RIP in no module: a leaf's return address on top of the stack", 0x10, top, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::DeleteFileA(reportPath_.c_str());
        context_.Rip = c.rip;
        context_.Rsp = c.rsp;
        // No earlier filter: the system's own handling follows.
        EXPECT_EQ(CrashReporter::ReportFilter(&pointers_), EXCEPTION_CONTINUE_SEARCH);
        const std::vector<std::string> reports = Reports(ReadFile(reportPath_));
        ASSERT_EQ(reports.size(), 1u);
        const ParsedReport report = Parse(reports[0]);
        ASSERT_EQ(report.stack.size(), c.lines);
        EXPECT_EQ(report.stack[0].pc, c.rip);
        EXPECT_EQ(report.stack[0].frame, c.rsp);
        if (c.lines == 2) {
            EXPECT_EQ(report.stack[1].pc, code);
            EXPECT_EQ(report.stack[1].frame, c.rsp + 8);
        }
    }
    std::free(heap);
}

#else

TEST_F(ReportFilterWin32, StacksThatEndEarly) {
    CrashReporter reporter;
    EXPECT_EQ(CrashReporter::PreviousFilter(), nullptr);
    struct Case {
        const char* what;
        DWORD ebp;
        std::size_t lines;
    };
    PutFrame(30, FrameAt(20), 0x00401000);  // saved frame below the frame
    PutFrame(40, FrameAt(40), 0x00401000);  // saved frame equal to the frame
    const Case cases[] = {
        {"EBP of 0", 0, 1},
        {"chain going down", FrameAt(30), 1},
        {"chain standing still", FrameAt(40), 1},
        {"misaligned EBP", FrameAt(30) + 1, 1},
        {"EBP in read-only code", reinterpret_cast<DWORD>(&SomeCode) & ~3u, 1},
        {"EBP in no memory", 0x7FFE0000, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::DeleteFileA(reportPath_.c_str());
        context_.Ebp = c.ebp;
        // No earlier filter: the system's own handling follows.
        EXPECT_EQ(CrashReporter::ReportFilter(&pointers_), EXCEPTION_CONTINUE_SEARCH);
        const std::vector<std::string> reports = Reports(ReadFile(reportPath_));
        ASSERT_EQ(reports.size(), 1u);
        const ParsedReport report = Parse(reports[0]);
        ASSERT_EQ(report.stack.size(), c.lines);
        EXPECT_EQ(report.stack[0].pc, context_.Eip);
        EXPECT_EQ(report.stack[0].frame, c.ebp);
    }
}

#endif

TEST_F(ReportFilterWin32, InstallReportAndChainToTheEarlierFilter) {
    ::SetUnhandledExceptionFilter(&EarlierFilter);
    {
        CrashReporter reporter;
        EXPECT_EQ(CurrentFilter(), &CrashReporter::ReportFilter);
        EXPECT_EQ(CrashReporter::PreviousFilter(), &EarlierFilter);
        EXPECT_TRUE(SameText(CrashReporter::ReportPath(), reportPath_));

        const std::string before = LocalTimeText();
        EXPECT_EQ(ReportWithStack(), 0x1234);
        const std::string after = LocalTimeText();
        EXPECT_EQ(earlierFilterSaw, &pointers_);

        const std::vector<std::string> reports = Reports(ReadFile(reportPath_));
        ASSERT_EQ(reports.size(), 1u);
        const ParsedReport report = Parse(reports[0]);
        EXPECT_LE(before, report.time);
        EXPECT_GE(after, report.time);
        EXPECT_EQ(report.code, 0xC0000005u);
        EXPECT_EQ(report.name, "ACCESS_VIOLATION");
        EXPECT_EQ(report.faultAddress, reinterpret_cast<std::uintptr_t>(&SomeCode));
        EXPECT_EQ(report.faultSection, 1u);
        EXPECT_TRUE(SameText(report.faultModule, ExecutablePath()));
        ExpectRegistersAndStack(reports[0], report);
    }
    EXPECT_EQ(CurrentFilter(), &EarlierFilter);
}

TEST_F(ReportFilterWin32, ReportsAreAppended) {
    CrashReporter reporter;
    EndStackAtOnce();
    const char* codes[] = {"ACCESS_VIOLATION", "INT_DIVIDE_BY_ZERO", ""};
    const DWORD values[] = {0xC0000005, 0xC0000094, 0xE0001234};
    for (DWORD value : values) {
        record_.ExceptionCode = value;
        CrashReporter::ReportFilter(&pointers_);
    }
    const std::vector<std::string> reports = Reports(ReadFile(reportPath_));
    ASSERT_EQ(reports.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const ParsedReport report = Parse(reports[i]);
        EXPECT_EQ(report.code, values[i]);
        EXPECT_EQ(report.name, codes[i]);
    }
}

TEST_F(ReportFilterWin32, FileHeldByAnotherWriterGivesNoReport) {
    ::SetUnhandledExceptionFilter(&EarlierFilter);
    CrashReporter reporter;
    HANDLE held = ::CreateFileA(reportPath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CrashReporter::ReportFilter(&pointers_), 0x1234);
    EXPECT_EQ(earlierFilterSaw, &pointers_);
    ::CloseHandle(held);
    EXPECT_EQ(ReadFile(reportPath_), "");
    // Pointers without a record or context are passed on untouched.
    EXCEPTION_POINTERS empty = {};
    earlierFilterSaw = nullptr;
    EXPECT_EQ(CrashReporter::ReportFilter(&empty), 0x1234);
    EXPECT_EQ(earlierFilterSaw, &empty);
    EXPECT_EQ(ReadFile(reportPath_), "");
}

// ---------------------------------------------------------------------------
// Real crashes in child processes.

struct ChildRun {
    DWORD exitCode = 0;
    std::string before, after;  // local time around the run
};

ChildRun RunChild(const std::string& dll, const std::string& arguments,
                  const std::string& child = Beside("crash_child.exe")) {
    ChildRun run;
    std::string command = "\"" + child + "\" \"" + dll + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    run.before = LocalTimeText();
    if (!::CreateProcessA(child.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        ADD_FAILURE() << "cannot start " << command;
        return run;
    }
    // A child that hangs must not outlive the test, nor hold its output open.
    if (::WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "child did not end: " << command;
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, 5000);
    }
    ::GetExitCodeProcess(process.hProcess, &run.exitCode);
    run.after = LocalTimeText();
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return run;
}

class CrashingChild : public ::testing::Test {
protected:
    void SetUp() override {
        child_ = Beside("crash_child.exe");
        probe_ = Beside("crash_probe_dll.dll");
        reportPath_ = ReportPathOf(child_);
        ::DeleteFileA(reportPath_.c_str());
    }
    void TearDown() override { ::DeleteFileA(reportPath_.c_str()); }
    std::vector<std::string> ReportsWritten() { return Reports(ReadFile(reportPath_)); }

    std::string child_, probe_, reportPath_;
};

// The frames of a real stack grow, and the lines below the first come from
// return addresses: all of them in some module.
void ExpectRealCallStack(const ParsedReport& report, std::size_t atLeast) {
    ASSERT_GE(report.stack.size(), atLeast);
    EXPECT_EQ(report.stack[0].pc, report.pc);
    EXPECT_EQ(report.stack[0].frame, report.firstFrame);
    for (std::size_t i = 1; i < report.stack.size(); ++i) {
        EXPECT_GT(report.stack[i].frame, report.stack[i - 1].frame);
    }
}

TEST_F(CrashingChild, AccessViolationsAppendReportsBesideTheExecutable) {
    const ChildRun first = RunChild(probe_, "av");
    EXPECT_EQ(first.exitCode, 0xC0000005u);
    const ChildRun second = RunChild(probe_, "av");
    EXPECT_EQ(second.exitCode, 0xC0000005u);

    const std::string file = ReadFile(reportPath_);
    const std::vector<std::string> reports = Reports(file);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(file.find("//== Error Time["), 0u);
    const ChildRun* runs[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Lines(reports[i])[1], "Exception code: C0000005 ACCESS_VIOLATION");
        const ParsedReport report = Parse(reports[i]);
        EXPECT_LE(runs[i]->before, report.time);
        EXPECT_GE(runs[i]->after, report.time);
        EXPECT_EQ(report.faultAddress, report.pc);
        EXPECT_EQ(report.faultSection, 1u);
        EXPECT_TRUE(SameText(report.faultModule, child_)) << report.faultModule;
        // WriteToNull, then Descend four times, then main: all in the child.
        ExpectRealCallStack(report, 6);
        for (std::size_t line = 0; line < 6 && line < report.stack.size(); ++line) {
            EXPECT_EQ(report.stack[line].section, 1u);
            EXPECT_TRUE(SameText(report.stack[line].module, child_)) << report.stack[line].module;
        }
    }
}

TEST_F(CrashingChild, FaultInsideTheDll) {
    EXPECT_EQ(RunChild(probe_, "av-dll").exitCode, 0xC0000005u);
    const std::vector<std::string> reports = ReportsWritten();
    ASSERT_EQ(reports.size(), 1u);
    const ParsedReport report = Parse(reports[0]);
    EXPECT_EQ(report.faultSection, 1u);
    EXPECT_TRUE(SameText(report.faultModule, probe_)) << report.faultModule;
    ExpectRealCallStack(report, 2);
    // The caller of the faulting DLL function is the child program.
    if (report.stack.size() >= 2) {
        EXPECT_TRUE(SameText(report.stack[1].module, child_)) << report.stack[1].module;
    }
}

TEST_F(CrashingChild, OtherExceptionCodes) {
    char ntdllText[512] = {};
    ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, ::GetModuleHandleA("ntdll.dll"),
                     0xC0000017u, 0, ntdllText, sizeof ntdllText, nullptr);
    MakeSingleLine(ntdllText, sizeof ntdllText);
    struct Case {
        const char* arguments;
        DWORD code;
        std::string name;
    };
    const Case cases[] = {
        {"div0", 0xC0000094, "INT_DIVIDE_BY_ZERO"},
        {"raise C0000017", 0xC0000017, ntdllText},  // named by NTDLL, or "" where it has no text
        {"raise E0001234", 0xE0001234, ""},
        {"raise C000001D", 0xC000001D, "ILLEGAL_INSTRUCTION"},
        {"thread-av", 0xC0000005, "ACCESS_VIOLATION"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        ::DeleteFileA(reportPath_.c_str());
        EXPECT_EQ(RunChild(probe_, c.arguments).exitCode, c.code);
        const std::vector<std::string> reports = ReportsWritten();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(Lines(reports[0])[1], "Exception code: " + Hex(c.code, 8) + " " + c.name);
        const ParsedReport report = Parse(reports[0]);
        ExpectRealCallStack(report, 2);
    }
}

TEST_F(CrashingChild, AFullStackIsReportedInFull) {
    // The recursion uses the whole stack; the filter runs on what little is
    // left, with its buffers outside the stack. The child ends with the number
    // of recursive frames, and every one of them is listed, down to the
    // thread's start.
#if defined(_WIN64)
    // Wine cannot raise a stack overflow in x64 code: its exception
    // dispatcher needs more stack than the guard page leaves, and it ends
    // the thread before any filter runs. A stack filled to its last 64 KiB
    // that then faults holds the x64 report to the same promise.
    const char* const mode = "full-stack";
    const char* const codeLine = "Exception code: C0000005 ACCESS_VIOLATION";
#else
    const char* const mode = "overflow";
    const char* const codeLine = "Exception code: C00000FD STACK_OVERFLOW";
#endif
    const DWORD started = ::GetTickCount();
    const ChildRun run = RunChild(probe_, mode);
    const DWORD elapsed = ::GetTickCount() - started;
    ASSERT_GT(run.exitCode, 0x10000u);
    const std::uint32_t depth = run.exitCode - 0x10000u;
    EXPECT_GT(depth, 5000u);
    const std::vector<std::string> reports = ReportsWritten();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(Lines(reports[0])[1], codeLine);
    const ParsedReport report = Parse(reports[0]);
    ExpectRealCallStack(report, depth);
    std::size_t inChild = 0;
    for (const StackLine& line : report.stack) inChild += SameText(line.module, child_) ? 1 : 0;
    EXPECT_GE(inChild, depth);
    EXPECT_TRUE(SameText(report.stack.back().module, "C:\\windows\\system32\\ntdll.dll") ||
                SameText(report.stack.back().module, "C:\\windows\\system32\\kernel32.dll"))
        << report.stack.back().module;
    // How long it takes is a measurement, not a condition.
    std::printf("full stack (%s): %u frames, %zu report lines, child ran %lu ms\n", mode, depth, report.stack.size(),
                static_cast<unsigned long>(elapsed));
}

TEST_F(CrashingChild, SecondFaultingThreadWaitsForTheFirstReport) {
    // One thread faults on a deep stack; a second faults while that report is
    // being written. The second writes nothing, and the process does not end
    // through it before the first report is complete.
    EXPECT_EQ(RunChild(probe_, "two-threads").exitCode, 77u);
    const std::vector<std::string> reports = ReportsWritten();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(Lines(reports[0])[1], "Exception code: C0000005 ACCESS_VIOLATION");
    ExpectRealCallStack(Parse(reports[0]), 5000);
}

TEST_F(CrashingChild, EarlierFilterRunsAfterTheReport) {
    // The earlier filter ends the process with its own code; the report was
    // already written by then.
    EXPECT_EQ(RunChild(probe_, "earlier-filter").exitCode, 77u);
    EXPECT_EQ(ReportsWritten().size(), 1u);
}

TEST_F(CrashingChild, UnloadPutsTheEarlierFilterBack) {
    // The child checks the current filter after FreeLibrary (exit code 4 if
    // it is not the earlier one), then faults under a filter of its own that
    // exits with 78: no report.
    for (const char* mode : {"unload", "unload-after-later"}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(RunChild(probe_, mode).exitCode, 78u);
        EXPECT_EQ(ReadFile(reportPath_), "");
    }
}

TEST_F(CrashingChild, ReportBesideExecutablesOfEveryName) {
    // Copies of the child under other names, in a folder with a "." in its
    // name; the report goes beside each, and an executable without a
    // three-byte extension keeps its whole name plus ".RPT": it is never
    // written into. (GBK names are covered by the native tests: the Unix side
    // of this Wine may have no locale to store them in.)
    const std::string folder = Beside("renamed.d");
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS)
        << ::GetLastError();
    struct Case {
        const char* executable;
        const char* report;
    };
    const Case cases[] = {
        {"other.html", "other.RPT"},
        {"host", "host.RPT"},
        {"host.ex", "host.ex.RPT"},
        {"host.rpt", "host.rpt.RPT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.executable);
        const std::string executable = folder + "\\" + c.executable;
        const std::string report = folder + "\\" + c.report;
        ASSERT_TRUE(::CopyFileA(child_.c_str(), executable.c_str(), FALSE)) << ::GetLastError();
        ::DeleteFileA(report.c_str());
        const std::string before = ReadFile(executable);
        EXPECT_EQ(RunChild(probe_, "av", executable).exitCode, 0xC0000005u);
        EXPECT_EQ(ReadFile(executable), before);
        const std::vector<std::string> reports = Reports(ReadFile(report));
        ASSERT_EQ(reports.size(), 1u);
        const ParsedReport parsed = Parse(reports[0]);
        EXPECT_TRUE(SameText(parsed.faultModule, executable)) << parsed.faultModule;
        ::DeleteFileA(report.c_str());
        ::DeleteFileA(executable.c_str());
    }
    ::RemoveDirectoryA(folder.c_str());
}

TEST_F(CrashingChild, TheLibraryItself) {
    const char* library = std::getenv("VEXA_PLUS_DLL");
    ASSERT_TRUE(library != nullptr && *library != '\0') << "VEXA_PLUS_DLL does not name VexaIMPlus.dll";
    // The library loads user32, and then Wine's own handling of an unhandled
    // exception may wait on a message box: the child's earlier filter ends it
    // instead, after the report.
    EXPECT_EQ(RunChild(library, "earlier-filter").exitCode, 77u);
    const std::vector<std::string> reports = ReportsWritten();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(Lines(reports[0])[1], "Exception code: C0000005 ACCESS_VIOLATION");
    const ParsedReport report = Parse(reports[0]);
    EXPECT_TRUE(SameText(report.faultModule, child_)) << report.faultModule;
    ExpectRealCallStack(report, 6);
    EXPECT_EQ(RunChild(library, "unload").exitCode, 78u);
    EXPECT_EQ(ReportsWritten().size(), 1u);
}

}  // namespace
}  // namespace vexa::crash
