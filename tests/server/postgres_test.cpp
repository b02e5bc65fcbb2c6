// The server on a real PostgreSQL: what a chat and a keep-alive ask of the
// database (nothing, once the lookups are kept), and an outage of the
// database survived by one server and by a cluster: the requests that
// waited go on in order when it is back, nothing read is lost, and
// keep-alives are answered all along.
#include <gtest/gtest.h>

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "protocol/requests.h"
#include "server/auth/accounts.h"
#include "server/base/log.h"
#include "server_test_support.h"

namespace vexa::server::testing {
namespace {

using std::string;
using namespace std::chrono_literals;

// Sends a keep-alive and waits for its answer; chats that come first are
// added to chats.
bool KeepAliveAnswered(Client& client, std::chrono::milliseconds within, std::vector<int>* chats = nullptr) {
    client.SendRaw(protocol::BuildKeepAliveRequest());
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
        auto p = client.Read(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
        if (!p) return false;
        if (p->code == 8) return true;
        if (p->code == 3 && chats) chats->push_back(ChatId(*p));
    }
    return false;
}

// Reads chats until the one numbered last, or nothing comes for quiet.
void ReadUntil(Client& reader, std::vector<int>& ids, int last, std::chrono::milliseconds quiet) {
    while (std::find(ids.begin(), ids.end(), last) == ids.end()) {
        auto p = reader.Read(quiet);
        if (!p) return;
        if (p->code == 3) ids.push_back(ChatId(*p));
    }
}

// While another transaction holds every table the server has, chats between
// users who are online and keep-alives still go through: nothing on their
// way waits for the database.
TEST(ServerOnPostgres, ChatsBetweenOnlineUsersAndKeepAlivesAskNothingOfTheDatabase) {
    ServerUnderTest server(ServerUnderTest::FastOptions(), true, 1, true);
    Client alice(server.Port());
    Client bob(server.Port());
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    bob.Sync();
    std::vector<int> ids;
    // The first chats fill what the server keeps of their recipient (the
    // very first may find it just emptied, as the server began to listen).
    const int warming = 3;
    for (int i = 0; i < warming; ++i) {
        alice.SendFramed(Chat("10001", "10002", "first", i));
        ReadUntil(bob, ids, i, 3000ms);
    }
    ASSERT_EQ(ids.size(), static_cast<std::size_t>(warming));

    PGconn* other = PQconnectdb(server.Conninfo().c_str());
    PGresult* r = PQexec(other,
                         "BEGIN; LOCK TABLE accounts, friends, friend_requests, blacklist, mailbox, settings, "
                         "node_stats, nodes, presence IN ACCESS EXCLUSIVE MODE");
    ASSERT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(other);
    PQclear(r);
    const int sent = 50;
    for (int i = warming; i < sent; ++i) alice.SendFramed(Chat("10001", "10002", "while locked", i));
    EXPECT_TRUE(KeepAliveAnswered(alice, 2000ms));
    EXPECT_TRUE(KeepAliveAnswered(bob, 2000ms, &ids));
    ReadUntil(bob, ids, sent - 1, 2000ms);
    // Let go before checking, so that a failure does not leave the server waiting.
    PQclear(PQexec(other, "ROLLBACK"));
    PQfinish(other);
    Arrivals a = CheckArrivals(ids, sent);
    EXPECT_TRUE(a.complete && a.inOrder) << a.problem;
    EXPECT_EQ(a.duplicates, 0);
}

// PostgreSQL stops for about 5 s. alice keeps writing to bob, who is online,
// and to carol, who is not; everyone's keep-alives are answered meanwhile.
// When it is back, what waited goes on in order, then what alice writes
// after; carol gets all of hers at her login. dave writes to alice during
// the outage and leaves at once: what the server read of him arrives too.
// Once on one server, once on two nodes (alice and bob on different ones).
TEST(ServerOnPostgres, OutageChatsWaitAndGoOnInOrderKeepAlivesAnswered) {
    for (int nodes : {1, 2}) {
        SCOPED_TRACE(std::to_string(nodes) + " node(s)");
        ServerOptions options = ServerUnderTest::FastOptions();
        options.limits.idleTimeout = 60s;
        ServerUnderTest server(options, true, nodes, true);
        ASSERT_EQ(CreateAccount(server.StoreForSetup(), "dave", "dave123", "dave"), AccountResult::Created);
        Client alice(server.Port(0));
        Client bob(server.Port(nodes - 1));
        Client dave(server.Port(nodes - 1));
        ASSERT_EQ(alice.Login("10001", "alice123"), "0");
        ASSERT_EQ(bob.Login("10002", "bob123"), "0");
        ASSERT_EQ(dave.Login("dave", "dave123"), "0");
        bob.Sync();
        alice.Sync();
        std::vector<int> toBob;
        alice.SendFramed(Chat("10001", "10002", "before", 0));
        ReadUntil(bob, toBob, 0, 3000ms);

        SharedPostgres().Stop();
        const auto stopped = std::chrono::steady_clock::now();
        int keepAlivesAnswered = 0, keepAlivesAsked = 0;
        std::vector<int> toAlice;
        auto keepAlives = [&] {
            for (auto [client, chats] : {std::pair{&alice, &toAlice}, std::pair{&bob, &toBob}}) {
                ++keepAlivesAsked;
                keepAlivesAnswered += KeepAliveAnswered(*client, 1500ms, chats);
            }
        };
        keepAlives();
        const int during = 10, after = 5, fromDave = 3;
        for (int i = 0; i < fromDave; ++i) dave.SendFramed(Chat("dave", "10001", "leaving", i));
        dave.Close();
        for (int i = 1; i <= during; ++i) {
            alice.SendFramed(Chat("10001", "10002", "during", i));
            alice.SendFramed(Chat("10001", "10003", "during", i));
        }
        keepAlives();
        while (std::chrono::steady_clock::now() - stopped < 5s) {
            std::this_thread::sleep_for(1s);
            keepAlives();
        }
        SharedPostgres().Start();
        for (int i = during + 1; i <= during + after; ++i) {
            alice.SendFramed(Chat("10001", "10002", "after", i));
            alice.SendFramed(Chat("10001", "10003", "after", i));
        }
        ReadUntil(bob, toBob, during + after, 10000ms);
        ReadUntil(alice, toAlice, fromDave - 1, 10000ms);
        Client carol(server.Port(0));
        ASSERT_EQ(carol.Login("10003", "carol123"), "0");
        std::vector<int> toCarol;
        ReadUntil(carol, toCarol, during + after, 10000ms);

        EXPECT_EQ(keepAlivesAnswered, keepAlivesAsked);
        Arrivals bobs = CheckArrivals(toBob, during + after + 1);
        Arrivals carols = CheckArrivals(toCarol, during + after + 1, 1);
        Arrivals alices = CheckArrivals(toAlice, fromDave);
        for (const Arrivals* a : {&bobs, &carols, &alices}) {
            EXPECT_TRUE(a->complete && a->inOrder) << a->problem;
            EXPECT_EQ(a->duplicates, 0);
        }
        std::printf("[ outage  ] %d node(s): to bob %zu of %d, to carol %zu of %d, from dave (gone) %zu of %d, "
                    "keep-alives %d of %d answered\n",
                    nodes, toBob.size(), during + after + 1, toCarol.size(), during + after, toAlice.size(), fromDave,
                    keepAlivesAnswered, keepAlivesAsked);
    }
}

// bob does not read and is closed by the server while the database is out
// for longer than a hand-back waits for it: what his TCP had not taken waits
// in the server's memory, goes into his mailbox when the database is back,
// and comes before what alice wrote to him meanwhile.
TEST(ServerOnPostgres, HandBackDuringALongOutageIsKeptInOrder) {
    ServerOptions options = ServerUnderTest::FastOptions();
    options.limits.idleTimeout = 2s;
    options.limits.linger = 500ms;
    ServerUnderTest server(options, true, 1, true);
    Client alice(server.Port());
    Client bob(server.Port(), 4096);
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    bob.Sync();
    alice.Sync();
    std::atomic<bool> bobClosed{false}, parked{false};
    SetLogObserver([&](LogLevel, std::string_view line) {
        if (line.find("(10002) closed: silent for too long") != std::string_view::npos) bobClosed = true;
        if (line.find("wait in memory until the database is back") != std::string_view::npos) parked = true;
    });
    const string text(900, 'h');
    const int before = 300, during = 5;
    for (int i = 0; i < before; ++i) alice.SendFramed(Chat("10001", "10002", text, i));
    alice.Sync();
    SharedPostgres().Stop();
    // bob is closed as idle while he reads nothing (alice is kept alive);
    // then what reached his socket is read to its end.
    for (int i = 0; i < 40 && !bobClosed; ++i) {
        alice.SendRaw(protocol::BuildKeepAliveRequest());
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_TRUE(bobClosed) << "bob was not closed as idle";
    std::vector<int> ids;
    while (auto p = bob.Read(1000ms))
        if (p->code == 3) ids.push_back(ChatId(*p));
    const std::size_t onOld = ids.size();
    for (int i = before; i < before + during; ++i) alice.SendFramed(Chat("10001", "10002", text, i));
    for (int i = 0; i < 50 && !parked; ++i) {
        if (i % 5 == 0) alice.SendRaw(protocol::BuildKeepAliveRequest());
        std::this_thread::sleep_for(100ms);
    }
    SharedPostgres().Start();
    SetLogObserver(nullptr);
    EXPECT_TRUE(parked) << "the hand-back did not have to wait in memory";
    Client again(server.Port());
    ASSERT_EQ(again.Login("10002", "bob123"), "0");
    ReadUntil(again, ids, before + during - 1, 10000ms);
    Arrivals a = CheckArrivals(ids, before + during);
    EXPECT_TRUE(a.complete && a.inOrder) << a.problem;
    EXPECT_EQ(a.duplicates, 0);
    std::printf("[ outage  ] hand-back kept in memory: %zu on the old connection, %zu after, %d duplicates\n", onOld,
                ids.size() - onOld, a.duplicates);
}

}  // namespace
}  // namespace vexa::server::testing
