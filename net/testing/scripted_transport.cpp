#include "net/testing/scripted_transport.h"

#include <algorithm>

namespace vexa::net::testing {

bool TransportScript::Notify(long event, int error) {
    if (owner == nullptr || !open || (selected & event) == 0) return false;
    owner->DispatchNotification(event, error);
    return true;
}

bool TransportScript::Arrive(std::string_view bytes) {
    incoming.append(bytes.data(), bytes.size());
    return Notify(kEventRead);
}

int TransportScript::DeliverPosted() {
    int delivered = 0;
    while (!posted.empty() && owner != nullptr && open) {
        const long event = posted.front();
        posted.erase(posted.begin());
        ++delivered;
        // A posted message reaches the handle whatever is selected now.
        owner->DispatchNotification(event, 0);
    }
    return delivered;
}

ScriptedTransport::ScriptedTransport(std::shared_ptr<TransportScript> script) : script_(std::move(script)) {
    script_->transportAlive = true;
}

ScriptedTransport::~ScriptedTransport() {
    script_->transportAlive = false;
    script_->owner = nullptr;
}

void ScriptedTransport::Attach(NotificationSink* owner) { script_->owner = owner; }

bool ScriptedTransport::Create(long events) {
    ++script_->createCount;
    if (!script_->createSucceeds) {
        lastError_ = 10024;  // WSAEMFILE
        return false;
    }
    script_->open = true;
    script_->selected = events;
    script_->selections.push_back(events);
    return true;
}

bool ScriptedTransport::Connect(const std::string& address, unsigned port) {
    script_->address = address;
    script_->port = port;
    if (!script_->open) {
        lastError_ = kErrorNotSocket;
        return false;
    }
    switch (script_->connectMode) {
        case TransportScript::ConnectMode::AtOnce: return true;
        case TransportScript::ConnectMode::UnderWay: lastError_ = kErrorWouldBlock; return false;
        case TransportScript::ConnectMode::Fail: lastError_ = script_->connectError; return false;
    }
    return false;
}

int ScriptedTransport::Receive(char* buffer, int n) {
    script_->receiveRequests.push_back(n);
    if (!script_->open) {
        lastError_ = kErrorNotSocket;
        return -1;
    }
    if (script_->incoming.empty()) {
        if (script_->peerClosed) return 0;
        lastError_ = kErrorWouldBlock;
        return -1;
    }
    std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), script_->incoming.size());
    if (script_->maxReceiveChunk > 0) take = std::min<std::size_t>(take, script_->maxReceiveChunk);
    script_->incoming.copy(buffer, take);
    script_->incoming.erase(0, take);
    return static_cast<int>(take);
}

int ScriptedTransport::Send(const char* bytes, int n) {
    if (script_->duringSend) script_->duringSend();
    if (!script_->open) {
        lastError_ = kErrorNotSocket;
        return -1;
    }
    long long take = n;
    if (script_->maxSendChunk > 0) take = std::min<long long>(take, script_->maxSendChunk);
    if (script_->sendBudget >= 0) take = std::min(take, script_->sendBudget);
    if (take <= 0) {
        lastError_ = kErrorWouldBlock;
        return -1;
    }
    script_->wire.append(bytes, static_cast<std::size_t>(take));
    if (script_->sendBudget >= 0) script_->sendBudget -= take;
    return static_cast<int>(take);
}

bool ScriptedTransport::AsyncSelect(long events) {
    if (!script_->open) {
        lastError_ = kErrorNotSocket;
        return false;
    }
    script_->selected = events;
    script_->selections.push_back(events);
    return true;
}

void ScriptedTransport::Close() {
    if (!script_->open) return;
    script_->open = false;
    script_->selected = 0;
    script_->posted.clear();
    ++script_->closeCount;
}

void ScriptedTransport::PostNotification(long event) {
    if (script_->open) script_->posted.push_back(event);
}

}  // namespace vexa::net::testing
