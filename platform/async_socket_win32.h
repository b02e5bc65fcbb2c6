// The Winsock transport of the packet socket: a non-blocking TCP socket whose
// events WSAAsyncSelect posts to a hidden message-only window owned by the
// thread that made the transport. That thread's message loop therefore
// delivers every notification, as the IM program's loop does for its
// connection.
//
// The socket layer must have been initialised (WSAStartup) by the program;
// the library does not do it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <string>

#include "net/async_socket.h"
#include "platform/handles_win32.h"
#include "platform/socket_win32.h"

namespace vexa::platform {

class WinsockTransport : public net::Transport {
public:
    // The message WSAAsyncSelect posts to the hidden window.
    static constexpr UINT kSocketMessage = WM_USER + 0x101;

    // Makes the hidden window on the calling thread; null when it cannot be
    // made (the caller reports that the socket object could not be made).
    static std::unique_ptr<WinsockTransport> Make();
    ~WinsockTransport() override;

    void Attach(net::NotificationSink* owner) override { owner_ = owner; }
    bool Create(long events) override;
    // address: a dotted IPv4 address or a host name (resolved here, blocking,
    // IPv4 only). A port above 65535 or an address with a NUL in it is
    // refused with WSAEINVAL rather than cut to something else.
    bool Connect(const std::string& address, unsigned port) override;
    int LastError() const override { return lastError_; }
    int Receive(char* buffer, int n) override;
    int Send(const char* bytes, int n) override;
    bool AsyncSelect(long events) override;
    void Close() override;
    // Posts the event as WSAAsyncSelect would, to the same window and for the
    // same handle, so Close discards it like any other.
    void PostNotification(long event) override;

    // The send buffer size (SO_SNDBUF) given to each new handle; 0 keeps the
    // system's. Tests make it small to provoke partial sends.
    void SetSendBufferSize(int bytes) { sendBufferSize_ = bytes; }
    SOCKET Handle() const { return socket_.get(); }
    HWND Window() const { return window_.get(); }

private:
    WinsockTransport() = default;
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Drops notifications of a handle that has just been closed, which may
    // already wait in the queue and must not reach the socket.
    void DiscardQueuedNotifications();
    bool Fail(int error) {
        lastError_ = error;
        return false;
    }

    UniqueWindow window_;
    DWORD windowThread_ = 0;
    UniqueSocket socket_;
    net::NotificationSink* owner_ = nullptr;
    int lastError_ = 0;
    int sendBufferSize_ = 0;
};

}  // namespace vexa::platform
