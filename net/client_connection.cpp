#include "net/client_connection.h"

#include <cstring>

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

    std::unique_ptr<Transport> transport = host_.MakeTransport();
    if (!transport) {
        host_.ShowMessage(texts::kSocketCreateFailed);
        return false;
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

void ClientConnection::OnConnectResult(bool connected) {
    if (connected) {
        SendLoginRequest();
    } else {
        host_.ReportLoginResult(0, texts::kConnectFailed);
    }
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
