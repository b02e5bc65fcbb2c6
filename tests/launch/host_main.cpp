// A stand-in host program that loads the library at run time and unloads it
// again while it goes on running, as a host that uses the IM program only for
// a while does. Every step is reported (WM_COPYDATA) to the report window,
// whose handle is also the host window it names to the IM program.
//
//   vexa_launch_host <report hwnd> stay          finds the IM window, starts nothing
//   vexa_launch_host <report hwnd> run <path>    finds the IM window, starts <path>
//   vexa_launch_host <report hwnd> run-empty     finds the IM window, starts ""
//
// The class is reached through GetProcAddress, so nothing of the library is
// bound at load time and FreeLibrary really unloads it.
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "VexaIMPlus.h"

namespace {

HWND g_report = nullptr;

void Report(const std::string& line) {
    COPYDATASTRUCT data = {};
    data.dwData = 1;
    data.cbData = static_cast<DWORD>(line.size());
    data.lpData = const_cast<char*>(line.data());
    SendMessageA(g_report, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
}

std::string Num(long long v) { return std::to_string(v); }

// An exported non-virtual member function as a pointer to member: the
// function's address with no adjustment of the object pointer.
template <typename Member>
bool Resolve(HMODULE dll, const char* name, Member& member) {
    FARPROC function = GetProcAddress(dll, name);
    if (!function) return false;
    struct {
        FARPROC function;
        std::ptrdiff_t adjust;
    } representation{function, 0};
    static_assert(sizeof(Member) == sizeof representation, "pointer to member layout");
    std::memcpy(&member, &representation, sizeof member);
    return true;
}

using Special = void(__thiscall*)(void*);

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    g_report = reinterpret_cast<HWND>(static_cast<LONG_PTR>(std::atoll(argv[1])));
    std::string mode = argv[2];
    std::string program = mode == "run" && argc > 3 ? argv[3] : "";

    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string dir(exe);
    dir = dir.substr(0, dir.find_last_of("\\/") + 1);
    HMODULE dll = LoadLibraryA((dir + "VexaIMPlus.dll").c_str());
    if (!dll) {
        Report("host load=0");
        return 3;
    }

    Special construct = reinterpret_cast<Special>(reinterpret_cast<void*>(GetProcAddress(dll, "_ZN9IMPlusDLLC1Ev")));
    Special destruct = reinterpret_cast<Special>(reinterpret_cast<void*>(GetProcAddress(dll, "_ZN9IMPlusDLLD1Ev")));
    int (IMPlusDLL::*checkIMExist)(HWND) = nullptr;
    int (IMPlusDLL::*runVexaIMProgram)(HWND, IMString) = nullptr;
    HWND (IMPlusDLL::*getOutputHwnd)() const = nullptr;
    bool resolved = construct && destruct &&
                    Resolve(dll, "_ZN9IMPlusDLL17PROM_CheckIMExistEP6HWND__", checkIMExist) &&
                    Resolve(dll, "_ZN9IMPlusDLL21PROM_RunVexaIMProgramEP6HWND__8IMString", runVexaIMProgram) &&
                    Resolve(dll, "_ZNK9IMPlusDLL13GetOutputHwndEv", getOutputHwnd);
    if (!resolved) {
        Report("host load=1 resolved=0");
        FreeLibrary(dll);
        return 4;
    }

    {
        alignas(IMPlusDLL) unsigned char storage[sizeof(IMPlusDLL)];
        construct(storage);
        IMPlusDLL* plus = reinterpret_cast<IMPlusDLL*>(storage);
        int found = (plus->*checkIMExist)(nullptr);
        HWND other = (plus->*getOutputHwnd)();
        Report("host found=" + Num(found) + " other=" + Num(reinterpret_cast<LONG_PTR>(other)));
        if (mode != "stay") {
            int ran = (plus->*runVexaIMProgram)(g_report, IMString(program.c_str()));
            Report("host ran=" + Num(ran));
        }
        destruct(storage);
    }
    BOOL freed = FreeLibrary(dll);
    // Still running, with the library gone: whatever the IM window received
    // came from the unload, not from the end of this process.
    Report("host freed=" + Num(freed) + " loaded=" + Num(GetModuleHandleA("VexaIMPlus.dll") != nullptr));
    return 0;
}
