// A client's connection as the layers above the network see it: what the
// router and the handlers may do with it, and what it reports to them. The
// network layer implements it (net/connection.h); so do the tests and the
// fuzz target, without a socket.
//
// Two sides, two executors. The network side (socket, reads, writes, timers)
// belongs to the connection. The request side (the login state, the requests
// held back, everything a handler does) runs on the request executor, one
// request at a time, in order. Send and Close may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio/any_io_executor.hpp>

namespace vexa::server {

// Packets whose loss the users would notice (chats, friend answers) are kept:
// they reach the user or go back to the mailbox. The rest (presence,
// invitations, answers to the connection's own requests) only matter while
// the connection lives.
enum class Keep { No, Yes };

// A kept packet that did not reach its user.
struct KeptPacket {
    int code = 0;
    std::string payload;
    std::uint64_t ticket = 0;  // forwarded by another node (see Send)
};

// How a close treats what is queued and not yet written.
enum class CloseMode {
    Flush,  // write it first (exit: the client asked for the end)
    Cut,    // write nothing more; kept packets among it are handed back
};

// Who is logged in on a link, kept once. The request side writes it; the
// network side reads the phase (for its timers) and the name (for its log
// lines), which does not change once the login succeeded.
class LoginState {
public:
    enum class Phase : int { None, Pending, LoggedIn, LoggedOut };

    // --- Request side.
    // 0 until a successful login, and again after exit.
    std::int64_t Account() const { return account_; }
    // Whose mailbox gets what the link could not deliver, from the login on.
    std::int64_t MailAccount() const { return mailAccount_; }
    // The logged-in user ID.
    const std::string& Name() const { return name_; }
    bool Pending() const { return phase_.load() == Phase::Pending; }
    void Begin() { phase_ = Phase::Pending; }
    void Refused() { phase_ = Phase::None; }
    void Succeeded(std::int64_t account, std::string name) {
        account_ = mailAccount_ = account;
        name_ = std::move(name);
        phase_.store(Phase::LoggedIn, std::memory_order_release);
    }
    void Exited() {
        account_ = 0;
        phase_ = Phase::LoggedOut;
    }

    // --- Any thread.
    Phase Now() const { return phase_.load(std::memory_order_acquire); }
    // Empty until the login succeeded.
    std::string_view NameForLog() const { return Now() >= Phase::LoggedIn ? std::string_view(name_) : std::string_view(); }

private:
    std::atomic<Phase> phase_{Phase::None};
    std::int64_t account_ = 0;
    std::int64_t mailAccount_ = 0;
    std::string name_;
};

// Requests held back while an earlier one is still being served (a password
// is being checked, the database is out of reach), so they keep their order.
// Request side; the network side reads pauses.
struct HeldRequests {
    struct Request {
        int code;
        std::string payload;
    };
    std::atomic<int> pauses{0};  // Pause calls not yet resumed
    std::deque<Request> queue;
};

class Link : public std::enable_shared_from_this<Link> {
public:
    virtual ~Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // --- Any thread ---------------------------------------------------------

    // Queues a packet. Kept packets sent while the link closes are held for
    // Seal; a mailbox packet (mailSeq != 0) is not held, since its row stays
    // until acknowledged. A kept packet another node forwarded carries a
    // ticket: its acknowledgement is reported (OnForwardedAcknowledged), and
    // it is handed back with it. False only once the link is sealed.
    virtual bool Send(int code, std::string_view payload, Keep keep = Keep::No, std::int64_t mailSeq = 0,
                      std::uint64_t ticket = 0) = 0;
    // Starts the lossless close; lastCode, when not negative, is a packet
    // with an empty payload written last (39: logged in elsewhere).
    virtual void Close(std::string reason, CloseMode mode, int lastCode = -1) = 0;
    // After OnFinished: no packet is taken any more; returns the kept packets
    // held since the close began, oldest first.
    virtual std::vector<KeptPacket> Seal() = 0;
    // Unsent bytes, as counted against the backlog limit.
    virtual std::size_t QueuedBytes() const = 0;
    virtual bool Closing() const = 0;
    // Asks for one OnRoom once the backlog is below half its limit.
    virtual void RequestRoom() = 0;

    std::uint64_t Serial() const { return serial_; }
    const std::string& Peer() const { return peer_; }       // "address:port"
    const std::string& Address() const { return address_; }  // the address alone
    const asio::any_io_executor& RequestExecutor() const { return requestExecutor_; }

    // --- Request side (request executor only) ------------------------------

    LoginState login;
    HeldRequests held;
    // Set while a request waits for the database to be reachable again; also
    // read on the network side.
    std::atomic<bool> waitsForStore{false};
    // A request handed to OnRequest has been served: the network side may
    // read on when it had stopped for the requests piling up.
    virtual void RequestDone() = 0;

protected:
    Link(std::uint64_t serial, asio::any_io_executor requestExecutor)
        : serial_(serial), requestExecutor_(std::move(requestExecutor)) {}
    void SetPeer(std::string peer, std::string address) {
        peer_ = std::move(peer);
        address_ = std::move(address);
    }

private:
    std::uint64_t serial_;
    std::string peer_ = "?", address_ = "?";
    asio::any_io_executor requestExecutor_;
};

using LinkPtr = std::shared_ptr<Link>;

// What a link reports, every call on its request executor unless said
// otherwise. The handlers implement it.
class LinkEvents {
public:
    virtual ~LinkEvents() = default;
    // Asked on the network side, any thread, before a request goes to the
    // request side: true when it was served here and then. A keep-alive of
    // a logged-in user, so that it waits behind nothing, not even a request
    // that waits for the database; a chat that needs no database, when the
    // request side would hand it to threads of its own. nothingBefore: no
    // earlier request of the link is still to be served, so serving now
    // keeps their order.
    virtual bool AnswerAtOnce(const LinkPtr& /*link*/, int /*code*/, std::string_view /*payload*/,
                              bool /*nothingBefore*/) {
        return false;
    }
    // A request, in the order the client sent it; RequestDone follows once
    // it has been served.
    virtual void OnRequest(const LinkPtr& link, int code, std::string payload) = 0;
    // Mailbox rows up to seq have been acknowledged by the client.
    virtual void OnMailAcknowledged(const LinkPtr& link, std::int64_t seq) = 0;
    // Forwarded packets (their tickets) have been acknowledged by the client.
    // On the network side: it only tells their node, and never waits.
    virtual void OnForwardedAcknowledged(const LinkPtr& link, std::vector<std::uint64_t> tickets) = 0;
    // The backlog went below half its limit after RequestRoom.
    virtual void OnRoom(const LinkPtr& link) = 0;
    // The socket is closed. unacknowledged: the kept packets that did not
    // reach the client, oldest first. ackedMailSeq: the last mailbox row
    // acknowledged (0 for none). Packets sent to the link from now on are
    // held (Send returns true) until Seal.
    virtual void OnFinished(const LinkPtr& link, std::vector<KeptPacket> unacknowledged, std::int64_t ackedMailSeq) = 0;
};

}  // namespace vexa::server
