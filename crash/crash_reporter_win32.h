// The process-wide crash reporter. The library defines exactly one
// CrashReporter among its static objects: constructing it installs
// ReportFilter as the top-level unhandled-exception filter, destroying it at
// unload puts the previous filter back. An unhandled exception then appends a
// report to the executable's report file (see crash/report_path.h) and goes
// on to the previous filter.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vexa::crash {

class CrashReporter {
public:
    CrashReporter();
    ~CrashReporter();
    CrashReporter(const CrashReporter&) = delete;
    CrashReporter& operator=(const CrashReporter&) = delete;

    // The installed filter. Appends one report (opened, appended and closed
    // within the call), then returns what the previous filter returns, or
    // EXCEPTION_CONTINUE_SEARCH (0) when there was none.
    static LONG WINAPI ReportFilter(EXCEPTION_POINTERS* pointers);

    // The name of an exception code: the fixed table, else the system's
    // message for the code from NTDLL.DLL on one line, else "". The text lives
    // in a buffer of the reporter that the next unknown code overwrites.
    static const char* ExceptionName(DWORD code);

    // Path of the module holding address into moduleName (260 bytes), and
    // the 1-based section and the offset in it. False for an address in no
    // module, moduleName then empty; false too when the module is found but
    // no section holds the address, the path then stays written.
    static bool FindModuleSection(const void* address, char* moduleName, DWORD& section, DWORD& offset);

    // The report file of this process; empty when no safe one could be made.
    static const char* ReportPath();
    // The filter that was current when the reporter installed its own.
    static LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter();
};

}  // namespace vexa::crash
