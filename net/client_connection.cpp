#include "net/client_connection.h"

#include <cstring>

#include "net/secure_transport.h"
#include "protocol/requests.h"
#include "protocol/system_texts.h"

namespace vexa::net {

ClientConnection::ClientConnection(ConnectionHost& host) : host_(host) {}

ClientConnection::~ClientConnection() { CloseClient(); }

void ClientConnection::SetServerParam(std::string address, unsigned port) {
    serverAddress_ = std::move(address);
    serverPort_ = port;
}

bool ClientConnection::Login(const IM_USER_LOGINDATA* record) {
    if (record == nullptr) return false;
    std::memcpy(&loginData_, record, sizeof loginData_);
    return Connect();
}

bool ClientConnection::Connect() {
    if (serverAddress_.empty() || serverPort_ == 0) {
        host_.ShowMessage(texts::kEnterAddressAndPort);
        return false;
    }
    // The old connection ends without a request to the server and without a
    // notification: its socket stops reporting before it is closed.
    socket_.reset();

    if (!security_.Valid()) {
        host_.ReportLoginResult(0, texts::kSecuritySettingInvalid);
        return false;
    }

    std::unique_ptr<Transport> transport = host_.MakeTransport();
    if (!transport) {
        host_.ShowMessage(texts::kSocketCreateFailed);
        return false;
    }
    if (security_.Encrypted()) {
        std::unique_ptr<TlsEngine> engine = host_.MakeTlsEngine(serverAddress_);
        if (!engine) {
            host_.ReportLoginResult(0, texts::kTlsHandshakeFailed);
            return false;
        }
        transport = std::make_unique<SecureTransport>(std::move(transport), std::move(engine), security_.Mode(),
                                                      security_.Pin());
    }
    socket_.reset(new IMClientSocket(std::move(transport)));
    IMClientSocket* socket = socket_.get();
    socket->SetSession(this);
    if (!socket->ConnectTo(serverAddress_, serverPort_)) {
        // The socket stays, not connected, until the next Login or CloseClient.
        host_.ReportLoginResult(0, texts::kConnectFailed);
        return false;
    }
    return true;
}

void ClientConnection::OnConnectResult(bool connected, int error) {
    if (connected) {
        SendLoginRequest();
        return;
    }
    const char* text = texts::kConnectFailed;
    switch (static_cast<TlsFailure>(error)) {
        case TlsFailure::Handshake: text = texts::kTlsHandshakeFailed; break;
        case TlsFailure::Untrusted: text = texts::kTlsUntrusted; break;
        case TlsFailure::WrongName: text = texts::kTlsWrongName; break;
        case TlsFailure::WrongFingerprint: text = texts::kTlsWrongFingerprint; break;
        default: break;
    }
    host_.ReportLoginResult(0, text);
}

void ClientConnection::SendLoginRequest() {
    if (auto request = protocol::BuildLoginRequest(loginData_)) SendPacket(*request);
}

bool ClientConnection::SendPacket(const std::string& packet) {
    if (!socket_ || !socket_->IsConnected()) return false;
    if (packet.size() > PacketBuffer::kMaxCapacity) return false;
    return socket_->QueueSend(packet.data(), static_cast<std::uint32_t>(packet.size()));
}

bool ClientConnection::SendKeepAlive() { return SendPacket(protocol::BuildKeepAliveRequest()); }

void ClientConnection::KeepActive() {
    host_.DebugLine(SendKeepAlive() ? texts::kKeepAliveSent : texts::kKeepAliveFailed);
}

void ClientConnection::SendExitRequest() {
    if (auto request = protocol::BuildExitRequest(OwnId())) SendPacket(*request);
}

void ClientConnection::CloseClient() { socket_.reset(); }

std::string_view ClientConnection::OwnId() const {
    const void* end = std::memchr(loginData_.userId, 0, sizeof loginData_.userId);
    if (end == nullptr) return {};
    return std::string_view(loginData_.userId, static_cast<const char*>(end) - loginData_.userId);
}

bool ClientConnection::PostServerClosed() { return host_.PostServerClosed(); }

void ClientConnection::HandleServerPacket(const char* bytes, int size) { host_.HandleServerPacket(bytes, size); }

}  // namespace vexa::net
