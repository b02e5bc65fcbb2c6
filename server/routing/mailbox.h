// The mailbox: packets kept for a user in the store until their client's TCP
// has acknowledged them. Everything done with it is here: adding (with the
// per-user limit), pumping it to the user's connection at the pace the user
// reads, deleting what was acknowledged, and taking back at a close what did
// not arrive.
//
// The router decides whether a kept packet goes to the connection at once or
// to the mailbox: to the mailbox while the connection is still catching up
// with it (MailCursor::draining), so that nothing overtakes an older packet.
// Each account's cursor lives in the router's entry and is read and changed
// under that account's lock, which the router lends the pump (MailOwners).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/base/function_ref.h"
#include "server/session/link.h"
#include "server/store/store.h"

namespace vexa::server {

// How far an account's owner has come with its mailbox.
struct MailCursor {
    bool draining = true;     // kept packets go to the mailbox, behind the older ones
    bool held = false;        // nothing is sent before another node has let go of the account
    bool wakeQueued = false;  // a Pump is on its way to the owner
    std::int64_t seq = 0;     // the last row sent to the owner
};

// Who owns the accounts, as the pump asks.
class MailOwners {
public:
    virtual ~MailOwners() = default;
    // Runs fn with the account's cursor under the account's lock when link
    // owns the account; false (fn not run) otherwise.
    virtual bool WithCursor(std::int64_t account, const LinkPtr& link, FunctionRef<void(MailCursor&)> fn) = 0;
    // The owner's pump read the mailbox to its end; live delivery took over.
    virtual void Drained(std::int64_t) {}
};

class Mailbox {
public:
    // room: the backlog a pump fills at most (half the backlog limit), which
    // leaves room for the live packets of the moment, so a long mailbox never
    // makes its own reader look slow.
    Mailbox(Store& store, MailOwners& owners, std::size_t maxPerUser, std::size_t room);

    // A kept packet for later. False when the user's mailbox is full (the
    // packet is not kept; a log line says so).
    bool Keep(std::int64_t account, int code, const std::string& payload);

    // The owner's pump looks at the mailbox (once, however often it is woken
    // before it runs). Under the account's lock.
    void Wake(MailCursor& cursor, const LinkPtr& owner, std::int64_t account);
    // Queues the owner's next packets while its backlog has room; when the
    // mailbox is empty, live delivery takes over. On link's request executor.
    void Pump(const LinkPtr& link, std::int64_t account);

    // Rows up to seq reached the client: they go.
    void Acknowledged(std::int64_t account, std::int64_t seq);

    // A connection of the account has finished: rows up to ackedSeq go, and
    // what did not reach its client comes back, oldest first, ahead of
    // anything newer. Not counted against the limit: these were counted
    // once. A database out of reach is waited for a while, since nothing for
    // this user may pass meanwhile. Returns how many were put back.
    std::size_t HandBack(std::int64_t account, const std::vector<KeptPacket>& packets, std::int64_t ackedSeq);

private:
    void RetryPump(const LinkPtr& link, std::int64_t account);

    Store& store_;
    MailOwners& owners_;
    std::size_t maxPerUser_;
    std::size_t room_;
};

}  // namespace vexa::server
