#include "plus/session_platform_win32.h"

#include <windows.h>

#include "ipc/shared_block_win32.h"

namespace vexa::plus {

std::unique_ptr<ipc::SharedBlock> Win32SessionPlatform::MakeBlock() {
    return std::make_unique<ipc::Win32SharedBlock>();
}

long Win32SessionPlatform::SendWindowMessage(Window window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    return static_cast<long>(::SendMessageA(static_cast<HWND>(window), message, wParam, lParam));
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

}  // namespace vexa::plus
