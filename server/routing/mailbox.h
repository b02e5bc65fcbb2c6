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

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
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
    // Packets kept in memory through an outage of the database are in the
    // mailbox now. Never under an account's lock.
    virtual void Stored(std::int64_t) {}
};

class Mailbox {
public:
    // room: the backlog a pump fills at most (half the backlog limit), which
    // leaves room for the live packets of the moment, so a long mailbox never
    // makes its own reader look slow.
    Mailbox(Store& store, MailOwners& owners, std::size_t maxPerUser, std::size_t room);
    ~Mailbox();
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // A kept packet for later. False when the user's mailbox is full (the
    // packet is not kept; a log line says so). Throws StoreError when the
    // database cannot take it, or cannot take first what was handed back
    // earlier and waits in memory.
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
    // once. A database out of reach is waited for a second; after that the
    // packets wait in memory and are written as soon as it is back, and
    // until then nothing for this user is kept or pumped (Keep throws, the
    // pump tries again), so nothing overtakes them. Returns how many went
    // into the database now.
    std::size_t HandBack(std::int64_t account, const std::vector<KeptPacket>& packets, std::int64_t ackedSeq);

    // Packets of the account wait in memory for the database.
    bool HasParked(std::int64_t account);
    // Writes what waits in memory one last time and says what is lost; no
    // more is written by the mailbox's own thread afterwards. Before the
    // owners go.
    void Stop();

private:
    struct Parked {
        std::int64_t ackedSeq = 0;
        std::vector<Mail> mail;
    };
    void RetryPump(const LinkPtr& link, std::int64_t account);
    // What waits in memory for the account goes into the database first.
    // Throws StoreError (and keeps it) when the database cannot take it.
    void StoreParked(std::int64_t account);
    static void Write(Store& store, std::int64_t account, Parked& parked);
    void Park(std::int64_t account, Parked parked, const std::string& why);
    void WriteParkedLoop();

    Store& store_;
    MailOwners& owners_;
    std::size_t maxPerUser_;
    std::size_t room_;

    // Hand-backs the database could not take. The thread that writes them
    // starts with the first one.
    std::mutex parkedMutex_;
    std::condition_variable parkedChanged_;
    std::map<std::int64_t, Parked> parked_;
    std::atomic<bool> anyParked_{false};
    bool stopped_ = false;
    std::thread writer_;
};

}  // namespace vexa::server
