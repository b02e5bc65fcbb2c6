#include "crash/crash_reporter_win32.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "crash/cached_memory.h"
#include "crash/exception_names.h"
#include "crash/pe_sections.h"
#include "crash/process_memory_win32.h"
#include "crash/report_line.h"
#include "crash/report_path.h"
#include "crash/report_writer.h"
#include "crash/thread_context_win32.h"
#include "platform/handles_win32.h"

namespace vexa::crash {
namespace {

constexpr std::size_t kExceptionNameCapacity = 512;

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
// Asked for at load: the call takes the loader lock, which the crashed
// thread or another one may hold.
HMODULE ntdllModule = nullptr;
ProcessMemory processMemory;
CachedMemory reportMemory(processMemory);
// The report goes out in pieces of this size.
char reportBuffer[64 * 1024];
BufferedSink bufferedSink(reportBuffer, sizeof reportBuffer);
ExceptionFacts facts;

// The thread writing a report, 0 when none. A thread that faults meanwhile
// writes nothing (the buffers above serve one report at a time, as the file
// opened without sharing would refuse it anyway), but waits until that report
// is complete before it hands its exception on: the next filter or the
// system may end the process. A fault inside the filter itself, on the
// reporting thread, goes on at once.
std::atomic<DWORD> reportingThread{0};
// Bounded, so that a report that never ends cannot hold the other threads'
// exceptions for ever; a full stack's report takes well under a second.
constexpr DWORD kWaitForReportMs = 10000;

void WaitForReport() {
    const DWORD start = ::GetTickCount();
    while (reportingThread.load() != 0 && ::GetTickCount() - start < kWaitForReportMs) ::Sleep(1);
}

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

// Section and offset of address in the module that holds it, read through
// memory. The module's path comes from cache when given one.
class ModuleNames;
bool LocateInModule(const void* address, const MemoryReader& memory, ModuleNames* names, char* moduleName,
                    DWORD& section, DWORD& offset);

// The paths of the modules one report has met, so that a stack of thousands
// of frames in one module asks the loader for its path once, not per frame.
class ModuleNames {
public:
    void Clear() {
        for (Entry& entry : entries_) entry.module = nullptr;
        next_ = 0;
    }
    // The path of module into out; false for no module.
    bool Name(HMODULE module, char* out) {
        for (const Entry& entry : entries_) {
            if (entry.module == module) {
                std::memcpy(out, entry.name, sizeof entry.name);
                return entry.name[0] != '\0';
            }
        }
        bool complete = false;
        const bool found = ModuleFileName(module, out, complete) > 0;
        Entry& entry = entries_[next_];
        next_ = (next_ + 1) % kEntries;
        entry.module = module;
        std::memcpy(entry.name, out, sizeof entry.name);
        return found;
    }

private:
    static constexpr std::size_t kEntries = 8;
    struct Entry {
        HMODULE module = nullptr;
        char name[kPathCapacity] = {};
    };
    Entry entries_[kEntries] = {};
    std::size_t next_ = 0;
};

// Module lookup for the report: the live process's modules, through the
// report's page cache and module names.
class ReportModules : public ModuleLookup {
public:
    void Clear() { names_.Clear(); }
    bool FindModuleSection(Address address, char* moduleName, std::uint32_t& section,
                           std::uint32_t& offset) override {
        DWORD foundSection = 0, foundOffset = 0;
        // An address no pointer of this process can hold lies in no module.
        if (address > static_cast<std::uintptr_t>(-1)) return false;
        if (!LocateInModule(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), reportMemory,
                            &names_, moduleName, foundSection, foundOffset))
            return false;
        section = foundSection;
        offset = foundOffset;
        return true;
    }

private:
    ModuleNames names_;
};

ReportModules reportModules;
ReportWriter reportWriter(reportModules, reportMemory);

bool LocateInModule(const void* address, const MemoryReader& memory, ModuleNames* names, char* moduleName,
                    DWORD& section, DWORD& offset) {
    MEMORY_BASIC_INFORMATION region;
    if (::VirtualQuery(address, &region, sizeof region) != sizeof region) return false;
    // Free memory has no allocation base, and asking for the file name of a
    // null module would give the executable's: an address in no module must
    // print no module.
    if (region.State != MEM_COMMIT || region.AllocationBase == nullptr) return false;
    HMODULE module = static_cast<HMODULE>(region.AllocationBase);
    bool complete = false;
    if (names != nullptr ? !names->Name(module, moduleName) : ModuleFileName(module, moduleName, complete) == 0)
        return false;

    SectionHit hit;
    const Address base = static_cast<Address>(reinterpret_cast<std::uintptr_t>(module));
    const Address at = static_cast<Address>(reinterpret_cast<std::uintptr_t>(address));
    if (!FindSection(memory, base, at, hit)) return false;
    section = hit.number;
    offset = hit.offset;
    return true;
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

    // Copies and paths of an earlier report may be stale by now.
    reportMemory.Clear();
    reportModules.Clear();
    FileSink fileSink(file.get());
    bufferedSink.Attach(fileSink);
    WriteThreadReport(reportWriter, bufferedSink, facts, *pointers.ContextRecord, reportMemory);
    bufferedSink.Detach();
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

    ntdllModule = ::GetModuleHandleA("NTDLL.DLL");
    processMemory.Prepare();

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
    processMemory.Release();
}

LONG WINAPI CrashReporter::ReportFilter(EXCEPTION_POINTERS* pointers) {
    if (pointers != nullptr && pointers->ExceptionRecord != nullptr && pointers->ContextRecord != nullptr) {
        const DWORD self = ::GetCurrentThreadId();
        DWORD writer = 0;
        if (reportingThread.compare_exchange_strong(writer, self)) {
            AppendReport(*pointers);
            reportingThread.store(0);
        } else if (writer != self) {
            WaitForReport();
        }
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
    // Without a reporter (its tests) nothing was prepared; ask now.
    const HMODULE ntdll = ntdllModule != nullptr ? ntdllModule : ::GetModuleHandleA("NTDLL.DLL");
    ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, ntdll, code, 0, exceptionName,
                     sizeof exceptionName, nullptr);
    MakeSingleLine(exceptionName, sizeof exceptionName);
    return exceptionName;
}

bool CrashReporter::FindModuleSection(const void* address, char* moduleName, DWORD& section, DWORD& offset) {
    return LocateInModule(address, processMemory, nullptr, moduleName, section, offset);
}

const char* CrashReporter::ReportPath() { return reportPath; }

LPTOP_LEVEL_EXCEPTION_FILTER CrashReporter::PreviousFilter() { return previousFilter; }

}  // namespace vexa::crash
