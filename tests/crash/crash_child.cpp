// A program that loads a DLL holding the crash reporter and then dies the way
// its command line asks, for the crash reporter's Wine tests:
//   crash_child DLL MODE [CODE]
// Exit codes below 16 are the child's own complaints; every other one is the
// exception code or the exit code of one of its filters (77 the filter from
// before the DLL, 78 the one after the DLL was unloaded, 0x10000 plus the
// number of recursive frames after a stack overflow or on a full stack).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kNoDll = 2;
constexpr int kBadMode = 3;
constexpr int kFilterNotRestored = 4;
constexpr int kFilterNotInstalled = 5;
constexpr UINT kEarlierFilterExit = 77;
constexpr UINT kAfterUnloadExit = 78;

LONG WINAPI EarlierFilter(EXCEPTION_POINTERS*) {
    // The report is complete by now: ReportFilter calls this filter last.
    ::ExitProcess(kEarlierFilterExit);
}

LONG WINAPI LaterFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// Ends the process itself rather than leaving it to the system, which under
// Wine may show a modal box once user32 is loaded (as the library loads it).
LONG WINAPI AfterUnloadFilter(EXCEPTION_POINTERS*) { ::ExitProcess(kAfterUnloadExit); }

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
    LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(current);
    return current;
}

__attribute__((noinline)) void WriteToNull() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

volatile int depthReached = 0;

// Calls of a few levels, kept as real calls (no tail call), so the report's
// call stack has frames of this program to show.
__attribute__((noinline)) void Descend(int levels) {
    if (levels == 0)
        WriteToNull();
    else
        Descend(levels - 1);
    depthReached = levels;
}

__attribute__((noinline)) int Divide(int a, int b) { return a / b; }

volatile bool keepRecursing = true;
volatile int deepest = 0;

// Recursion until the whole stack is used, each call with a frame the
// compiler must keep. (Under Wine, much larger frames can leave the overflow
// no room to be raised at all, and the thread just vanishes.)
__attribute__((noinline)) int Overflow(int depth) {
    volatile char frame[64];
    frame[depth % 64] = static_cast<char>(depth);
    deepest = depth;
    return (keepRecursing ? Overflow(depth + 1) : 0) + frame[0];
}

DWORD WINAPI OverflowingThread(void*) { return static_cast<DWORD>(Overflow(0)); }

// Recursion until less than 64 KiB of the thread's stack are left, then a
// write through a null pointer: a stack all but full, reported by a filter
// that has room to run.
__attribute__((noinline)) int FillStack(int depth) {
    volatile char frame[64];
    frame[depth % 64] = static_cast<char>(depth);
    deepest = depth;
    ULONG_PTR low = 0, high = 0;
    ::GetCurrentThreadStackLimits(&low, &high);
    if (reinterpret_cast<ULONG_PTR>(&frame[0]) - low < 64 * 1024) WriteToNull();
    return (keepRecursing ? FillStack(depth + 1) : 0) + frame[0];
}

DWORD WINAPI FillingThread(void*) { return static_cast<DWORD>(FillStack(0)); }

// The filter from before the library, for an overflow: ends the process
// with the number of Overflow frames, which the report must list in full.
LONG WINAPI OverflowDepthFilter(EXCEPTION_POINTERS*) { ::ExitProcess(0x10000u + deepest + 1); }

DWORD WINAPI FaultingThread(void*) {
    Descend(2);
    return 0;
}

// The first of two crashing threads: a deep stack, so its report is long.
DWORD WINAPI DeepFaultingThread(void*) {
    Descend(5000);
    return 0;
}

// The second: faults while the first one's report is being written, which
// shows as the report file existing and held open without sharing.
constexpr int kReportNeverSeen = 6;
DWORD WINAPI LateFaultingThread(void*) {
    char report[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, report, MAX_PATH - 4);
    char* dot = std::strrchr(report, '.');
    if (length == 0 || dot == nullptr) ::ExitProcess(kReportNeverSeen);
    std::strcpy(dot + 1, "RPT");
    for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 10000; ::Sleep(1)) {
        HANDLE file = ::CreateFileA(report, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file);
            continue;
        }
        if (::GetLastError() == ERROR_SHARING_VIOLATION) {
            ::RaiseException(0xE0000002u, 0, 0, nullptr);
        }
    }
    ::ExitProcess(kReportNeverSeen);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return kBadMode;
    const char* mode = argv[2];
    // After a stack overflow, Wine's own handling may not get the process to
    // end; the earlier filter ends it instead.
    const bool earlier = std::strcmp(mode, "earlier-filter") == 0 || std::strcmp(mode, "two-threads") == 0 ||
                         std::strncmp(mode, "unload", 6) == 0;
    if (earlier) ::SetUnhandledExceptionFilter(&EarlierFilter);
    if (std::strcmp(mode, "overflow") == 0 || std::strcmp(mode, "full-stack") == 0)
        ::SetUnhandledExceptionFilter(&OverflowDepthFilter);

    HMODULE dll = ::LoadLibraryA(argv[1]);
    if (dll == nullptr) return kNoDll;
    if (CurrentFilter() == &EarlierFilter || CurrentFilter() == &OverflowDepthFilter) return kFilterNotInstalled;

    if (std::strcmp(mode, "av") == 0 || std::strcmp(mode, "earlier-filter") == 0) {
        Descend(3);
    } else if (std::strcmp(mode, "av-dll") == 0) {
        auto fault = reinterpret_cast<void (*)()>(::GetProcAddress(dll, "ProbeFaultInDll"));
        if (fault == nullptr) return kNoDll;
        fault();
    } else if (std::strcmp(mode, "div0") == 0) {
        // A dividend the compiler cannot see, so the division is a real idiv.
        volatile int zero = 0, dividend = 1000;
        std::printf("%d\n", Divide(dividend, zero));
    } else if (std::strcmp(mode, "raise") == 0 && argc > 3) {
        ::RaiseException(static_cast<DWORD>(std::strtoul(argv[3], nullptr, 16)), 0, 0, nullptr);
    } else if (std::strcmp(mode, "overflow") == 0) {
        HANDLE thread = ::CreateThread(nullptr, 0, &OverflowingThread, nullptr, 0, nullptr);
        ::WaitForSingleObject(thread, INFINITE);
    } else if (std::strcmp(mode, "full-stack") == 0) {
        HANDLE thread = ::CreateThread(nullptr, 0, &FillingThread, nullptr, 0, nullptr);
        ::WaitForSingleObject(thread, INFINITE);
    } else if (std::strcmp(mode, "thread-av") == 0) {
        HANDLE thread = ::CreateThread(nullptr, 0, &FaultingThread, nullptr, 0, nullptr);
        ::WaitForSingleObject(thread, INFINITE);
    } else if (std::strcmp(mode, "two-threads") == 0) {
        HANDLE threads[] = {::CreateThread(nullptr, 0, &LateFaultingThread, nullptr, 0, nullptr),
                            ::CreateThread(nullptr, 0, &DeepFaultingThread, nullptr, 0, nullptr)};
        ::WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    } else if (std::strcmp(mode, "unload") == 0 || std::strcmp(mode, "unload-after-later") == 0) {
        // With a later filter installed over the library's, unloading still
        // puts back the filter from before the library.
        if (std::strcmp(mode, "unload-after-later") == 0) ::SetUnhandledExceptionFilter(&LaterFilter);
        ::FreeLibrary(dll);
        if (CurrentFilter() != &EarlierFilter) return kFilterNotRestored;
        ::SetUnhandledExceptionFilter(&AfterUnloadFilter);
        WriteToNull();  // no report: the library is gone
    } else {
        return kBadMode;
    }
    return 0;
}
