// A program that loads a DLL holding the crash reporter and then dies the way
// its command line asks, for the crash reporter's Wine tests:
//   crash_child DLL MODE [CODE]
// Exit codes below 16 are the child's own complaints; every other one is the
// exception code or the exit code of one of its filters (77 the filter from
// before the DLL, 78 the one after the DLL was unloaded).
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

// Recursion until the stack runs out, each call with a frame the compiler
// must keep. (Under Wine, much larger frames can leave the overflow no room
// to be raised at all, and the thread just vanishes.)
__attribute__((noinline)) int Overflow(int depth) {
    volatile char frame[64];
    frame[depth % 64] = static_cast<char>(depth);
    return (keepRecursing ? Overflow(depth + 1) : 0) + frame[0];
}

// Uses up all but the last 128 KiB of this thread's stack in one frame, so the
// recursion overflows after some fifteen hundred calls rather than thirteen
// thousand, and the report stays quick to write.
DWORD WINAPI OverflowingThread(void*) {
    volatile char here = 0;
    MEMORY_BASIC_INFORMATION stack;
    ::VirtualQuery(const_cast<char*>(&here), &stack, sizeof stack);
    const std::size_t left = static_cast<std::size_t>(const_cast<char*>(&here) -
                                                      static_cast<char*>(stack.AllocationBase));
    const std::size_t keep = 128 * 1024;
    volatile char* used = static_cast<volatile char*>(__builtin_alloca(left > 2 * keep ? left - keep : 1));
    used[0] = here;
    return static_cast<DWORD>(Overflow(0)) + used[0];
}

DWORD WINAPI FaultingThread(void*) {
    Descend(2);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return kBadMode;
    const char* mode = argv[2];
    // After a stack overflow, Wine's own handling may not get the process to
    // end; the earlier filter ends it instead.
    const bool earlier = std::strcmp(mode, "earlier-filter") == 0 || std::strcmp(mode, "overflow") == 0 ||
                         std::strncmp(mode, "unload", 6) == 0;
    if (earlier) ::SetUnhandledExceptionFilter(&EarlierFilter);

    HMODULE dll = ::LoadLibraryA(argv[1]);
    if (dll == nullptr) return kNoDll;
    if (CurrentFilter() == &EarlierFilter) return kFilterNotInstalled;

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
    } else if (std::strcmp(mode, "thread-av") == 0) {
        HANDLE thread = ::CreateThread(nullptr, 0, &FaultingThread, nullptr, 0, nullptr);
        ::WaitForSingleObject(thread, INFINITE);
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
