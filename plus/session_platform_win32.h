// The session's system calls on Win32.
#pragma once

#include "plus/session_platform.h"

namespace vexa::plus {

class Win32SessionPlatform final : public SessionPlatform {
public:
    std::unique_ptr<ipc::SharedBlock> MakeBlock() override;
    std::intptr_t SendWindowMessage(Window window, unsigned message, std::uintptr_t wParam,
                                    std::intptr_t lParam) override;
    bool PostWindowMessage(Window window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    bool IsWindowAlive(Window window) override;
    void ShowMessageBox(Window owner, const std::string& text, const std::string& caption, unsigned style) override;
    void DebugOutput(const std::string& line) override;
    std::unique_ptr<net::Transport> MakeTransport() override;
    std::unique_ptr<net::TlsEngine> MakeTlsEngine(const std::string& serverName) override;
    std::string LocalTimeText() override;
};

}  // namespace vexa::plus
