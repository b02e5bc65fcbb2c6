// The store's behaviour, one table of steps run against both
// implementations: SQLite in a file, PostgreSQL in a real server started for
// the test. Each step acts and checks; reopening in between proves that what
// is kept is kept.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <thread>

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engines.h"
#include "server/auth/accounts.h"
#include "server/auth/password.h"
#include "server/store/postgres/pg_store.h"
#include "server/base/texts.h"
#include "server/store/store.h"
#include "server/store/sqlite/sqlite_store.h"
#include "server_test_support.h"

namespace vexa::server::testing {
namespace {

using std::string;

// GBK text with every kind of byte a client may send, a zero byte among them.
const string kGbkBytes = string("\xc4\xe3\xba\xc3", 4) + string("\0\x7f\xff\x80!|!", 7);

struct Step {
    const char* what;
    std::function<void(Store&)> run;
    bool reopenAfter = false;
};

const Step kSteps[] = {
    {"demo accounts are numbered from 10001, seeding twice changes nothing",
     [](Store& s) {
         EXPECT_EQ(SeedDemo(s), 3);
         EXPECT_EQ(SeedDemo(s), 0);
         EXPECT_EQ(s.FindIdByName("10003"), 10003);
         EXPECT_EQ(s.FindById(10001)->nickname, texts::kNickAlice);
         EXPECT_EQ(s.FindByName("10001")->birthday, "19950314");
         EXPECT_TRUE(VerifyPassword(s.PasswordHash(10001), "alice123"));
     }},
    {"a taken name is refused, a new one gets the next number",
     [](Store& s) {
         EXPECT_FALSE(s.CreateAccount("10001", "h", "x"));
         EXPECT_EQ(s.CreateAccount("dave", "hash", kGbkBytes), 10004);
         EXPECT_EQ(s.FindByName("dave")->nickname, kGbkBytes);
         EXPECT_FALSE(s.FindByName("nobody"));
         EXPECT_FALSE(s.FindById(99999));
         EXPECT_FALSE(s.FindIdByName(string("10001\0", 6)));
     }},
    {"friends both ways, counted and listed in number order",
     [](Store& s) {
         EXPECT_TRUE(s.AreFriends(10002, 10001));
         EXPECT_FALSE(s.AreFriends(10002, 10003));
         s.AddFriendship(10004, 10001);
         s.AddFriendship(10004, 10001);
         EXPECT_EQ(s.FriendIds(10001), (std::vector<std::int64_t>{10002, 10003, 10004}));
         EXPECT_EQ(s.Friends(10001).back().name, "dave");
         EXPECT_EQ(s.FriendCount(10004), 1u);
         EXPECT_TRUE(s.RemoveFriendship(10001, 10004));
         EXPECT_FALSE(s.RemoveFriendship(10001, 10004));
     }},
    {"friend requests: oldest first, a newer one from the same asker replaces the older",
     [](Store& s) {
         s.AskFriend(10004, 10002, "first", true);
         s.AskFriend(10003, 10002, "", false);
         s.AskFriend(10004, 10002, kGbkBytes, true);
         auto requests = s.FriendRequestsTo(10002);
         ASSERT_EQ(requests.size(), 2u);
         EXPECT_EQ(requests[0].fromName, "10003");
         EXPECT_FALSE(requests[0].withText);
         EXPECT_EQ(requests[1].text, kGbkBytes);
         EXPECT_TRUE(requests[1].withText);
         EXPECT_EQ(s.FriendRequestCountTo(10002), 2u);
         EXPECT_TRUE(s.HasFriendRequest(10004, 10002));
         EXPECT_FALSE(s.HasFriendRequest(10002, 10004));
     },
     true},
    {"an answer removes the request; agreeing makes friends and clears the other way",
     [](Store& s) {
         s.AskFriend(10002, 10004, "", false);
         s.AnswerFriendRequest(10004, 10002, true);
         EXPECT_TRUE(s.AreFriends(10002, 10004));
         EXPECT_FALSE(s.HasFriendRequest(10004, 10002));
         EXPECT_FALSE(s.HasFriendRequest(10002, 10004));
         s.AnswerFriendRequest(10003, 10002, false);
         EXPECT_FALSE(s.AreFriends(10002, 10003));
         EXPECT_EQ(s.FriendRequestCountTo(10002), 0u);
     }},
    {"blocking ends the friendship and the requests; asking unblocks",
     [](Store& s) {
         s.AskFriend(10002, 10004, "", false);
         s.BlockUser(10004, 10002);
         EXPECT_TRUE(s.IsBlocked(10004, 10002));
         EXPECT_FALSE(s.IsBlocked(10002, 10004));
         EXPECT_TRUE(s.FindRecipient("dave", 10002).blocksSender);
         EXPECT_EQ(s.FindRecipient("10002", 10004).id, 10002);
         EXPECT_FALSE(s.FindRecipient("10002", 10004).blocksSender);
         EXPECT_FALSE(s.FindRecipient("nobody", 10004).id);
         EXPECT_FALSE(s.AreFriends(10002, 10004));
         EXPECT_FALSE(s.HasFriendRequest(10002, 10004));
         s.AskFriend(10004, 10002, "", false);
         EXPECT_FALSE(s.IsBlocked(10004, 10002));
         EXPECT_FALSE(s.FindRecipient("dave", 10002).blocksSender);
     },
     true},
    {"profile, password, status and position",
     [](Store& s) {
         s.ChangeProfile(10004, "nick", kGbkBytes, "20000101", 3, "");
         Profile p = *s.FindById(10004);
         EXPECT_EQ(p.littleword, kGbkBytes);
         EXPECT_EQ(p.afset, 3);
         EXPECT_EQ(s.PasswordHash(10004), "hash");
         s.ChangeProfile(10004, "nick", "", "20000101", 3, "newhash");
         EXPECT_EQ(s.PasswordHash(10004), "newhash");
         s.SetPasswordHash(10004, "other");
         s.SetStatus(10004, 3, "away");
         s.SetPosition(10004, Position{7, kGbkBytes, 1, -2, 3, 2147483647});
         p.photo = "pic";
         p.vip = 2;
         s.UpdateDetails(p);
     },
     true},
    {"what was changed is there after reopening",
     [](Store& s) {
         Profile p = *s.FindByName("dave");
         EXPECT_EQ(s.PasswordHash(p.id), "other");
         EXPECT_EQ(p.status, 3);
         EXPECT_EQ(p.statusNote, "away");
         EXPECT_EQ(p.pos.id, 7);
         EXPECT_EQ(p.pos.ms, kGbkBytes);
         EXPECT_EQ(p.pos.pos1, -2);
         EXPECT_EQ(p.pos.pos3, 2147483647);
         EXPECT_EQ(p.photo, "pic");
         EXPECT_EQ(p.vip, 2);
         EXPECT_EQ(p.nickname, "nick");
     }},
    {"mail: kept in order per recipient, read on from a number, deleted up to one",
     [](Store& s) {
         std::int64_t first = s.AddMail(10002, 3, "one");
         std::int64_t second = s.AddMail(10002, 24, kGbkBytes);
         s.AddMail(10003, 3, "other");
         std::int64_t third = s.AddMail(10002, 3, "three");
         EXPECT_LT(first, second);
         EXPECT_LT(second, third);
         auto all = s.MailAfter(10002, 0, 10);
         ASSERT_EQ(all.size(), 3u);
         EXPECT_EQ(all[1].code, 24);
         EXPECT_EQ(all[1].payload, kGbkBytes);
         auto rest = s.MailAfter(10002, first, 1);
         ASSERT_EQ(rest.size(), 1u);
         EXPECT_EQ(rest[0].seq, second);
         s.DeleteMailUpTo(10002, second);
         EXPECT_EQ(s.MailCount(10002), 1u);
         EXPECT_EQ(s.MailCount(10003), 1u);
     },
     true},
    {"mail survives reopening",
     [](Store& s) {
         auto left = s.MailAfter(10002, 0, 10);
         ASSERT_EQ(left.size(), 1u);
         EXPECT_EQ(left[0].payload, "three");
     }},
    {"accounts listed in number order, searched by the bytes of a name or nickname; one disabled",
     [](Store& s) {
         auto all = s.ListAccounts("", 10);
         ASSERT_EQ(all.size(), 4u);
         EXPECT_EQ(all[0].id, 10001);
         EXPECT_EQ(all[0].nickname, texts::kNickAlice);
         EXPECT_EQ(all[3].name, "dave");
         EXPECT_EQ(s.ListAccounts("", 2).size(), 2u);
         auto bob = s.ListAccounts(string(texts::kNickBob).substr(2), 10);  // the second character of the nickname
         ASSERT_EQ(bob.size(), 1u);
         EXPECT_EQ(bob[0].id, 10002);
         EXPECT_EQ(s.ListAccounts("av", 10).size(), 1u);
         EXPECT_EQ(s.ListAccounts("1000", 10).size(), 3u);
         EXPECT_TRUE(s.ListAccounts("%", 10).empty()) << "no pattern characters";
         s.SetDisabled(10003, true);
         EXPECT_TRUE(s.FindByName("10003")->disabled);
         EXPECT_FALSE(s.FindById(10002)->disabled);
         EXPECT_TRUE(s.ListAccounts("10003", 1).at(0).disabled);
     },
     true},
    {"a disabled account stays disabled until enabled",
     [](Store& s) {
         EXPECT_TRUE(s.FindById(10003)->disabled);
         s.SetDisabled(10003, false);
         EXPECT_FALSE(s.FindById(10003)->disabled);
     }},
    {"blacklists listed; mailboxes counted with the age of their oldest packet, largest first",
     [](Store& s) {
         s.BlockUser(10004, 10003);
         s.BlockUser(10004, 10001);
         EXPECT_EQ(s.BlockedIds(10004), (std::vector<std::int64_t>{10001, 10003}));
         EXPECT_TRUE(s.BlockedIds(10001).empty());
         s.AddMail(10003, 3, "more");
         s.AddMail(10003, 3, "and more");
         MailboxTotals totals = s.AllMailboxes();
         EXPECT_EQ(totals.messages, 4u);
         EXPECT_EQ(totals.recipients, 2u);
         auto largest = s.LargestMailboxes(10);
         ASSERT_EQ(largest.size(), 2u);
         EXPECT_EQ(largest[0].account, 10003);
         EXPECT_EQ(largest[0].name, "10003");
         EXPECT_EQ(largest[0].count, 3u);
         EXPECT_EQ(largest[1].count, 1u);
         EXPECT_EQ(s.Mailbox(10001).count, 0u);
         EXPECT_EQ(s.Mailbox(10001).oldestSeconds, 0);
         std::this_thread::sleep_for(std::chrono::milliseconds(1100));
         EXPECT_GE(s.Mailbox(10003).oldestSeconds, 1);
         EXPECT_LE(s.Mailbox(10003).oldestSeconds, 60);
         EXPECT_GE(s.AllMailboxes().oldestSeconds, 1);
     }},
    {"settings are kept, and replaced",
     [](Store& s) {
         EXPECT_EQ(s.Setting("admin_password"), "");
         s.SetSetting("admin_password", kGbkBytes);
         s.SetSetting("other", "x");
     },
     true},
    {"settings after reopening; node counters by node, the newest row of each",
     [](Store& s) {
         EXPECT_EQ(s.Setting("admin_password"), kGbkBytes);
         s.SetSetting("admin_password", "second");
         EXPECT_EQ(s.Setting("admin_password"), "second");
         EXPECT_EQ(s.Setting("other"), "x");
         s.PutNodeStats(NodeStats{"n2", 0, 1, 2, 3, 4, 5, 6, 7, 8});
         s.PutNodeStats(NodeStats{"n1", 0, 9, 9, 9, 9, 9, 9, 9, 9});
         s.PutNodeStats(NodeStats{"n1", 0, 10, 11, 12, 13, 14, 15, 16, 1ull << 40});
         auto nodes = s.RecentNodeStats(std::chrono::seconds(60));
         ASSERT_EQ(nodes.size(), 2u);
         EXPECT_EQ(nodes[0].node, "n1");
         EXPECT_EQ(nodes[0].online, 10u);
         EXPECT_EQ(nodes[0].slowReaders, 15u);
         EXPECT_EQ(nodes[0].bytesOut, 1ull << 40);
         EXPECT_EQ(nodes[1].messages, 5u);
         EXPECT_NEAR(static_cast<double>(nodes[1].updated), static_cast<double>(std::time(nullptr)), 5.0);
     }},
    {"deleting an account takes everything about it, both ways",
     [](Store& s) {
         s.BlockUser(10002, 10004);
         s.AddFriendship(10004, 10002);
         s.AskFriend(10004, 10001, "", false);
         s.AddMail(10004, 3, "gone");
         // Asked once before, so whatever the store remembers is asked after too.
         EXPECT_EQ(s.FindIdByName("dave"), 10004);
         EXPECT_TRUE(s.IsBlocked(10002, 10004));
         EXPECT_TRUE(s.DeleteAccount(10004));
         EXPECT_FALSE(s.IsBlocked(10002, 10004));
         EXPECT_FALSE(s.DeleteAccount(10004));
         EXPECT_FALSE(s.FindById(10004));
         EXPECT_FALSE(s.FindIdByName("dave"));
         EXPECT_FALSE(s.FindRecipient("dave", 10002).id);
         EXPECT_EQ(s.FriendIds(10002), (std::vector<std::int64_t>{10001}));
         EXPECT_TRUE(s.FriendRequestsTo(10001).empty());
         EXPECT_TRUE(s.FriendRequestsTo(10002).empty());
         EXPECT_TRUE(s.BlockedIds(10002).empty());
         EXPECT_EQ(s.Mailbox(10004).count, 0u);
         EXPECT_EQ(s.AllMailboxes().messages, 4u);
         EXPECT_EQ(s.ListAccounts("", 10).size(), 3u);
     },
     true},
};

// Each implementation opens the same data again on request.
struct Backend {
    const char* name;
    std::function<std::unique_ptr<Store>()> open;
};

PostgresUnderTest& Postgres() {
    static PostgresUnderTest pg;
    return pg;
}

TEST(Store, SameBehaviourOnBothImplementations) {
    TempDir dir;
    const string conninfo = Postgres().NewDatabase();
    const Backend backends[] = {
        {"sqlite", [&] { return OpenSqliteStore(dir.Path() + "/store.db"); }},
        {"postgresql", [&] { return std::unique_ptr<Store>(OpenPgStore(conninfo, 2)); }},
    };
    for (const Backend& backend : backends) {
        SCOPED_TRACE(backend.name);
        auto store = backend.open();
        for (const Step& step : kSteps) {
            SCOPED_TRACE(step.what);
            step.run(*store);
            if (step.reopenAfter) {
                store.reset();
                store = backend.open();
            }
        }
    }
}

// A database left at version 1 (by an older server) is brought to the
// current version with its data: the version-2 parts are taken away again by
// hand, and the store reopened.
TEST(Store, VersionOneDatabaseIsMigratedWithItsData) {
    static const char* const kBackToVersionOne[] = {
        "DROP TABLE settings", "DROP TABLE node_stats", "DROP INDEX friends_friend", "DROP INDEX blacklist_blocked",
        "ALTER TABLE accounts DROP COLUMN disabled", "ALTER TABLE mailbox DROP COLUMN created",
        "UPDATE schema_version SET version = 1",
    };
    TempDir dir;
    const string file = dir.Path() + "/old.db";
    const string conninfo = Postgres().NewDatabase();
    struct OldBackend {
        const char* name;
        std::function<std::unique_ptr<Store>()> open;
        std::function<bool(const char*)> exec;
    };
    const OldBackend backends[] = {
        {"sqlite", [&] { return OpenSqliteStore(file); },
         [&](const char* sql) {
             sqlite3* db = nullptr;
             bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
                       sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
             sqlite3_close(db);
             return ok;
         }},
        {"postgresql", [&] { return std::unique_ptr<Store>(OpenPgStore(conninfo, 1)); },
         [&](const char* sql) {
             PGconn* c = PQconnectdb(conninfo.c_str());
             PGresult* r = PQexec(c, sql);
             bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
             PQclear(r);
             PQfinish(c);
             return ok;
         }},
    };
    for (const OldBackend& backend : backends) {
        SCOPED_TRACE(backend.name);
        {
            auto store = backend.open();
            SeedDemo(*store);
            store->AddMail(10002, 3, "from before");
        }
        for (const char* sql : kBackToVersionOne) ASSERT_TRUE(backend.exec(sql)) << sql;
        auto store = backend.open();
        EXPECT_FALSE(store->FindById(10001)->disabled);
        EXPECT_EQ(store->MailAfter(10002, 0, 10).at(0).payload, "from before");
        EXPECT_EQ(store->Mailbox(10002).count, 1u);
        EXPECT_LE(store->Mailbox(10002).oldestSeconds, 60);
        store->SetDisabled(10001, true);
        store->SetSetting("k", "v");
        EXPECT_TRUE(store->FindById(10001)->disabled);
        EXPECT_EQ(store->Setting("k"), "v");
    }
}

// Another connection (the operator's tools, a second process) changes the
// file under a store that keeps lookups in memory: each row what it does and
// what the store must answer at once, its lookups having been read before.
TEST(Store, TheEmbeddedStoreSeesWhatOthersWriteToItsFile) {
    TempDir dir;
    const string file = dir.Path() + "/shared.db";
    auto store = OpenSqliteStore(file);
    SeedDemo(*store);
    auto other = OpenSqliteStore(file);
    struct Row {
        const char* what;
        std::function<void(Store&)> elsewhere;
        std::function<void()> check;
    } rows[] = {
        {"a blacklist entry", [](Store& o) { o.BlockUser(10003, 10001); },
         [&] {
             EXPECT_TRUE(store->FindRecipient("10003", 10001).blocksSender);
             EXPECT_TRUE(store->IsBlocked(10003, 10001));
         }},
        {"the entry taken away", [](Store& o) { o.AskFriend(10003, 10001, "", false); },
         [&] { EXPECT_FALSE(store->FindRecipient("10003", 10001).blocksSender); }},
        {"a deleted account", [](Store& o) { o.DeleteAccount(10002); },
         [&] {
             EXPECT_FALSE(store->FindIdByName("10002"));
             EXPECT_FALSE(store->FindRecipient("10002", 10001).id);
         }},
        {"a new account", [](Store& o) { o.CreateAccount("dave", "h", "dave"); },
         [&] { EXPECT_TRUE(store->FindRecipient("dave", 10001).id); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        for (const char* name : {"10001", "10002", "10003"}) store->FindRecipient(name, 10001);
        row.elsewhere(*other);
        row.check();
    }
    // Its own writes are in its lookups as well.
    store->BlockUser(10001, 10003);
    EXPECT_TRUE(store->FindRecipient("10001", 10003).blocksSender);
}

// A tool that holds the shared file's write lock past the busy time makes the
// store unavailable for now (the request waits and is tried again), never a
// failure that would cost the request; reads go on meanwhile.
TEST(Store, AWriteLockHeldElsewhereIsAnOutageNotAFailure) {
    TempDir dir;
    const string file = dir.Path() + "/locked.db";
    auto store = OpenSqliteStore(file);
    SeedDemo(*store);
    sqlite3* tool = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &tool), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(tool, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_THROW(store->AddMail(10002, 6, "kept"), StoreUnavailable);
    EXPECT_EQ(store->FindIdByName("10002"), 10002);
    ASSERT_EQ(sqlite3_exec(tool, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(tool);
    store->AddMail(10002, 6, "kept");
    EXPECT_EQ(store->MailCount(10002), 1u);
}

// Runs SQL as another writer would (an operator's psql, another node).
void ExecElsewhere(const string& conninfo, const char* sql) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    PGresult* r = PQexec(c, sql);
    const ExecStatusType status = PQresultStatus(r);
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << sql << ": " << PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
}

// What the PostgreSQL store keeps in memory follows what other writers change,
// also while its link for their news was down. Each row reads the lookup
// first (so it is kept), changes it from outside, and waits for the new value.
TEST(Store, PostgresLookupsFollowOtherWriters) {
    struct Row {
        const char* what;
        const char* sql;
        std::function<bool(Store&)> changed;
        // Not asked for this long after the change.
        std::chrono::milliseconds quiet{0};
    };
    const Row rows[] = {
        {"blacklisted elsewhere", "INSERT INTO blacklist (owner, blocked) VALUES (10002, 10001)",
         [](Store& s) { return s.FindRecipient("10002", 10001).blocksSender; }},
        {"taken off the blacklist elsewhere", "DELETE FROM blacklist WHERE owner = 10002 AND blocked = 10001",
         [](Store& s) { return !s.FindRecipient("10002", 10001).blocksSender; }},
        {"renamed elsewhere", "UPDATE accounts SET name = 'bobby'::bytea WHERE id = 10002",
         [](Store& s) { return !s.FindIdByName("10002") && s.FindRecipient("bobby", 10001).id == 10002; }},
        {"deleted elsewhere", "DELETE FROM accounts WHERE id = 10003",
         [](Store& s) { return !s.FindRecipient("10003", 10001).id; }},
        // The change is made while the store hears nothing, and it is not
        // asked until it hears again: it must forget everything then.
        {"blacklisted while the link for news was down",
         "SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE query LIKE 'LISTEN%';"
         " INSERT INTO blacklist (owner, blocked) VALUES (10001, 10002)",
         [](Store& s) { return s.IsBlocked(10001, 10002); }, std::chrono::milliseconds(2000)},
    };
    const string conninfo = Postgres().NewDatabase();
    auto store = OpenPgStore(conninfo, 2);
    SeedDemo(*store);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // Asked twice, so that the second answer comes from memory.
        ASSERT_FALSE(row.changed(*store));
        ASSERT_FALSE(row.changed(*store));
        ExecElsewhere(conninfo, row.sql);
        std::this_thread::sleep_for(row.quiet);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!row.changed(*store) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(row.changed(*store));
    }
}

TEST(Store, PostgresUnreachableIsReportedAndServiceResumes) {
    const string conninfo = Postgres().NewDatabase();
    auto store = OpenPgStore(conninfo, 2);
    SeedDemo(*store);
    Postgres().Stop();
    EXPECT_THROW(store->FindByName("10001"), StoreUnavailable);
    EXPECT_THROW(store->AddMail(10001, 3, "x"), StoreUnavailable);
    Postgres().Start();
    EXPECT_EQ(store->FindIdByName("10001"), 10001);
    std::int64_t seq = store->AddMail(10001, 3, "kept");
    auto mail = store->MailAfter(10001, 0, 10);
    ASSERT_EQ(mail.size(), 1u) << "the call that failed left nothing behind";
    EXPECT_EQ(mail[0].seq, seq);
}

// SQLite's read lock on the WAL index tells every other program that opens
// the database that it is not alone; a program that believes it is resets
// the index under the server (which then dies of SIGBUS). Another process
// must still see the lock once the store is open and has checked for changes.
TEST(Store, SqliteKeepsItsLockOnTheWalIndexForOtherPrograms) {
    TempDir dir;
    const string file = dir.Path() + "/store.db";
    auto store = OpenSqliteStore(file);
    SeedDemo(*store);
    ASSERT_EQ(store->FindIdByName("10001"), 10001);
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open((file + "-shm").c_str(), O_RDWR);
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        _exit(fd >= 0 && fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "no lock of the store's process on the index";
}

// A host that takes the connection and then says nothing (a hung server, a
// half-open proxy) must not hold the store's threads for ever.
TEST(Store, PostgresThatTakesTheConnectionButNeverAnswersIsReportedUnavailable) {
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(silent, 16), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const string conninfo = "postgresql://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/vexa";
    EXPECT_THROW(OpenPgStore(conninfo, 1), StoreUnavailable);
    close(silent);
}

}  // namespace
}  // namespace vexa::server::testing
