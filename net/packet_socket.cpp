#include "net/packet_socket.h"

namespace vexa::net {

PacketSocket::PacketSocket(std::unique_ptr<Transport> transport) : AsyncSocket(std::move(transport)) {}

PacketSocket::~PacketSocket() {
    PacketSocket::Reset();
    receiveLock_.Unlock();
    sendLock_.Unlock();
}

bool PacketSocket::QueueSend(const char* bytes, std::uint32_t n) {
    auto buffer = std::make_unique<PacketBuffer>(bytes, n);
    if (!buffer->HasStorage()) return false;
    {
        std::lock_guard<std::mutex> guard(sendSection_);
        sendQueue_.push_back(std::move(buffer));
    }
    AsyncSelect(kReadWriteCloseEvents);
    OnSend(0);
    return true;
}

bool PacketSocket::ConnectTo(const std::string& address, unsigned port) {
    Reset();
    // A failed Create shows in the following Connect.
    Create(kConnectAndCloseEvents);
    if (Connect(address, port)) return true;
    return LastError() == kErrorWouldBlock;
}

void PacketSocket::Reset() {
    Close();
    connected_.store(false);
    sendQueue_.clear();
    receivedQueue_.clear();
    cutter_.Reset();
}

int PacketSocket::OnPacket(const char* bytes, int size) { return 0; }

void PacketSocket::OnReceive(int error) {
    if (receiveLock_.IsLocked()) return;
    receiveLock_.Lock();
    while (!closing_) {
        // Never more than the frame in progress wants: the length field, or
        // the rest of the packet.
        const int received = Receive(cutter_.Space(), static_cast<int>(cutter_.Wanted()));
        if (received <= 0) break;  // more follows with a later notification
        if (cutter_.Commit(static_cast<std::size_t>(received)) == protocol::FrameCutter::Step::Frame) {
            receivedQueue_.push_back(cutter_.Take());
            DeliverPackets();
        }
    }
    receiveLock_.Unlock();
}

void PacketSocket::DeliverPackets() {
    while (!receivedQueue_.empty() && !closing_) {
        std::string packet = std::move(receivedQueue_.front());
        receivedQueue_.pop_front();
        OnPacket(packet.data(), static_cast<int>(packet.size()));
    }
}

void PacketSocket::OnSend(int error) {
    if (error != 0) return;
    if (sendLock_.IsLocked()) return;
    sendLock_.Lock();
    while (!sendQueue_.empty() && !closing_) {
        PacketBuffer& head = *sendQueue_.front();
        while (head.Length() > 0) {
            const int sent = Send(head.Current(), static_cast<int>(head.Length()));
            if (sent <= 0) {
                // The rest goes out at the next write notification.
                sendLock_.Unlock();
                return;
            }
            head.SetRange(head.Begin() + static_cast<std::uint32_t>(sent), head.Capacity());
        }
        sendQueue_.pop_front();
    }
    // Selected while the queue is still held, so that a QueueSend on another
    // thread cannot select write events first and have them switched off
    // behind its back.
    if (sendQueue_.empty() && !closing_) AsyncSelect(kReadAndCloseEvents);
    sendLock_.Unlock();
}

std::size_t PacketSocket::QueuedSendCount() const {
    std::lock_guard<std::mutex> guard(sendSection_);
    return sendQueue_.size();
}

std::size_t PacketSocket::QueuedSendBytes() const {
    std::lock_guard<std::mutex> guard(sendSection_);
    std::size_t bytes = 0;
    for (const auto& buffer : sendQueue_) bytes += buffer->Length();
    return bytes;
}

void PacketSocket::DisposeNow() {
    closing_ = true;
    Reset();
}

IMClientSocket::IMClientSocket(std::unique_ptr<Transport> transport) : PacketSocket(std::move(transport)) {}

IMClientSocket::~IMClientSocket() = default;

void IMClientSocket::OnConnect(int error) {
    SetConnected(error == 0);
    if (session_) session_->OnConnectResult(IsConnected(), error);
    PacketSocket::OnConnect(error);
}

void IMClientSocket::OnClose(int error) {
    SetConnected(false);
    if (session_) session_->PostServerClosed();
    PacketSocket::OnClose(error);
}

int IMClientSocket::OnPacket(const char* bytes, int size) {
    if (session_) session_->HandleServerPacket(bytes, size);
    return 0;
}

void IMClientSocket::DisposeNow() {
    session_ = nullptr;
    PacketSocket::DisposeNow();
}

}  // namespace vexa::net
