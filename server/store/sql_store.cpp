#include "server/store/sql_store.h"

#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace vexa::server {

using sql::Query;
using sql::Row;
using sql::Session;

namespace {

// Advisory lock keys: schema work, account numbers. Mailbox rows are added
// under the recipient's own number, so their numbers grow in the order they
// are committed and a reader that goes on from the last one it saw never
// skips one.
constexpr std::int64_t kSchemaLock = -7788001;
constexpr std::int64_t kAccountLock = -7788002;

// In the order of the profile columns (sql.cpp).
Profile ReadProfile(const Row& r) {
    Profile p;
    p.id = r.Int(0);
    p.name = r.Bytes(1);
    p.nickname = r.Bytes(2);
    p.littleword = r.Bytes(3);
    p.birthday = r.Bytes(4);
    p.sex = static_cast<int>(r.Int(5));
    p.photo = r.Bytes(6);
    p.pos.id = static_cast<int>(r.Int(7));
    p.pos.ms = r.Bytes(8);
    p.pos.pos0 = static_cast<int>(r.Int(9));
    p.pos.pos1 = static_cast<int>(r.Int(10));
    p.pos.pos2 = static_cast<int>(r.Int(11));
    p.pos.pos3 = static_cast<int>(r.Int(12));
    p.userClass = static_cast<int>(r.Int(13));
    p.vip = static_cast<int>(r.Int(14));
    p.status = static_cast<int>(r.Int(15));
    p.statusNote = r.Bytes(16);
    p.style = static_cast<int>(r.Int(17));
    p.afset = static_cast<int>(r.Int(18));
    p.vp = static_cast<int>(r.Int(19));
    p.lt = static_cast<int>(r.Int(20));
    p.disabled = r.Bool(21);
    return p;
}

std::int64_t Signed(std::uint64_t v) { return static_cast<std::int64_t>(v); }

using Pair = std::pair<std::int64_t, std::int64_t>;
struct PairHash {
    std::size_t operator()(const Pair& p) const { return std::hash<std::int64_t>()(p.first * 1000003 ^ p.second); }
};

}  // namespace

// A miss is read from the database under the lock, so that a change made
// meanwhile is applied after what was read, never before it.
struct SqlStore::Lookups {
    std::mutex mutex;
    std::unordered_map<std::string, std::int64_t> idByName;
    std::unordered_set<Pair, PairHash> blocked;
    bool blockedLoaded = false;

    void Clear() {
        idByName.clear();
        blocked.clear();
        blockedLoaded = false;
    }
};

SqlStore::SqlStore(std::unique_ptr<sql::Engine> engine)
    : engine_(std::move(engine)), lookups_(engine_->SeesOutsideChanges() ? std::make_unique<Lookups>() : nullptr) {
    Migrate();
}

SqlStore::~SqlStore() = default;

void SqlStore::Migrate() {
    const sql::Dialect& words = engine_->Words();
    const auto& schema = sql::Schema();
    engine_->Transaction([&](Session& s) {
        // Servers that start together wait for each other here.
        s.LockKey(kSchemaLock);
        s.Exec(words.Expand(sql::SchemaVersionTable()));
        std::int64_t version = 0;
        s.Run(Query::SchemaVersion, {}, [&](const Row& r) { version = r.Int(0); });
        if (version > static_cast<std::int64_t>(schema.size()))
            throw StoreError(std::string(words.Name()) + ": the database's schema (version " +
                             std::to_string(version) + ") is newer than this server knows");
        if (version == static_cast<std::int64_t>(schema.size())) return;
        for (auto v = static_cast<std::size_t>(version); v < schema.size(); ++v)
            for (const sql::SchemaStep& step : schema[v])
                if (!step.sharedOnly || engine_->Shared()) s.Exec(words.Expand(step.text));
        s.Run(Query::ClearSchemaVersion, {});
        s.Run(Query::SetSchemaVersion, {static_cast<std::int64_t>(schema.size())});
    });
}

std::int64_t SqlStore::Run(Query query, sql::Params params, sql::RowFn onRow) {
    std::int64_t changed = 0;
    engine_->Use([&](Session& s) { changed = s.Run(query, params, onRow); });
    return changed;
}

std::int64_t SqlStore::Count(Query query, sql::Params params) {
    std::int64_t n = 0;
    Run(query, params, [&](const Row& r) { n = r.Int(0); });
    return n;
}

bool SqlStore::Exists(Query query, sql::Params params) {
    bool found = false;
    Run(query, params, [&](const Row&) { found = true; });
    return found;
}

std::string SqlStore::Bytes(Query query, sql::Params params) {
    std::string value;
    Run(query, params, [&](const Row& r) { value = r.Bytes(0); });
    return value;
}

std::vector<std::int64_t> SqlStore::Ids(Query query, sql::Params params) {
    std::vector<std::int64_t> out;
    Run(query, params, [&](const Row& r) { out.push_back(r.Int(0)); });
    return out;
}

// --- Accounts -------------------------------------------------------------------

std::optional<std::int64_t> SqlStore::CreateAccount(std::string_view name, std::string_view passwordHash,
                                                   std::string_view nickname) {
    std::optional<std::int64_t> id;
    // One number at a time across the servers of a shared database.
    engine_->Transaction([&](Session& s) {
        s.LockKey(kAccountLock);
        s.Run(Query::CreateAccount, {name, passwordHash, nickname}, [&](const Row& r) { id = r.Int(0); });
    });
    return id;
}

std::optional<Profile> SqlStore::FindByName(std::string_view name) {
    std::optional<Profile> found;
    Run(Query::ProfileByName, {name}, [&](const Row& r) { found = ReadProfile(r); });
    return found;
}

std::optional<Profile> SqlStore::FindById(std::int64_t id) {
    std::optional<Profile> found;
    Run(Query::ProfileById, {id}, [&](const Row& r) { found = ReadProfile(r); });
    return found;
}

void SqlStore::ForgetLookups() {
    if (!lookups_) return;
    std::lock_guard<std::mutex> lock(lookups_->mutex);
    lookups_->Clear();
}

// A call that finds the lookups stale asks the database itself and keeps
// nothing, so that while the engine cannot tell (its link for the news of
// other writers is down) every call asks, and none refills them in vain
// (the whole blacklist, each time).
bool SqlStore::Refresh() {
    if (!engine_->ChangedElsewhere()) return true;
    lookups_->Clear();
    return false;
}

std::optional<std::int64_t> SqlStore::CachedId(std::string_view name) {
    auto found = lookups_->idByName.find(std::string(name));
    if (found != lookups_->idByName.end()) return found->second;
    std::optional<std::int64_t> id;
    Run(Query::IdByName, {name}, [&](const Row& r) { id = r.Int(0); });
    if (id) lookups_->idByName.emplace(std::string(name), *id);
    return id;
}

bool SqlStore::CachedBlocked(std::int64_t owner, std::int64_t blocked) {
    if (!lookups_->blockedLoaded) {
        Run(Query::AllBlocked, {}, [&](const Row& r) { lookups_->blocked.emplace(r.Int(0), r.Int(1)); });
        lookups_->blockedLoaded = true;
    }
    return lookups_->blocked.count({owner, blocked}) > 0;
}

std::optional<std::int64_t> SqlStore::FindIdByName(std::string_view name) {
    if (lookups_) {
        std::lock_guard<std::mutex> lock(lookups_->mutex);
        if (Refresh()) return CachedId(name);
    }
    std::optional<std::int64_t> id;
    Run(Query::IdByName, {name}, [&](const Row& r) { id = r.Int(0); });
    return id;
}

Recipient SqlStore::FindRecipient(std::string_view name, std::int64_t sender) {
    Recipient r;
    if (lookups_) {
        std::lock_guard<std::mutex> lock(lookups_->mutex);
        if (Refresh()) {
            r.id = CachedId(name);
            r.blocksSender = r.id && CachedBlocked(*r.id, sender);
            return r;
        }
    }
    Run(Query::Recipient, {name, sender}, [&](const Row& row) {
        r.id = row.Int(0);
        r.blocksSender = row.Bool(1);
    });
    return r;
}

std::optional<Recipient> SqlStore::KnownRecipient(std::string_view name, std::int64_t sender) {
    if (!lookups_) return std::nullopt;
    std::lock_guard<std::mutex> lock(lookups_->mutex);
    if (!Refresh() || !lookups_->blockedLoaded) return std::nullopt;
    auto found = lookups_->idByName.find(std::string(name));
    if (found == lookups_->idByName.end()) return std::nullopt;
    return Recipient{found->second, lookups_->blocked.count({found->second, sender}) > 0};
}

std::string SqlStore::PasswordHash(std::int64_t id) { return Bytes(Query::PasswordHash, {id}); }

void SqlStore::SetPasswordHash(std::int64_t id, std::string_view hash) { Run(Query::SetPasswordHash, {id, hash}); }

void SqlStore::ChangeProfile(std::int64_t id, std::string_view nickname, std::string_view littleword,
                             std::string_view birthday, int afset, std::string_view newHash) {
    engine_->Transaction([&](Session& s) {
        s.Run(Query::ChangeProfile, {id, nickname, littleword, birthday, afset});
        if (!newHash.empty()) s.Run(Query::SetPasswordHash, {id, newHash});
    });
}

void SqlStore::UpdateDetails(const Profile& p) {
    Run(Query::UpdateDetails,
        {p.id, p.nickname, p.littleword, p.birthday, p.sex, p.photo, p.userClass, p.vip, p.style, p.afset, p.vp, p.lt});
}

void SqlStore::SetStatus(std::int64_t id, int status, std::string_view note) {
    Run(Query::SetStatus, {id, status, note});
}

void SqlStore::SetPosition(std::int64_t id, const Position& pos) {
    Run(Query::SetPosition, {id, pos.id, pos.ms, pos.pos0, pos.pos1, pos.pos2, pos.pos3});
}

// --- Friends and blacklists -------------------------------------------------------

bool SqlStore::AreFriends(std::int64_t a, std::int64_t b) { return Exists(Query::AreFriends, {a, b}); }

void SqlStore::AddFriendship(std::int64_t a, std::int64_t b) { Run(Query::AddFriendship, {a, b}); }

bool SqlStore::RemoveFriendship(std::int64_t a, std::int64_t b) { return Run(Query::RemoveFriendship, {a, b}) > 0; }

std::vector<Profile> SqlStore::Friends(std::int64_t id) {
    std::vector<Profile> out;
    Run(Query::FriendProfiles, {id}, [&](const Row& r) { out.push_back(ReadProfile(r)); });
    return out;
}

std::vector<std::int64_t> SqlStore::FriendIds(std::int64_t id) { return Ids(Query::FriendIds, {id}); }

std::size_t SqlStore::FriendCount(std::int64_t id) {
    return static_cast<std::size_t>(Count(Query::FriendCount, {id}));
}

bool SqlStore::IsBlocked(std::int64_t owner, std::int64_t blocked) {
    if (lookups_) {
        std::lock_guard<std::mutex> lock(lookups_->mutex);
        if (Refresh()) return CachedBlocked(owner, blocked);
    }
    return Exists(Query::IsBlocked, {owner, blocked});
}

void SqlStore::BlockUser(std::int64_t owner, std::int64_t blocked) {
    engine_->Transaction([&](Session& s) {
        s.Run(Query::Block, {owner, blocked});
        s.Run(Query::RemoveFriendship, {owner, blocked});
        s.Run(Query::RemoveRequestsBetween, {owner, blocked});
    });
    if (lookups_) {
        std::lock_guard<std::mutex> lock(lookups_->mutex);
        if (lookups_->blockedLoaded) lookups_->blocked.emplace(owner, blocked);
    }
}

std::vector<std::int64_t> SqlStore::BlockedIds(std::int64_t owner) { return Ids(Query::BlockedIds, {owner}); }

// --- Friend requests ----------------------------------------------------------------

void SqlStore::AskFriend(std::int64_t from, std::int64_t to, std::string_view text, bool withText) {
    engine_->Transaction([&](Session& s) {
        s.Run(Query::Unblock, {from, to});
        s.Run(Query::AskFriend, {from, to, text, withText ? 1 : 0});
    });
    if (lookups_) {
        std::lock_guard<std::mutex> lock(lookups_->mutex);
        lookups_->blocked.erase({from, to});
    }
}

bool SqlStore::HasFriendRequest(std::int64_t from, std::int64_t to) {
    return Exists(Query::HasFriendRequest, {from, to});
}

void SqlStore::AnswerFriendRequest(std::int64_t asker, std::int64_t answerer, bool agreed) {
    engine_->Transaction([&](Session& s) {
        s.Run(Query::RemoveFriendRequest, {asker, answerer});
        if (!agreed) return;
        s.Run(Query::RemoveFriendRequest, {answerer, asker});
        s.Run(Query::AddFriendship, {asker, answerer});
    });
}

std::vector<FriendRequest> SqlStore::FriendRequestsTo(std::int64_t to) {
    std::vector<FriendRequest> out;
    Run(Query::FriendRequestsTo, {to},
        [&](const Row& r) { out.push_back(FriendRequest{r.Int(0), r.Bytes(1), r.Bytes(2), r.Bool(3)}); });
    return out;
}

std::size_t SqlStore::FriendRequestCountTo(std::int64_t to) {
    return static_cast<std::size_t>(Count(Query::FriendRequestCountTo, {to}));
}

// --- Mail -----------------------------------------------------------------------------

std::int64_t SqlStore::AddMail(std::int64_t recipient, int code, std::string_view payload) {
    std::int64_t seq = 0;
    engine_->Transaction([&](Session& s) {
        s.LockKey(recipient);
        s.Run(Query::AddMail, {recipient, code, payload}, [&](const Row& r) { seq = r.Int(0); });
    });
    return seq;
}

void SqlStore::AddMails(std::int64_t recipient, const std::vector<Mail>& packets) {
    if (packets.empty()) return;
    engine_->Transaction([&](Session& s) {
        s.LockKey(recipient);
        for (const Mail& m : packets) s.Run(Query::AddMail, {recipient, m.code, std::string_view(m.payload)});
    });
}

std::vector<Mail> SqlStore::MailAfter(std::int64_t recipient, std::int64_t afterSeq, int limit) {
    std::vector<Mail> out;
    Run(Query::MailAfter, {recipient, afterSeq, limit},
        [&](const Row& r) { out.push_back(Mail{r.Int(0), static_cast<int>(r.Int(1)), r.Bytes(2)}); });
    return out;
}

void SqlStore::DeleteMailUpTo(std::int64_t recipient, std::int64_t seq) {
    Run(Query::DeleteMailUpTo, {recipient, seq});
}

std::size_t SqlStore::MailCount(std::int64_t recipient) {
    return static_cast<std::size_t>(Count(Query::MailCount, {recipient}));
}

// --- Administration -------------------------------------------------------------------

void SqlStore::SetDisabled(std::int64_t id, bool disabled) { Run(Query::SetDisabled, {id, disabled ? 1 : 0}); }

bool SqlStore::DeleteAccount(std::int64_t id) {
    bool existed = false;
    // Every table that refers to the account, then the account itself.
    engine_->Transaction([&](Session& s) {
        for (Query q : {Query::DeleteFriendsOf, Query::DeleteRequestsOf, Query::DeleteBlacklistsOf, Query::DeleteMailOf})
            s.Run(q, {id});
        if (engine_->Shared()) s.Run(Query::DeletePresenceOf, {id});
        existed = s.Run(Query::DeleteAccount, {id}) > 0;
    });
    // What is remembered of the account goes with it: its number may be given again.
    if (lookups_) {
        std::lock_guard<std::mutex> lock(lookups_->mutex);
        auto& names = lookups_->idByName;
        for (auto it = names.begin(); it != names.end();) it = it->second == id ? names.erase(it) : std::next(it);
        auto& blocked = lookups_->blocked;
        for (auto it = blocked.begin(); it != blocked.end();)
            it = it->first == id || it->second == id ? blocked.erase(it) : std::next(it);
    }
    return existed;
}

std::vector<AccountSummary> SqlStore::ListAccounts(std::string_view contains, std::size_t limit) {
    std::vector<AccountSummary> out;
    Run(Query::ListAccounts, {contains, Signed(limit)},
        [&](const Row& r) { out.push_back(AccountSummary{r.Int(0), r.Bytes(1), r.Bytes(2), r.Bool(3)}); });
    return out;
}

MailboxSummary SqlStore::Mailbox(std::int64_t recipient) {
    MailboxSummary m;
    m.account = recipient;
    Run(Query::MailboxOf, {recipient}, [&](const Row& r) {
        m.count = static_cast<std::size_t>(r.Int(0));
        m.oldestSeconds = r.Int(1);
    });
    return m;
}

std::vector<MailboxSummary> SqlStore::LargestMailboxes(std::size_t limit) {
    std::vector<MailboxSummary> out;
    Run(Query::LargestMailboxes, {Signed(limit)}, [&](const Row& r) {
        out.push_back(MailboxSummary{r.Int(0), r.Bytes(1), static_cast<std::size_t>(r.Int(2)), r.Int(3)});
    });
    return out;
}

MailboxTotals SqlStore::AllMailboxes() {
    MailboxTotals t;
    Run(Query::AllMailboxes, {}, [&](const Row& r) {
        t.messages = static_cast<std::size_t>(r.Int(0));
        t.recipients = static_cast<std::size_t>(r.Int(1));
        t.oldestSeconds = r.Int(2);
    });
    return t;
}

std::string SqlStore::Setting(std::string_view key) { return Bytes(Query::Setting, {key}); }

void SqlStore::SetSetting(std::string_view key, std::string_view value) { Run(Query::SetSetting, {key, value}); }

void SqlStore::PutNodeStats(const NodeStats& n) {
    Run(Query::PutNodeStats, {std::string_view(n.node), Signed(n.online), Signed(n.connections),
                              Signed(n.loginsSucceeded), Signed(n.loginsFailed), Signed(n.messages),
                              Signed(n.slowReaders), Signed(n.bytesIn), Signed(n.bytesOut)});
}

std::vector<NodeStats> SqlStore::RecentNodeStats(std::chrono::seconds maxAge) {
    std::vector<NodeStats> out;
    Run(Query::RecentNodeStats, {static_cast<std::int64_t>(maxAge.count())}, [&](const Row& r) {
        auto u = [&](int column) { return static_cast<std::uint64_t>(r.Int(column)); };
        out.push_back(NodeStats{r.Bytes(0), r.Int(1), u(2), u(3), u(4), u(5), u(6), u(7), u(8), u(9)});
    });
    return out;
}

// --- Engines ----------------------------------------------------------------------------

// The embedded engine copies its file itself; a database server has its own tools.
void sql::Engine::BackUpTo(const std::string&) {
    throw StoreError(std::string("backup: a ") + Words().Name() +
                     " store is backed up with its own tools (pg_dump), not by this server");
}

// --- Heartbeats ----------------------------------------------------------------------------

void SharedSqlStore::Heartbeat(const std::string& node, bool clearOwn) {
    Engine().Use([&](Session& s) {
        s.Run(Query::Heartbeat, {node});
        if (clearOwn) s.Run(Query::ClearPresence, {node});
    });
}

}  // namespace vexa::server
