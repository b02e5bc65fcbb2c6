// A stand-in IM program, started through the shell. Like the real one it
// learns the host's window from its one command-line parameter; it reports
// how it was started to that window (WM_COPYDATA) and then runs until it is
// closed, or gives up after half a minute so that it never outlives a test.
//
//   report line: "im pid=<pid> hwnd=<own window> argc=<n> param=<argv[1]> cmdline=<command line>"
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_TIMER:
        PostQuitMessage(3);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv) {
    // The host window exactly as the IM program reads it: atoi of the text.
    HWND host = argc > 1 ? reinterpret_cast<HWND>(static_cast<LONG_PTR>(std::atoi(argv[1]))) : nullptr;

    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VexaLaunchedIM";
    RegisterClassA(&wc);
    HWND own = CreateWindowA(wc.lpszClassName, "VexaLaunchedIM", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                             wc.hInstance, nullptr);
    if (!own) return 2;
    SetTimer(own, 1, 30000, nullptr);

    if (host && IsWindow(host)) {
        std::string line = "im pid=" + std::to_string(GetCurrentProcessId()) +
                           " hwnd=" + std::to_string(reinterpret_cast<LONG_PTR>(own)) +
                           " argc=" + std::to_string(argc) + " param=" + (argc > 1 ? argv[1] : "") +
                           " cmdline=" + GetCommandLineA();
        COPYDATASTRUCT data = {};
        data.dwData = 1;
        data.cbData = static_cast<DWORD>(line.size());
        data.lpData = const_cast<char*>(line.data());
        SendMessageA(host, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    }

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
