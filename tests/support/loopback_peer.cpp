#include "loopback_peer.h"

#include "win32_test_support.h"

namespace vexa::testing {

LoopbackPeer::LoopbackPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    int length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackPeer::~LoopbackPeer() {
    stop_ = true;
    ::closesocket(listener_);
    acceptor_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& client : clients_) {
        if (client->socket != INVALID_SOCKET) ::shutdown(client->socket, SD_BOTH);
        if (client->reader.joinable()) client->reader.join();
        if (client->socket != INVALID_SOCKET) ::closesocket(client->socket);
    }
}

void LoopbackPeer::AcceptLoop() {
    while (!stop_) {
        SOCKET s = ::accept(listener_, nullptr, nullptr);
        if (s == INVALID_SOCKET) return;
        auto client = std::make_unique<Client>();
        client->socket = s;
        Client* raw = client.get();
        std::lock_guard<std::mutex> lock(mutex_);
        clients_.push_back(std::move(client));
        raw->reader = std::thread([this, raw] {
            char buffer[4096];
            for (;;) {
                int n = ::recv(raw->socket, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                std::lock_guard<std::mutex> lock(mutex_);
                raw->received.append(buffer, n);
            }
        });
    }
}

int LoopbackPeer::Index(int connection) {
    return connection < 0 ? static_cast<int>(clients_.size()) - 1 : connection;
}

int LoopbackPeer::Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(clients_.size());
}

std::string LoopbackPeer::Received(int connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    int i = Index(connection);
    if (i < 0 || i >= static_cast<int>(clients_.size())) return {};
    return clients_[i]->received;
}

bool LoopbackPeer::WaitForBytes(std::size_t n, int connection, int timeoutMs) {
    return PumpUntil([&] { return Received(connection).size() >= n; }, timeoutMs);
}

bool LoopbackPeer::WaitForConnections(int n, int timeoutMs) {
    return PumpUntil([&] { return Connections() >= n; }, timeoutMs);
}

bool LoopbackPeer::Send(const std::string& bytes, int connection) {
    SOCKET s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int i = Index(connection);
        if (i < 0 || i >= static_cast<int>(clients_.size())) return false;
        s = clients_[i]->socket;
    }
    return ::send(s, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
}

void LoopbackPeer::CloseConnection(int connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    int i = Index(connection);
    if (i < 0 || i >= static_cast<int>(clients_.size())) return;
    ::shutdown(clients_[i]->socket, SD_BOTH);
}

}  // namespace vexa::testing
