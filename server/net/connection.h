// One client connection: the socket, the framing of its requests, its send
// queue with the backlog bound, its timers, and the lossless close. The
// network side of a Link (session/link.h): it runs on the connection's
// strand; requests go to the handlers on the request executor, which is the
// same strand unless the server gives handlers executors of their own.
//
// Delivery is counted by the client's TCP, not by our kernel: a packet is
// delivered once the client acknowledged its last byte (the socket's
// unacknowledged send-queue count tells). Every close the server makes is a
// half-close: the last packets go out, sending is shut down, what the client
// still sends is read and discarded, and the socket is closed when the client
// closes or the linger deadline passes. Kept packets that the client's TCP
// has not acknowledged by then are handed back (OnFinished), oldest first, for
// the mailbox.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>
#include <asio/ssl/context.hpp>

#include "protocol/frame.h"
#include "server/base/counters.h"
#include "server/session/link.h"

namespace vexa::server {

struct ConnectionLimits {
    std::size_t maxBacklogBytes = 256 * 1024;      // unsent bytes before a reader counts as slow
    std::chrono::milliseconds loginTimeout{30'000};
    std::chrono::milliseconds idleTimeout{300'000};
    std::chrono::milliseconds linger{3'000};         // from the start of a close to the socket's end
};

class Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

class Connection final : public Link, private protocol::RequestReader::Sink {
public:
    using Strand = asio::strand<asio::io_context::executor_type>;
    // Called once the handlers have heard of the end (OnFinished), on the
    // request executor.
    using Closed = std::function<void(const ConnectionPtr&)>;

    // socket must have been made on strand. With tls, the connection speaks
    // TLS (the server's side of the handshake first). Bytes and slow readers
    // are counted in counters.
    Connection(Strand strand, asio::ip::tcp::socket socket, std::uint64_t serial, const ConnectionLimits& limits,
               LinkEvents& events, ServerCounters& counters, Closed closed,
               asio::any_io_executor requestExecutor = {}, asio::ssl::context* tls = nullptr);
    ~Connection() override;

    void Start();

    // Link
    bool Send(int code, std::string_view payload, Keep keep = Keep::No, std::int64_t mailSeq = 0,
              std::uint64_t ticket = 0) override;
    void Close(std::string reason, CloseMode mode, int lastCode = -1) override;
    std::vector<KeptPacket> Seal() override;
    std::size_t QueuedBytes() const override;
    bool Closing() const override { return closing_.load(); }
    void RequestRoom() override;
    void RequestDone() override;

private:
    struct Outgoing {
        std::string frame;
        int code = 0;
        bool keep = false;
        std::int64_t mailSeq = 0;  // mailbox row this packet delivers, or 0
        std::uint64_t ticket = 0;  // forwarded by another node, which waits to hear of it
        std::uint64_t end = 0;     // stream offset just past its last byte, once handed to a write
    };
    bool OnRequest(int code, std::string_view payload) override;
    ConnectionPtr Self() { return std::static_pointer_cast<Connection>(shared_from_this()); }
    std::string LogLine(const char* what) const;

    // Network side, on the strand.
    void Read();
    void OnRead(std::error_code ec, std::size_t n);
    void Write();
    void OnWrite(std::error_code ec, std::size_t n);
    void BeginClose(std::string reason, CloseMode mode, int lastCode);
    void MaybeShutdown();
    void Finish(const std::string& why);
    void CheckAcknowledged();
    void ArmTimer();
    void ArmAckTimer();
    Clock::time_point Deadline() const;
    std::size_t UnacknowledgedBytes() const;
    void HandBack(Outgoing& out, std::vector<KeptPacket>& into);
    void ReportForwarded(std::vector<std::uint64_t> tickets);

    void StartTlsShutdown();

    struct TlsLayer;  // the TLS stream over socket_, when the connection speaks TLS

    Strand strand_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<TlsLayer> tls_;
    asio::steady_timer timer_;
    asio::steady_timer ackTimer_;
    ConnectionLimits limits_;
    LinkEvents& events_;
    ServerCounters& counters_;
    Closed closed_;

    // Shared between any thread and the strand.
    enum class State { Open, Closing, Finished, Sealed };
    mutable std::mutex outMutex_;
    State state_ = State::Open;
    std::deque<Outgoing> pending_;        // not yet handed to a write
    std::size_t queuedBytes_ = 0;         // pending_ plus the write in flight
    std::vector<KeptPacket> held_;        // kept packets sent after the close began
    bool writeKicked_ = false;            // a Write on the strand will look at pending_
    bool slowReaderNoticed_ = false;
    std::atomic<bool> closing_{false};
    std::atomic<bool> roomWanted_{false};
    std::atomic<int> outstanding_{0};     // requests read and not yet handled
    std::atomic<bool> readStalled_{false};

    // Network side only.
    protocol::RequestReader reader_;
    std::array<char, 4096> readBuffer_{};
    std::deque<Outgoing> batch_;          // the write in flight
    std::vector<asio::const_buffer> buffers_;
    std::deque<Outgoing> sent_;           // written, kept, not yet acknowledged
    std::deque<Outgoing> cut_;            // not written because a close cut them off
    std::uint64_t handedOff_ = 0;         // stream bytes handed to writes
    std::uint64_t written_ = 0;           // stream bytes the kernel took
    std::size_t unackedTracked_ = 0;      // packets in sent_ whose acknowledgement is reported
    Clock::time_point lastAckCheck_{};
    std::int64_t ackedMailSeq_ = 0;
    std::int64_t reportedMailSeq_ = 0;
    std::chrono::milliseconds ackPoll_{10};
    Clock::time_point acceptedAt_ = Clock::now();
    Clock::time_point lastActivity_ = Clock::now();
    Clock::time_point lingerDeadline_{};
    std::string closeReason_;
    std::uint64_t acked_ = 0;             // stream bytes the client's TCP acknowledged
    bool reading_ = false;
    bool writing_ = false;
    bool ackTimerArmed_ = false;
    bool shutDown_ = false;               // our side sends nothing more (FIN, or TLS close_notify)
    bool finSent_ = false;                // the FIN takes a place in the kernel's count
    bool tlsClosePending_ = false;        // the read in flight is cancelled for the TLS close
    bool finishing_ = false;
    bool finished_ = false;
};

}  // namespace vexa::server
