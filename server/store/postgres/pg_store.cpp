// The PostgreSQL engine: a pool of libpq connections, each statement prepared
// once per connection, parameters and results in binary.
#include "server/store/postgres/pg_store.h"

#include <arpa/inet.h>
#include <endian.h>
#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "server/base/log.h"

namespace vexa::server {

namespace {

using sql::Query;

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// A database that takes a connection but does not answer would otherwise
// hold a request thread (and the requests queued behind it) for as long as
// the system lets a connect wait, or for ever. A connection string that names
// its own connect_timeout keeps it: the string is read after this default.
constexpr int kConnectTimeoutSeconds = 5;
const char* const kConnectKeys[] = {"connect_timeout", "dbname", nullptr};

struct ConnectValues {
    explicit ConnectValues(const std::string& conninfo)
        : timeout(std::to_string(kConnectTimeoutSeconds)), values{timeout.c_str(), conninfo.c_str(), nullptr} {}
    std::string timeout;
    const char* values[3];
};

// A result in binary format: bytea and text columns as bytes, integers in
// network order, boolean as one byte.
class PgRow final : public sql::Row {
public:
    PgRow(PGresult* r, int row) : r_(r), row_(row) {}
    std::int64_t Int(int col) const override {
        if (PQgetisnull(r_, row_, col)) return 0;
        const char* v = PQgetvalue(r_, row_, col);
        switch (PQgetlength(r_, row_, col)) {
            case 1: return v[0] != 0;
            case 2: {
                std::uint16_t n = 0;
                std::memcpy(&n, v, 2);
                return static_cast<std::int16_t>(be16toh(n));
            }
            case 4: {
                std::uint32_t n = 0;
                std::memcpy(&n, v, 4);
                return static_cast<std::int32_t>(be32toh(n));
            }
            case 8: {
                std::uint64_t n = 0;
                std::memcpy(&n, v, 8);
                return static_cast<std::int64_t>(be64toh(n));
            }
        }
        return 0;
    }
    std::string Bytes(int col) const override {
        return std::string(PQgetvalue(r_, row_, col), static_cast<std::size_t>(PQgetlength(r_, row_, col)));
    }

private:
    PGresult* r_;
    int row_;
};

// One libpq connection, used by one thread at a time.
class PgConnection final : public sql::Session {
public:
    explicit PgConnection(const std::string& conninfo)
        : conn_(PQconnectdbParams(kConnectKeys, ConnectValues(conninfo).values, 1)) {
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

    std::int64_t Run(Query query, sql::Params params, sql::RowFn onRow) override {
        const auto index = static_cast<std::size_t>(query);
        const std::string name = "q" + std::to_string(index);
        if (!prepared_[index]) {
            Check(PQprepare(conn_, name.c_str(), sql::Dialect::Postgres().Text(query).c_str(), 0, nullptr), true);
            prepared_[index] = true;
        }
        std::vector<std::string> numbers;
        numbers.reserve(params.size());
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        for (const sql::Param& p : params) {
            switch (p.kind) {
                case sql::Param::Kind::Int:
                    // Numbers go as text, read as the statement's type asks.
                    numbers.push_back(std::to_string(p.number));
                    values.push_back(numbers.back().c_str());
                    lengths.push_back(0);
                    formats.push_back(0);
                    break;
                case sql::Param::Kind::Text:
                    numbers.emplace_back(p.bytes);
                    values.push_back(numbers.back().c_str());
                    lengths.push_back(0);
                    formats.push_back(0);
                    break;
                case sql::Param::Kind::Bytes:
                    values.push_back(p.bytes.empty() ? "" : p.bytes.data());
                    lengths.push_back(static_cast<int>(p.bytes.size()));
                    formats.push_back(1);
                    break;
            }
        }
        PGresult* r = PQexecPrepared(conn_, name.c_str(), static_cast<int>(values.size()), values.data(),
                                     lengths.data(), formats.data(), 1);
        Check(r, false);
        struct Clear {
            PGresult* r;
            ~Clear() { PQclear(r); }
        } clear{r};
        if (onRow)
            for (int i = 0; i < PQntuples(r); ++i) onRow(PgRow(r, i));
        return std::atoll(PQcmdTuples(r));
    }

    void Exec(const std::string& text) override { Check(PQexec(conn_, text.c_str()), true); }

    void LockKey(std::int64_t key) override { Exec("SELECT pg_advisory_xact_lock(" + std::to_string(key) + ")"); }

private:
    // Throws for a failed result; clears it when clear (the caller keeps a good one otherwise).
    void Check(PGresult* r, bool clear) {
        ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            if (clear) PQclear(r);
            return;
        }
        const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        std::string why = Trim(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_));
        if (why.empty()) why = Trim(PQerrorMessage(conn_));
        // A connection that is lost is dropped by the pool, with what it had prepared.
        bool lost = PQstatus(conn_) != CONNECTION_OK || (state && std::strncmp(state, "08", 2) == 0) ||
                    (state && std::strncmp(state, "57P", 3) == 0);
        PQclear(r);
        if (lost) throw StoreUnavailable("postgresql: " + why);
        throw StoreError("postgresql: " + why);
    }

    PGconn* conn_;
    std::array<bool, sql::kQueryCount> prepared_{};
};

// The news of other writers: a connection of its own that LISTENs on the
// channel the schema's triggers notify, on a thread of its own. Every
// notification, and every (re)connection, counts as a change; while the
// connection is down the engine cannot tell, and says so. It connects again
// every half second until it is stopped.
class ChangeListener {
public:
    explicit ChangeListener(std::string conninfo) : conninfo_(std::move(conninfo)), wake_(eventfd(0, EFD_CLOEXEC)) {
        if (wake_ < 0) throw StoreError("postgresql: eventfd failed");
        thread_ = std::thread([this] { Run(); });
    }
    ~ChangeListener() {
        stopping_ = true;
        std::uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) {
            // The thread still sees stopping_ within its poll time.
        }
        thread_.join();
        close(wake_);
    }
    ChangeListener(const ChangeListener&) = delete;
    ChangeListener& operator=(const ChangeListener&) = delete;

    bool ChangedSinceLastAsked() {
        if (!listening_.load()) return true;
        const std::uint64_t now = changes_.load();
        return seen_.exchange(now) != now;
    }

private:
    void Run() {
        bool everListened = false;
        while (!stopping_) {
            PGconn* c = Connect();
            if (c && Listen(c)) {
                // Whatever changed while nobody listened is unknown: all of it counts as changed.
                ++changes_;
                listening_ = true;
                if (everListened) Log(LogLevel::Info, "postgresql: hearing of other writers' changes again");
                everListened = true;
                Follow(c);
                listening_ = false;
                if (!stopping_)
                    Log(LogLevel::Warn, "postgresql: lost the link that tells of other writers' changes; "
                                        "lookups ask the database until it is back");
            }
            if (c) PQfinish(c);
            Sleep(kReconnect);
        }
    }

    // Connects without holding up a stop: a database that does not answer at
    // all would otherwise keep the thread (and the server's exit) waiting for
    // the system's connect time-out.
    PGconn* Connect() {
        // libpq does not time a connect made step by step: the deadline is kept here.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kConnectTimeoutSeconds);
        PGconn* c = PQconnectStartParams(kConnectKeys, ConnectValues(conninfo_).values, 1);
        if (!c) return nullptr;
        // Its loss is logged once, by Run, not in libpq's words.
        PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
        PostgresPollingStatusType state = PGRES_POLLING_WRITING;
        while (!stopping_ && PQstatus(c) != CONNECTION_BAD && state != PGRES_POLLING_FAILED &&
               std::chrono::steady_clock::now() < deadline) {
            if (state == PGRES_POLLING_OK) return c;
            if (PQsocket(c) < 0) {
                state = PQconnectPoll(c);
                continue;
            }
            const short wanted = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
            pollfd fds[2] = {{PQsocket(c), wanted, 0}, {wake_, POLLIN, 0}};
            if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
            if (fds[1].revents) break;
            if (fds[0].revents) state = PQconnectPoll(c);
        }
        PQfinish(c);
        return nullptr;
    }

    static bool Listen(PGconn* c) {
        PGresult* r = PQexec(c, (std::string("LISTEN ") + sql::kLookupsChannel).c_str());
        bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        return ok;
    }

    // Until the connection is lost or the listener stops.
    void Follow(PGconn* c) {
        while (!stopping_) {
            pollfd fds[2] = {{PQsocket(c), POLLIN, 0}, {wake_, POLLIN, 0}};
            if (poll(fds, 2, 1000) < 0 && errno != EINTR) return;
            if (fds[1].revents) return;
            if (fds[0].revents == 0) continue;
            if (!PQconsumeInput(c) || PQstatus(c) != CONNECTION_OK) return;
            while (PGnotify* n = PQnotifies(c)) {
                ++changes_;
                PQfreemem(n);
            }
        }
    }

    void Sleep(std::chrono::milliseconds time) {
        pollfd fd{wake_, POLLIN, 0};
        if (!stopping_) poll(&fd, 1, static_cast<int>(time.count()));
    }

    static constexpr std::chrono::milliseconds kReconnect{500};
    std::string conninfo_;
    int wake_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listening_{false};
    std::atomic<std::uint64_t> changes_{0};
    std::atomic<std::uint64_t> seen_{0};
    std::thread thread_;
};

class PgEngine final : public sql::Engine {
public:
    PgEngine(std::string conninfo, std::size_t connections)
        : conninfo_(std::move(conninfo)), max_(std::max<std::size_t>(1, connections)), listener_(conninfo_) {}

    const sql::Dialect& Words() const override { return sql::Dialect::Postgres(); }
    bool Blocking() const override { return true; }
    bool Shared() const override { return true; }
    // Every writer's changes are announced by the schema's triggers.
    bool SeesOutsideChanges() const override { return true; }
    bool ChangedElsewhere() override { return listener_.ChangedSinceLastAsked(); }

    void Use(FunctionRef<void(sql::Session&)> fn) override {
        std::unique_ptr<PgConnection> c = Take();
        struct Giver {
            PgEngine* self;
            std::unique_ptr<PgConnection>& c;
            ~Giver() { self->Give(std::move(c)); }
        } giver{this, c};
        fn(*c);
    }

    void Transaction(FunctionRef<void(sql::Session&)> fn) override {
        Use([&](sql::Session& session) {
            auto& c = static_cast<PgConnection&>(session);
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

private:
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
    ChangeListener listener_;
};

}  // namespace

std::unique_ptr<PgStore> OpenPgStore(const std::string& conninfo, std::size_t connections) {
    return std::make_unique<PgStore>(std::make_unique<PgEngine>(conninfo, connections));
}

}  // namespace vexa::server
