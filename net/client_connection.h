// The IM side's connection to the IM server: the server's address, the copy
// of the last login record, the socket of the current connection, and the
// operations behind IM_SetIMSvrParam, IM_LoginSvr, IM_KeepActive, IM_ExitSvr
// and IM_CloseClient. SendPacket is the single send path of every request.
//
// The connection knows no window: what it has to say to the IM program goes
// through a ConnectionHost, which the session implements (message boxes,
// notification kinds 1 and 4, debugger lines, packet dispatch, and the
// making of the platform transport).
//
// Connection states as the IM program sees them:
//   no socket        -> Login -> connecting
//   connecting       -> connect notification: connected (login request sent)
//                       or failed (kind 1, "连接服务器失败", or for an
//                       encrypted connection what failed in the handshake)
//   connected        -> close by the server: closed (kind 4); Login; CloseClient
//   failed / closed  -> Login (new socket); CloseClient
// SendPacket refuses in every state but connected.
//
// Threads: every operation, and every socket notification, runs on the
// thread that called Login (the IM program's thread).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "VexaIMPlusRecords.h"
#include "net/async_socket.h"
#include "net/packet_socket.h"
#include "net/tls.h"

namespace vexa::net {

class ConnectionHost {
public:
    virtual ~ConnectionHost() = default;
    // A modal message box with an OK button (GBK text).
    virtual void ShowMessage(const std::string& gbk) = 0;
    // Notification kind 1 to the IM window, sent synchronously.
    virtual void ReportLoginResult(int result, std::string_view message) = 0;
    // Notification kind 4 to the IM window, posted. False when there is no
    // window to post to.
    virtual bool PostServerClosed() = 0;
    // One complete server packet, to be checked and dispatched.
    virtual void HandleServerPacket(const char* bytes, int size) = 0;
    // The platform side of a new socket; null when it cannot be made.
    virtual std::unique_ptr<Transport> MakeTransport() = 0;
    // The system's TLS for one connection to serverName (the name the
    // certificate must carry, also sent to the server); null where the
    // platform has none, which refuses every encrypted connect.
    virtual std::unique_ptr<TlsEngine> MakeTlsEngine(const std::string& serverName) { return nullptr; }
    // One line for the debugger output (GBK text, with its line end).
    virtual void DebugLine(const char* gbk) = 0;
};

class ClientConnection : private ClientSocketSession {
public:
    explicit ClientConnection(ConnectionHost& host);
    ~ClientConnection() override;

    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Stored unchecked; used at the next Connect.
    void SetServerParam(std::string address, unsigned port);
    // Plain TCP (the default) or TLS with one of the two checks; used at the
    // next Connect. False for a setting that is refused, after which every
    // Connect fails until a good one is made (never plain instead).
    bool SetSecurity(int mode, std::string_view fingerprint) { return security_.Set(mode, fingerprint); }
    const SecuritySetting& Security() const { return security_; }
    // Keeps a copy of the record and connects. Null gives false.
    bool Login(const IM_USER_LOGINDATA* record);
    // Replaces the socket and starts connecting to the stored server. True
    // when the connection is made or under way; the login request follows
    // by itself once it is made.
    bool Connect();
    // The connect outcome, from the socket's connect notification. A failed
    // connect reports kind 1 with the text for its error.
    void OnConnectResult(bool connected, int error = 0) override;
    // Request code 1; nothing when the user id or password is empty.
    void SendLoginRequest();
    // Queues one framed request. False (nothing queued) without a connected
    // socket. True means queued, not delivered.
    bool SendPacket(const std::string& packet);
    // Request code 7 through SendPacket.
    bool SendKeepAlive();
    // IM_KeepActive: SendKeepAlive, then exactly one debugger line that says
    // whether the request was handed to the socket.
    void KeepActive();
    // Request code 99 with the own user id; nothing when it is empty. The
    // connection stays open.
    void SendExitRequest();
    // Closes and destroys the socket; nothing is sent and nothing reported.
    // Safe from inside one of the socket's own notifications: the socket is
    // then deleted once that notification has returned.
    void CloseClient();

    // The own user id: userId of the login record up to its NUL. A userId
    // without a NUL in its 21 bytes has no end and counts as empty.
    std::string_view OwnId() const;
    const IM_USER_LOGINDATA& LoginData() const { return loginData_; }
    const std::string& ServerAddress() const { return serverAddress_; }
    unsigned ServerPort() const { return serverPort_; }
    // The current socket, or null.
    IMClientSocket* Socket() const { return socket_.get(); }
    bool IsConnected() const { return socket_ && socket_->IsConnected(); }

private:
    bool PostServerClosed() override;
    void HandleServerPacket(const char* bytes, int size) override;

    ConnectionHost& host_;
    SocketPtr<IMClientSocket> socket_;
    std::string serverAddress_;
    unsigned serverPort_ = 0;
    SecuritySetting security_;
    IM_USER_LOGINDATA loginData_{};
};

}  // namespace vexa::net
