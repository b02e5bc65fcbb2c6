// The host -> IM round trip through the DLL (a packet written into the shared
// block and announced with a synchronous window message to another process)
// beside a bare SendMessageA round trip between the same two processes, in
// one run, so the ratio is the library's own cost.
//
//   vexa_relay_bench ITERATIONS LABEL [IM_PROGRAM]
//
// This program is the host; it starts its IM half itself, from IM_PROGRAM
// when given (the other word size's build of this program, for a host and an
// IM program of different word sizes). It prints one row of the table that
// scripts/bench-win32.sh puts together: LABEL, both times and their ratio.
#include <windows.h>

#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "VexaIMPlus.h"

namespace {

constexpr UINT kBareMessage = WM_APP + 9;
IMPlusDLL* g_plus = nullptr;

LRESULT CALLBACK ImProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_IMPLUS_TOIM && wParam == IMPLUS_TOIM_PACKET) {
        g_plus->IM_DealProcCommand(static_cast<unsigned>(lParam));
        return 1;
    }
    if (msg == kBareMessage) return 1;
    if (msg == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND MakeWindow(const char* name, WNDPROC proc) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = name;
    RegisterClassA(&wc);
    return CreateWindowA(name, name, WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
}

int RunIM() {
    IMPlusDLL plus;
    g_plus = &plus;
    HWND own = MakeWindow("VexaRelayBenchIM", ImProc);
    if (!plus.IM_PlusInit(own, nullptr, static_cast<PROMID>(0))) return 1;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    return 0;
}

double NanosPerCall(int iterations, const std::function<void()>& call) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) call();
    auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / iterations;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--im") return RunIM();
    int iterations = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (iterations < 1) iterations = 1;
    const std::string label = argc > 2 ? argv[2] : "";

    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    if (argc > 3) std::snprintf(exe, sizeof exe, "%s", argv[3]);
    std::string command = std::string("\"") + exe + "\" --im";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(exe, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 1;
    HWND im = nullptr;
    for (int i = 0; i < 500 && !im; ++i) {
        im = FindWindowA("VexaRelayBenchIM", nullptr);
        Sleep(10);
    }
    IMPlusDLL plus;
    HWND own = MakeWindow("VexaRelayBenchHost", DefWindowProcA);
    bool ready = false;
    for (int i = 0; i < 100 && im && !ready; ++i) {
        // The IM half may not have made the blocks yet; wait without the box.
        HANDLE probe = OpenFileMappingA(FILE_MAP_READ, FALSE, "#IMREVMAP1#");
        if (probe) {
            CloseHandle(probe);
            ready = plus.PROM_PlusInit(static_cast<PROMID>(7), own, im);
        } else {
            Sleep(20);
        }
    }
    if (!ready) {
        TerminateProcess(pi.hProcess, 1);
        std::fprintf(stderr, "the IM half did not start\n");
        return 1;
    }
    std::vector<unsigned char> payload(64, 'x');
    // Warm up both paths before measuring.
    for (int i = 0; i < 200; ++i) {
        plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(77), payload.data(), 64);
        SendMessageA(im, kBareMessage, 0, 0);
    }
    // Alternating batches, so a busy moment of the machine weighs on both.
    double dll = 0, bare = 0;
    const int batches = 20, perBatch = iterations / batches > 0 ? iterations / batches : 1;
    for (int b = 0; b < batches; ++b) {
        dll += NanosPerCall(perBatch, [&] { plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(77), payload.data(), 64); });
        bare += NanosPerCall(perBatch, [&] { SendMessageA(im, kBareMessage, 0, 0); });
    }
    dll /= batches;
    bare /= batches;
    std::printf("%-22s %15.0f ns %15.0f ns %7.2f\n", label.c_str(), dll, bare, dll / bare);
    PostMessageA(im, WM_CLOSE, 0, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    plus.PROM_PlusUnInit();
    return 0;
}
