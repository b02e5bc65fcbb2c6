#include "net/packet_socket.h"

#include <string_view>

#include "protocol/text.h"

namespace vexa::net {
namespace {

constexpr std::uint32_t kLengthFieldSize = 4;

// The value of a length field, read as the runtime's atoi reads it.
int LengthFieldValue(const PacketBuffer& buffer) {
    return text::AtoI(std::string_view(buffer.Data(), kLengthFieldSize));
}

}  // namespace

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
    partial_.reset();
}

int PacketSocket::OnPacket(const char* bytes, int size) { return 0; }

void PacketSocket::OnReceive(int error) {
    if (receiveLock_.IsLocked()) return;
    receiveLock_.Lock();
    for (;;) {
        if (closing_) break;
        if (!partial_) partial_ = std::make_unique<PacketBuffer>(kLengthFieldSize);

        // Fill the buffer up to exactly its capacity: the length field, or
        // the whole packet.
        bool waiting = false;
        while (partial_->Capacity() > partial_->Length()) {
            const std::uint32_t held = partial_->Length();
            const int received =
                Receive(partial_->Data() + held, static_cast<int>(partial_->Capacity() - held));
            if (received <= 0) {
                waiting = true;  // more follows with a later notification
                break;
            }
            partial_->SetRange(0, held + static_cast<std::uint32_t>(received));
        }
        if (waiting) break;

        const int length = LengthFieldValue(*partial_);
        if (length < 1) {
            // Not a length: drop the four bytes and read on from the next one.
            partial_.reset();
            continue;
        }
        const std::uint32_t packetSize = static_cast<std::uint32_t>(length) + 5;
        if (partial_->Length() == packetSize) {
            receivedQueue_.push_back(std::move(partial_));
            DeliverPackets();
            continue;
        }
        // Only the length field is in: read the rest into a buffer of the
        // packet's exact size.
        auto whole = std::make_unique<PacketBuffer>(packetSize);
        whole->Write(partial_->Data(), kLengthFieldSize, 0);
        partial_ = std::move(whole);
    }
    receiveLock_.Unlock();
}

void PacketSocket::DeliverPackets() {
    while (!receivedQueue_.empty() && !closing_) {
        std::unique_ptr<PacketBuffer> packet = std::move(receivedQueue_.front());
        receivedQueue_.pop_front();
        OnPacket(packet->Data(), static_cast<int>(packet->Capacity()));
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
