#include "server/pg_store.h"

#include <arpa/inet.h>
#include <libpq-fe.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace vexa::server {

namespace {

// A parameter sent as text, for the few that are neither numbers nor bytes.
struct AsText {
    std::string value;
};

// One parameter of a statement: a number (sent as text) or bytes (binary).
struct Param {
    Param(AsText t) : number(std::move(t.value)), binary(false) {}      // NOLINT
    Param(std::int64_t v) : number(std::to_string(v)), binary(false) {}  // NOLINT: numbers read as they are
    Param(int v) : Param(static_cast<std::int64_t>(v)) {}                // NOLINT
    Param(std::string_view b) : bytes(b), binary(true) {}                // NOLINT
    Param(const std::string& b) : bytes(b), binary(true) {}              // NOLINT
    std::string number;
    std::string_view bytes;
    bool binary;
};

// A result in binary format: bytea and text columns as bytes, bigint as
// eight bytes in network order, boolean as one byte.
class Result {
public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    int Rows() const { return PQntuples(r_); }
    std::string Bytes(int row, int col) const {
        return std::string(PQgetvalue(r_, row, col), static_cast<std::size_t>(PQgetlength(r_, row, col)));
    }
    std::int64_t Int(int row, int col) const {
        if (PQgetisnull(r_, row, col) || PQgetlength(r_, row, col) != 8) return 0;
        std::uint64_t v = 0;
        std::memcpy(&v, PQgetvalue(r_, row, col), 8);
        return static_cast<std::int64_t>(be64toh(v));
    }
    bool Bool(int row, int col) const { return PQgetlength(r_, row, col) == 1 && PQgetvalue(r_, row, col)[0] != 0; }
    std::int64_t Affected() const { return std::atoll(PQcmdTuples(r_)); }

private:
    PGresult* r_;
};

// One libpq connection, used by one thread at a time.
class PgConnection {
public:
    explicit PgConnection(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            std::string why = conn_ ? PQerrorMessage(conn_) : "out of memory";
            PQfinish(conn_);
            conn_ = nullptr;
            throw StoreUnavailable("postgresql: cannot connect: " + Trim(why));
        }
        // Notices (such as "relation already exists") are not the log's business.
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    }
    ~PgConnection() { PQfinish(conn_); }
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    bool Usable() const { return conn_ && PQstatus(conn_) == CONNECTION_OK; }

    // Runs a statement (prepared once per connection, by its text).
    Result Run(const char* sql, std::initializer_list<Param> params) {
        if (!prepared_.count(sql)) {
            PGresult* r = PQprepare(conn_, Name(sql).c_str(), sql, 0, nullptr);
            Check(r, sql);
            PQclear(r);
            prepared_.insert(sql);
        }
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        for (const Param& p : params) {
            if (p.binary) {
                values.push_back(p.bytes.empty() ? "" : p.bytes.data());
                lengths.push_back(static_cast<int>(p.bytes.size()));
                formats.push_back(1);
            } else {
                values.push_back(p.number.c_str());
                lengths.push_back(0);
                formats.push_back(0);
            }
        }
        PGresult* r = PQexecPrepared(conn_, Name(sql).c_str(), static_cast<int>(values.size()), values.data(),
                                     lengths.data(), formats.data(), 1);
        Check(r, sql);
        return Result(r);
    }
    // A statement without parameters, in text (schema work, transactions).
    void Exec(const char* sql) {
        PGresult* r = PQexec(conn_, sql);
        Check(r, sql);
        PQclear(r);
    }

private:
    static std::string Trim(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        return s;
    }
    std::string Name(const char* sql) const { return "s" + std::to_string(reinterpret_cast<std::uintptr_t>(sql)); }
    void Check(PGresult* r, const char* sql) {
        ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
        const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        std::string why = Trim(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_));
        if (why.empty()) why = Trim(PQerrorMessage(conn_));
        PQclear(r);
        (void)sql;
        // A connection that is lost is dropped by the pool, with what it had prepared.
        bool lost = PQstatus(conn_) != CONNECTION_OK || (state && std::strncmp(state, "08", 2) == 0) ||
                    (state && std::strncmp(state, "57P", 3) == 0);
        if (lost) throw StoreUnavailable("postgresql: " + why);
        throw StoreError("postgresql: " + why);
    }

    PGconn* conn_;
    std::set<const char*> prepared_;
};

constexpr const char kProfileColumns[] =
    "id, name, nickname, littleword, birthday, sex, photo, pos_id, pos_ms, pos0, pos1, pos2, pos3,"
    " class, vip, status, status_note, style, afset, vp, lt, disabled";

Profile ReadProfile(const Result& r, int row) {
    Profile p;
    p.id = r.Int(row, 0);
    p.name = r.Bytes(row, 1);
    p.nickname = r.Bytes(row, 2);
    p.littleword = r.Bytes(row, 3);
    p.birthday = r.Bytes(row, 4);
    p.sex = static_cast<int>(r.Int(row, 5));
    p.photo = r.Bytes(row, 6);
    p.pos.id = static_cast<int>(r.Int(row, 7));
    p.pos.ms = r.Bytes(row, 8);
    p.pos.pos0 = static_cast<int>(r.Int(row, 9));
    p.pos.pos1 = static_cast<int>(r.Int(row, 10));
    p.pos.pos2 = static_cast<int>(r.Int(row, 11));
    p.pos.pos3 = static_cast<int>(r.Int(row, 12));
    p.userClass = static_cast<int>(r.Int(row, 13));
    p.vip = static_cast<int>(r.Int(row, 14));
    p.status = static_cast<int>(r.Int(row, 15));
    p.statusNote = r.Bytes(row, 16);
    p.style = static_cast<int>(r.Int(row, 17));
    p.afset = static_cast<int>(r.Int(row, 18));
    p.vp = static_cast<int>(r.Int(row, 19));
    p.lt = static_cast<int>(r.Int(row, 20));
    p.disabled = r.Bool(row, 21);
    return p;
}

// The schema, one list of statements per version; a database is brought from
// the version it records to the last one, each step in one transaction.
const std::vector<std::vector<const char*>> kMigrations = {
    {
        "CREATE TABLE accounts ("
        " id BIGINT PRIMARY KEY, name BYTEA NOT NULL UNIQUE, pwhash BYTEA NOT NULL,"
        " nickname BYTEA NOT NULL DEFAULT ''::bytea, littleword BYTEA NOT NULL DEFAULT ''::bytea,"
        " birthday BYTEA NOT NULL DEFAULT '19000101'::bytea, sex BIGINT NOT NULL DEFAULT 0,"
        " photo BYTEA NOT NULL DEFAULT ''::bytea, pos_id BIGINT NOT NULL DEFAULT 0,"
        " pos_ms BYTEA NOT NULL DEFAULT ''::bytea, pos0 BIGINT NOT NULL DEFAULT 0, pos1 BIGINT NOT NULL DEFAULT 0,"
        " pos2 BIGINT NOT NULL DEFAULT 0, pos3 BIGINT NOT NULL DEFAULT 0, class BIGINT NOT NULL DEFAULT 0,"
        " vip BIGINT NOT NULL DEFAULT 0, status BIGINT NOT NULL DEFAULT 1,"
        " status_note BYTEA NOT NULL DEFAULT ''::bytea, style BIGINT NOT NULL DEFAULT 0,"
        " afset BIGINT NOT NULL DEFAULT 0, vp BIGINT NOT NULL DEFAULT 0, lt BIGINT NOT NULL DEFAULT 0)",
        "CREATE TABLE friends (owner BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
        " friend BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE, PRIMARY KEY (owner, friend))",
        "CREATE SEQUENCE friend_request_order",
        "CREATE TABLE friend_requests (from_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
        " to_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE, text BYTEA NOT NULL,"
        " with_text BOOLEAN NOT NULL, created BIGINT NOT NULL DEFAULT nextval('friend_request_order'),"
        " PRIMARY KEY (from_id, to_id))",
        "CREATE INDEX friend_requests_to ON friend_requests (to_id, created)",
        "CREATE TABLE blacklist (owner BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
        " blocked BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE, PRIMARY KEY (owner, blocked))",
        "CREATE TABLE mailbox (seq BIGSERIAL PRIMARY KEY,"
        " recipient BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
        " code BIGINT NOT NULL, payload BYTEA NOT NULL)",
        "CREATE INDEX mailbox_recipient ON mailbox (recipient, seq)",
        "CREATE TABLE nodes (name TEXT PRIMARY KEY, seen TIMESTAMPTZ NOT NULL)",
        "CREATE TABLE presence (account BIGINT PRIMARY KEY, node TEXT NOT NULL,"
        " since TIMESTAMPTZ NOT NULL DEFAULT now())",
    },
    {
        // Version 2: what the operators' console needs. Packets kept before
        // the column existed count from now.
        "ALTER TABLE accounts ADD COLUMN disabled BOOLEAN NOT NULL DEFAULT false",
        "ALTER TABLE mailbox ADD COLUMN created TIMESTAMPTZ NOT NULL DEFAULT now()",
        "CREATE TABLE settings (key TEXT PRIMARY KEY, value BYTEA NOT NULL)",
        "CREATE TABLE node_stats (node TEXT PRIMARY KEY, updated TIMESTAMPTZ NOT NULL, online BIGINT NOT NULL,"
        " connections BIGINT NOT NULL, logins_ok BIGINT NOT NULL, logins_failed BIGINT NOT NULL,"
        " messages BIGINT NOT NULL, slow_readers BIGINT NOT NULL, bytes_in BIGINT NOT NULL,"
        " bytes_out BIGINT NOT NULL)",
        "CREATE INDEX friends_friend ON friends (friend)",
        "CREATE INDEX blacklist_blocked ON blacklist (blocked)",
    },
};

// Advisory lock keys: schema work, account numbers; mailbox locks use the recipient's number.
constexpr std::int64_t kSchemaLock = -7788001;
constexpr std::int64_t kAccountLock = -7788002;

class PgStoreImpl final : public PgStore {
public:
    PgStoreImpl(std::string conninfo, std::size_t connections)
        : conninfo_(std::move(conninfo)), max_(std::max<std::size_t>(1, connections)) {
        Use([](PgConnection& c) { Migrate(c); });
    }

    std::optional<std::int64_t> CreateAccount(std::string_view name, std::string_view passwordHash,
                                              std::string_view nickname) override {
        static const char kLock[] = "SELECT pg_advisory_xact_lock($1)";
        // Accounts are numbered from 10001, as the users know them; one at a time across the cluster.
        static const char kInsert[] =
            "INSERT INTO accounts (id, name, pwhash, nickname)"
            " SELECT (SELECT GREATEST(10001, COALESCE(MAX(id), 0) + 1) FROM accounts), $1, $2, $3"
            " WHERE NOT EXISTS (SELECT 1 FROM accounts WHERE name = $1) RETURNING id";
        std::optional<std::int64_t> id;
        Transaction([&](PgConnection& c) {
            c.Run(kLock, {kAccountLock});
            Result r = c.Run(kInsert, {name, passwordHash, nickname});
            if (r.Rows() == 1) id = r.Int(0, 0);
        });
        return id;
    }

    std::optional<Profile> FindByName(std::string_view name) override {
        static const std::string sql = std::string("SELECT ") + kProfileColumns + " FROM accounts WHERE name = $1";
        return Use([&](PgConnection& c) -> std::optional<Profile> {
            Result r = c.Run(sql.c_str(), {name});
            if (r.Rows() == 0) return std::nullopt;
            return ReadProfile(r, 0);
        });
    }

    std::optional<Profile> FindById(std::int64_t id) override {
        static const std::string sql = std::string("SELECT ") + kProfileColumns + " FROM accounts WHERE id = $1";
        return Use([&](PgConnection& c) -> std::optional<Profile> {
            Result r = c.Run(sql.c_str(), {id});
            if (r.Rows() == 0) return std::nullopt;
            return ReadProfile(r, 0);
        });
    }

    std::optional<std::int64_t> FindIdByName(std::string_view name) override {
        static const char sql[] = "SELECT id FROM accounts WHERE name = $1";
        return Use([&](PgConnection& c) -> std::optional<std::int64_t> {
            Result r = c.Run(sql, {name});
            if (r.Rows() == 0) return std::nullopt;
            return r.Int(0, 0);
        });
    }

    std::string PasswordHash(std::int64_t id) override {
        static const char sql[] = "SELECT pwhash FROM accounts WHERE id = $1";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {id});
            return r.Rows() ? r.Bytes(0, 0) : std::string();
        });
    }

    void SetPasswordHash(std::int64_t id, std::string_view hash) override {
        static const char sql[] = "UPDATE accounts SET pwhash = $2 WHERE id = $1";
        Use([&](PgConnection& c) { c.Run(sql, {id, hash}); });
    }

    void ChangeProfile(std::int64_t id, std::string_view nickname, std::string_view littleword,
                       std::string_view birthday, int afset, std::string_view newHash) override {
        static const char kProfile[] =
            "UPDATE accounts SET nickname = $2, littleword = $3, birthday = $4, afset = $5 WHERE id = $1";
        static const char kHash[] = "UPDATE accounts SET pwhash = $2 WHERE id = $1";
        Transaction([&](PgConnection& c) {
            c.Run(kProfile, {id, nickname, littleword, birthday, afset});
            if (!newHash.empty()) c.Run(kHash, {id, newHash});
        });
    }

    void UpdateDetails(const Profile& p) override {
        static const char sql[] =
            "UPDATE accounts SET nickname = $2, littleword = $3, birthday = $4, sex = $5, photo = $6,"
            " class = $7, vip = $8, style = $9, afset = $10, vp = $11, lt = $12 WHERE id = $1";
        Use([&](PgConnection& c) {
            c.Run(sql, {p.id, p.nickname, p.littleword, p.birthday, p.sex, p.photo, p.userClass, p.vip, p.style,
                        p.afset, p.vp, p.lt});
        });
    }

    void SetStatus(std::int64_t id, int status, std::string_view note) override {
        static const char sql[] = "UPDATE accounts SET status = $2, status_note = $3 WHERE id = $1";
        Use([&](PgConnection& c) { c.Run(sql, {id, status, note}); });
    }

    void SetPosition(std::int64_t id, const Position& pos) override {
        static const char sql[] =
            "UPDATE accounts SET pos_id = $2, pos_ms = $3, pos0 = $4, pos1 = $5, pos2 = $6, pos3 = $7 WHERE id = $1";
        Use([&](PgConnection& c) { c.Run(sql, {id, pos.id, pos.ms, pos.pos0, pos.pos1, pos.pos2, pos.pos3}); });
    }

    bool AreFriends(std::int64_t a, std::int64_t b) override {
        static const char sql[] = "SELECT 1 FROM friends WHERE owner = $1 AND friend = $2";
        return Use([&](PgConnection& c) { return c.Run(sql, {a, b}).Rows() > 0; });
    }

    void AddFriendship(std::int64_t a, std::int64_t b) override {
        static const char sql[] =
            "INSERT INTO friends (owner, friend) VALUES ($1, $2), ($2, $1) ON CONFLICT DO NOTHING";
        Use([&](PgConnection& c) { c.Run(sql, {a, b}); });
    }

    bool RemoveFriendship(std::int64_t a, std::int64_t b) override {
        return Use([&](PgConnection& c) { return RemoveFriendshipOn(c, a, b); });
    }

    std::vector<Profile> Friends(std::int64_t id) override {
        static const std::string sql = std::string("SELECT ") + kProfileColumns +
                                       " FROM accounts WHERE id IN (SELECT friend FROM friends WHERE owner = $1)"
                                       " ORDER BY id";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql.c_str(), {id});
            std::vector<Profile> out;
            for (int i = 0; i < r.Rows(); ++i) out.push_back(ReadProfile(r, i));
            return out;
        });
    }

    std::vector<std::int64_t> FriendIds(std::int64_t id) override {
        static const char sql[] = "SELECT friend FROM friends WHERE owner = $1 ORDER BY friend";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {id});
            std::vector<std::int64_t> out;
            for (int i = 0; i < r.Rows(); ++i) out.push_back(r.Int(i, 0));
            return out;
        });
    }

    std::size_t FriendCount(std::int64_t id) override {
        static const char sql[] = "SELECT COUNT(*) FROM friends WHERE owner = $1";
        return Use([&](PgConnection& c) { return static_cast<std::size_t>(c.Run(sql, {id}).Int(0, 0)); });
    }

    bool IsBlocked(std::int64_t owner, std::int64_t blocked) override {
        static const char sql[] = "SELECT 1 FROM blacklist WHERE owner = $1 AND blocked = $2";
        return Use([&](PgConnection& c) { return c.Run(sql, {owner, blocked}).Rows() > 0; });
    }

    void BlockUser(std::int64_t owner, std::int64_t blocked) override {
        static const char kBlock[] = "INSERT INTO blacklist (owner, blocked) VALUES ($1, $2) ON CONFLICT DO NOTHING";
        static const char kRequests[] =
            "DELETE FROM friend_requests WHERE (from_id = $1 AND to_id = $2) OR (from_id = $2 AND to_id = $1)";
        Transaction([&](PgConnection& c) {
            c.Run(kBlock, {owner, blocked});
            RemoveFriendshipOn(c, owner, blocked);
            c.Run(kRequests, {owner, blocked});
        });
    }

    void AskFriend(std::int64_t from, std::int64_t to, std::string_view text, bool withText) override {
        static const char kUnblock[] = "DELETE FROM blacklist WHERE owner = $1 AND blocked = $2";
        static const char kAsk[] =
            "INSERT INTO friend_requests (from_id, to_id, text, with_text) VALUES ($1, $2, $3, $4::bigint <> 0)"
            " ON CONFLICT (from_id, to_id) DO UPDATE SET text = EXCLUDED.text, with_text = EXCLUDED.with_text,"
            " created = nextval('friend_request_order')";
        Transaction([&](PgConnection& c) {
            c.Run(kUnblock, {from, to});
            c.Run(kAsk, {from, to, text, withText ? 1 : 0});
        });
    }

    bool HasFriendRequest(std::int64_t from, std::int64_t to) override {
        static const char sql[] = "SELECT 1 FROM friend_requests WHERE from_id = $1 AND to_id = $2";
        return Use([&](PgConnection& c) { return c.Run(sql, {from, to}).Rows() > 0; });
    }

    void AnswerFriendRequest(std::int64_t asker, std::int64_t answerer, bool agreed) override {
        static const char kRemove[] = "DELETE FROM friend_requests WHERE from_id = $1 AND to_id = $2";
        static const char kFriends[] =
            "INSERT INTO friends (owner, friend) VALUES ($1, $2), ($2, $1) ON CONFLICT DO NOTHING";
        Transaction([&](PgConnection& c) {
            c.Run(kRemove, {asker, answerer});
            if (agreed) {
                c.Run(kRemove, {answerer, asker});
                c.Run(kFriends, {asker, answerer});
            }
        });
    }

    std::vector<FriendRequest> FriendRequestsTo(std::int64_t to) override {
        static const char sql[] =
            "SELECT r.from_id, a.name, r.text, r.with_text FROM friend_requests r JOIN accounts a ON a.id = r.from_id"
            " WHERE r.to_id = $1 ORDER BY r.created";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {to});
            std::vector<FriendRequest> out;
            for (int i = 0; i < r.Rows(); ++i)
                out.push_back(FriendRequest{r.Int(i, 0), r.Bytes(i, 1), r.Bytes(i, 2), r.Bool(i, 3)});
            return out;
        });
    }

    std::size_t FriendRequestCountTo(std::int64_t to) override {
        static const char sql[] = "SELECT COUNT(*) FROM friend_requests WHERE to_id = $1";
        return Use([&](PgConnection& c) { return static_cast<std::size_t>(c.Run(sql, {to}).Int(0, 0)); });
    }

    std::int64_t AddMail(std::int64_t recipient, int code, std::string_view payload) override {
        static const char kLock[] = "SELECT pg_advisory_xact_lock($1)";
        static const char kInsert[] = "INSERT INTO mailbox (recipient, code, payload) VALUES ($1, $2, $3) RETURNING seq";
        std::int64_t seq = 0;
        Transaction([&](PgConnection& c) {
            c.Run(kLock, {recipient});
            seq = c.Run(kInsert, {recipient, code, payload}).Int(0, 0);
        });
        return seq;
    }

    std::vector<Mail> MailAfter(std::int64_t recipient, std::int64_t afterSeq, int limit) override {
        static const char sql[] =
            "SELECT seq, code, payload FROM mailbox WHERE recipient = $1 AND seq > $2 ORDER BY seq LIMIT $3";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {recipient, afterSeq, limit});
            std::vector<Mail> out;
            for (int i = 0; i < r.Rows(); ++i)
                out.push_back(Mail{r.Int(i, 0), static_cast<int>(r.Int(i, 1)), r.Bytes(i, 2)});
            return out;
        });
    }

    void DeleteMailUpTo(std::int64_t recipient, std::int64_t seq) override {
        static const char sql[] = "DELETE FROM mailbox WHERE recipient = $1 AND seq <= $2";
        Use([&](PgConnection& c) { c.Run(sql, {recipient, seq}); });
    }

    std::size_t MailCount(std::int64_t recipient) override {
        static const char sql[] = "SELECT COUNT(*) FROM mailbox WHERE recipient = $1";
        return Use([&](PgConnection& c) { return static_cast<std::size_t>(c.Run(sql, {recipient}).Int(0, 0)); });
    }

    // --- Administration ---------------------------------------------------

    void SetDisabled(std::int64_t id, bool disabled) override {
        static const char sql[] = "UPDATE accounts SET disabled = $2::bigint <> 0 WHERE id = $1";
        Use([&](PgConnection& c) { c.Run(sql, {id, disabled ? 1 : 0}); });
    }

    bool DeleteAccount(std::int64_t id) override {
        // The other tables follow by their foreign keys; presence has none.
        static const char kPresence[] = "DELETE FROM presence WHERE account = $1";
        static const char kAccount[] = "DELETE FROM accounts WHERE id = $1";
        bool existed = false;
        Transaction([&](PgConnection& c) {
            c.Run(kPresence, {id});
            existed = c.Run(kAccount, {id}).Affected() > 0;
        });
        return existed;
    }

    std::vector<AccountSummary> ListAccounts(std::string_view contains, std::size_t limit) override {
        static const char sql[] =
            "SELECT id, name, nickname, disabled FROM accounts WHERE length($1::bytea) = 0 OR position($1::bytea IN name) > 0"
            " OR position($1::bytea IN nickname) > 0 ORDER BY id LIMIT $2";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {contains, static_cast<std::int64_t>(limit)});
            std::vector<AccountSummary> out;
            for (int i = 0; i < r.Rows(); ++i)
                out.push_back(AccountSummary{r.Int(i, 0), r.Bytes(i, 1), r.Bytes(i, 2), r.Bool(i, 3)});
            return out;
        });
    }

    std::vector<std::int64_t> BlockedIds(std::int64_t owner) override {
        static const char sql[] = "SELECT blocked FROM blacklist WHERE owner = $1 ORDER BY blocked";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {owner});
            std::vector<std::int64_t> out;
            for (int i = 0; i < r.Rows(); ++i) out.push_back(r.Int(i, 0));
            return out;
        });
    }

    MailboxSummary Mailbox(std::int64_t recipient) override {
        static const char sql[] =
            "SELECT COUNT(*), COALESCE(EXTRACT(EPOCH FROM now() - MIN(created))::bigint, 0)"
            " FROM mailbox WHERE recipient = $1";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {recipient});
            return MailboxSummary{recipient, std::string(), static_cast<std::size_t>(r.Int(0, 0)), r.Int(0, 1)};
        });
    }

    std::vector<MailboxSummary> LargestMailboxes(std::size_t limit) override {
        static const char sql[] =
            "SELECT m.recipient, a.name, COUNT(*), EXTRACT(EPOCH FROM now() - MIN(m.created))::bigint"
            " FROM mailbox m JOIN accounts a ON a.id = m.recipient GROUP BY m.recipient, a.name"
            " ORDER BY COUNT(*) DESC, m.recipient LIMIT $1";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {static_cast<std::int64_t>(limit)});
            std::vector<MailboxSummary> out;
            for (int i = 0; i < r.Rows(); ++i)
                out.push_back(MailboxSummary{r.Int(i, 0), r.Bytes(i, 1), static_cast<std::size_t>(r.Int(i, 2)),
                                             r.Int(i, 3)});
            return out;
        });
    }

    MailboxTotals AllMailboxes() override {
        static const char sql[] =
            "SELECT COUNT(*), COUNT(DISTINCT recipient), COALESCE(EXTRACT(EPOCH FROM now() - MIN(created))::bigint, 0)"
            " FROM mailbox";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {});
            return MailboxTotals{static_cast<std::size_t>(r.Int(0, 0)), static_cast<std::size_t>(r.Int(0, 1)),
                                 r.Int(0, 2)};
        });
    }

    std::string Setting(std::string_view key) override {
        static const char sql[] = "SELECT value FROM settings WHERE key = convert_from($1, 'UTF8')";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {key});
            return r.Rows() ? r.Bytes(0, 0) : std::string();
        });
    }

    void SetSetting(std::string_view key, std::string_view value) override {
        static const char sql[] =
            "INSERT INTO settings (key, value) VALUES (convert_from($1, 'UTF8'), $2)"
            " ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value";
        Use([&](PgConnection& c) { c.Run(sql, {key, value}); });
    }

    void PutNodeStats(const NodeStats& n) override {
        static const char sql[] =
            "INSERT INTO node_stats (node, updated, online, connections, logins_ok, logins_failed, messages,"
            " slow_readers, bytes_in, bytes_out) VALUES (convert_from($1, 'UTF8'), now(), $2, $3, $4, $5, $6, $7,"
            " $8, $9) ON CONFLICT (node) DO UPDATE SET updated = now(), online = EXCLUDED.online,"
            " connections = EXCLUDED.connections, logins_ok = EXCLUDED.logins_ok,"
            " logins_failed = EXCLUDED.logins_failed, messages = EXCLUDED.messages,"
            " slow_readers = EXCLUDED.slow_readers, bytes_in = EXCLUDED.bytes_in, bytes_out = EXCLUDED.bytes_out";
        auto i = [](std::uint64_t v) { return static_cast<std::int64_t>(v); };
        Use([&](PgConnection& c) {
            c.Run(sql, {std::string_view(n.node), i(n.online), i(n.connections), i(n.loginsSucceeded),
                        i(n.loginsFailed), i(n.messages), i(n.slowReaders), i(n.bytesIn), i(n.bytesOut)});
        });
    }

    std::vector<NodeStats> RecentNodeStats(std::chrono::seconds maxAge) override {
        static const char sql[] =
            "SELECT node, EXTRACT(EPOCH FROM updated)::bigint, online, connections, logins_ok, logins_failed,"
            " messages, slow_readers, bytes_in, bytes_out FROM node_stats"
            " WHERE updated > now() - make_interval(secs => $1) ORDER BY node";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {static_cast<std::int64_t>(maxAge.count())});
            std::vector<NodeStats> out;
            for (int i = 0; i < r.Rows(); ++i) {
                auto u = [&](int col) { return static_cast<std::uint64_t>(r.Int(i, col)); };
                out.push_back(NodeStats{r.Bytes(i, 0), r.Int(i, 1), u(2), u(3), u(4), u(5), u(6), u(7), u(8), u(9)});
            }
            return out;
        });
    }

    // --- Presence ---------------------------------------------------------

    void Heartbeat(const std::string& node, bool clearOwn) override {
        static const char kSeen[] =
            "INSERT INTO nodes (name, seen) VALUES ($1, now()) ON CONFLICT (name) DO UPDATE SET seen = now()";
        static const char kClear[] = "DELETE FROM presence WHERE node = $1";
        Use([&](PgConnection& c) {
            c.Run(kSeen, {node});
            if (clearOwn) c.Run(kClear, {node});
        });
    }

    void SetPresent(std::int64_t account, const std::string& node) override {
        static const char sql[] =
            "INSERT INTO presence (account, node) VALUES ($1, $2)"
            " ON CONFLICT (account) DO UPDATE SET node = EXCLUDED.node, since = now()";
        Use([&](PgConnection& c) { c.Run(sql, {account, node}); });
    }

    void SetAbsent(std::int64_t account, const std::string& node) override {
        static const char sql[] = "DELETE FROM presence WHERE account = $1 AND node = $2";
        Use([&](PgConnection& c) { c.Run(sql, {account, node}); });
    }

    std::string PresentOn(std::int64_t account, std::chrono::seconds maxAge) override {
        static const char sql[] =
            "SELECT p.node FROM presence p JOIN nodes n ON n.name = p.node"
            " WHERE p.account = $1 AND n.seen > now() - make_interval(secs => $2)";
        return Use([&](PgConnection& c) {
            Result r = c.Run(sql, {account, static_cast<std::int64_t>(maxAge.count())});
            return r.Rows() ? r.Bytes(0, 0) : std::string();
        });
    }

    std::vector<bool> PresentAmong(const std::vector<std::int64_t>& accounts, std::chrono::seconds maxAge) override {
        std::vector<bool> out(accounts.size(), false);
        if (accounts.empty()) return out;
        static const char sql[] =
            "SELECT p.account FROM presence p JOIN nodes n ON n.name = p.node"
            " WHERE p.account = ANY($1::bigint[]) AND n.seen > now() - make_interval(secs => $2)";
        std::string list = "{";
        for (std::size_t i = 0; i < accounts.size(); ++i) list += (i ? "," : "") + std::to_string(accounts[i]);
        list += "}";
        std::set<std::int64_t> present;
        Use([&](PgConnection& c) {
            // The array goes as text: its literal is digits, commas and braces only.
            Result r = c.Run(sql, {AsText{list}, static_cast<std::int64_t>(maxAge.count())});
            for (int i = 0; i < r.Rows(); ++i) present.insert(r.Int(i, 0));
        });
        for (std::size_t i = 0; i < accounts.size(); ++i) out[i] = present.count(accounts[i]) > 0;
        return out;
    }

private:
    static bool RemoveFriendshipOn(PgConnection& c, std::int64_t a, std::int64_t b) {
        static const char sql[] =
            "DELETE FROM friends WHERE (owner = $1 AND friend = $2) OR (owner = $2 AND friend = $1)";
        return c.Run(sql, {a, b}).Affected() > 0;
    }

    static void Migrate(PgConnection& c) {
        // Nodes that start together wait for each other here.
        c.Exec("BEGIN");
        try {
            c.Run("SELECT pg_advisory_xact_lock($1)", {kSchemaLock});
            c.Exec("CREATE TABLE IF NOT EXISTS schema_version (version BIGINT NOT NULL)");
            Result r = c.Run("SELECT COALESCE(MAX(version), 0) FROM schema_version", {});
            std::int64_t version = r.Int(0, 0);
            if (version > static_cast<std::int64_t>(kMigrations.size()))
                throw StoreError("postgresql: the database's schema (version " + std::to_string(version) +
                                 ") is newer than this server knows");
            for (std::size_t v = static_cast<std::size_t>(version); v < kMigrations.size(); ++v) {
                for (const char* sql : kMigrations[v]) c.Exec(sql);
                c.Exec("DELETE FROM schema_version");
                c.Run("INSERT INTO schema_version (version) VALUES ($1)", {static_cast<std::int64_t>(v + 1)});
            }
            c.Exec("COMMIT");
        } catch (...) {
            if (c.Usable()) c.Exec("ROLLBACK");
            throw;
        }
    }

    // Runs fn with a connection of the pool.
    template <class Fn>
    auto Use(Fn&& fn) -> decltype(fn(std::declval<PgConnection&>())) {
        std::unique_ptr<PgConnection> c = Take();
        struct Giver {
            PgStoreImpl* self;
            std::unique_ptr<PgConnection>& c;
            ~Giver() { self->Give(std::move(c)); }
        } giver{this, c};
        return fn(*c);
    }

    template <class Fn>
    void Transaction(Fn&& fn) {
        Use([&](PgConnection& c) {
            c.Exec("BEGIN");
            try {
                fn(c);
                c.Exec("COMMIT");
            } catch (...) {
                if (c.Usable()) {
                    try {
                        c.Exec("ROLLBACK");
                    } catch (const StoreError&) {
                    }
                }
                throw;
            }
        });
    }

    std::unique_ptr<PgConnection> Take() {
        std::unique_lock<std::mutex> lock(mutex_);
        available_.wait(lock, [&] { return !idle_.empty() || open_ < max_; });
        if (!idle_.empty()) {
            auto c = std::move(idle_.back());
            idle_.pop_back();
            return c;
        }
        ++open_;
        lock.unlock();
        try {
            return std::make_unique<PgConnection>(conninfo_);
        } catch (...) {
            std::lock_guard<std::mutex> relock(mutex_);
            --open_;
            available_.notify_one();
            throw;
        }
    }

    // A connection that broke is dropped; the next Take opens a new one.
    void Give(std::unique_ptr<PgConnection> c) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (c && c->Usable())
            idle_.push_back(std::move(c));
        else
            --open_;
        available_.notify_one();
    }

    std::string conninfo_;
    std::size_t max_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<PgConnection>> idle_;
    std::size_t open_ = 0;
};

}  // namespace

std::unique_ptr<PgStore> OpenPgStore(const std::string& conninfo, std::size_t connections) {
    return std::make_unique<PgStoreImpl>(conninfo, connections);
}

}  // namespace vexa::server
