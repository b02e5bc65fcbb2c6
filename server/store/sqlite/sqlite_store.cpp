// The SQLite engine: one connection shared by every thread behind one lock.
// SQLite serialises writers anyway, and its calls here are short (no fsync
// per commit in WAL mode with synchronous=NORMAL).
#include "server/store/sqlite/sqlite_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "server/store/sql_store.h"

namespace vexa::server {

namespace {

using sql::Query;

// Settings of every opening. The file is shared: the operator's tools
// (sqlite3, a backup, the command line's account work) read and write it
// while the server runs, and the store's lookups ask ChangedElsewhere()
// before they trust what they remember.
constexpr const char* kPragmas[] = {
    "PRAGMA journal_mode=WAL",
    "PRAGMA synchronous=NORMAL",
    "PRAGMA foreign_keys=ON",
};

// How long a statement waits for another connection's write transaction
// before it gives up for now: long enough for any transaction of the server
// or of the command line, short enough that a tool that holds the file for
// minutes costs a request that waits and is tried again (see Fail) rather
// than a thread stalled for as long.
constexpr int kBusyMillis = 2000;

// The backup copies this many pages (256 KiB) per step, so that each call is
// short; one read transaction over all the steps keeps the snapshot it began
// with. In WAL mode that reader never stops the server's writers; it only
// keeps the WAL from being started again until the copy is done.
constexpr int kBackupPagesPerStep = 64;

class SqliteRow final : public sql::Row {
public:
    explicit SqliteRow(sqlite3_stmt* stmt) : stmt_(stmt) {}
    std::int64_t Int(int column) const override { return sqlite3_column_int64(stmt_, column); }
    std::string Bytes(int column) const override {
        // Texts are kept as BLOBs; a TEXT column's bytes read the same way.
        const void* bytes = sqlite3_column_blob(stmt_, column);
        int size = sqlite3_column_bytes(stmt_, column);
        return bytes ? std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size)) : std::string();
    }

private:
    sqlite3_stmt* stmt_;
};

// The header of the WAL index: the start of the "-shm" file that every
// connection to a WAL database maps, where each commit (of any process)
// changes the frame count, checksums and change counter (SQLite's documented
// WAL-index format). Reading it is a few loads from shared memory, where
// PRAGMA data_version is a read transaction with its locks on the shared
// file, some sixty times the cost of a lookup kept in memory. When its bytes are as last seen, no
// commit has happened since; otherwise the data version tells whose it was.
//
// It is read where the connection's own SQLite maps it, never through a
// descriptor of ours: closing any descriptor of a file drops every POSIX
// lock the process holds on it, SQLite's read lock on the index among them,
// and the next program to open the database would then take itself for the
// only one and reset the index under the server.
class WalIndexHeader {
public:
    static constexpr std::size_t kWords = 12;  // the first copy of the header, 48 bytes
    using Words = std::array<std::uint32_t, kWords>;

    // The index of the open database as its connection maps it, which stays
    // mapped until the connection closes; Mapped() is false where there is
    // none (an in-memory database) or its format is not the one known here.
    explicit WalIndexHeader(sqlite3* db) {
        sqlite3_file* file = nullptr;
        if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
            !file->pMethods || file->pMethods->iVersion < 2 || !file->pMethods->xShmMap)
            return;
        void volatile* region = nullptr;
        if (file->pMethods->xShmMap(file, 0, kRegionBytes, 0, &region) != SQLITE_OK || !region) return;
        words_ = static_cast<const std::uint32_t*>(const_cast<void*>(region));
        if (Read()[0] != kFormatVersion) words_ = nullptr;
    }

    bool Mapped() const { return words_ != nullptr; }
    Words Read() const {
        Words w;
        for (std::size_t i = 0; i < kWords; ++i) w[i] = __atomic_load_n(words_ + i, __ATOMIC_ACQUIRE);
        return w;
    }

private:
    static constexpr int kRegionBytes = 32768;  // SQLite maps the index in pieces of this size
    static constexpr std::uint32_t kFormatVersion = 3007000;
    const std::uint32_t* words_ = nullptr;
};

class SqliteEngine final : public sql::Engine, private sql::Session {
public:
    explicit SqliteEngine(const std::string& path);
    ~SqliteEngine() override;

    const sql::Dialect& Words() const override { return sql::Dialect::Sqlite(); }
    bool Blocking() const override { return false; }
    bool Shared() const override { return false; }
    bool SeesOutsideChanges() const override { return true; }
    bool ChangedElsewhere() override;
    void BackUpTo(const std::string& file) override {
        if (path_ == ":memory:") throw StoreError("backup: an in-memory database has no file to copy");
        // The backup reads through a connection of its own, so the server's
        // statements go on meanwhile.
        BackUpSqliteFile(path_, file);
    }
    void Use(FunctionRef<void(sql::Session&)> fn) override {
        std::lock_guard<std::mutex> lock(mutex_);
        fn(*this);
    }
    void Transaction(FunctionRef<void(sql::Session&)> fn) override;

private:
    // sql::Session, with the lock held.
    std::int64_t Run(Query query, sql::Params params, sql::RowFn onRow) override;
    void Exec(const std::string& text) override;
    // The write transaction (BEGIN IMMEDIATE) holds the whole file.
    void LockKey(std::int64_t) override {}

    sqlite3_stmt* Prepared(Query query);
    void Check(int rc, const char* what);
    [[noreturn]] void Fail(int rc, const std::string& message);

    std::mutex mutex_;
    const std::string path_;
    sqlite3* db_ = nullptr;
    std::array<sqlite3_stmt*, sql::kQueryCount> prepared_{};
    sqlite3_stmt* dataVersion_ = nullptr;
    std::int64_t lastDataVersion_ = -1;
    // Behind a lock of its own, so that the cheap check never waits for a statement.
    std::mutex versionMutex_;
    std::unique_ptr<WalIndexHeader> walIndex_;
    WalIndexHeader::Words lastWalIndex_{};
};

// A connection of its own; throws StoreError when the file cannot be opened.
sqlite3* OpenConnection(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw StoreError("cannot open database " + path + ": " + message);
    }
    sqlite3_busy_timeout(db, kBusyMillis);
    return db;
}

SqliteEngine::SqliteEngine(const std::string& path)
    : path_(path), db_(OpenConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
    try {
        for (const char* pragma : kPragmas) Exec(pragma);
        Check(sqlite3_prepare_v3(db_, "PRAGMA data_version", -1, SQLITE_PREPARE_PERSISTENT, &dataVersion_, nullptr),
              "prepare");
        // A first read makes the index.
        Exec("SELECT count(*) FROM sqlite_schema");
        walIndex_ = std::make_unique<WalIndexHeader>(db_);
        if (!walIndex_->Mapped()) walIndex_.reset();
    } catch (...) {
        sqlite3_finalize(dataVersion_);
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

SqliteEngine::~SqliteEngine() {
    for (sqlite3_stmt* stmt : prepared_) sqlite3_finalize(stmt);
    sqlite3_finalize(dataVersion_);
    sqlite3_close(db_);
}

// The data version changes only with commits of other connections (in this
// process or another), so the server's own writes never empty its lookups.
bool SqliteEngine::ChangedElsewhere() {
    std::lock_guard<std::mutex> versionLock(versionMutex_);
    if (walIndex_) {
        // Kept before the data version is read, so a commit after this read
        // differs from it and is asked about at the next call.
        WalIndexHeader::Words now = walIndex_->Read();
        if (now == lastWalIndex_) return false;
        lastWalIndex_ = now;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    int rc = sqlite3_step(dataVersion_);
    std::int64_t version = rc == SQLITE_ROW ? sqlite3_column_int64(dataVersion_, 0) : -1;
    sqlite3_reset(dataVersion_);
    // A version that cannot be read counts as a change: the lookups are read again.
    if (version < 0) return true;
    bool changed = version != lastDataVersion_;
    lastDataVersion_ = version;
    return changed;
}

void SqliteEngine::Transaction(FunctionRef<void(sql::Session&)> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    Exec("BEGIN IMMEDIATE");
    try {
        fn(*this);
        Exec("COMMIT");
    } catch (...) {
        // Also after a failed COMMIT, which leaves the transaction open: the
        // connection must not stay inside it, holding the file against the
        // operator's tools and refusing every later BEGIN. An error of the
        // rollback itself must not hide the one that caused it.
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void SqliteEngine::Exec(const std::string& text) {
    char* error = nullptr;
    if (int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error); rc != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        Fail(rc, "sqlite: " + message);
    }
}

// The file is shared: another process (the operator's sqlite3, account work)
// may hold its write lock past the busy time. That is an outage for now, not
// a failed request, so the request waits and is tried again (a chat read from
// a client must not be lost to a slow tool).
void SqliteEngine::Fail(int rc, const std::string& message) {
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) throw StoreUnavailable(message);
    throw StoreError(message);
}

void SqliteEngine::Check(int rc, const char* what) {
    if (rc != SQLITE_OK) throw StoreError(std::string("sqlite ") + what + ": " + sqlite3_errmsg(db_));
}

sqlite3_stmt* SqliteEngine::Prepared(Query query) {
    sqlite3_stmt*& stmt = prepared_[static_cast<std::size_t>(query)];
    if (!stmt) Check(sqlite3_prepare_v3(db_, Words().Text(query).c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr),
                     "prepare");
    return stmt;
}

std::int64_t SqliteEngine::Run(Query query, sql::Params params, sql::RowFn onRow) {
    sqlite3_stmt* stmt = Prepared(query);
    // Reset on the way out, so a statement is never left half-stepped whatever throws.
    struct Reset {
        sqlite3_stmt* stmt;
        ~Reset() {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
        }
    } reset{stmt};
    int index = 1;
    for (const sql::Param& p : params) {
        switch (p.kind) {
            case sql::Param::Kind::Int: Check(sqlite3_bind_int64(stmt, index, p.number), "bind"); break;
            case sql::Param::Kind::Bytes:
                // Texts are bytes: a BLOB keeps GBK as it came.
                Check(sqlite3_bind_blob(stmt, index, p.bytes.empty() ? "" : p.bytes.data(),
                                        static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT),
                      "bind");
                break;
            case sql::Param::Kind::Text:
                Check(sqlite3_bind_text(stmt, index, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT),
                      "bind");
                break;
        }
        ++index;
    }
    SqliteRow row(stmt);
    for (;;) {
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) Fail(rc, std::string("sqlite step: ") + sqlite3_errmsg(db_));
        if (onRow) onRow(row);
    }
    return sqlite3_stmt_readonly(stmt) ? 0 : sqlite3_changes(db_);
}

}  // namespace

void BackUpSqliteFile(const std::string& database, const std::string& file) {
    struct Connection {
        sqlite3* db;
        ~Connection() { sqlite3_close(db); }
    };
    // Never over the database itself or its journal files, by any name.
    struct stat existing {};
    const bool exists = ::stat(file.c_str(), &existing) == 0;
    std::error_code ignored;
    const auto named = std::filesystem::weakly_canonical(file, ignored);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string own = database + suffix;
        struct stat st {};
        if ((exists && ::stat(own.c_str(), &st) == 0 && st.st_dev == existing.st_dev && st.st_ino == existing.st_ino) ||
            (!named.empty() && named == std::filesystem::weakly_canonical(own, ignored)))
            throw StoreError("backup: " + file + " is the database itself");
    }
    // The source must exist: a backup never makes an empty database.
    Connection source{OpenConnection(database, SQLITE_OPEN_READONLY)};
    auto fail = [](sqlite3* db, const std::string& what) {
        return StoreError("backup: " + what + ": " + sqlite3_errmsg(db));
    };
    // One read transaction for the whole copy: every step sees the data as it
    // was at its start, so writers of the server go on (WAL) and the copy is
    // never begun again because of them.
    if (sqlite3_exec(source.db, "BEGIN; SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) != SQLITE_OK)
        throw fail(source.db, "cannot read " + database);
    // Written beside the target under a name of its own, and renamed over it
    // only once complete: a failed backup never leaves half a copy under the
    // name, nor harms an older backup there.
    const std::string partial = file + ".partial";
    std::remove(partial.c_str());
    Connection target{OpenConnection(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)};
    auto discard = [&](const std::string& message) {
        sqlite3_close(target.db);
        target.db = nullptr;
        std::remove(partial.c_str());
        std::remove((partial + "-journal").c_str());
        return StoreError(message);
    };
    sqlite3_backup* backup = sqlite3_backup_init(target.db, "main", source.db, "main");
    if (!backup) throw discard(fail(target.db, "cannot write " + file).what());
    // A step that finds the copy locked is tried again, for a while.
    int rc, busy = 0;
    while ((rc = sqlite3_backup_step(backup, kBackupPagesPerStep)) == SQLITE_OK ||
           ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && ++busy * 10 < kBusyMillis)) {
        if (rc == SQLITE_OK) busy = 0;
        else sqlite3_sleep(10);
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) throw discard("backup: copying " + database + " failed: " + sqlite3_errstr(rc));
    sqlite3_close(target.db);
    target.db = nullptr;
    if (std::rename(partial.c_str(), file.c_str()) != 0)
        throw discard("backup: cannot name the copy " + file + ": " + std::strerror(errno));
}

std::unique_ptr<Store> OpenSqliteStore(const std::string& path) {
    return std::make_unique<SqlStore>(std::make_unique<SqliteEngine>(path));
}

}  // namespace vexa::server
