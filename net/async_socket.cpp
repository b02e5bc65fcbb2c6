#include "net/async_socket.h"

namespace vexa::net {

AsyncSocket::AsyncSocket(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {
    if (transport_) transport_->Attach(this);
}

AsyncSocket::~AsyncSocket() {
    if (transport_) {
        transport_->Close();
        transport_->Attach(nullptr);
    }
}

bool AsyncSocket::Create(long events) {
    closeSeen_ = false;
    return transport_ && transport_->Create(events);
}

bool AsyncSocket::Connect(const std::string& address, unsigned port) {
    return transport_ && transport_->Connect(address, port);
}

int AsyncSocket::LastError() const { return transport_ ? transport_->LastError() : kErrorNotSocket; }

int AsyncSocket::Receive(char* buffer, int n) { return transport_ ? transport_->Receive(buffer, n) : -1; }

int AsyncSocket::Send(const char* bytes, int n) { return transport_ ? transport_->Send(bytes, n) : -1; }

bool AsyncSocket::AsyncSelect(long events) {
    if (closeSeen_) events &= ~static_cast<long>(kEventClose);
    return transport_ && transport_->AsyncSelect(events);
}

void AsyncSocket::Close() {
    if (transport_) transport_->Close();
}

void AsyncSocket::DispatchNotification(long event, int error) {
    if (destroyPending_) return;
    if (event == kEventClose) {
        if (closeSeen_) return;
        closeSeen_ = true;
    }
    ++notificationDepth_;
    switch (event) {
        case kEventConnect: OnConnect(error); break;
        case kEventRead: OnReceive(error); break;
        case kEventWrite: OnSend(error); break;
        case kEventClose: OnClose(error); break;
        default: break;
    }
    --notificationDepth_;
    // The handler asked for this object's destruction while it ran; now
    // nothing of it is on the stack any more (outermost notification).
    if (notificationDepth_ == 0 && destroyPending_) delete this;
}

void AsyncSocket::Destroy(AsyncSocket* socket) {
    if (socket == nullptr || socket->destroyPending_) return;
    socket->DisposeNow();
    if (socket->notificationDepth_ > 0) {
        socket->destroyPending_ = true;
        return;
    }
    delete socket;
}

void AsyncSocket::DisposeNow() { Close(); }

}  // namespace vexa::net
