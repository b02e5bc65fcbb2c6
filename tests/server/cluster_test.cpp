// A cluster under faults, on a real PostgreSQL and a real NATS: a login on
// another node while chats are on their way, the same account on two nodes
// at the same instant, a logout seen across nodes, NATS gone for seconds,
// PostgreSQL gone, and a node killed while chats stream both ways. Whatever
// a surviving node read from its sender arrives, in order; duplicates are
// counted (why each could not be removed: server/README.md).
#include <gtest/gtest.h>

#include <libpq-fe.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "protocol/requests.h"
#include "server/base/log.h"
#include "server/base/texts.h"
#include "server_test_support.h"

namespace vexa::server::testing {
namespace {

using std::string;
using Clock = std::chrono::steady_clock;

const string kText(900, 'y');

void SendChats(Client& writer, int from, int count, const string& to = "10002") {
    for (int i = from; i < from + count; ++i) writer.SendFramed(Chat("10001", to, kText, i));
    writer.Sync();
}

// Reads until the last chat arrived or nothing more comes.
void ReadUntil(Client& reader, std::vector<int>& ids, int last, std::chrono::milliseconds quiet) {
    if (std::find(ids.begin(), ids.end(), last) != ids.end()) return;
    while (auto p = reader.Read(quiet)) {
        if (p->code == 3) ids.push_back(ChatId(*p));
        if (!ids.empty() && ids.back() == last) break;
    }
}

void ExpectEveryChat(const std::vector<int>& ids, int sent, const char* what, std::size_t onOld) {
    Arrivals a = CheckArrivals(ids, sent);
    EXPECT_TRUE(a.complete) << a.problem;
    EXPECT_TRUE(a.inOrder) << a.problem;
    std::printf("[ cluster ] %-34s %5d chats: %5zu before, %5zu after, %d duplicates\n", what, sent, onOld,
                ids.size() - onOld, a.duplicates);
}

ServerOptions ClusterOptions() {
    ServerOptions o = ServerUnderTest::FastOptions();
    o.limits.maxBacklogBytes = 16 << 20;
    o.limits.idleTimeout = std::chrono::milliseconds(60000);
    o.maxMailPerUser = 100000;
    return o;
}

// alice on one node writes to bob on another, who does not read; bob logs in
// on a third node: the old node lets go (39) and everything arrives.
TEST(Cluster, LoginOnAnotherNodeTakesOverWithNothingLost) {
    ServerUnderTest cluster(ClusterOptions(), true, 3);
    Client alice(cluster.Port(0));
    Client bob(cluster.Port(1), 64 * 1024);
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    bob.Sync();
    const int sent = 2000;
    SendChats(alice, 0, sent);

    Client again(cluster.Port(2));
    ASSERT_EQ(again.Login("10002", "bob123"), "0");
    // The old client says something and reads on only after the old node
    // stopped waiting for it: what it had not taken is handed to the new node.
    std::vector<int> ids;
    bob.SendRaw(protocol::BuildKeepAliveRequest());
    std::this_thread::sleep_for(ClusterOptions().limits.linger + std::chrono::milliseconds(500));
    while (auto p = bob.Read()) {
        if (p->code == 3) ids.push_back(ChatId(*p));
    }
    std::size_t onOld = ids.size();
    // Cut off before the end (so 39 may not have reached it): the rest comes from the mailbox.
    EXPECT_LT(onOld, static_cast<std::size_t>(sent));
    ReadUntil(again, ids, sent - 1, std::chrono::milliseconds(5000));
    for (const Packet& p : again.Sync())
        if (p.code == 3) ids.push_back(ChatId(p));
    ExpectEveryChat(ids, sent, "login on another node", onOld);
    // Still online for alice, who heard of no logout, and reachable on the new node.
    alice.SendFramed(Chat("10001", "10002", "after", sent));
    auto next = again.Read(std::chrono::milliseconds(5000));
    ASSERT_TRUE(next);
    EXPECT_EQ(ChatId(*next), sent);
    for (const Packet& p : alice.Sync()) EXPECT_NE(p.raw, ServerFrame(32, "10002!|!0"));
}

// bob's client stops reading for longer than alice's node waits to hear of a
// chat: his node tells it that the chats wait on his connection, so none
// goes to the mailbox as well, and he gets each once, in order.
TEST(Cluster, ReaderBehindLongerThanTheOriginWaitsGetsEachChatOnce) {
    ServerUnderTest cluster(ClusterOptions(), true, 2);
    Client alice(cluster.Port(0));
    Client bob(cluster.Port(1), 64 * 1024);
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    bob.Sync();
    const int sent = 2000;  // far more than bob's socket buffers hold
    SendChats(alice, 0, sent);
    std::this_thread::sleep_for(ClusterOptions().cluster.forwardWait + std::chrono::seconds(2));
    std::vector<int> ids;
    ReadUntil(bob, ids, sent - 1, std::chrono::milliseconds(5000));
    // A copy from the mailbox would come behind the last one.
    for (const Packet& p : bob.Sync())
        if (p.code == 3) ids.push_back(ChatId(p));
    ExpectEveryChat(ids, sent, "reader behind for 4 s", 0);
    EXPECT_EQ(CheckArrivals(ids, sent).duplicates, 0);
}

// NATS goes away for seconds while alice writes to bob on another node: the
// chats wait, the nodes connect again by themselves, and everything arrives.
TEST(Cluster, NatsStoppedAndStartedChatsWaitAndArrive) {
    ServerUnderTest cluster(ClusterOptions(), true, 2);
    Client alice(cluster.Port(0));
    Client bob(cluster.Port(1));
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    bob.Sync();
    std::vector<int> ids;
    SendChats(alice, 0, 100);
    ReadUntil(bob, ids, 99, std::chrono::milliseconds(3000));
    std::size_t before = ids.size();

    SharedNats().Stop();
    SendChats(alice, 100, 400);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    SharedNats().Start();
    ReadUntil(bob, ids, 499, std::chrono::milliseconds(10000));
    ExpectEveryChat(ids, 500, "NATS stopped for 3 s", before);
}

// The same account logs in on two nodes at the same instant, round after
// round: both nodes settle it the same way, so exactly one connection stays
// and the other is told 39 and closed.
TEST(Cluster, SameAccountAtTheSameInstantOnTwoNodesLeavesExactlyOne) {
    ServerUnderTest cluster(ClusterOptions(), true, 2);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        Client first(cluster.Port(0)), second(cluster.Port(1));
        string answerFirst, answerSecond;
        std::thread other([&] { answerSecond = second.Login("10003", "carol123"); });
        answerFirst = first.Login("10003", "carol123");
        other.join();
        ASSERT_EQ(answerFirst, "0");
        ASSERT_EQ(answerSecond, "0");
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        int survivors = 0, replaced = 0;
        for (Client* c : {&first, &second}) {
            bool told = false;
            while (auto p = c->Read(std::chrono::milliseconds(200))) told |= p->code == protocol::kLoggedInElsewhere;
            if (told && c->WaitClosed(std::chrono::milliseconds(3000))) {
                ++replaced;
                continue;
            }
            // The one that stays is served.
            c->SendRaw(protocol::BuildKeepAliveRequest());
            auto alive = c->Read();
            if (alive && alive->code == 8) ++survivors;
        }
        EXPECT_EQ(survivors, 1);
        EXPECT_EQ(replaced, 1);
        for (Client* c : {&first, &second}) c->Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

// bob on one node logs out with 99 and keeps his socket open: alice on
// another node sees him offline at once, in the online list (45) and in
// the friend list (22).
TEST(Cluster, LogoutOnOneNodeIsSeenOnTheOthersAtOnce) {
    ServerUnderTest cluster(ClusterOptions(), true, 2);
    Client alice(cluster.Port(0));
    Client bob(cluster.Port(1));
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    auto bobShown = [&] {
        alice.Sync();
        alice.SendFramed(protocol::BuildSendAskRequest("10001"));
        auto online = alice.Read();
        alice.SendFramed(protocol::BuildInitDataRequest(0));
        auto friends = alice.Read();
        if (!online || online->code != 45 || !friends || friends->code != 22) return string("no answer");
        const auto bobAt = friends->payload.find("<name>10002</name>");
        const auto status = friends->payload.find("<status>", bobAt);
        if (bobAt == string::npos || status == string::npos) return string("bob not listed");
        return "45 " + online->payload + ", 22 status " + friends->payload.substr(status + 8, 1);
    };
    EXPECT_EQ(bobShown(), "45 10002:1, 22 status 1");
    bob.SendFramed(protocol::BuildExitRequest("10002"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(bobShown(), "45 , 22 status 0");
}

// PostgreSQL goes away: a login is refused with a reason and a log line, a
// chat waits, nothing crashes; when it is back both go on.
TEST(Cluster, PostgresUnreachableRefusesLoginsAndServiceResumes) {
    ServerUnderTest cluster(ClusterOptions(), true, 2);
    Client alice(cluster.Port(0));
    Client bob(cluster.Port(1));
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    bob.Sync();

    std::mutex mutex;
    std::vector<string> warnings;
    SetLogObserver([&](LogLevel level, std::string_view line) {
        std::lock_guard<std::mutex> lock(mutex);
        if (level <= LogLevel::Warn) warnings.emplace_back(line);
    });
    SharedPostgres().Stop();
    Client carol(cluster.Port(0));
    EXPECT_EQ(carol.Login("10003", "carol123"), "6" + string(texts::kUnavailable));
    alice.SendFramed(Chat("10001", "10002", "waits for the database", 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    SharedPostgres().Start();
    SetLogObserver(nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex);
        bool loginLine = false;
        for (const string& w : warnings) loginLine |= w.find("login refused") != string::npos;
        EXPECT_TRUE(loginLine) << "no log line for the refused login";
    }
    auto chat = bob.Read(std::chrono::milliseconds(10000));
    ASSERT_TRUE(chat);
    EXPECT_EQ(ChatId(*chat), 1);
    Client later(cluster.Port(0));
    EXPECT_EQ(later.Login("10003", "carol123"), "0");
}

// bob reads his mailbox (slowly) on one node when the database goes; a chat
// from another node reaches him then. His node cannot keep it behind the
// mailbox and refuses it, the origin hands it to the mailbox when the
// database is back, and bob gets everything, carol's and alice's in order.
TEST(Cluster, ChatToAUserReadingHisMailboxDuringAnOutageIsKept) {
    ServerOptions options = ClusterOptions();
    options.limits.maxBacklogBytes = 256 * 1024;  // the pump soon waits for bob
    ServerUnderTest cluster(options, true, 2);
    Client alice(cluster.Port(0));
    Client carol(cluster.Port(1));
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(carol.Login("10003", "carol123"), "0");
    // More than bob's backlog and both kernels' buffers hold: his mailbox is still being read.
    const int fromCarol = 6000, fromAlice = 10000;
    for (int i = 0; i < fromCarol; ++i) carol.SendFramed(Chat("10003", "10002", kText, i));
    // All of them are in the mailbox before bob comes; on a busy machine that
    // takes longer than a Sync waits. Any still on their way would wait out
    // the outage and then come to bob at once, live, more than his backlog holds.
    carol.SendRaw(protocol::BuildKeepAliveRequest());
    auto taken = carol.Read(std::chrono::milliseconds(60000));
    ASSERT_TRUE(taken && taken->code == 8) << "carol's chats were not all taken";
    Client bob(cluster.Port(1), 4096);
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    alice.SendFramed(Chat("10001", "10002", "before", fromAlice));
    alice.Sync();
    // The database takes no new connection and the nodes' pools lose theirs;
    // the links that tell of changes stay, so the lookups are still trusted
    // and alice's node forwards her chat at once.
    const char* keys[] = {"dbname", "dbname", nullptr};
    const char* values[] = {cluster.Conninfo().c_str(), "postgres", nullptr};
    PGconn* admin = PQconnectdbParams(keys, values, 1);  // the cluster's server, another database
    auto exec = [&](const string& sql) {
        PGresult* r = PQexec(admin, sql.c_str());
        EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
            << sql << ": " << PQerrorMessage(admin);
        PQclear(r);
    };
    PGconn* nodes = PQconnectdb(cluster.Conninfo().c_str());
    const string database = PQdb(nodes);
    PQfinish(nodes);
    exec("ALTER DATABASE \"" + database + "\" ALLOW_CONNECTIONS false");
    exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + database +
         "' AND query NOT LIKE 'LISTEN%'");
    alice.SendFramed(Chat("10001", "10002", "during", fromAlice + 1));
    alice.Sync();
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    exec("ALTER DATABASE \"" + database + "\" ALLOW_CONNECTIONS true");
    PQfinish(admin);
    // Each sender's order is what is promised.
    std::vector<int> ids;
    ReadUntil(bob, ids, fromCarol - 1, std::chrono::milliseconds(5000));
    ReadUntil(bob, ids, fromAlice + 1, std::chrono::milliseconds(5000));
    std::vector<int> carols, alices;
    for (int id : ids) (id < fromAlice ? carols : alices).push_back(id);
    for (const Arrivals& a : {CheckArrivals(carols, fromCarol), CheckArrivals(alices, fromAlice + 2, fromAlice)}) {
        EXPECT_TRUE(a.complete && a.inOrder) << a.problem;
        EXPECT_EQ(a.duplicates, 0);
    }
    Client later(cluster.Port(1));
    EXPECT_EQ(later.Login("10003", "carol123"), "0") << "bob's node still serves";
}

// A node process, as an operator runs it.
struct NodeProcess {
    ChildProcess process;
    string log;
    std::uint16_t port = 0;

    NodeProcess(const string& name, const string& store, const string& nats, const string& logPath) : log(logPath) {
        process.Start({VEXAIM_SERVER_PATH, "--port", "0", "--store", store, "--cluster", nats, "--node-name", name,
                       "--max-backlog", "16777216", "--max-mail", "100000", "--linger", "2", "--seed-demo"},
                      logPath, SIGKILL);
        std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
        for (int i = 0; i < 200 && port == 0; ++i) {
            std::ifstream in(log);
            std::stringstream text;
            text << in.rdbuf();
            string all = text.str();
            std::smatch match;
            if (std::regex_search(all, match, listening)) port = static_cast<std::uint16_t>(std::stoi(match[1]));
            else std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
};

// Three node processes on a fresh database.
struct ThreeNodes {
    TempDir dir;
    const string store = SharedPostgres().NewDatabase();
    NodeProcess n1{"n1", store, SharedNats().Url(), dir.Path() + "/n1.log"};
    NodeProcess n2{"n2", store, SharedNats().Url(), dir.Path() + "/n2.log"};
    NodeProcess n3{"n3", store, SharedNats().Url(), dir.Path() + "/n3.log"};
};

// The node bob is on is killed while chats for him are on their way: he
// logs in on another node, and every chat alice's node had read arrives.
// The duplicates are what bob's TCP acknowledged without the killed node
// telling alice's node so: before its death, and after it from its kernel's
// send buffer, which a dead process's kernel still delivers.
TEST(Cluster, NodeKilledItsUsersLogInElsewhereAndNothingReadIsLost) {
    ThreeNodes nodes;
    NodeProcess &n1 = nodes.n1, &n2 = nodes.n2, &n3 = nodes.n3;
    ASSERT_TRUE(n1.port && n2.port && n3.port);
    Client alice(n1.port);
    Client bob(n2.port, 64 * 1024);
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    bob.Sync();
    const int sent = 3000;
    SendChats(alice, 0, sent);  // all read by n1, which survives

    n2.process.Stop(SIGKILL);
    std::vector<int> ids;
    ReadChats(bob, ids, std::chrono::milliseconds(1000));  // what bob's kernel already had
    std::size_t onOld = ids.size();
    Client again(n3.port);
    ASSERT_EQ(again.Login("10002", "bob123"), "0");
    ReadUntil(again, ids, sent - 1, std::chrono::milliseconds(5000));
    for (const Packet& p : again.Sync())
        if (p.code == 3) ids.push_back(ChatId(p));
    ExpectEveryChat(ids, sent, "reader's node killed", onOld);
}

// Chats stream both ways between alice and bob on two nodes; bob's node is
// killed while alice's still stream in; bob logs in on a third and both go
// on. Every chat alice's node read reaches bob, in order; bob's chats that
// his node had read and not yet handed on are the known limit, counted.
// bob stops sending a moment before the kill: had his node unread bytes of
// his, its kernel would reset the connection, and bob's kernel would throw
// away what it had acknowledged and bob not yet read (a limit of TCP, in
// server/README.md).
TEST(Cluster, NodeKilledWhileChatsStreamBothWays) {
    ThreeNodes nodes;
    NodeProcess &n1 = nodes.n1, &n2 = nodes.n2, &n3 = nodes.n3;
    ASSERT_TRUE(n1.port && n2.port && n3.port);
    Client alice(n1.port);
    auto bob = std::make_unique<Client>(n2.port);
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob->Login("10002", "bob123"), "0");
    alice.Sync();
    bob->Sync();
    std::vector<int> toBob, toAlice;
    auto drain = [](Client& c, std::vector<int>& ids) {
        while (auto p = c.Read(std::chrono::milliseconds(2)))
            if (p->code == 3) ids.push_back(ChatId(*p));
    };
    const int half = 1000, sent = 2 * half;
    for (int i = 0; i < half; ++i) {
        alice.SendFramed(Chat("10001", "10002", "to bob", i));
        bob->SendFramed(Chat("10002", "10001", "to alice", i));
        if (i % 25 == 0) {
            drain(alice, toAlice);
            drain(*bob, toBob);
        }
    }
    for (int i = half; i < half + 50; ++i) {
        alice.SendFramed(Chat("10001", "10002", "to bob", i));
        drain(*bob, toBob);
    }
    n2.process.Stop(SIGKILL);
    ReadChats(*bob, toBob, std::chrono::milliseconds(500));  // what bob's kernel already had
    const std::size_t onOld = toBob.size();
    bob = std::make_unique<Client>(n3.port);
    ASSERT_EQ(bob->Login("10002", "bob123"), "0");
    for (int i = half; i < sent; ++i) {
        if (i >= half + 50) alice.SendFramed(Chat("10001", "10002", "to bob", i));
        bob->SendFramed(Chat("10002", "10001", "to alice", i));
        if (i % 25 == 0) {
            drain(alice, toAlice);
            drain(*bob, toBob);
        }
    }
    ReadUntil(*bob, toBob, sent - 1, std::chrono::milliseconds(8000));
    ReadUntil(alice, toAlice, sent - 1, std::chrono::milliseconds(8000));
    drain(alice, toAlice);
    drain(*bob, toBob);

    ExpectEveryChat(toBob, sent, "both ways, node killed: to bob", onOld);
    // From bob: in order, everything sent after the kill, and how many of
    // those his killed node had read were lost with it.
    std::vector<int> before, after;
    for (int id : toAlice) (id < half ? before : after).push_back(id);
    Arrivals late = CheckArrivals(after, sent, half);
    EXPECT_TRUE(late.complete && late.inOrder) << late.problem;
    Arrivals early = CheckArrivals(before, half);
    EXPECT_TRUE(early.inOrder) << early.problem;
    std::set<int> distinct(before.begin(), before.end());
    std::printf("[ cluster ] %-34s %5d chats: %5zu of the first %d arrived (%zu lost with the node), %d duplicates\n",
                "both ways, node killed: to alice", sent, distinct.size(), half, half - distinct.size(),
                early.duplicates + late.duplicates);
}

}  // namespace
}  // namespace vexa::server::testing
