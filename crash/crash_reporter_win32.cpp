#include "crash/crash_reporter_win32.h"

#include <atomic>
#include <cstdint>

#include "crash/exception_names.h"
#include "crash/pe_sections.h"
#include "crash/process_memory_win32.h"
#include "crash/report_line.h"
#include "crash/report_path.h"
#include "crash/report_writer.h"
#include "platform/handles_win32.h"

namespace vexa::crash {
namespace {

constexpr std::size_t kExceptionNameCapacity = 512;

// Module lookup for the report: the live process's modules.
class ProcessModules : public ModuleLookup {
public:
    bool FindModuleSection(Address address, char* moduleName, std::uint32_t& section,
                           std::uint32_t& offset) override {
        DWORD foundSection = 0, foundOffset = 0;
        if (!CrashReporter::FindModuleSection(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)),
                                              moduleName, foundSection, foundOffset))
            return false;
        section = foundSection;
        offset = foundOffset;
        return true;
    }
};

// Writes to the report file that one ReportFilter call has open.
class FileSink : public ReportSink {
public:
    explicit FileSink(HANDLE file) : file_(file) {}
    std::size_t Write(const char* bytes, std::size_t count) override {
        DWORD written = 0;
        if (!::WriteFile(file_, bytes, static_cast<DWORD>(count), &written, nullptr)) return 0;
        return written;
    }

private:
    HANDLE file_;
};

// Everything the filter uses is prepared before any crash. These objects
// are constant-initialised, so they are ready even for an exception raised
// while other static constructors still run.
char reportPath[kPathCapacity] = {};
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
char exceptionName[kExceptionNameCapacity] = {};
ProcessMemory processMemory;
ProcessModules processModules;
ReportWriter reportWriter(processModules, processMemory);
ExceptionFacts facts;

// The buffers above serve one report at a time. A thread that faults while
// another writes its report (or a fault inside the filter itself) finds the
// flag set and writes nothing, just as it could not have opened the file; it
// never waits.
std::atomic_flag reportInProgress = ATOMIC_FLAG_INIT;

// The module's path in the ANSI code page, as GetModuleFileNameA gives it,
// but through the wide call and buffers on the stack: the ANSI call may take
// memory from the heap, which may be what the crash damaged. Returns the
// length in bytes (0 for no module); complete is false when the path was cut
// to fit kPathCapacity bytes.
DWORD ModuleFileName(HMODULE module, char* out, bool& complete) {
    out[0] = '\0';
    complete = false;
    WCHAR wide[kPathCapacity];
    DWORD length = ::GetModuleFileNameW(module, wide, kPathCapacity);
    if (length == 0) return 0;
    complete = length < kPathCapacity;
    if (!complete) length = kPathCapacity - 1;
    int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), out,
                                      static_cast<int>(kPathCapacity) - 1, nullptr, nullptr);
    if (bytes <= 0) {
        // Longer in ANSI than the buffer: as much as fits, whole characters only.
        complete = false;
        bytes = 0;
        for (DWORD i = 0; i < length; ++i) {
            char character[8];
            const int size =
                ::WideCharToMultiByte(CP_ACP, 0, &wide[i], 1, character, sizeof character, nullptr, nullptr);
            if (size <= 0 || bytes + size > static_cast<int>(kPathCapacity) - 1) break;
            for (int j = 0; j < size; ++j) out[bytes++] = character[j];
        }
    }
    out[bytes] = '\0';
    return static_cast<DWORD>(bytes);
}

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

void AppendReport(const EXCEPTION_POINTERS& pointers) {
    if (reportPath[0] == '\0') return;
    platform::FileHandle file(::CreateFileA(reportPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                            FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!file) return;
    // Reports follow one another; the file is never truncated.
    ::SetFilePointer(file.get(), 0, nullptr, FILE_END);

    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char time[kTimeTextCapacity];
    FormatReportTime(time, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);

    const EXCEPTION_RECORD& record = *pointers.ExceptionRecord;
    facts.time = time;
    facts.code = record.ExceptionCode;
    facts.name = CrashReporter::ExceptionName(record.ExceptionCode);
    facts.address = static_cast<Address>(reinterpret_cast<std::uintptr_t>(record.ExceptionAddress));
    facts.registers = RegistersOf(*pointers.ContextRecord);

    FileSink sink(file.get());
    reportWriter.WriteReport(sink, facts);
}

}  // namespace

CrashReporter::CrashReporter() {
    // The path comes first, so the filter never sees it half-made.
    char executable[kPathCapacity];
    bool complete = false;
    // A path the buffer cut short names some other file; better no report.
    if (ModuleFileName(nullptr, executable, complete) > 0 && complete)
        MakeReportPath(executable, reportPath, sizeof reportPath);
    else
        reportPath[0] = '\0';

    LPTOP_LEVEL_EXCEPTION_FILTER old = ::SetUnhandledExceptionFilter(&CrashReporter::ReportFilter);
    // A second reporter in the same module must not make the filter chain to
    // itself.
    if (old != &CrashReporter::ReportFilter) previousFilter = old;
}

CrashReporter::~CrashReporter() {
    // Put back the filter that was current before the library loaded, even if
    // another filter was installed since: that one may chain to ReportFilter,
    // whose code is about to be unmapped, and a crash would then jump into
    // freed memory. Restoring drops it, but leaves a filter whose code was in
    // place before this library came.
    ::SetUnhandledExceptionFilter(previousFilter);
}

LONG WINAPI CrashReporter::ReportFilter(EXCEPTION_POINTERS* pointers) {
    if (pointers != nullptr && pointers->ExceptionRecord != nullptr && pointers->ContextRecord != nullptr &&
        !reportInProgress.test_and_set()) {
        AppendReport(*pointers);
        reportInProgress.clear();
    }
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = previousFilter;
    if (previous != nullptr) return previous(pointers);
    return EXCEPTION_CONTINUE_SEARCH;
}

const char* CrashReporter::ExceptionName(DWORD code) {
    if (const char* known = KnownExceptionName(code)) return known;
    // Cleared first, so a code the system has no text for reads empty rather
    // than with the name of an earlier code.
    exceptionName[0] = '\0';
    ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, ::GetModuleHandleA("NTDLL.DLL"),
                     code, 0, exceptionName, sizeof exceptionName, nullptr);
    MakeSingleLine(exceptionName, sizeof exceptionName);
    return exceptionName;
}

bool CrashReporter::FindModuleSection(const void* address, char* moduleName, DWORD& section, DWORD& offset) {
    MEMORY_BASIC_INFORMATION region;
    if (::VirtualQuery(address, &region, sizeof region) != sizeof region) return false;
    // Free memory has no allocation base, and asking for the file name of a
    // null module would give the executable's: an address in no module must
    // print no module.
    if (region.State != MEM_COMMIT || region.AllocationBase == nullptr) return false;
    HMODULE module = static_cast<HMODULE>(region.AllocationBase);
    bool complete = false;
    if (ModuleFileName(module, moduleName, complete) == 0) return false;

    SectionHit hit;
    const Address base = static_cast<Address>(reinterpret_cast<std::uintptr_t>(module));
    const Address at = static_cast<Address>(reinterpret_cast<std::uintptr_t>(address));
    if (!FindSection(processMemory, base, at, hit)) return false;
    section = hit.number;
    offset = hit.offset;
    return true;
}

const char* CrashReporter::ReportPath() { return reportPath; }

LPTOP_LEVEL_EXCEPTION_FILTER CrashReporter::PreviousFilter() { return previousFilter; }

}  // namespace vexa::crash
