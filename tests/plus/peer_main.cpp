// A second program for the cross-process tests. It uses the library the way a
// caller does, through the public header and the import library only, and
// reports what happened to the test's report window with WM_COPYDATA.
//
//   vexa_test_peer <report hwnd> im <host hwnd> [answer]
//   vexa_test_peer <report hwnd> host <role> <im hwnd>
//   vexa_test_peer <report hwnd> title
//
// The test drives a running peer with posted messages (see kPeer* below).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "VexaIMPlus.h"
#include "peer_protocol.h"

namespace {

HWND g_report = nullptr;
IMPlusDLL* g_plusObject = nullptr;
#define g_plus (*g_plusObject)
long g_answer = 0;
HANDLE g_revMapping = nullptr;
const unsigned char* g_revView = nullptr;

void Report(const std::string& line) {
    COPYDATASTRUCT data = {};
    data.cbData = static_cast<DWORD>(line.size());
    data.lpData = const_cast<char*>(line.data());
    SendMessageA(g_report, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
}

std::string Num(long long v) { return std::to_string(v); }

// The payload pattern both sides agree on, so a receiver can check every byte.
std::vector<unsigned char> Pattern(unsigned length) {
    std::vector<unsigned char> bytes(length);
    for (unsigned i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>('A' + i % 26);
    return bytes;
}

bool MatchesPattern(const unsigned char* p, unsigned length) {
    for (unsigned i = 0; i < length; ++i)
        if (p[i] != static_cast<unsigned char>('A' + i % 26)) return false;
    return true;
}

// The IM side looks into the host's block itself, as a test's eye would.
const unsigned char* RevView() {
    if (!g_revView) {
        g_revMapping = OpenFileMappingA(FILE_MAP_READ, FALSE, "#IMREVMAP1#");
        if (g_revMapping) g_revView = static_cast<const unsigned char*>(MapViewOfFile(g_revMapping, FILE_MAP_READ, 0, 0, 0));
    }
    return g_revView;
}

bool ZeroFrom(const unsigned char* view, unsigned from) {
    for (unsigned i = from; i < 8192; ++i)
        if (view[i]) return false;
    return true;
}

LRESULT CALLBACK ImProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_IMPLUS_TOIM:
        if (wParam == IMPLUS_TOIM_PACKET) {
            const unsigned char* view = RevView();
            std::string line = "toim lparam=" + Num(lParam);
            if (view) {
                unsigned short role, command;
                unsigned total;
                memcpy(&role, view, 2);
                memcpy(&command, view + 2, 2);
                memcpy(&total, view + 4, 4);
                line += " role=" + Num(role) + " cmd=" + Num(command) + " total=" + Num(total) +
                        " pattern=" + Num(total >= 8 && total <= 8191 && MatchesPattern(view + 8, total - 8)) +
                        " zerotail=" + Num(total >= 8 && total <= 8192 && ZeroFrom(view, total));
            }
            Report(line);
            g_plus.IM_DealProcCommand(static_cast<unsigned>(lParam));
            return g_answer;
        }
        Report("notice=" + Num(wParam) + " lparam=" + Num(lParam));
        return 0;
    case WM_IMPLUS_NOTIFY:
        Report("notify kind=" + Num(wParam));
        return g_answer;
    case kPeerSendToHost: {
        // wParam: command; lParam: payload length (or a special case below).
        int result;
        if (lParam == kPeerNullPayload)
            result = g_plus.IM_SendDataToPROM(static_cast<IMCOMMAND>(wParam), nullptr, 10);
        else {
            auto bytes = Pattern(static_cast<unsigned>(lParam));
            result = g_plus.IM_SendDataToPROM(static_cast<IMCOMMAND>(wParam), bytes.data(), static_cast<unsigned>(lParam));
        }
        Report("sent result=" + Num(result));
        return 0;
    }
    case kPeerSetAnswer:
        g_answer = static_cast<long>(lParam);
        Report("answer=" + Num(lParam));
        return 0;
    case kPeerResetOther:
        g_plus.IM_ResetOutPromWnd(reinterpret_cast<HWND>(lParam));
        Report("other=" + Num(lParam));
        return 0;
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK HostProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_IMPLUS_TOPROM:
        Report("toprom wparam=" + Num(wParam) + " lparam=" + Num(lParam));
        g_plus.PROM_DealIMCommand(static_cast<unsigned>(lParam));
        return 0;
    case WM_IMPLUS_NOTIFY:
        if (wParam == IMN_IM_DATA) {
            // The payload is read during the notification; the length stands
            // in the packet header just before it.
            const unsigned char* payload = reinterpret_cast<const unsigned char*>(lParam);
            unsigned total;
            memcpy(&total, payload - 4, 4);
            Report("imdata total=" + Num(total) + " pattern=" + Num(MatchesPattern(payload, total - 8)));
        } else {
            Report("notify kind=" + Num(wParam));
        }
        return 0;
    case kPeerSendToIM: {
        int result;
        if (lParam == kPeerNullPayload)
            result = g_plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(wParam), nullptr, 10);
        else {
            auto bytes = Pattern(static_cast<unsigned>(lParam));
            result = g_plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(wParam), bytes.data(), static_cast<unsigned>(lParam));
        }
        Report("sent result=" + Num(result));
        return 0;
    }
    case WM_COPYDATA: {
        // The test hands over a whole payload: dwData is the command.
        auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        int result = g_plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(data->dwData), data->lpData, data->cbData);
        Report("sent result=" + Num(result));
        return 1;
    }
    case kPeerQuery:
        Report("query im=" + Num(g_plus.IsExsitIMProgram()) + " out=" + Num(g_plus.IsExsitOutProgram()) +
               " other=" + Num(reinterpret_cast<LONG_PTR>(g_plus.GetOutputHwnd())) + " init=" + Num(g_plus.IsInitPlus()));
        return 0;
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND MakeWindow(const char* caption, WNDPROC proc) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = caption;
    RegisterClassA(&wc);
    return CreateWindowA(caption, caption, WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
}

int Loop() {
    MSG msg;
    // A peer never outlives its test by much: it ends after a minute at most.
    SetTimer(nullptr, 0, 60000, nullptr);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr) break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

HWND ArgWindow(const char* text) { return reinterpret_cast<HWND>(static_cast<LONG_PTR>(std::strtoll(text, nullptr, 10))); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    g_report = ArgWindow(argv[1]);
    std::string mode = argv[2];
    if (mode == "title") {
        IMPlusDLL first;
        IMString title = first.IMPlus_GetIMTitle();
        IMPlusDLL second;
        IMPlusDLL copy(second);
        IMString again = copy.IMPlus_GetIMTitle();
        Report(std::string("title=") + title.c_str() + " again=" + again.c_str());
        return 0;
    }
    IMPlusDLL plus;
    g_plusObject = &plus;
    if (mode == "im" && argc >= 4) {
        if (argc >= 5) g_answer = std::atol(argv[4]);
        HWND own = MakeWindow("VexaPeerIM", ImProc);
        bool ok = g_plus.IM_PlusInit(own, ArgWindow(argv[3]), static_cast<PROMID>(0));
        Report("im init=" + Num(ok) + " hwnd=" + Num(reinterpret_cast<LONG_PTR>(own)));
        if (!ok) return 1;
        return Loop();
    }
    if (mode == "host" && argc >= 5) {
        HWND own = MakeWindow("VexaPeerHost", HostProc);
        bool ok = g_plus.PROM_PlusInit(static_cast<PROMID>(std::atoi(argv[3])), own, ArgWindow(argv[4]));
        Report("host init=" + Num(ok) + " hwnd=" + Num(reinterpret_cast<LONG_PTR>(own)));
        if (!ok) return 1;
        return Loop();
    }
    return 2;
}
