// A cluster under faults, on a real PostgreSQL and a real NATS: a login on
// another node while chats are on their way, NATS gone for seconds,
// PostgreSQL gone, and a node killed. Whatever a surviving node read from its
// sender arrives, in order; duplicates are counted.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

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

// The node bob is on is killed while chats for him are on their way: he
// logs in on another node, and every chat alice's node had read arrives.
TEST(Cluster, NodeKilledItsUsersLogInElsewhereAndNothingReadIsLost) {
    TempDir dir;
    const string store = SharedPostgres().NewDatabase();
    NodeProcess n1("n1", store, SharedNats().Url(), dir.Path() + "/n1.log");
    NodeProcess n2("n2", store, SharedNats().Url(), dir.Path() + "/n2.log");
    NodeProcess n3("n3", store, SharedNats().Url(), dir.Path() + "/n3.log");
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

}  // namespace
}  // namespace vexa::server::testing
