// One client connection: the socket, the framing of its requests, its send
// queue with the backlog bound, its timers, and the lossless close.
//
// Two sides, two executors. The network side (socket, reads, writes, timers)
// runs on the connection's strand. The request side (the session fields and
// everything a request handler does) runs on the request executor, which is
// the same strand unless the server gives handlers executors of their own.
// Send and Close may be called from any thread.
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

#include "server/request_reader.h"

namespace vexa::server {

using Clock = std::chrono::steady_clock;

// Packets whose loss the users would notice (chats, friend answers) are kept:
// they reach the user or go back to the mailbox. The rest (presence,
// invitations, answers to the connection's own requests) only matter while
// the connection lives.
enum class Keep { No, Yes };

// A kept packet that did not reach its user.
struct KeptPacket {
    int code = 0;
    std::string payload;
};

struct ConnectionLimits {
    std::size_t maxBacklogBytes = 256 * 1024;      // unsent bytes before a reader counts as slow
    std::chrono::milliseconds loginTimeout{30'000};
    std::chrono::milliseconds idleTimeout{300'000};
    std::chrono::milliseconds linger{3'000};         // from the start of a close to the socket's end
};

// How a close treats what is queued and not yet written.
enum class CloseMode {
    Flush,  // write it first (exit: the client asked for the end)
    Cut,    // write nothing more; kept packets among it are handed back
};

class Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

// What a connection reports. Every call arrives on its request executor.
class ConnectionEvents {
public:
    virtual ~ConnectionEvents() = default;
    virtual void OnRequest(const ConnectionPtr& conn, int code, std::string_view payload) = 0;
    // Mailbox rows up to seq have been acknowledged by the client.
    virtual void OnMailAcknowledged(const ConnectionPtr& conn, std::int64_t seq) = 0;
    // The backlog went below half its limit after RequestRoom.
    virtual void OnRoom(const ConnectionPtr& conn) = 0;
    // The socket is closed. unacknowledged: the kept packets that did not
    // reach the client, oldest first. ackedMailSeq: the last mailbox row
    // acknowledged (0 for none). Packets sent to the connection from now on
    // are held (Send returns true) until Seal.
    virtual void OnFinished(const ConnectionPtr& conn, std::vector<KeptPacket> unacknowledged,
                            std::int64_t ackedMailSeq) = 0;
    // The backlog passed its limit; the close follows. Any thread.
    virtual void OnSlowReader(const Connection& conn) = 0;
    // Bytes read from and written to the socket, for the counters. On the network side.
    virtual void OnBytes(std::size_t received, std::size_t sent) {}
};

class Connection : public std::enable_shared_from_this<Connection>, private RequestReader::Sink {
public:
    using Strand = asio::strand<asio::io_context::executor_type>;

    // socket must have been made on strand. With tls, the connection speaks
    // TLS (the server's side of the handshake first).
    Connection(Strand strand, asio::ip::tcp::socket socket, std::uint64_t serial, const ConnectionLimits& limits,
               ConnectionEvents& events, asio::any_io_executor requestExecutor = {}, asio::ssl::context* tls = nullptr);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Start();

    // --- Any thread ---------------------------------------------------------

    // Queues a packet. Kept packets sent while the connection closes are held
    // for Seal; a mailbox packet (mailSeq != 0) is not held, since its row
    // stays until acknowledged. False only once the connection is sealed.
    bool Send(int code, std::string_view payload, Keep keep = Keep::No, std::int64_t mailSeq = 0);
    // Starts the lossless close; lastCode, when not negative, is a packet
    // with an empty payload written last (39: logged in elsewhere).
    void Close(std::string reason, CloseMode mode, int lastCode = -1);
    // After OnFinished: no packet is taken any more; returns the kept packets
    // held since the close began, oldest first.
    std::vector<KeptPacket> Seal();
    // Unsent bytes, as counted against the backlog limit.
    std::size_t QueuedBytes() const;
    bool Closing() const { return closing_.load(); }
    // Asks for one OnRoom once the backlog is below half its limit.
    void RequestRoom();

    std::uint64_t Serial() const { return serial_; }
    const std::string& Peer() const { return peer_; }       // "address:port"
    const std::string& Address() const { return address_; }  // the address alone
    const asio::any_io_executor& RequestExecutor() const { return requestExecutor_; }

    // --- Request side (request executor only) ----------------------------------

    struct Session {
        std::int64_t account = 0;  // 0 until a successful login, and again after exit
        std::string name;          // the logged-in user ID
        std::int64_t mailAccount = 0;  // whose mailbox gets what this connection could not deliver
        bool loginPending = false;
    };
    Session session;

    // Holds back the requests that follow until as many Resume calls (a
    // password is being checked), so they keep their order.
    void Pause();
    void Resume();
    // Tells the network side whether a login is under way or done (for its
    // timers) and the user's name (for its log lines).
    void SetLoginState(bool pending, bool loggedIn, const std::string& name = {});

private:
    struct Outgoing {
        std::string frame;
        int code = 0;
        bool keep = false;
        std::int64_t mailSeq = 0;  // mailbox row this packet delivers, or 0
        std::uint64_t end = 0;     // stream offset just past its last byte, once handed to a write
    };
    struct Request {
        int code;
        std::string payload;
    };

    bool OnRequest(int code, std::string_view payload) override;
    void RunRequest(int code, std::string payload);
    void RequestDone();

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

    void StartTlsShutdown();

    struct TlsLayer;  // the TLS stream over socket_, when the connection speaks TLS

    Strand strand_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<TlsLayer> tls_;
    asio::steady_timer timer_;
    asio::steady_timer ackTimer_;
    std::uint64_t serial_;
    ConnectionLimits limits_;
    ConnectionEvents& events_;
    asio::any_io_executor requestExecutor_;
    std::string peer_, address_;

    // Shared between any thread and the strand.
    enum class State { Open, Closing, Finished, Sealed };
    mutable std::mutex outMutex_;
    State state_ = State::Open;
    std::deque<Outgoing> pending_;        // not yet handed to a write
    std::size_t queuedBytes_ = 0;         // pending_ plus the write in flight
    std::vector<KeptPacket> held_;        // kept packets sent after the close began
    bool writeKicked_ = false;            // a Write on the strand will look at pending_
    std::string logName_;
    bool slowReaderNoticed_ = false;
    std::atomic<bool> closing_{false};
    std::atomic<bool> roomWanted_{false};
    std::atomic<int> outstanding_{0};     // requests read and not yet handled
    std::atomic<bool> readStalled_{false};
    std::atomic<bool> loginPending_{false};
    std::atomic<bool> loggedIn_{false};

    // Network side only.
    RequestReader reader_;
    std::array<char, 4096> readBuffer_{};
    std::deque<Outgoing> batch_;          // the write in flight
    std::vector<asio::const_buffer> buffers_;
    std::deque<Outgoing> sent_;           // written, kept, not yet acknowledged
    std::deque<Outgoing> cut_;            // not written because a close cut them off
    std::uint64_t handedOff_ = 0;         // stream bytes handed to writes
    std::uint64_t written_ = 0;           // stream bytes the kernel took
    std::size_t unackedMail_ = 0;         // mailbox packets in sent_
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

    // Request side only.
    int paused_ = 0;  // Pause calls not yet resumed
    std::deque<Request> heldRequests_;
};

}  // namespace vexa::server
