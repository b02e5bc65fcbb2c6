#include "plus/session_platform_win32.h"

#include "platform/async_socket_win32.h"
#include "platform/tls_schannel_win32.h"

#include <windows.h>

#include <cstdio>

#include "ipc/shared_block_win32.h"

namespace vexa::plus {

std::unique_ptr<ipc::SharedBlock> Win32SessionPlatform::MakeBlock() {
    return std::make_unique<ipc::Win32SharedBlock>();
}

std::intptr_t Win32SessionPlatform::SendWindowMessage(Window window, unsigned message, std::uintptr_t wParam,
                                                     std::intptr_t lParam) {
    return ::SendMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

bool Win32SessionPlatform::PostWindowMessage(Window window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    return ::PostMessageA(static_cast<HWND>(window), message, wParam, lParam) != FALSE;
}

bool Win32SessionPlatform::IsWindowAlive(Window window) { return window && ::IsWindow(static_cast<HWND>(window)); }

void Win32SessionPlatform::ShowMessageBox(Window owner, const std::string& text, const std::string& caption,
                                      unsigned style) {
    ::MessageBoxA(static_cast<HWND>(owner), text.c_str(), caption.c_str(), style);
}

void Win32SessionPlatform::DebugOutput(const std::string& line) { ::OutputDebugStringA(line.c_str()); }

std::unique_ptr<net::Transport> Win32SessionPlatform::MakeTransport() { return platform::WinsockTransport::Make(); }
std::unique_ptr<net::TlsEngine> Win32SessionPlatform::MakeTlsEngine(const std::string& serverName) {
    return platform::MakeSchannelEngine(serverName);
}

std::string Win32SessionPlatform::LocalTimeText() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u%02u%02u %02u:%02u:%02u", now.wYear % 10000u, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

}  // namespace vexa::plus
