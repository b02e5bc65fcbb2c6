// A transport for tests: plays bytes that the test lets "arrive", takes sent
// bytes up to a budget the test sets, and records every call. The script is
// shared between the test and the transport, so the test can still read it
// after the socket (and with it the transport) has been destroyed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/async_socket.h"

namespace vexa::net::testing {

struct TransportScript {
    enum class ConnectMode {
        UnderWay,  // Connect fails with kErrorWouldBlock; the outcome is notified later
        AtOnce,    // Connect succeeds at once
        Fail,      // Connect fails with connectError
    };

    // Behaviour.
    bool createSucceeds = true;
    ConnectMode connectMode = ConnectMode::UnderWay;
    int connectError = 10061;  // WSAECONNREFUSED
    // Each Receive returns at most this many bytes (0: no limit).
    int maxReceiveChunk = 0;
    // Bytes Send may still take; negative: no limit. At 0 Send would block.
    long long sendBudget = -1;
    // Each Send takes at most this many bytes (0: no limit).
    int maxSendChunk = 0;
    bool peerClosed = false;
    // Runs inside every Send before it takes anything, as a nested message
    // loop would run inside a platform call.
    std::function<void()> duringSend;

    // Bytes that have arrived and not yet been read.
    std::string incoming;

    // Records.
    std::string wire;                   // every byte Send took, in order
    std::vector<long> selections;       // events of Create and AsyncSelect, in order
    std::vector<int> receiveRequests;   // the count of every Receive call
    std::string address;
    unsigned port = 0;
    int createCount = 0;
    int closeCount = 0;
    bool open = false;                  // a handle exists
    long selected = 0;                  // the events selected now
    NotificationSink* owner = nullptr;  // the attached socket (or layer)
    std::vector<long> posted;           // PostNotification's events, not yet delivered
    bool transportAlive = false;        // the transport object exists

    // Delivers one notification as the platform would: only for an open
    // handle with that event selected. Returns whether it was delivered.
    // The socket may be destroyed inside.
    bool Notify(long event, int error = 0);
    // Lets bytes arrive and delivers a read notification.
    bool Arrive(std::string_view bytes);
    // Delivers the posted notifications, oldest first, as the message loop
    // would; also those posted meanwhile. Returns how many were delivered.
    // The socket may be destroyed inside.
    int DeliverPosted();
    // The last events selected (0 when none).
    long LastSelection() const { return selections.empty() ? 0 : selections.back(); }
};

class ScriptedTransport : public Transport {
public:
    explicit ScriptedTransport(std::shared_ptr<TransportScript> script);
    ~ScriptedTransport() override;

    void Attach(NotificationSink* owner) override;
    bool Create(long events) override;
    bool Connect(const std::string& address, unsigned port) override;
    int LastError() const override { return lastError_; }
    int Receive(char* buffer, int n) override;
    int Send(const char* bytes, int n) override;
    bool AsyncSelect(long events) override;
    void Close() override;
    void PostNotification(long event) override;

private:
    std::shared_ptr<TransportScript> script_;
    int lastError_ = 0;
};

}  // namespace vexa::net::testing
