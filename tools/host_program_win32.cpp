// vexahost.exe: a host program that shares the IM program's account through
// the VexaIMPlus library.
//
//   vexahost.exe [options]
//     --im PATH          the IM program to start when none runs (else the
//                        installed one, from the registry)
//     --user ID --password PASS
//                        log the IM program in (host command 1)
//     --position "ID,TEXT,POS0,POS1,POS2,POS3"
//                        the position sent (host command 4) whenever the IM
//                        program sends the data "position?"
//     --log FILE         write the window's log to FILE (GBK)
//     --shots DIR        screenshot handshake with the demo runner
//     --pos X,Y          where the window goes
//     --wait-ms N        how long to wait for the IM window (default 20000)
// The host ends when the IM program's window goes away.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "VexaIMPlus.h"
#include "tools/demo_script.h"
#include "tools/demo_window_win32.h"

using namespace vexa::demo;

namespace {

constexpr UINT kSendPositionMessage = WM_APP + 10;
constexpr UINT_PTR kFindTimer = 1;
constexpr UINT_PTR kWatchTimer = 2;
constexpr PROMID kHostRole = static_cast<PROMID>(1);

IMPlusDLL g_plus;
DemoLog g_log;
HWND g_window = nullptr;
HWND g_list = nullptr;
std::string g_user, g_password, g_position, g_shots;
DWORD g_findStarted = 0;
DWORD g_findLimit = 20000;
int g_exitCode = 0;
bool g_connected = false;

std::string Num(long long v) { return std::to_string(v); }

// Cuts "a,b,c" into at most n pieces; the text piece keeps no commas itself.
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

void SendLogin() {
    if (g_user.empty()) return;
    IM_USER_LOGINDATA login = {};
    CopyField(login.userId, sizeof login.userId, g_user);
    CopyField(login.password, sizeof login.password, g_password);
    int r = g_plus.PROM_SendDataToIM(PROGCOMMAND_LOGIN, &login, sizeof login);
    g_log.Line("> PROM_SendDataToIM 1 login " + g_user + " = " + Num(r));
}

void SendPosition() {
    std::vector<std::string> p = Split(g_position, ',');
    long long n[5] = {};
    if (p.size() != 6 || !ParseInt(p[0], 0, 255, n[0])) {
        g_log.Line("!! no usable --position");
        return;
    }
    for (int i = 0; i < 4; ++i)
        if (!ParseInt(p[2 + i], -2147483647, 2147483647, n[1 + i])) {
            g_log.Line("!! no usable --position");
            return;
        }
    IM_USER_POSITION position = {};
    CopyField(position.user, sizeof position.user, g_user);
    position.id = static_cast<uint8_t>(n[0]);
    CopyField(position.ms, sizeof position.ms, p[1]);
    position.pos0 = static_cast<int32_t>(n[1]);
    position.pos1 = static_cast<int32_t>(n[2]);
    position.pos2 = static_cast<int32_t>(n[3]);
    position.pos3 = static_cast<int32_t>(n[4]);
    int r = g_plus.PROM_SendDataToIM(PROGCOMMAND_POSITION, &position, sizeof position);
    g_log.Line("> PROM_SendDataToIM 4 position " + g_user + " \"" + p[1] + "\" = " + Num(r));
}

// The IM window exists only once the IM program has made the shared blocks
// (it sets its caption after IM_PlusInit), so this init does not fail with
// "Error:201" and shows no box.
void Connect(HWND imWindow) {
    KillTimer(g_window, kFindTimer);
    g_log.Line("> IM window found");
    bool ok = g_plus.PROM_PlusInit(kHostRole, g_window, imWindow);
    g_log.Line(std::string("> PROM_PlusInit = ") + (ok ? "1" : "0"));
    if (!ok) {
        g_exitCode = 2;
        DestroyWindow(g_window);
        return;
    }
    g_connected = true;
    SendLogin();
    SetTimer(g_window, kWatchTimer, 100, nullptr);
}

void OnFindTimer() {
    if (g_plus.PROM_CheckIMExist(nullptr)) {
        Connect(g_plus.GetOutputHwnd());
        return;
    }
    if (GetTickCount() - g_findStarted > g_findLimit) {
        g_log.Line("!! the IM program did not show its window");
        g_exitCode = 2;
        DestroyWindow(g_window);
    }
}

LRESULT OnImData(LPARAM lParam) {
    const unsigned char* payload = reinterpret_cast<const unsigned char*>(lParam);
    if (!payload) return 0;
    // The packet's total length sits just before its payload.
    uint32_t total = 0;
    std::memcpy(&total, payload - 4, 4);
    std::string text(reinterpret_cast<const char*>(payload), total >= 8 ? total - 8 : 0);
    g_log.Line("< IMN_IM_DATA length=" + Num(text.size()) + " text=\"" + text + "\"");
    // Answered after this notification: the IM program is inside its send.
    if (text == "position?") PostMessageA(g_window, kSendPositionMessage, 0, 0);
    return 0;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CREATE:
            g_list = CreateWindowExA(0, "LISTBOX", "",
                                     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT,
                                     0, 0, 0, 0, hwnd, nullptr, reinterpret_cast<CREATESTRUCTA*>(lParam)->hInstance, nullptr);
            SendMessageA(g_list, WM_SETFONT, reinterpret_cast<WPARAM>(LogFont()), TRUE);
            SendMessageA(g_list, LB_SETHORIZONTALEXTENT, 3000, 0);
            return 0;
        case WM_SIZE:
            MoveWindow(g_list, 4, 4, LOWORD(lParam) - 8, HIWORD(lParam) - 8, TRUE);
            return 0;
        case WM_TIMER:
            if (wParam == kFindTimer) OnFindTimer();
            if (wParam == kWatchTimer && !g_plus.IsExsitIMProgram()) {
                KillTimer(hwnd, kWatchTimer);
                g_log.Line("# the IM program has ended");
                if (!g_shots.empty()) RequestScreenshot(hwnd, g_shots, "host", 15000);
                DestroyWindow(hwnd);
            }
            return 0;
        case kSendPositionMessage:
            SendPosition();
            return 0;
        case WM_IMPLUS_TOPROM:
            g_plus.PROM_DealIMCommand(static_cast<unsigned>(lParam));
            return 0;
        case WM_IMPLUS_NOTIFY:
            if (wParam == IMN_IM_DATA) return OnImData(lParam);
            g_log.Line("< notification " + Num(static_cast<long long>(wParam)));
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    std::vector<std::string> args = Arguments();
    std::string imPath = Option(args, "--im", "VEXAHOST_IM");
    g_user = Option(args, "--user", "VEXAHOST_USER");
    g_password = Option(args, "--password", "VEXAHOST_PASSWORD");
    g_position = Option(args, "--position", "VEXAHOST_POSITION");
    g_shots = Option(args, "--shots", "VEXAHOST_SHOTS");
    std::string logPath = Option(args, "--log", "VEXAHOST_LOG");
    std::string pos = Option(args, "--pos", "VEXAHOST_POS", "40,480");
    long long limit = 0;
    if (ParseInt(Option(args, "--wait-ms", nullptr, "20000"), 100, 600000, limit)) g_findLimit = static_cast<DWORD>(limit);
    if (!logPath.empty() && !g_log.OpenFile(logPath)) return 3;
    g_log.Line("# host program");

    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "VexaHostDemoWindow";
    RegisterClassA(&wc);
    int x = 40, y = 480;
    std::sscanf(pos.c_str(), "%d,%d", &x, &y);
    // The caption says which build runs: a host of either word size works
    // with the IM program.
    const std::string caption = "VexaIM host program (" + Num(sizeof(void*) * 8) + "-bit)";
    g_window = CreateWindowExA(0, wc.lpszClassName, caption.c_str(), WS_OVERLAPPEDWINDOW, x, y, 1370, 240,
                               nullptr, nullptr, instance, nullptr);
    if (!g_window) return 2;
    g_log.AttachList(g_list);
    ShowWindow(g_window, show == SW_HIDE ? SW_SHOWNORMAL : show);
    UpdateWindow(g_window);

    int exists = g_plus.PROM_CheckIMExist(nullptr);
    g_log.Line("> PROM_CheckIMExist = " + Num(exists));
    if (exists) {
        Connect(g_plus.GetOutputHwnd());
    } else {
        IMString path;
        if (!imPath.empty()) {
            path = IMString(imPath.c_str());
        } else {
            int installed = g_plus.PROM_CheckIMSetup(path);
            g_log.Line("> PROM_CheckIMSetup = " + Num(installed) + " \"" + path.c_str() + "\"");
            if (!installed) {
                g_log.Line("!! no IM program installed; give --im PATH");
                DestroyWindow(g_window);
                return 2;
            }
        }
        int r = g_plus.PROM_RunVexaIMProgram(g_window, path);
        g_log.Line("> PROM_RunVexaIMProgram = " + Num(r));
        g_findStarted = GetTickCount();
        SetTimer(g_window, kFindTimer, 50, nullptr);
    }

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (g_connected) g_plus.PROM_PlusUnInit();
    g_log.Line("# host program ended with " + Num(g_exitCode));
    return g_exitCode;
}
