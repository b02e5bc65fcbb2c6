// The encrypted transport: a layer between the packet socket and the
// network transport that speaks TLS through a TlsEngine (the system's own TLS
// on Windows). To the packet socket above it is a transport like any other:
// the same calls, the same results, the same notifications, so framing,
// queues, two-phase reads and every notification behave as on plain TCP.
//
// What differs, and why:
// - Connect. The socket above hears of the connection only when the
//   handshake is done and the certificate has passed; a handshake or
//   certificate failure arrives as its connect notification with a
//   TlsFailure code (and the TCP connection is closed). No byte of the
//   socket above goes out before that.
// - Receive pulls: the socket above asks for n bytes, and the layer reads
//   one record at a time from the network (its header, then exactly its
//   body, so no byte of the next record is taken early) until it has
//   plaintext. Nothing is read that the socket above did not ask for, so
//   the network's own read notifications keep telling the truth; only bytes
//   the layer holds itself are announced with a posted notification.
// - Send encrypts at most one record per call and reports the plaintext it
//   took. While an earlier record is still partly unsent, Send would block,
//   and the write notification comes when the network has taken it.
// - A close_notify or a broken record after the handshake is a close of the
//   other end: one close notification, as a TCP close gives. Nothing falls
//   back to plain text.
//
// The handshake runs inside the network's notifications, on the thread of
// the message loop that delivers them; the layer has no thread and no timer.
//
// Threads. As over plain TCP, the socket above may send from another thread
// than the one its notifications arrive on. One lock guards the layer's
// state and the engine; it is never held while the socket above is
// notified, and the network transport never calls back from inside a call.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "net/async_socket.h"
#include "net/tls.h"

namespace vexa::net {

class SecureTransport final : public Transport, private NotificationSink {
public:
    SecureTransport(std::unique_ptr<Transport> network, std::unique_ptr<TlsEngine> engine, SecurityMode mode,
                    const Sha256& pin);
    ~SecureTransport() override;

    void Attach(NotificationSink* owner) override { owner_ = owner; }
    bool Create(long events) override;
    bool Connect(const std::string& address, unsigned port) override;
    int LastError() const override { return lastError_; }
    int Receive(char* buffer, int n) override;
    int Send(const char* bytes, int n) override;
    bool AsyncSelect(long events) override;
    // Sends a close_notify as far as the network takes it at once, then
    // closes the network handle.
    void Close() override;
    void PostNotification(long event) override { network_->PostNotification(event); }

    enum class State {
        Idle,         // no handle
        Connecting,   // TCP connect under way
        Handshaking,  // TLS handshake under way
        Open,         // the session is up
        Closed,       // the server ended the session (close_notify); ours may still send
        Failed,       // the handshake failed, or a record after it was bad
    };
    State CurrentState() const { return state_; }

    // A server may need a few records for its certificates; more handshake
    // bytes than this without progress are refused.
    static constexpr std::size_t kMaxHandshakeBacklog = 128 * 1024;

private:
    enum class Read { Record, Waiting, PeerClosed, Bad, Error };
    // A notification for the socket above, decided under the lock and run
    // after it; event 0 is none.
    struct Notice {
        long event = 0;
        int error = 0;
    };

    // The network's notifications.
    void DispatchNotification(long event, int error) override;
    Notice Handle(long event, int error);
    // The notice, when the socket above selected its event.
    Notice Tell(long event, int error) const;

    Notice StartHandshake();
    Notice ContinueHandshake();
    Notice FinishHandshake();
    // Ends the handshake with a failure: the network is closed and the
    // socket above is told through its connect notification.
    Notice FailHandshake(TlsFailure failure);
    // After the handshake: the session is broken; a close is posted.
    void Break(int error);

    // Reads towards one whole record in record_; Record when it is there.
    Read ReadRecord();
    // Sends pending bytes as far as the network takes them; false on an
    // error other than would-block.
    bool Flush();
    bool HasPending() const { return pendingAt_ < pending_.size(); }
    long NetworkEvents() const;
    void Reselect();
    void ResetSession();

    std::unique_ptr<Transport> network_;
    std::unique_ptr<TlsEngine> engine_;
    const SecurityMode mode_;
    const Sha256 pin_;
    NotificationSink* owner_ = nullptr;
    std::mutex mutex_;

    State state_ = State::Idle;
    long wanted_ = 0;    // events the socket above selected
    long selected_ = 0;  // events selected on the network
    int lastError_ = 0;

    std::string record_;           // the record being read: header, then body
    std::size_t recordSize_ = 0;   // header + body once the header is in; 0 before
    std::string held_;             // bytes read past the handshake, parsed before the network
    std::size_t heldAt_ = 0;
    std::string handshakeIn_;      // handshake records the engine has not used yet
    std::string plain_;            // decrypted bytes not yet received above
    std::size_t plainAt_ = 0;
    std::string pending_;          // encrypted bytes not yet taken by the network
    std::size_t pendingAt_ = 0;
};

}  // namespace vexa::net
