// The asynchronous socket that the packet socket is built on: a non-blocking
// TCP socket whose notifications (connect, read, write, close) arrive on the
// thread that created it, through that thread's message loop.
//
// AsyncSocket holds the event logic's side; the actual I/O is done by a
// Transport. On Windows the transport is Winsock with WSAAsyncSelect on a
// hidden window (platform/async_socket_win32.h); natively, tests use a
// scripted transport (net/testing/scripted_transport.h) that plays any byte
// stream in any segmentation.
//
// Close. A close of the other end is reported once per handle: the platform
// re-posts a close that is still the state of the connection whenever events
// are selected again (a write notification after the close re-selects read
// and close), so once a close has been delivered it is neither delivered
// again nor selected again until Create makes a new handle.
//
// Lifetime. A notification handler further down (the IM program's window
// procedure, reached through OnPacket) may ask for the very socket that is
// delivering to be destroyed. AsyncSocket::Destroy therefore defers deletion
// while a notification of this object is running: the object is made inert
// at once (DisposeNow) and deleted when the outermost notification returns.
#pragma once

#include <memory>
#include <string>

namespace vexa::net {

// Event bits of the socket layer.
enum SocketEvents : long {
    kEventRead = 0x01,
    kEventWrite = 0x02,
    kEventConnect = 0x10,
    kEventClose = 0x20,
};

// Event sets the packet socket selects.
constexpr long kConnectAndCloseEvents = kEventConnect | kEventClose;           // 0x30
constexpr long kReadWriteCloseEvents = kEventRead | kEventWrite | kEventClose;  // 0x23
constexpr long kReadAndCloseEvents = kEventRead | kEventClose;                  // 0x21

// Socket error codes the logic looks at (the Windows Sockets values).
constexpr int kErrorWouldBlock = 10035;  // WSAEWOULDBLOCK
constexpr int kErrorInvalid = 10022;     // WSAEINVAL
constexpr int kErrorNotSocket = 10038;   // WSAENOTSOCK
constexpr int kErrorNotConnected = 10057;  // WSAENOTCONN

// What a transport reports its notifications to: the socket, or a layer
// between the socket and the network (the encrypted transport).
class NotificationSink {
public:
    // Runs the notification for one event bit. May delete the sink, and with
    // it the transport that called, before it returns.
    virtual void DispatchNotification(long event, int error) = 0;

protected:
    ~NotificationSink() = default;
};

// The platform side of one asynchronous socket. Results follow the Windows
// Sockets calls they stand for.
class Transport {
public:
    virtual ~Transport() = default;

    // The sink that receives this transport's notifications. A transport
    // must not touch itself after DispatchNotification returns: the socket,
    // and with it the transport, may have been deleted inside it.
    virtual void Attach(NotificationSink* owner) = 0;

    // Makes a non-blocking TCP handle on any local port and selects events.
    virtual bool Create(long events) = 0;
    // Starts connecting to a dotted IPv4 address or a host name. True when
    // connected at once; otherwise false with LastError() telling why
    // (kErrorWouldBlock: the connect is under way).
    virtual bool Connect(const std::string& address, unsigned port) = 0;
    // The error of the last failed call on this transport.
    virtual int LastError() const = 0;
    // Up to n bytes: the number read, 0 when the other end has closed,
    // negative on error or when nothing is there.
    virtual int Receive(char* buffer, int n) = 0;
    // The number of bytes taken (possibly fewer than n), negative on error or
    // when the network would block.
    virtual int Send(const char* bytes, int n) = 0;
    // Replaces the set of notified events.
    virtual bool AsyncSelect(long events) = 0;
    // Closes the handle; harmless without one. No notification of the old
    // handle is delivered after it.
    virtual void Close() = 0;
    // Delivers a notification of this event later, from the message loop, as
    // the platform itself does for a state that lasts (data still there). For
    // a layer that holds bytes the network no longer announces. Dropped when
    // the handle is closed first.
    virtual void PostNotification(long event) = 0;
};

class AsyncSocket : public NotificationSink {
public:
    // transport may be null: every operation then fails with
    // kErrorNotSocket, as on a socket that could not be made.
    explicit AsyncSocket(std::unique_ptr<Transport> transport);
    virtual ~AsyncSocket();

    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    // A new handle: a close may be reported again.
    virtual bool Create(long events);
    virtual bool Connect(const std::string& address, unsigned port);
    virtual int LastError() const;
    virtual int Receive(char* buffer, int n);
    virtual int Send(const char* bytes, int n);
    // After a close has been delivered, the close event is left out.
    virtual bool AsyncSelect(long events);
    virtual void Close();

    // Notifications; the base versions do nothing.
    virtual void OnConnect(int error) {}
    virtual void OnReceive(int error) {}
    virtual void OnSend(int error) {}
    virtual void OnClose(int error) {}

    // Entry point of the transport: runs the notification for one event bit.
    // Notifications for an object whose destruction is pending are dropped.
    // May delete this object before it returns (see Destroy).
    void DispatchNotification(long event, int error) final;

    // Destroys socket now, or, when one of its notifications is running,
    // makes it inert at once and deletes it when the outermost one returns.
    // Null is allowed. The caller must drop its pointer either way.
    static void Destroy(AsyncSocket* socket);

    bool InNotification() const { return notificationDepth_ > 0; }
    bool CloseSeen() const { return closeSeen_; }
    bool DestroyPending() const { return destroyPending_; }

protected:
    // Called by Destroy before deletion is decided: let go of the network
    // and of everything outside the object, so that nothing the object still
    // does before its deletion reaches anybody. The base closes the handle.
    virtual void DisposeNow();

private:
    std::unique_ptr<Transport> transport_;
    int notificationDepth_ = 0;
    bool destroyPending_ = false;
    bool closeSeen_ = false;
};

// Owner of an AsyncSocket (or subclass) that destroys it through Destroy.
struct AsyncSocketDeleter {
    void operator()(AsyncSocket* socket) const { AsyncSocket::Destroy(socket); }
};
template <typename Socket>
using SocketPtr = std::unique_ptr<Socket, AsyncSocketDeleter>;

}  // namespace vexa::net
