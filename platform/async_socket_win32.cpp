#include "platform/async_socket_win32.h"

#include <ws2tcpip.h>

#include <cstring>

namespace vexa::platform {
namespace {

// The portable event bits are the socket layer's own.
static_assert(net::kEventRead == FD_READ && net::kEventWrite == FD_WRITE && net::kEventConnect == FD_CONNECT &&
              net::kEventClose == FD_CLOSE);
static_assert(net::kErrorWouldBlock == WSAEWOULDBLOCK && net::kErrorInvalid == WSAEINVAL &&
              net::kErrorNotSocket == WSAENOTSOCK && net::kErrorNotConnected == WSAENOTCONN);

constexpr char kWindowClass[] = "VexaIMPlusSocketWindow";

// The module this code lives in (the DLL, or a test program that links the
// library directly): the window class belongs to it.
HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

bool RegisterWindowClass(HINSTANCE module, WNDPROC procedure) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = module;
    windowClass.lpszClassName = kWindowClass;
    return ::RegisterClassExA(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The IPv4 address of a dotted address or a host name, or the socket error
// that says why there is none.
int Resolve(const std::string& address, in_addr& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(address.c_str(), nullptr, &hints, &found);
    if (error != 0 || found == nullptr) return error != 0 ? error : WSAHOST_NOT_FOUND;
    out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return 0;
}

}  // namespace

std::unique_ptr<WinsockTransport> WinsockTransport::Make() {
    const HINSTANCE module = ThisModule();
    if (module == nullptr || !RegisterWindowClass(module, &WindowProc)) return nullptr;
    std::unique_ptr<WinsockTransport> transport(new WinsockTransport());
    transport->window_.reset(
        ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr));
    if (!transport->window_) return nullptr;
    transport->windowThread_ = ::GetCurrentThreadId();
    ::SetWindowLongPtrA(transport->window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(transport.get()));
    return transport;
}

WinsockTransport::~WinsockTransport() {
    Close();
    if (!window_) return;
    ::SetWindowLongPtrA(window_.get(), GWLP_USERDATA, 0);
    // Only the owning thread may destroy the window; from any other thread
    // it is asked to close itself.
    if (::GetCurrentThreadId() != windowThread_) ::PostMessageA(window_.release(), WM_CLOSE, 0, 0);
}

bool WinsockTransport::Create(long events) {
    Close();
    socket_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket_) return Fail(::WSAGetLastError());
    if (sendBufferSize_ > 0) {
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBufferSize_),
                     sizeof sendBufferSize_);
    }
    // WSAAsyncSelect also makes the socket non-blocking.
    if (!AsyncSelect(events)) {
        const int error = lastError_;
        Close();
        return Fail(error);
    }
    return true;
}

bool WinsockTransport::Connect(const std::string& address, unsigned port) {
    if (!socket_) return Fail(WSAENOTSOCK);
    if (port > 0xFFFF || address.empty() || std::memchr(address.data(), 0, address.size()) != nullptr)
        return Fail(WSAEINVAL);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = ::htons(static_cast<u_short>(port));
    if (const int error = Resolve(address, peer.sin_addr)) return Fail(error);
    if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return true;
    return Fail(::WSAGetLastError());
}

int WinsockTransport::Receive(char* buffer, int n) {
    if (!socket_) {
        lastError_ = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    const int received = ::recv(socket_.get(), buffer, n, 0);
    if (received == SOCKET_ERROR) lastError_ = ::WSAGetLastError();
    return received;
}

int WinsockTransport::Send(const char* bytes, int n) {
    if (!socket_) {
        lastError_ = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    const int sent = ::send(socket_.get(), bytes, n, 0);
    if (sent == SOCKET_ERROR) lastError_ = ::WSAGetLastError();
    return sent;
}

bool WinsockTransport::AsyncSelect(long events) {
    if (!socket_) return Fail(WSAENOTSOCK);
    if (::WSAAsyncSelect(socket_.get(), window_.get(), kSocketMessage, events) == SOCKET_ERROR)
        return Fail(::WSAGetLastError());
    return true;
}

void WinsockTransport::Close() {
    if (!socket_) return;
    socket_.reset();
    DiscardQueuedNotifications();
}

void WinsockTransport::PostNotification(long event) {
    if (!socket_ || !window_) return;
    ::PostMessageA(window_.get(), kSocketMessage, static_cast<WPARAM>(socket_.get()),
                   WSAMAKESELECTREPLY(static_cast<WORD>(event), 0));
}

void WinsockTransport::DiscardQueuedNotifications() {
    if (!window_ || ::GetCurrentThreadId() != windowThread_) return;
    MSG message;
    while (::PeekMessageA(&message, window_.get(), kSocketMessage, kSocketMessage, PM_REMOVE)) {
    }
}

LRESULT CALLBACK WinsockTransport::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kSocketMessage) return ::DefWindowProcA(window, message, wParam, lParam);
    auto* transport = reinterpret_cast<WinsockTransport*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    // A notification of a handle closed since it was posted is stale.
    if (transport == nullptr || transport->owner_ == nullptr || !transport->socket_ ||
        static_cast<SOCKET>(wParam) != transport->socket_.get())
        return 0;
    // The socket, and this transport with it, may be deleted inside; nothing
    // of either is touched afterwards.
    transport->owner_->DispatchNotification(WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
    return 0;
}

}  // namespace vexa::platform
