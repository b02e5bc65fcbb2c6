#include "server/net/connection.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/ssl.hpp>

#include "protocol/frame.h"
#include "server/base/log.h"

namespace vexa::server {

namespace {

constexpr std::size_t kMaxBatchPackets = 64;  // packets per socket write
// Requests read and not yet handled: reading stops above the high mark and
// goes on below the low one, so a client that floods is held at its socket.
constexpr int kHighWater = 64;
constexpr int kLowWater = 16;
constexpr auto kMaxAckPoll = std::chrono::milliseconds(1000);
// Acknowledgements of live packets are asked for at most this often on the
// write path: they only free memory, and each asking is a system call.
constexpr auto kAckCheckInterval = std::chrono::milliseconds(20);

// The TCP socket as the TLS stream sees it, counting the bytes written:
// the kernel counts unacknowledged bytes on the wire, not plain text.
class CountingSocket {
public:
    using executor_type = asio::ip::tcp::socket::executor_type;
    using lowest_layer_type = asio::ip::tcp::socket::lowest_layer_type;
    explicit CountingSocket(asio::ip::tcp::socket& socket) : socket_(socket) {}
    executor_type get_executor() { return socket_.get_executor(); }
    lowest_layer_type& lowest_layer() { return socket_.lowest_layer(); }
    const lowest_layer_type& lowest_layer() const { return socket_.lowest_layer(); }
    template <class Buffers, class Handler>
    void async_read_some(const Buffers& buffers, Handler&& handler) {
        socket_.async_read_some(buffers, std::forward<Handler>(handler));
    }
    template <class Buffers, class Handler>
    void async_write_some(const Buffers& buffers, Handler&& handler) {
        socket_.async_write_some(buffers, [this, h = std::decay_t<Handler>(std::forward<Handler>(handler))](
                                              std::error_code ec, std::size_t n) mutable {
            written += n;
            std::move(h)(ec, n);
        });
    }
    std::uint64_t written = 0;

private:
    asio::ip::tcp::socket& socket_;
};

}  // namespace

struct Connection::TlsLayer {
    TlsLayer(asio::ip::tcp::socket& socket, asio::ssl::context& context) : stream(CountingSocket(socket), context) {}
    asio::ssl::stream<CountingSocket> stream;
};

Connection::Connection(Strand strand, asio::ip::tcp::socket socket, std::uint64_t serial,
                       const ConnectionLimits& limits, LinkEvents& events, ServerCounters& counters, Closed closed,
                       asio::any_io_executor requestExecutor, asio::ssl::context* tls)
    : Link(serial, requestExecutor ? requestExecutor : asio::any_io_executor(strand)),
      strand_(strand),
      socket_(std::move(socket)),
      timer_(strand_),
      ackTimer_(strand_),
      limits_(limits),
      events_(events),
      counters_(counters),
      closed_(std::move(closed)) {
    std::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    std::string address = ec ? std::string("?") : remote.address().to_string();
    std::string peer = ec ? address : address + ":" + std::to_string(remote.port());
    SetPeer(std::move(peer), std::move(address));
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    if (tls) tls_ = std::make_unique<TlsLayer>(socket_, *tls);
}

Connection::~Connection() = default;

void Connection::Start() {
    asio::dispatch(strand_, [self = Self()] {
        self->ArmTimer();
        if (!self->tls_) return self->Read();
        // The login time-out covers the handshake too.
        self->tls_->stream.async_handshake(asio::ssl::stream_base::server, [self](std::error_code ec) {
            if (self->finished_) return;
            if (ec) return self->Finish("TLS handshake: " + ec.message());
            self->Read();
        });
    });
}

// --- Any thread -------------------------------------------------------------

bool Connection::Send(int code, std::string_view payload, Keep keep, std::int64_t mailSeq, std::uint64_t ticket) {
    auto frame = protocol::FrameServerPacket(code, payload);
    if (!frame) {
        Log(LogLevel::Warn, "packet " + std::to_string(code) + " too long for one frame; not sent");
        return true;
    }
    bool kick = false, slow = false;
    std::size_t queued = 0;
    {
        std::lock_guard<std::mutex> lock(outMutex_);
        if (state_ == State::Sealed) return false;
        if (state_ != State::Open) {
            if (keep == Keep::Yes && mailSeq == 0) held_.push_back(KeptPacket{code, std::string(payload), ticket});
            return true;
        }
        Outgoing out;
        out.frame = std::move(*frame);
        out.code = code;
        out.keep = keep == Keep::Yes;
        out.mailSeq = mailSeq;
        out.ticket = ticket;
        queuedBytes_ += out.frame.size();
        pending_.push_back(std::move(out));
        queued = queuedBytes_;
        if (queuedBytes_ > limits_.maxBacklogBytes && !slowReaderNoticed_) {
            slowReaderNoticed_ = true;
            slow = true;
        } else if (!writeKicked_) {
            writeKicked_ = true;
            kick = true;
        }
    }
    if (slow) {
        ++counters_.slowReaders;
        asio::post(strand_, [self = Self(), queued] {
            self->BeginClose("slow reader: " + std::to_string(queued) + " bytes waiting", CloseMode::Cut, -1);
        });
    } else if (kick) {
        asio::post(strand_, [self = Self()] { self->Write(); });
    }
    return true;
}

void Connection::Close(std::string reason, CloseMode mode, int lastCode) {
    asio::post(strand_, [self = Self(), reason = std::move(reason), mode, lastCode]() mutable {
        self->BeginClose(std::move(reason), mode, lastCode);
    });
}

std::vector<KeptPacket> Connection::Seal() {
    std::lock_guard<std::mutex> lock(outMutex_);
    state_ = State::Sealed;
    return std::move(held_);
}

std::size_t Connection::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(outMutex_);
    return queuedBytes_;
}

void Connection::RequestRoom() {
    roomWanted_ = true;
    if (QueuedBytes() < limits_.maxBacklogBytes / 2 && roomWanted_.exchange(false))
        asio::post(RequestExecutor(), [self = Self()] { self->events_.OnRoom(self); });
}

void Connection::RequestDone() {
    if (--outstanding_ <= kLowWater && readStalled_.exchange(false))
        asio::post(strand_, [self = Self()] { self->Read(); });
}

// --- Network side, reading into the request side ------------------------------

bool Connection::OnRequest(int code, std::string_view payload) {
    if (events_.AnswerAtOnce(Self(), code, payload, outstanding_ == 0)) return true;
    ++outstanding_;
    // Inline when the handlers share the strand, queued on their executor otherwise.
    asio::dispatch(RequestExecutor(), [self = Self(), code, payload = std::string(payload)]() mutable {
        self->events_.OnRequest(self, code, std::move(payload));
    });
    return true;
}

// --- Network side -----------------------------------------------------------

void Connection::Read() {
    if (reading_ || finished_ || (tls_ && shutDown_)) return;
    if (!closing_ && outstanding_ >= kHighWater) {
        readStalled_ = true;
        // The handlers may have caught up between the test and the flag.
        if (outstanding_ >= kHighWater || !readStalled_.exchange(false)) return;
    }
    reading_ = true;
    auto done = [self = Self()](std::error_code ec, std::size_t n) { self->OnRead(ec, n); };
    if (tls_)
        tls_->stream.async_read_some(asio::buffer(readBuffer_), std::move(done));
    else
        socket_.async_read_some(asio::buffer(readBuffer_), std::move(done));
}

void Connection::OnRead(std::error_code ec, std::size_t n) {
    reading_ = false;
    if (finished_) return;
    if (tlsClosePending_) return StartTlsShutdown();
    if (ec) {
        Finish(ec == asio::error::eof || ec == asio::ssl::error::stream_truncated ? "closed by the client"
                                                                                  : "read: " + ec.message());
        return;
    }
    lastActivity_ = Clock::now();
    counters_.bytesIn.fetch_add(n, std::memory_order_relaxed);
    // While closing, what the client sends is read only so that its kernel
    // never meets a closed socket (which would reset the connection and
    // throw away what is still on its way to the client).
    if (!closing_) reader_.Feed(readBuffer_.data(), n, *this);
    Read();
}

void Connection::Write() {
    if (writing_ || finished_ || shutDown_) return;
    {
        std::lock_guard<std::mutex> lock(outMutex_);
        while (!pending_.empty() && batch_.size() < kMaxBatchPackets) {
            batch_.push_back(std::move(pending_.front()));
            pending_.pop_front();
        }
        if (batch_.empty()) writeKicked_ = false;
    }
    if (batch_.empty()) {
        MaybeShutdown();
        return;
    }
    buffers_.clear();
    for (Outgoing& out : batch_) {
        handedOff_ += out.frame.size();
        out.end = handedOff_;
        buffers_.push_back(asio::buffer(out.frame));
    }
    writing_ = true;
    ackPoll_ = std::chrono::milliseconds(10);
    auto done = [self = Self()](std::error_code ec, std::size_t n) { self->OnWrite(ec, n); };
    if (tls_)
        asio::async_write(tls_->stream, buffers_, std::move(done));
    else
        asio::async_write(socket_, buffers_, std::move(done));
}

void Connection::OnWrite(std::error_code ec, std::size_t n) {
    writing_ = false;
    if (tls_) {
        // Counted on the wire: a whole batch ends where its last record does,
        // and a batch cut short counts as not written at all.
        written_ = tls_->stream.next_layer().written;
        for (Outgoing& out : batch_) out.end = ec ? ~std::uint64_t{0} : written_;
    } else {
        written_ += n;
    }
    if (n) counters_.bytesOut.fetch_add(n, std::memory_order_relaxed);
    std::size_t batchBytes = 0;
    std::deque<Outgoing> unwritten;
    for (Outgoing& out : batch_) {
        batchBytes += out.frame.size();
        if (out.end > written_) {
            if (out.keep) unwritten.push_back(std::move(out));
        } else if (out.keep) {
            if (out.mailSeq != 0 || out.ticket != 0) ++unackedTracked_;
            sent_.push_back(std::move(out));
        }
    }
    batch_.clear();
    {
        std::lock_guard<std::mutex> lock(outMutex_);
        queuedBytes_ -= std::min(queuedBytes_, batchBytes);
    }
    // A write cut short is older than anything a close cut off before it.
    cut_.insert(cut_.begin(), std::make_move_iterator(unwritten.begin()), std::make_move_iterator(unwritten.end()));
    if (finishing_) {
        Finish(closeReason_);
        return;
    }
    if (ec) {
        Finish("write: " + ec.message());
        return;
    }
    // Mailbox rows are deleted as soon as they are acknowledged, so a stop
    // of the server repeats as little as possible; the node a forwarded
    // packet came from waits to hear of it.
    if (unackedTracked_ > 0 || Clock::now() - lastAckCheck_ >= kAckCheckInterval) CheckAcknowledged();
    if (roomWanted_ && QueuedBytes() < limits_.maxBacklogBytes / 2 && roomWanted_.exchange(false))
        asio::post(RequestExecutor(), [self = Self()] { self->events_.OnRoom(self); });
    Write();
}

void Connection::BeginClose(std::string reason, CloseMode mode, int lastCode) {
    if (finished_ || closing_) return;
    closing_ = true;
    closeReason_ = std::move(reason);
    {
        std::lock_guard<std::mutex> lock(outMutex_);
        state_ = State::Closing;
        if (mode == CloseMode::Cut) {
            for (Outgoing& out : pending_) {
                queuedBytes_ -= std::min(queuedBytes_, out.frame.size());
                if (out.keep) cut_.push_back(std::move(out));
            }
            pending_.clear();
        }
        if (lastCode >= 0) {
            Outgoing out;
            out.frame = *protocol::FrameServerPacket(lastCode, "");
            out.code = lastCode;
            queuedBytes_ += out.frame.size();
            pending_.push_back(std::move(out));
        }
    }
    // Anybody can open connections that never log in, as many as he likes.
    std::string line = LogLine("closing: ") + closeReason_;
    login.NameForLog().empty() ? LogLimited(LogLevel::Info, "connection of no user closing", line)
                               : Log(LogLevel::Info, line);
    lingerDeadline_ = Clock::now() + limits_.linger;
    ArmTimer();
    Write();
}

void Connection::MaybeShutdown() {
    if (!closing_ || shutDown_ || writing_ || finished_) return;
    {
        std::lock_guard<std::mutex> lock(outMutex_);
        if (!pending_.empty()) return;
    }
    if (tls_) {
        // The TLS close cannot share the stream with a read in flight.
        if (reading_) {
            tlsClosePending_ = true;
            std::error_code ec;
            socket_.cancel(ec);
            return;
        }
        return StartTlsShutdown();
    }
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    shutDown_ = true;
    finSent_ = true;
}

// close_notify, then the client's answer (or its end) ends the connection.
// The TLS layer reads what the client still sends meanwhile.
void Connection::StartTlsShutdown() {
    tlsClosePending_ = false;
    if (shutDown_ || finished_) return;
    shutDown_ = true;
    tls_->stream.async_shutdown([self = Self()](std::error_code ec) {
        self->Finish(ec ? "closed by the client (" + ec.message() + ")" : "closed by the client");
    });
}

std::size_t Connection::UnacknowledgedBytes() const {
    int queued = 0;
    if (ioctl(const_cast<asio::ip::tcp::socket&>(socket_).native_handle(), SIOCOUTQ, &queued) != 0 || queued < 0)
        return static_cast<std::size_t>(written_ - acked_);
    // The FIN of a half-close takes one place in the count until it is acknowledged.
    if (finSent_ && queued > 0) --queued;
    return static_cast<std::size_t>(queued);
}

void Connection::CheckAcknowledged() {
    lastAckCheck_ = Clock::now();
    if (sent_.empty()) return;
    std::uint64_t unacked = std::min<std::uint64_t>(UnacknowledgedBytes(), written_);
    acked_ = std::max(acked_, written_ - unacked);
    std::vector<std::uint64_t> tickets;
    while (!sent_.empty() && sent_.front().end <= acked_) {
        const Outgoing& out = sent_.front();
        if (out.mailSeq != 0 || out.ticket != 0) --unackedTracked_;
        ackedMailSeq_ = std::max(ackedMailSeq_, out.mailSeq);
        if (out.ticket != 0) tickets.push_back(out.ticket);
        sent_.pop_front();
    }
    ReportForwarded(std::move(tickets));
    if (ackedMailSeq_ > reportedMailSeq_ && !finished_) {
        reportedMailSeq_ = ackedMailSeq_;
        asio::post(RequestExecutor(), [self = Self(), seq = ackedMailSeq_] {
            self->events_.OnMailAcknowledged(self, seq);
        });
    }
    // Live packets wait for the next write or the close; mailbox rows are
    // asked after until they are acknowledged.
    if (unackedTracked_ > 0 && !finished_) ArmAckTimer();
}

void Connection::ArmAckTimer() {
    if (ackTimerArmed_) return;
    ackTimerArmed_ = true;
    ackTimer_.expires_after(ackPoll_);
    ackTimer_.async_wait([self = Self()](std::error_code ec) {
        self->ackTimerArmed_ = false;
        if (ec || self->finished_) return;
        // An idle connection is polled less and less often.
        self->ackPoll_ = std::min(self->ackPoll_ * 2, std::chrono::duration_cast<std::chrono::milliseconds>(kMaxAckPoll));
        self->CheckAcknowledged();
    });
}

void Connection::HandBack(Outgoing& out, std::vector<KeptPacket>& into) {
    // A packet from the mailbox is still there: its row goes only once acknowledged.
    if (!out.keep || out.mailSeq != 0) return;
    into.push_back(KeptPacket{out.code, std::string(protocol::ServerPacketPayload(out.frame)), out.ticket});
}

void Connection::ReportForwarded(std::vector<std::uint64_t> tickets) {
    if (!tickets.empty()) events_.OnForwardedAcknowledged(Self(), std::move(tickets));
}

void Connection::Finish(const std::string& why) {
    if (finished_) return;
    if (closeReason_.empty()) closeReason_ = why;
    if (writing_) {
        // The write's completion tells how much of it the kernel took.
        finishing_ = true;
        std::error_code ec;
        socket_.cancel(ec);
        return;
    }
    finished_ = true;
    closing_ = true;
    timer_.cancel();
    ackTimer_.cancel();

    std::uint64_t unacked = std::min<std::uint64_t>(UnacknowledgedBytes(), written_);
    acked_ = std::max(acked_, written_ - unacked);
    std::vector<KeptPacket> handedBack;
    std::vector<std::uint64_t> tickets;
    for (Outgoing& out : sent_) {
        if (out.end <= acked_) {
            ackedMailSeq_ = std::max(ackedMailSeq_, out.mailSeq);
            if (out.ticket != 0) tickets.push_back(out.ticket);
        } else {
            HandBack(out, handedBack);
        }
    }
    ReportForwarded(std::move(tickets));
    sent_.clear();
    for (Outgoing& out : cut_) HandBack(out, handedBack);
    cut_.clear();
    {
        std::lock_guard<std::mutex> lock(outMutex_);
        state_ = State::Finished;
        for (Outgoing& out : pending_) HandBack(out, handedBack);
        pending_.clear();
        queuedBytes_ = 0;
    }
    std::error_code ec;
    if (written_ > acked_) {
        // What the client has not acknowledged is in the mailbox now; a reset
        // keeps our kernel from delivering it a second time.
        socket_.set_option(asio::socket_base::linger(true, 0), ec);
    }
    socket_.close(ec);
    std::string line = LogLine("closed: ") + closeReason_ + (closeReason_ == why ? std::string() : " (" + why + ")") +
                       (handedBack.empty() ? std::string()
                                           : "; " + std::to_string(handedBack.size()) +
                                                 " undelivered packets kept for the next login");
    login.NameForLog().empty() ? LogLimited(LogLevel::Info, "connection of no user closed", line)
                               : Log(LogLevel::Info, line);
    asio::post(RequestExecutor(), [self = Self(), handedBack = std::move(handedBack), seq = ackedMailSeq_]() mutable {
        self->events_.OnFinished(self, std::move(handedBack), seq);
        if (self->closed_) self->closed_(self);
    });
}

void Connection::ArmTimer() {
    timer_.expires_at(Deadline());
    timer_.async_wait([self = Self()](std::error_code ec) {
        if (ec || self->finished_) return;
        if (Clock::now() < self->Deadline()) {
            self->ArmTimer();
            return;
        }
        if (self->closing_)
            self->Finish("linger deadline passed");
        else
            self->BeginClose(self->login.Now() >= LoginState::Phase::LoggedIn ? "silent for too long" : "no login in time",
                             CloseMode::Cut, -1);
    });
}

Clock::time_point Connection::Deadline() const {
    if (closing_) return lingerDeadline_;
    if (login.Now() == LoginState::Phase::None) return acceptedAt_ + limits_.loginTimeout;
    return lastActivity_ + limits_.idleTimeout;
}

std::string Connection::LogLine(const char* what) const {
    std::string_view name = login.NameForLog();
    return "connection #" + std::to_string(Serial()) + " " + Peer() +
           (name.empty() ? std::string() : " (" + Printable(name) + ")") + " " + what;
}

}  // namespace vexa::server
