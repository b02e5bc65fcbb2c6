// The system calls the session makes, behind one interface: Win32 in the DLL,
// a recording double in the native tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ipc/shared_block.h"
#include "net/async_socket.h"
#include "net/tls.h"

namespace vexa::plus {

// An opaque window handle (HWND on Win32); null is "none".
using Window = void*;

// MessageBox styles the session uses (the Win32 values).
constexpr unsigned kBoxOk = 0x00000000;
constexpr unsigned kBoxIconInformation = 0x00000040;

class SessionPlatform {
public:
    virtual ~SessionPlatform() = default;
    virtual std::unique_ptr<ipc::SharedBlock> MakeBlock() = 0;
    // The window's answer, as wide as the platform's (LRESULT).
    virtual std::intptr_t SendWindowMessage(Window window, unsigned message, std::uintptr_t wParam,
                                            std::intptr_t lParam) = 0;
    virtual bool PostWindowMessage(Window window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    virtual bool IsWindowAlive(Window window) = 0;
    // Modal; returns when the user has closed the box. Texts are GBK.
    virtual void ShowMessageBox(Window owner, const std::string& text, const std::string& caption, unsigned style) = 0;
    virtual void DebugOutput(const std::string& line) = 0;
    // The platform side of a new socket, made on the calling thread; null
    // when it cannot be made.
    virtual std::unique_ptr<net::Transport> MakeTransport() = 0;
    // The system's TLS for one connection to serverName; null where the
    // platform has none (every encrypted connect is then refused).
    virtual std::unique_ptr<net::TlsEngine> MakeTlsEngine(const std::string& serverName) { return nullptr; }
    // The current local time as "%Y%m%d %H:%M:%S".
    virtual std::string LocalTimeText() = 0;
};

}  // namespace vexa::plus
