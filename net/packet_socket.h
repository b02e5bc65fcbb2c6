// The IM side's packet socket: a send queue that goes out as far as the
// network takes it, and a receive side that cuts the server's byte stream
// into complete packets by their four-digit length field.
//
// Receiving reads each packet in two phases, the four length characters and
// then exactly length + 1 further bytes, into a buffer of exactly the
// packet's size (the protocol's frame cutter), so no byte of the next packet
// is ever taken early. Complete packets are queued and handed to OnPacket in
// order.
//
// Locks. sendSection guards the send queue, receiveSection the receive side.
// A packet handler may send (receive side, then send side); the send side
// never takes the receive side. OnReceive and OnSend look at their lock's
// acquired flag first and return at once when it is set: the flag belongs to
// the object, not to a thread, so a notification dispatched by a nested
// message loop (a modal box further down) does not re-enter; the running
// loop reads whatever arrived meanwhile.
//
// Threads. Notifications arrive on the thread that created the handle.
// QueueSend may run on another thread. Reset, ConnectTo and destruction
// belong to the creating thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "net/async_socket.h"
#include "net/packet_buffer.h"
#include "protocol/frame.h"

namespace vexa::net {

// A lock on a mutex with an acquired flag that anybody may read. The flag is
// raised after the mutex is taken and lowered before it is given back, so a
// thread that waited for the mutex never sees it raised by the previous
// holder.
class SingleLock {
public:
    explicit SingleLock(std::mutex& section) : section_(section) {}
    ~SingleLock() { Unlock(); }
    SingleLock(const SingleLock&) = delete;
    SingleLock& operator=(const SingleLock&) = delete;

    void Lock() {
        section_.lock();
        acquired_.store(true);
    }
    void Unlock() {
        if (acquired_.exchange(false)) section_.unlock();
    }
    bool IsLocked() const { return acquired_.load(); }

private:
    std::mutex& section_;
    std::atomic<bool> acquired_{false};
};

class PacketSocket : public AsyncSocket {
public:
    // The largest server packet.
    static constexpr std::uint32_t kMaxServerPacket = protocol::kMaxServerPacketSize;

    explicit PacketSocket(std::unique_ptr<Transport> transport);
    ~PacketSocket() override;

    // Copies n bytes to the tail of the send queue, selects read, write and
    // close events and sends at once as far as the network takes it. False
    // (nothing queued) only when the copy cannot be made.
    bool QueueSend(const char* bytes, std::uint32_t n);

    // Resets the object, creates a new handle (connect and close events) and
    // starts a non-blocking connect. True when connected or under way.
    bool ConnectTo(const std::string& address, unsigned port);

    bool IsConnected() const { return connected_.load(); }
    // Closes the handle and discards every buffer. Takes no lock.
    virtual void Reset();

    // One complete server packet: its bytes from the first length character
    // and its size (length + 5). The base version does nothing.
    virtual int OnPacket(const char* bytes, int size);

    void OnReceive(int error) override;
    void OnSend(int error) override;

    // Diagnostics for callers and tests.
    std::size_t QueuedSendCount() const;
    std::size_t QueuedSendBytes() const;

protected:
    // Hands every queued complete packet to OnPacket, oldest first. Runs with
    // the receive lock held.
    void DeliverPackets();

    void SetConnected(bool connected) { connected_.store(connected); }
    // Destroy: reset at once; stop delivering to anybody.
    void DisposeNow() override;

private:
    // Destroy was asked for while a notification runs: the running loops
    // must stop touching the network and the queues.
    std::atomic<bool> closing_{false};

    std::deque<std::unique_ptr<PacketBuffer>> sendQueue_;
    std::deque<std::string> receivedQueue_;
    mutable std::mutex sendSection_;
    std::mutex receiveSection_;
    SingleLock receiveLock_{receiveSection_};
    SingleLock sendLock_{sendSection_};
    protocol::FrameCutter cutter_{protocol::FrameSender::Server};
    std::atomic<bool> connected_{false};
};

// What the IM client socket reports to its session.
class ClientSocketSession {
public:
    virtual ~ClientSocketSession() = default;
    // The outcome of the connect attempt (true: connected); error is the
    // connect notification's code: a socket error, or a TlsFailure.
    virtual void OnConnectResult(bool connected, int error) = 0;
    // The other end closed the connection.
    virtual bool PostServerClosed() = 0;
    // One complete server packet (bytes from the first length character,
    // size = length + 5).
    virtual void HandleServerPacket(const char* bytes, int size) = 0;
};

// The session's socket: records the connect outcome and passes connects,
// closes and packets on to the session.
class IMClientSocket : public PacketSocket {
public:
    explicit IMClientSocket(std::unique_ptr<Transport> transport);
    ~IMClientSocket() override;

    // Not owned; null detaches (nothing is reported any more).
    void SetSession(ClientSocketSession* session) { session_ = session; }
    ClientSocketSession* Session() const { return session_; }

    void OnConnect(int error) override;
    void OnClose(int error) override;
    int OnPacket(const char* bytes, int size) override;

protected:
    void DisposeNow() override;

private:
    ClientSocketSession* session_ = nullptr;
};

}  // namespace vexa::net
