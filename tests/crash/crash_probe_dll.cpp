// A stand-in for the library in the crash reporter's Wine tests: a DLL whose
// one static object is the crash reporter, as in VexaIMPlus.dll, and a
// function that faults inside the DLL.
#include <windows.h>

#include "crash/crash_reporter_win32.h"

namespace {
vexa::crash::CrashReporter crashReporter;
}  // namespace

extern "C" __declspec(dllexport) void ProbeFaultInDll() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}
