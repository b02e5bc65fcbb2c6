// What the server keeps: accounts, friends, pending friend requests,
// blacklists, profiles, status, positions and the mailboxes of packets kept
// for a later login. One implementation serves both engines, SQLite and
// PostgreSQL (sql_store.h), with each statement written once (sql.cpp).
//
// Texts are the GBK bytes the clients send, kept as bytes, so no byte is ever
// reinterpreted. Every call is safe from any thread and is atomic on its own:
// the calls that change several tables at once (AskFriend, AnswerFriendRequest,
// BlockUser, ChangeProfile) do so in one transaction. A failing statement
// throws StoreError, which the caller turns into a dropped request and a log
// line.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::server {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The database cannot be reached for now; the same call may work later.
class StoreUnavailable : public StoreError {
public:
    using StoreError::StoreError;
};

struct Position {
    int id = 0;
    std::string ms;
    int pos0 = 0, pos1 = 0, pos2 = 0, pos3 = 0;
};

// One account's public profile: the fields of a friend-list user element.
struct Profile {
    std::int64_t id = 0;
    std::string name;        // the user ID that every packet carries
    std::string nickname;
    std::string littleword;
    std::string birthday;    // YYYYMMDD
    int sex = 0;
    std::string photo;
    Position pos;
    int userClass = 0, vip = 0;
    int status = 1;          // the last status the user chose (shown while online)
    std::string statusNote;
    int style = 0, afset = 0, vp = 0, lt = 0;
    bool disabled = false;   // set by an administrator: logins are refused
};

// What a message from one user to another needs to know of its recipient.
struct Recipient {
    std::optional<std::int64_t> id;  // the account of the user ID; nullopt for none
    bool blocksSender = false;       // that account has blacklisted the sender
};

struct FriendRequest {
    std::int64_t from = 0;
    std::string fromName;
    std::string text;
    bool withText = false;
};

struct Mail {
    std::int64_t seq = 0;
    int code = 0;
    std::string payload;
};

// What the operators' console lists of an account.
struct AccountSummary {
    std::int64_t id = 0;
    std::string name, nickname;
    bool disabled = false;
};

// One user's mailbox as the operators see it: never the texts.
struct MailboxSummary {
    std::int64_t account = 0;
    std::string name;
    std::size_t count = 0;
    std::int64_t oldestSeconds = 0;  // how long the oldest packet has waited; 0 when empty
};

struct MailboxTotals {
    std::size_t messages = 0, recipients = 0;
    std::int64_t oldestSeconds = 0;
};

// One node's counters as it last recorded them, for the consoles of the
// other nodes of a cluster.
struct NodeStats {
    std::string node;
    std::int64_t updated = 0;  // Unix seconds
    std::uint64_t online = 0, connections = 0, loginsSucceeded = 0, loginsFailed = 0, messages = 0,
                  slowReaders = 0, bytesIn = 0, bytesOut = 0;
};

class Store {
public:
    virtual ~Store() = default;

    // True when calls may wait on another machine: the server then makes
    // them on threads of their own, never on its network threads.
    virtual bool Blocking() const { return false; }
    // A consistent copy of the live data in a new file (replaced whole when
    // it exists), made while the server serves; StoreError where the
    // engine's own tools make backups.
    virtual void BackUpTo(const std::string& file) = 0;

    // nullopt when the name is taken.
    virtual std::optional<std::int64_t> CreateAccount(std::string_view name, std::string_view passwordHash,
                                                      std::string_view nickname) = 0;
    virtual std::optional<Profile> FindByName(std::string_view name) = 0;
    virtual std::optional<Profile> FindById(std::int64_t id) = 0;
    // The account number alone, for the requests that only route.
    virtual std::optional<std::int64_t> FindIdByName(std::string_view name) = 0;
    // The lookups of every message from one user to another, in one call.
    virtual Recipient FindRecipient(std::string_view name, std::int64_t sender) = 0;
    // The same from what is in memory, never asking the database: nullopt
    // when that cannot tell.
    virtual std::optional<Recipient> KnownRecipient(std::string_view /*name*/, std::int64_t /*sender*/) {
        return std::nullopt;
    }
    virtual std::string PasswordHash(std::int64_t id) = 0;
    virtual void SetPasswordHash(std::int64_t id, std::string_view hash) = 0;
    // Nickname, personal text, birthday and afset; a non-empty newHash
    // replaces the password hash in the same transaction.
    virtual void ChangeProfile(std::int64_t id, std::string_view nickname, std::string_view littleword,
                               std::string_view birthday, int afset, std::string_view newHash) = 0;
    virtual void UpdateDetails(const Profile& profile) = 0;  // every profile field but name and status
    virtual void SetStatus(std::int64_t id, int status, std::string_view note) = 0;
    virtual void SetPosition(std::int64_t id, const Position& pos) = 0;

    virtual bool AreFriends(std::int64_t a, std::int64_t b) = 0;
    virtual void AddFriendship(std::int64_t a, std::int64_t b) = 0;
    virtual bool RemoveFriendship(std::int64_t a, std::int64_t b) = 0;  // false when they were not friends
    virtual std::vector<Profile> Friends(std::int64_t id) = 0;           // ordered by friend id
    virtual std::vector<std::int64_t> FriendIds(std::int64_t id) = 0;    // ordered
    virtual std::size_t FriendCount(std::int64_t id) = 0;

    virtual bool IsBlocked(std::int64_t owner, std::int64_t blocked) = 0;
    // Blocks the user and ends the friendship and the pending requests between them.
    virtual void BlockUser(std::int64_t owner, std::int64_t blocked) = 0;

    // Stores a request (a newer one from the same asker replaces the older
    // one); asking someone takes them off one's own blacklist.
    virtual void AskFriend(std::int64_t from, std::int64_t to, std::string_view text, bool withText) = 0;
    virtual bool HasFriendRequest(std::int64_t from, std::int64_t to) = 0;
    // Removes the asker's request; agreeing also removes a request the other
    // way and makes both friends.
    virtual void AnswerFriendRequest(std::int64_t asker, std::int64_t answerer, bool agreed) = 0;
    virtual std::vector<FriendRequest> FriendRequestsTo(std::int64_t to) = 0;  // oldest first
    virtual std::size_t FriendRequestCountTo(std::int64_t to) = 0;

    // Packets kept for a later login, delivered in seq order.
    virtual std::int64_t AddMail(std::int64_t recipient, int code, std::string_view payload) = 0;
    // Several at once, in order, in one transaction: all or none (their seq is not read).
    virtual void AddMails(std::int64_t recipient, const std::vector<Mail>& packets) = 0;
    // At most limit packets after seq afterSeq, in order.
    virtual std::vector<Mail> MailAfter(std::int64_t recipient, std::int64_t afterSeq, int limit) = 0;
    virtual void DeleteMailUpTo(std::int64_t recipient, std::int64_t seq) = 0;
    virtual std::size_t MailCount(std::int64_t recipient) = 0;

    // --- Administration (the operators' console) ---------------------------

    virtual void SetDisabled(std::int64_t id, bool disabled) = 0;
    // The account and everything about it: friendships both ways, requests,
    // blacklists, its mailbox. False when there was no such account.
    virtual bool DeleteAccount(std::int64_t id) = 0;
    // Accounts whose name or nickname holds the bytes (all when empty),
    // ordered by number, at most limit.
    virtual std::vector<AccountSummary> ListAccounts(std::string_view contains, std::size_t limit) = 0;
    virtual std::vector<std::int64_t> BlockedIds(std::int64_t owner) = 0;  // ordered
    virtual MailboxSummary Mailbox(std::int64_t recipient) = 0;
    // The mailboxes holding most, largest first.
    virtual std::vector<MailboxSummary> LargestMailboxes(std::size_t limit) = 0;
    virtual MailboxTotals AllMailboxes() = 0;
    // Settings of the server itself (such as the console's password hash);
    // empty when unset.
    virtual std::string Setting(std::string_view key) = 0;
    virtual void SetSetting(std::string_view key, std::string_view value) = 0;
    // Rows of nodes that recorded their counters within maxAge, by name.
    virtual void PutNodeStats(const NodeStats& stats) = 0;
    virtual std::vector<NodeStats> RecentNodeStats(std::chrono::seconds maxAge) = 0;
};

}  // namespace vexa::server
