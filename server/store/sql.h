// The store's SQL, written once for both engines, and what an engine offers
// the store to run it.
//
// Every statement and every step of the schema is written once (sql.cpp) in
// the PostgreSQL style, with $1.. for parameters, and with a {word} where
// the two dialects differ (a type, the current time, a cast). A Dialect turns
// that text into its engine's (?1.. for SQLite); the differences are the two
// columns of one table in dialect.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "server/base/function_ref.h"

namespace vexa::server::sql {

// Every statement the store runs.
enum class Query : int {
    SchemaVersion,
    ClearSchemaVersion,
    SetSchemaVersion,
    CreateAccount,
    ProfileByName,
    ProfileById,
    IdByName,
    Recipient,
    PasswordHash,
    SetPasswordHash,
    ChangeProfile,
    UpdateDetails,
    SetStatus,
    SetPosition,
    AreFriends,
    AddFriendship,
    RemoveFriendship,
    FriendProfiles,
    FriendIds,
    FriendCount,
    IsBlocked,
    AllBlocked,
    Block,
    Unblock,
    BlockedIds,
    AskFriend,
    HasFriendRequest,
    RemoveFriendRequest,
    RemoveRequestsBetween,
    FriendRequestsTo,
    FriendRequestCountTo,
    AddMail,
    MailAfter,
    DeleteMailUpTo,
    MailCount,
    SetDisabled,
    DeleteFriendsOf,
    DeleteRequestsOf,
    DeleteBlacklistsOf,
    DeleteMailOf,
    DeletePresenceOf,
    DeleteAccount,
    ListAccounts,
    MailboxOf,
    LargestMailboxes,
    AllMailboxes,
    Setting,
    SetSetting,
    PutNodeStats,
    RecentNodeStats,
    Heartbeat,
    ClearPresence,
};
constexpr std::size_t kQueryCount = static_cast<std::size_t>(Query::ClearPresence) + 1;

class Dialect {
public:
    static const Dialect& Sqlite();
    static const Dialect& Postgres();

    // "sqlite" or "postgresql", for messages.
    const char* Name() const { return name_; }
    // The statement in this engine's words.
    const std::string& Text(Query query) const { return texts_[static_cast<std::size_t>(query)]; }
    // Any text written in the common form (the schema).
    std::string Expand(std::string_view text) const;

private:
    Dialect(const char* name, bool sqlite);
    std::string WordFor(std::string_view word, std::string_view argument) const;

    const char* name_;
    bool sqlite_;
    std::vector<std::string> texts_;
};

// The schema, one list of steps per version: a database is brought from the
// version it records to the last one in one transaction. Databases made
// before versions were recorded count as version 0, and the first steps find
// their tables already there.
struct SchemaStep {
    const char* text;
    // Only in the database that a cluster's servers share (PostgreSQL): the
    // cluster's own tables, and the sequence that orders friend requests there.
    bool sharedOnly = false;
};
const std::vector<std::vector<SchemaStep>>& Schema();
// The statement that makes the table the version is kept in.
const char* SchemaVersionTable();
// A statement as written, before a dialect's words are put in.
const char* CommonText(Query query);

// A statement's parameter: a number, bytes (texts are GBK bytes, kept as
// they came), or text that the statement reads as text (a list literal).
struct Param {
    enum class Kind { Int, Bytes, Text };
    Param(std::int64_t v) : kind(Kind::Int), number(v) {}                  // NOLINT: numbers read as they are
    Param(int v) : Param(static_cast<std::int64_t>(v)) {}                  // NOLINT
    Param(std::string_view b) : kind(Kind::Bytes), bytes(b) {}             // NOLINT
    Param(const std::string& b) : Param(std::string_view(b)) {}            // NOLINT
    static Param Text(std::string_view t) {
        Param p(t);
        p.kind = Kind::Text;
        return p;
    }
    Kind kind;
    std::int64_t number = 0;
    std::string_view bytes;
};
using Params = std::initializer_list<Param>;

// One row of a result, column by column.
class Row {
public:
    virtual std::int64_t Int(int column) const = 0;  // 0 for NULL
    virtual std::string Bytes(int column) const = 0;
    bool Bool(int column) const { return Int(column) != 0; }

protected:
    ~Row() = default;
};

using RowFn = FunctionRef<void(const Row&)>;

// One connection of an engine, used by one call at a time.
class Session {
public:
    // Runs a statement, calling onRow for each row it yields; returns the
    // rows it changed.
    virtual std::int64_t Run(Query query, Params params, RowFn onRow = {}) = 0;
    // A statement without parameters (the schema), in this engine's words.
    virtual void Exec(const std::string& text) = 0;
    // Holds the key against other servers of a shared database until the
    // transaction ends. Nothing to do for an engine whose write transaction
    // holds the whole database.
    virtual void LockKey(std::int64_t key) = 0;

protected:
    ~Session() = default;
};

class Engine {
public:
    virtual ~Engine() = default;
    virtual const Dialect& Words() const = 0;
    // Runs fn with a connection, for calls that make one statement or read.
    virtual void Use(FunctionRef<void(Session&)> fn) = 0;
    // Runs fn inside one transaction: committed when fn returns, rolled back
    // when it throws.
    virtual void Transaction(FunctionRef<void(Session&)> fn) = 0;
    // Calls may wait on another machine (see Store::Blocking).
    virtual bool Blocking() const = 0;
    // Other servers use the database at the same time: the cluster's tables
    // are there.
    virtual bool Shared() const = 0;
    // The engine can tell when another writer has changed the data
    // (ChangedElsewhere), so what is read from it may be kept in memory.
    virtual bool SeesOutsideChanges() const { return false; }
    // May another writer have changed the data since the last call? True
    // when the engine cannot tell.
    virtual bool ChangedElsewhere() { return true; }
    // A consistent copy of the live data in a new file, made while the data
    // stays in use; throws StoreError where the engine's own tools do it.
    virtual void BackUpTo(const std::string& file);
};

// The channel on which a shared database announces, from triggers, that a
// writer changed what the lookups keep (account names, the blacklist).
constexpr const char* kLookupsChannel = "vexa_lookups";

}  // namespace vexa::server::sql
