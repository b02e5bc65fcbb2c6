// The embedded store on SQLite: one file, one connection shared by every
// thread behind one lock. SQLite serialises writers anyway, and its calls
// here are short (no fsync per commit in WAL mode with synchronous=NORMAL).
#include <sqlite3.h>

#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server/store.h"

namespace vexa::server {

namespace {


// A cached prepared statement in use: bound on the way in, reset on the way
// out, so a statement is never left half-stepped whatever throws.
class Statement {
public:
    Statement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
    ~Statement() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) {}

    Statement& Bind(int index, std::int64_t value) {
        Check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    Statement& Bind(int index, std::string_view value) {
        // Texts are bytes: a BLOB keeps GBK as it came.
        Check(sqlite3_bind_blob(stmt_, index, value.empty() ? "" : value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    // True while there is a row.
    bool Step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(std::string("sqlite step: ") + sqlite3_errmsg(db_));
    }
    void Run() {
        while (Step()) {
        }
    }
    std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) const {
        const void* bytes = sqlite3_column_blob(stmt_, column);
        int size = sqlite3_column_bytes(stmt_, column);
        return bytes ? std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size)) : std::string();
    }
    sqlite3_stmt* Raw() const { return stmt_; }

private:
    void Check(int rc) {
        if (rc != SQLITE_OK) throw StoreError(std::string("sqlite bind: ") + sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_;
};

// Settings of every opening.
constexpr const char* kPragmas[] = {
    // The server is the file's only user: holding the lock saves two system
    // calls per statement, and no other program can change data under it.
    "PRAGMA locking_mode=EXCLUSIVE",
    "PRAGMA journal_mode=WAL",
    "PRAGMA synchronous=NORMAL",
    "PRAGMA foreign_keys=ON",
};

// The schema, one list of statements per version; a file is brought from the
// version it records to the last one, each step in one transaction. Files
// made before versions were recorded count as version 0, and the first step
// finds their tables already there.
const std::vector<std::vector<const char*>> kMigrations = {
    {
        "CREATE TABLE IF NOT EXISTS accounts ("
        " id INTEGER PRIMARY KEY, name BLOB NOT NULL UNIQUE, pwhash TEXT NOT NULL,"
        " nickname BLOB NOT NULL DEFAULT x'', littleword BLOB NOT NULL DEFAULT x'',"
        " birthday BLOB NOT NULL DEFAULT '19000101', sex INTEGER NOT NULL DEFAULT 0,"
        " photo BLOB NOT NULL DEFAULT x'', pos_id INTEGER NOT NULL DEFAULT 0, pos_ms BLOB NOT NULL DEFAULT x'',"
        " pos0 INTEGER NOT NULL DEFAULT 0, pos1 INTEGER NOT NULL DEFAULT 0, pos2 INTEGER NOT NULL DEFAULT 0,"
        " pos3 INTEGER NOT NULL DEFAULT 0, class INTEGER NOT NULL DEFAULT 0, vip INTEGER NOT NULL DEFAULT 0,"
        " status INTEGER NOT NULL DEFAULT 1, status_note BLOB NOT NULL DEFAULT x'',"
        " style INTEGER NOT NULL DEFAULT 0, afset INTEGER NOT NULL DEFAULT 0,"
        " vp INTEGER NOT NULL DEFAULT 0, lt INTEGER NOT NULL DEFAULT 0)",
        "CREATE TABLE IF NOT EXISTS friends ("
        " owner INTEGER NOT NULL REFERENCES accounts(id), friend INTEGER NOT NULL REFERENCES accounts(id),"
        " PRIMARY KEY (owner, friend)) WITHOUT ROWID",
        "CREATE TABLE IF NOT EXISTS friend_requests ("
        " from_id INTEGER NOT NULL REFERENCES accounts(id), to_id INTEGER NOT NULL REFERENCES accounts(id),"
        " text BLOB NOT NULL, with_text INTEGER NOT NULL, created INTEGER NOT NULL,"
        " PRIMARY KEY (from_id, to_id)) WITHOUT ROWID",
        "CREATE INDEX IF NOT EXISTS friend_requests_to ON friend_requests(to_id, created)",
        "CREATE TABLE IF NOT EXISTS blacklist ("
        " owner INTEGER NOT NULL REFERENCES accounts(id), blocked INTEGER NOT NULL REFERENCES accounts(id),"
        " PRIMARY KEY (owner, blocked)) WITHOUT ROWID",
        "CREATE TABLE IF NOT EXISTS mailbox ("
        " seq INTEGER PRIMARY KEY AUTOINCREMENT, recipient INTEGER NOT NULL REFERENCES accounts(id),"
        " code INTEGER NOT NULL, payload BLOB NOT NULL)",
        "CREATE INDEX IF NOT EXISTS mailbox_recipient ON mailbox(recipient, seq)",
    },
    {
        // Version 2: what the operators' console needs.
        "ALTER TABLE accounts ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0",
        // Unix seconds; packets kept before the column existed count from now.
        "ALTER TABLE mailbox ADD COLUMN created INTEGER NOT NULL DEFAULT 0",
        "UPDATE mailbox SET created = CAST(strftime('%s', 'now') AS INTEGER)",
        "CREATE TABLE settings (key TEXT PRIMARY KEY, value BLOB NOT NULL)",
        "CREATE TABLE node_stats (node TEXT PRIMARY KEY, updated INTEGER NOT NULL, online INTEGER NOT NULL,"
        " connections INTEGER NOT NULL, logins_ok INTEGER NOT NULL, logins_failed INTEGER NOT NULL,"
        " messages INTEGER NOT NULL, slow_readers INTEGER NOT NULL, bytes_in INTEGER NOT NULL,"
        " bytes_out INTEGER NOT NULL)",
        "CREATE INDEX friends_friend ON friends(friend)",
        "CREATE INDEX blacklist_blocked ON blacklist(blocked)",
    },
};

constexpr const char kProfileColumns[] =
    "id, name, nickname, littleword, birthday, sex, photo, pos_id, pos_ms, pos0, pos1, pos2, pos3,"
    " class, vip, status, status_note, style, afset, vp, lt, disabled";

struct PairHash {
    std::size_t operator()(const std::pair<std::int64_t, std::int64_t>& p) const {
        return std::hash<std::int64_t>()(p.first * 1000003 ^ p.second);
    }
};

class SqliteStore final : public Store {
public:
    explicit SqliteStore(const std::string& path);
    ~SqliteStore() override;

    std::optional<std::int64_t> CreateAccount(std::string_view name, std::string_view passwordHash,
                                              std::string_view nickname) override;
    std::optional<Profile> FindByName(std::string_view name) override;
    std::optional<Profile> FindById(std::int64_t id) override;
    std::optional<std::int64_t> FindIdByName(std::string_view name) override;
    std::string PasswordHash(std::int64_t id) override;
    void SetPasswordHash(std::int64_t id, std::string_view hash) override;
    void ChangeProfile(std::int64_t id, std::string_view nickname, std::string_view littleword,
                       std::string_view birthday, int afset, std::string_view newHash) override;
    void UpdateDetails(const Profile& profile) override;
    void SetStatus(std::int64_t id, int status, std::string_view note) override;
    void SetPosition(std::int64_t id, const Position& pos) override;
    bool AreFriends(std::int64_t a, std::int64_t b) override;
    void AddFriendship(std::int64_t a, std::int64_t b) override;
    bool RemoveFriendship(std::int64_t a, std::int64_t b) override;
    std::vector<Profile> Friends(std::int64_t id) override;
    std::vector<std::int64_t> FriendIds(std::int64_t id) override;
    std::size_t FriendCount(std::int64_t id) override;
    bool IsBlocked(std::int64_t owner, std::int64_t blocked) override;
    void BlockUser(std::int64_t owner, std::int64_t blocked) override;
    void AskFriend(std::int64_t from, std::int64_t to, std::string_view text, bool withText) override;
    bool HasFriendRequest(std::int64_t from, std::int64_t to) override;
    void AnswerFriendRequest(std::int64_t asker, std::int64_t answerer, bool agreed) override;
    std::vector<FriendRequest> FriendRequestsTo(std::int64_t to) override;
    std::size_t FriendRequestCountTo(std::int64_t to) override;
    std::int64_t AddMail(std::int64_t recipient, int code, std::string_view payload) override;
    std::vector<Mail> MailAfter(std::int64_t recipient, std::int64_t afterSeq, int limit) override;
    void DeleteMailUpTo(std::int64_t recipient, std::int64_t seq) override;
    std::size_t MailCount(std::int64_t recipient) override;
    void SetDisabled(std::int64_t id, bool disabled) override;
    bool DeleteAccount(std::int64_t id) override;
    std::vector<AccountSummary> ListAccounts(std::string_view contains, std::size_t limit) override;
    std::vector<std::int64_t> BlockedIds(std::int64_t owner) override;
    MailboxSummary Mailbox(std::int64_t recipient) override;
    std::vector<MailboxSummary> LargestMailboxes(std::size_t limit) override;
    MailboxTotals AllMailboxes() override;
    std::string Setting(std::string_view key) override;
    void SetSetting(std::string_view key, std::string_view value) override;
    void PutNodeStats(const NodeStats& stats) override;
    std::vector<NodeStats> RecentNodeStats(std::chrono::seconds maxAge) override;

private:
    Statement Prepare(const char* sql);
    void Exec(const char* sql);
    static Profile ReadProfile(const Statement& row);
    void RemoveRequest(std::int64_t from, std::int64_t to);
    void Migrate();
    bool RemoveFriendshipLocked(std::int64_t a, std::int64_t b);

    // Runs fn inside one transaction (commit on return, rollback on throw);
    // the caller holds the lock.
    template <class Fn>
    void Transaction(Fn&& fn) {
        Exec("BEGIN IMMEDIATE");
        try {
            fn();
        } catch (...) {
            Exec("ROLLBACK");
            throw;
        }
        Exec("COMMIT");
    }

    std::mutex mutex_;
    // The routing lookups of every chat, kept in memory: the server is the
    // file's only writer (it holds the lock), so these cannot go stale.
    // Names of accounts that exist only; a name asked for and not found
    // costs the query each time, so a stranger cannot fill the cache.
    std::unordered_map<std::string, std::int64_t> idByName_;
    std::unordered_set<std::pair<std::int64_t, std::int64_t>, PairHash> blocked_;
    bool blockedLoaded_ = false;
    sqlite3* db_ = nullptr;
    std::map<const char*, sqlite3_stmt*> cache_;  // keyed by the literal's address
};

using Lock = std::lock_guard<std::mutex>;

SqliteStore::SqliteStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open database " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 2000);
    try {
        for (const char* sql : kPragmas) Exec(sql);
        Migrate();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

void SqliteStore::Migrate() {
    Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    std::int64_t version = 0;
    {
        auto stmt = Prepare("SELECT IFNULL(MAX(version), 0) FROM schema_version");
        if (stmt.Step()) version = stmt.Int(0);
    }
    if (version > static_cast<std::int64_t>(kMigrations.size()))
        throw StoreError("sqlite: the database's schema (version " + std::to_string(version) +
                         ") is newer than this server knows");
    for (auto v = static_cast<std::size_t>(version); v < kMigrations.size(); ++v) {
        Transaction([&] {
            for (const char* sql : kMigrations[v]) Exec(sql);
            Exec("DELETE FROM schema_version");
            Prepare("INSERT INTO schema_version (version) VALUES (?1)").Bind(1, static_cast<std::int64_t>(v + 1)).Run();
        });
    }
}

SqliteStore::~SqliteStore() {
    for (auto& entry : cache_) sqlite3_finalize(entry.second);
    sqlite3_close(db_);
}

void SqliteStore::Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw StoreError("sqlite: " + message);
    }
}

Statement SqliteStore::Prepare(const char* sql) {
    auto found = cache_.find(sql);
    if (found != cache_.end()) return Statement(db_, found->second);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
        throw StoreError(std::string("sqlite prepare: ") + sqlite3_errmsg(db_));
    cache_.emplace(sql, stmt);
    return Statement(db_, stmt);
}

Profile SqliteStore::ReadProfile(const Statement& row) {
    Profile p;
    p.id = row.Int(0);
    p.name = row.Text(1);
    p.nickname = row.Text(2);
    p.littleword = row.Text(3);
    p.birthday = row.Text(4);
    p.sex = static_cast<int>(row.Int(5));
    p.photo = row.Text(6);
    p.pos.id = static_cast<int>(row.Int(7));
    p.pos.ms = row.Text(8);
    p.pos.pos0 = static_cast<int>(row.Int(9));
    p.pos.pos1 = static_cast<int>(row.Int(10));
    p.pos.pos2 = static_cast<int>(row.Int(11));
    p.pos.pos3 = static_cast<int>(row.Int(12));
    p.userClass = static_cast<int>(row.Int(13));
    p.vip = static_cast<int>(row.Int(14));
    p.status = static_cast<int>(row.Int(15));
    p.statusNote = row.Text(16);
    p.style = static_cast<int>(row.Int(17));
    p.afset = static_cast<int>(row.Int(18));
    p.vp = static_cast<int>(row.Int(19));
    p.lt = static_cast<int>(row.Int(20));
    p.disabled = row.Int(21) != 0;
    return p;
}

std::optional<std::int64_t> SqliteStore::CreateAccount(std::string_view name, std::string_view passwordHash,
                                                       std::string_view nickname) {
    Lock lock(mutex_);
    static const char kFind[] = "SELECT 1 FROM accounts WHERE name = ?1";
    {
        auto find = Prepare(kFind);
        find.Bind(1, name);
        if (find.Step()) return std::nullopt;
    }
    // Accounts are numbered from 10001, as the users know them.
    static const char kInsert[] =
        "INSERT INTO accounts (id, name, pwhash, nickname)"
        " VALUES ((SELECT MAX(10001, IFNULL(MAX(id), 0) + 1) FROM accounts), ?1, CAST(?2 AS TEXT), ?3)";
    auto insert = Prepare(kInsert);
    insert.Bind(1, name).Bind(2, passwordHash).Bind(3, nickname).Run();
    return sqlite3_last_insert_rowid(db_);
}

std::optional<Profile> SqliteStore::FindByName(std::string_view name) {
    Lock lock(mutex_);
    static const std::string sql = std::string("SELECT ") + kProfileColumns + " FROM accounts WHERE name = ?1";
    auto stmt = Prepare(sql.c_str());
    stmt.Bind(1, name);
    if (!stmt.Step()) return std::nullopt;
    return ReadProfile(stmt);
}

std::optional<Profile> SqliteStore::FindById(std::int64_t id) {
    Lock lock(mutex_);
    static const std::string sql = std::string("SELECT ") + kProfileColumns + " FROM accounts WHERE id = ?1";
    auto stmt = Prepare(sql.c_str());
    stmt.Bind(1, id);
    if (!stmt.Step()) return std::nullopt;
    return ReadProfile(stmt);
}

std::optional<std::int64_t> SqliteStore::FindIdByName(std::string_view name) {
    Lock lock(mutex_);
    auto found = idByName_.find(std::string(name));
    if (found != idByName_.end()) return found->second;
    static const char sql[] = "SELECT id FROM accounts WHERE name = ?1";
    auto stmt = Prepare(sql);
    stmt.Bind(1, name);
    if (!stmt.Step()) return std::nullopt;
    std::int64_t id = stmt.Int(0);
    idByName_.emplace(std::string(name), id);
    return id;
}

std::string SqliteStore::PasswordHash(std::int64_t id) {
    Lock lock(mutex_);
    static const char sql[] = "SELECT CAST(pwhash AS BLOB) FROM accounts WHERE id = ?1";
    auto stmt = Prepare(sql);
    stmt.Bind(1, id);
    return stmt.Step() ? stmt.Text(0) : std::string();
}

void SqliteStore::SetPasswordHash(std::int64_t id, std::string_view hash) {
    Lock lock(mutex_);
    static const char sql[] = "UPDATE accounts SET pwhash = CAST(?2 AS TEXT) WHERE id = ?1";
    Prepare(sql).Bind(1, id).Bind(2, hash).Run();
}

void SqliteStore::ChangeProfile(std::int64_t id, std::string_view nickname, std::string_view littleword,
                                std::string_view birthday, int afset, std::string_view newHash) {
    Lock lock(mutex_);
    static const char kProfile[] =
        "UPDATE accounts SET nickname = ?2, littleword = ?3, birthday = ?4, afset = ?5 WHERE id = ?1";
    static const char kHash[] = "UPDATE accounts SET pwhash = CAST(?2 AS TEXT) WHERE id = ?1";
    Transaction([&] {
        Prepare(kProfile).Bind(1, id).Bind(2, nickname).Bind(3, littleword).Bind(4, birthday).Bind(5, afset).Run();
        if (!newHash.empty()) Prepare(kHash).Bind(1, id).Bind(2, newHash).Run();
    });
}

void SqliteStore::UpdateDetails(const Profile& p) {
    Lock lock(mutex_);
    static const char sql[] =
        "UPDATE accounts SET nickname = ?2, littleword = ?3, birthday = ?4, sex = ?5, photo = ?6,"
        " class = ?7, vip = ?8, style = ?9, afset = ?10, vp = ?11, lt = ?12 WHERE id = ?1";
    Prepare(sql)
        .Bind(1, p.id)
        .Bind(2, p.nickname)
        .Bind(3, p.littleword)
        .Bind(4, p.birthday)
        .Bind(5, p.sex)
        .Bind(6, p.photo)
        .Bind(7, p.userClass)
        .Bind(8, p.vip)
        .Bind(9, p.style)
        .Bind(10, p.afset)
        .Bind(11, p.vp)
        .Bind(12, p.lt)
        .Run();
}

void SqliteStore::SetStatus(std::int64_t id, int status, std::string_view note) {
    Lock lock(mutex_);
    static const char sql[] = "UPDATE accounts SET status = ?2, status_note = ?3 WHERE id = ?1";
    Prepare(sql).Bind(1, id).Bind(2, status).Bind(3, note).Run();
}

void SqliteStore::SetPosition(std::int64_t id, const Position& pos) {
    Lock lock(mutex_);
    static const char sql[] =
        "UPDATE accounts SET pos_id = ?2, pos_ms = ?3, pos0 = ?4, pos1 = ?5, pos2 = ?6, pos3 = ?7 WHERE id = ?1";
    Prepare(sql).Bind(1, id).Bind(2, pos.id).Bind(3, pos.ms).Bind(4, pos.pos0).Bind(5, pos.pos1).Bind(6, pos.pos2)
        .Bind(7, pos.pos3).Run();
}

bool SqliteStore::AreFriends(std::int64_t a, std::int64_t b) {
    Lock lock(mutex_);
    static const char sql[] = "SELECT 1 FROM friends WHERE owner = ?1 AND friend = ?2";
    auto stmt = Prepare(sql);
    stmt.Bind(1, a).Bind(2, b);
    return stmt.Step();
}

void SqliteStore::AddFriendship(std::int64_t a, std::int64_t b) {
    Lock lock(mutex_);
    static const char sql[] = "INSERT OR IGNORE INTO friends (owner, friend) VALUES (?1, ?2), (?2, ?1)";
    Prepare(sql).Bind(1, a).Bind(2, b).Run();
}

bool SqliteStore::RemoveFriendshipLocked(std::int64_t a, std::int64_t b) {
    static const char sql[] =
        "DELETE FROM friends WHERE (owner = ?1 AND friend = ?2) OR (owner = ?2 AND friend = ?1)";
    Prepare(sql).Bind(1, a).Bind(2, b).Run();
    return sqlite3_changes(db_) > 0;
}

bool SqliteStore::RemoveFriendship(std::int64_t a, std::int64_t b) {
    Lock lock(mutex_);
    return RemoveFriendshipLocked(a, b);
}

std::vector<Profile> SqliteStore::Friends(std::int64_t id) {
    Lock lock(mutex_);
    static const std::string sql = std::string("SELECT ") + kProfileColumns +
                                   " FROM accounts WHERE id IN (SELECT friend FROM friends WHERE owner = ?1)"
                                   " ORDER BY id";
    auto stmt = Prepare(sql.c_str());
    stmt.Bind(1, id);
    std::vector<Profile> out;
    while (stmt.Step()) out.push_back(ReadProfile(stmt));
    return out;
}

std::vector<std::int64_t> SqliteStore::FriendIds(std::int64_t id) {
    Lock lock(mutex_);
    static const char sql[] = "SELECT friend FROM friends WHERE owner = ?1 ORDER BY friend";
    auto stmt = Prepare(sql);
    stmt.Bind(1, id);
    std::vector<std::int64_t> out;
    while (stmt.Step()) out.push_back(stmt.Int(0));
    return out;
}

std::size_t SqliteStore::FriendCount(std::int64_t id) {
    Lock lock(mutex_);
    static const char sql[] = "SELECT COUNT(*) FROM friends WHERE owner = ?1";
    auto stmt = Prepare(sql);
    stmt.Bind(1, id);
    return stmt.Step() ? static_cast<std::size_t>(stmt.Int(0)) : 0;
}

bool SqliteStore::IsBlocked(std::int64_t owner, std::int64_t blocked) {
    Lock lock(mutex_);
    if (!blockedLoaded_) {
        static const char sql[] = "SELECT owner, blocked FROM blacklist";
        auto stmt = Prepare(sql);
        while (stmt.Step()) blocked_.emplace(stmt.Int(0), stmt.Int(1));
        blockedLoaded_ = true;
    }
    return blocked_.count({owner, blocked}) > 0;
}

void SqliteStore::RemoveRequest(std::int64_t from, std::int64_t to) {
    static const char sql[] = "DELETE FROM friend_requests WHERE from_id = ?1 AND to_id = ?2";
    Prepare(sql).Bind(1, from).Bind(2, to).Run();
}

void SqliteStore::BlockUser(std::int64_t owner, std::int64_t blocked) {
    Lock lock(mutex_);
    static const char sql[] = "INSERT OR IGNORE INTO blacklist (owner, blocked) VALUES (?1, ?2)";
    Transaction([&] {
        Prepare(sql).Bind(1, owner).Bind(2, blocked).Run();
        RemoveFriendshipLocked(owner, blocked);
        RemoveRequest(owner, blocked);
        RemoveRequest(blocked, owner);
    });
    if (blockedLoaded_) blocked_.emplace(owner, blocked);
}

void SqliteStore::AskFriend(std::int64_t from, std::int64_t to, std::string_view text, bool withText) {
    Lock lock(mutex_);
    static const char kUnblock[] = "DELETE FROM blacklist WHERE owner = ?1 AND blocked = ?2";
    static const char kAsk[] =
        "INSERT OR REPLACE INTO friend_requests (from_id, to_id, text, with_text, created)"
        " VALUES (?1, ?2, ?3, ?4, (SELECT IFNULL(MAX(created), 0) + 1 FROM friend_requests))";
    Transaction([&] {
        Prepare(kUnblock).Bind(1, from).Bind(2, to).Run();
        Prepare(kAsk).Bind(1, from).Bind(2, to).Bind(3, text).Bind(4, withText ? 1 : 0).Run();
    });
    blocked_.erase({from, to});
}

bool SqliteStore::HasFriendRequest(std::int64_t from, std::int64_t to) {
    Lock lock(mutex_);
    static const char sql[] = "SELECT 1 FROM friend_requests WHERE from_id = ?1 AND to_id = ?2";
    auto stmt = Prepare(sql);
    stmt.Bind(1, from).Bind(2, to);
    return stmt.Step();
}

void SqliteStore::AnswerFriendRequest(std::int64_t asker, std::int64_t answerer, bool agreed) {
    Lock lock(mutex_);
    static const char kFriends[] = "INSERT OR IGNORE INTO friends (owner, friend) VALUES (?1, ?2), (?2, ?1)";
    Transaction([&] {
        RemoveRequest(asker, answerer);
        if (agreed) {
            RemoveRequest(answerer, asker);
            Prepare(kFriends).Bind(1, asker).Bind(2, answerer).Run();
        }
    });
}

std::vector<FriendRequest> SqliteStore::FriendRequestsTo(std::int64_t to) {
    Lock lock(mutex_);
    static const char sql[] =
        "SELECT r.from_id, a.name, r.text, r.with_text FROM friend_requests r JOIN accounts a ON a.id = r.from_id"
        " WHERE r.to_id = ?1 ORDER BY r.created";
    auto stmt = Prepare(sql);
    stmt.Bind(1, to);
    std::vector<FriendRequest> out;
    while (stmt.Step()) out.push_back(FriendRequest{stmt.Int(0), stmt.Text(1), stmt.Text(2), stmt.Int(3) != 0});
    return out;
}

std::size_t SqliteStore::FriendRequestCountTo(std::int64_t to) {
    Lock lock(mutex_);
    static const char sql[] = "SELECT COUNT(*) FROM friend_requests WHERE to_id = ?1";
    auto stmt = Prepare(sql);
    stmt.Bind(1, to);
    return stmt.Step() ? static_cast<std::size_t>(stmt.Int(0)) : 0;
}

std::int64_t SqliteStore::AddMail(std::int64_t recipient, int code, std::string_view payload) {
    Lock lock(mutex_);
    static const char sql[] =
        "INSERT INTO mailbox (recipient, code, payload, created)"
        " VALUES (?1, ?2, ?3, CAST(strftime('%s', 'now') AS INTEGER))";
    Prepare(sql).Bind(1, recipient).Bind(2, code).Bind(3, payload).Run();
    return sqlite3_last_insert_rowid(db_);
}

std::vector<Mail> SqliteStore::MailAfter(std::int64_t recipient, std::int64_t afterSeq, int limit) {
    Lock lock(mutex_);
    static const char sql[] =
        "SELECT seq, code, payload FROM mailbox WHERE recipient = ?1 AND seq > ?2 ORDER BY seq LIMIT ?3";
    auto stmt = Prepare(sql);
    stmt.Bind(1, recipient).Bind(2, afterSeq).Bind(3, limit);
    std::vector<Mail> out;
    while (stmt.Step()) out.push_back(Mail{stmt.Int(0), static_cast<int>(stmt.Int(1)), stmt.Text(2)});
    return out;
}

void SqliteStore::DeleteMailUpTo(std::int64_t recipient, std::int64_t seq) {
    Lock lock(mutex_);
    static const char sql[] = "DELETE FROM mailbox WHERE recipient = ?1 AND seq <= ?2";
    Prepare(sql).Bind(1, recipient).Bind(2, seq).Run();
}

std::size_t SqliteStore::MailCount(std::int64_t recipient) {
    Lock lock(mutex_);
    static const char sql[] = "SELECT COUNT(*) FROM mailbox WHERE recipient = ?1";
    auto stmt = Prepare(sql);
    stmt.Bind(1, recipient);
    return stmt.Step() ? static_cast<std::size_t>(stmt.Int(0)) : 0;
}

void SqliteStore::SetDisabled(std::int64_t id, bool disabled) {
    Lock lock(mutex_);
    static const char sql[] = "UPDATE accounts SET disabled = ?2 WHERE id = ?1";
    Prepare(sql).Bind(1, id).Bind(2, disabled ? 1 : 0).Run();
}

bool SqliteStore::DeleteAccount(std::int64_t id) {
    Lock lock(mutex_);
    // Every table that refers to the account, then the account itself.
    static const char* const kDeletes[] = {
        "DELETE FROM friends WHERE owner = ?1 OR friend = ?1",
        "DELETE FROM friend_requests WHERE from_id = ?1 OR to_id = ?1",
        "DELETE FROM blacklist WHERE owner = ?1 OR blocked = ?1",
        "DELETE FROM mailbox WHERE recipient = ?1",
        "DELETE FROM accounts WHERE id = ?1",
    };
    bool existed = false;
    Transaction([&] {
        for (const char* sql : kDeletes) Prepare(sql).Bind(1, id).Run();
        existed = sqlite3_changes(db_) > 0;
    });
    // What is remembered of the account goes with it: its number may be given again.
    for (auto it = idByName_.begin(); it != idByName_.end();) it = it->second == id ? idByName_.erase(it) : std::next(it);
    for (auto it = blocked_.begin(); it != blocked_.end();)
        it = it->first == id || it->second == id ? blocked_.erase(it) : std::next(it);
    return existed;
}

std::vector<AccountSummary> SqliteStore::ListAccounts(std::string_view contains, std::size_t limit) {
    Lock lock(mutex_);
    static const char sql[] =
        "SELECT id, name, nickname, disabled FROM accounts"
        " WHERE length(?1) = 0 OR instr(name, ?1) > 0 OR instr(nickname, ?1) > 0 ORDER BY id LIMIT ?2";
    auto stmt = Prepare(sql);
    stmt.Bind(1, contains).Bind(2, static_cast<std::int64_t>(limit));
    std::vector<AccountSummary> out;
    while (stmt.Step()) out.push_back(AccountSummary{stmt.Int(0), stmt.Text(1), stmt.Text(2), stmt.Int(3) != 0});
    return out;
}

std::vector<std::int64_t> SqliteStore::BlockedIds(std::int64_t owner) {
    Lock lock(mutex_);
    static const char sql[] = "SELECT blocked FROM blacklist WHERE owner = ?1 ORDER BY blocked";
    auto stmt = Prepare(sql);
    stmt.Bind(1, owner);
    std::vector<std::int64_t> out;
    while (stmt.Step()) out.push_back(stmt.Int(0));
    return out;
}

MailboxSummary SqliteStore::Mailbox(std::int64_t recipient) {
    Lock lock(mutex_);
    static const char sql[] =
        "SELECT COUNT(*), IFNULL(CAST(strftime('%s', 'now') AS INTEGER) - MIN(created), 0)"
        " FROM mailbox WHERE recipient = ?1";
    auto stmt = Prepare(sql);
    stmt.Bind(1, recipient);
    MailboxSummary m;
    m.account = recipient;
    if (stmt.Step()) {
        m.count = static_cast<std::size_t>(stmt.Int(0));
        m.oldestSeconds = stmt.Int(1);
    }
    return m;
}

std::vector<MailboxSummary> SqliteStore::LargestMailboxes(std::size_t limit) {
    Lock lock(mutex_);
    static const char sql[] =
        "SELECT m.recipient, a.name, COUNT(*), CAST(strftime('%s', 'now') AS INTEGER) - MIN(m.created)"
        " FROM mailbox m JOIN accounts a ON a.id = m.recipient GROUP BY m.recipient, a.name"
        " ORDER BY COUNT(*) DESC, m.recipient LIMIT ?1";
    auto stmt = Prepare(sql);
    stmt.Bind(1, static_cast<std::int64_t>(limit));
    std::vector<MailboxSummary> out;
    while (stmt.Step())
        out.push_back(MailboxSummary{stmt.Int(0), stmt.Text(1), static_cast<std::size_t>(stmt.Int(2)), stmt.Int(3)});
    return out;
}

MailboxTotals SqliteStore::AllMailboxes() {
    Lock lock(mutex_);
    static const char sql[] =
        "SELECT COUNT(*), COUNT(DISTINCT recipient),"
        " IFNULL(CAST(strftime('%s', 'now') AS INTEGER) - MIN(created), 0) FROM mailbox";
    auto stmt = Prepare(sql);
    MailboxTotals t;
    if (stmt.Step()) {
        t.messages = static_cast<std::size_t>(stmt.Int(0));
        t.recipients = static_cast<std::size_t>(stmt.Int(1));
        t.oldestSeconds = stmt.Int(2);
    }
    return t;
}

std::string SqliteStore::Setting(std::string_view key) {
    Lock lock(mutex_);
    static const char sql[] = "SELECT value FROM settings WHERE key = CAST(?1 AS TEXT)";
    auto stmt = Prepare(sql);
    stmt.Bind(1, key);
    return stmt.Step() ? stmt.Text(0) : std::string();
}

void SqliteStore::SetSetting(std::string_view key, std::string_view value) {
    Lock lock(mutex_);
    static const char sql[] = "INSERT OR REPLACE INTO settings (key, value) VALUES (CAST(?1 AS TEXT), ?2)";
    Prepare(sql).Bind(1, key).Bind(2, value).Run();
}

void SqliteStore::PutNodeStats(const NodeStats& n) {
    Lock lock(mutex_);
    static const char sql[] =
        "INSERT OR REPLACE INTO node_stats (node, updated, online, connections, logins_ok, logins_failed, messages,"
        " slow_readers, bytes_in, bytes_out)"
        " VALUES (CAST(?1 AS TEXT), CAST(strftime('%s', 'now') AS INTEGER), ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";
    auto i = [](std::uint64_t v) { return static_cast<std::int64_t>(v); };
    Prepare(sql)
        .Bind(1, n.node)
        .Bind(2, i(n.online))
        .Bind(3, i(n.connections))
        .Bind(4, i(n.loginsSucceeded))
        .Bind(5, i(n.loginsFailed))
        .Bind(6, i(n.messages))
        .Bind(7, i(n.slowReaders))
        .Bind(8, i(n.bytesIn))
        .Bind(9, i(n.bytesOut))
        .Run();
}

std::vector<NodeStats> SqliteStore::RecentNodeStats(std::chrono::seconds maxAge) {
    Lock lock(mutex_);
    static const char sql[] =
        "SELECT CAST(node AS BLOB), updated, online, connections, logins_ok, logins_failed, messages, slow_readers,"
        " bytes_in, bytes_out FROM node_stats WHERE updated >= CAST(strftime('%s', 'now') AS INTEGER) - ?1"
        " ORDER BY node";
    auto stmt = Prepare(sql);
    stmt.Bind(1, static_cast<std::int64_t>(maxAge.count()));
    std::vector<NodeStats> out;
    auto u = [&](int column) { return static_cast<std::uint64_t>(stmt.Int(column)); };
    while (stmt.Step())
        out.push_back(NodeStats{stmt.Text(0), stmt.Int(1), u(2), u(3), u(4), u(5), u(6), u(7), u(8), u(9)});
    return out;
}

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path) { return std::make_unique<SqliteStore>(path); }

}  // namespace vexa::server
