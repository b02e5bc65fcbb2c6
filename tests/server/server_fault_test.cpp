// Faults and load against a real server: hostile bytes, byte-at-a-time
// senders, clients that vanish mid-packet, silent and slow clients, and many
// clients chatting at once. Nothing may be lost and nobody else disturbed.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "protocol/frame.h"
#include "protocol/requests.h"
#include "server/auth/accounts.h"
#include "server/auth/password.h"
#include "server/base/texts.h"
#include "server_test_support.h"

namespace vexa::server::testing {
namespace {

using std::string;

// alice and bob chat; proves the server still serves both, untouched.
void ExpectHealthy(Client& alice, Client& bob, const string& text) {
    alice.SendFramed(Chat("10001", "10002", text));
    auto got = bob.Read();
    ASSERT_TRUE(got) << text;
    EXPECT_EQ(got->code, 3);
    EXPECT_NE(got->payload.find("<cnt>" + text + "</cnt>"), string::npos);
    EXPECT_TRUE(alice.Sync().empty());
    EXPECT_TRUE(bob.Sync().empty());
}

class ServerFaultTest : public ::testing::Test {
protected:
    ServerUnderTest server;
    Client alice{server.Port()};
    Client bob{server.Port()};
    void SetUp() override {
        ASSERT_EQ(alice.Login("10001", "alice123"), "0");
        ASSERT_EQ(bob.Login("10002", "bob123"), "0");
        alice.Sync();
        bob.Sync();
    }
};

TEST_F(ServerFaultTest, MalformedFramesFromStrangers) {
    const string hostile[] = {
        "abcdabcdabcd",
        "0000000000000000",
        "-001-002",
        "9999" + string(500, 'z'),  // announces more than it sends, then the next case goes on
        string("\0\0\0\0\xff\xfe\x81", 7),
        "0003abc",
        "00080001\xb0\xa1!|!x",
        "0504" "0001" + string(500, 'u') + "!|!pw",
        "00100001!|!!|!!|!",
    };
    for (const string& bytes : hostile) {
        Client stranger(server.Port());
        stranger.SendRaw(bytes);
        ExpectHealthy(alice, bob, "after stranger");
    }
    // Random noise from several strangers at once.
    std::mt19937 random(42);
    std::vector<std::unique_ptr<Client>> strangers;
    for (int i = 0; i < 8; ++i) {
        strangers.push_back(std::make_unique<Client>(server.Port()));
        string noise(4096, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        strangers.back()->SendRaw(noise);
    }
    ExpectHealthy(alice, bob, "after noise");
    EXPECT_EQ(server.Stats().online, 2u);
}

TEST_F(ServerFaultTest, MalformedRequestsFromALoggedInClient) {
    Client carol(server.Port());
    ASSERT_EQ(carol.Login("10003", "carol123"), "0");
    alice.Sync();
    const string longId(5000, '1');
    const string bodies[] = {
        "0003", "000310001", "000310002!|!!|!10003!|!1!|!<msg>", "000310002!|!SYSTEMDATE!|!10003!|!!|!x",
        "000310002!|!" + string(40, 'd') + "!|!10003!|!1!|!x", "0003" + longId + "!|!SYSTEMDATE!|!10003!|!1!|!x",
        "0023", "002310003!|!" + longId, "002310003!|!10002!|!" + string(700, 't'), "002310003!|!10002!|!<b>",
        "0024", "002410003!|!10002!|!7", "0025", "002510003!|!" + longId + "!|!1", "0029", "0031", "003110003",
        "0032", "003210003", "003210003!|!1!|!" + string(300, 'n'), "0033", "003310003!|!<id>1</id>",
        "0034", "003410003!|!<user></user>", "0036", "0036" + longId, "0040", "0041", "004110001!|!10003!|!0",
        "0043", "0044", "004410003x", "0099", "00991000", "0021-5", "0021abc", "0000", "9999", "0123",
    };
    for (const string& body : bodies) {
        carol.SendBody(body);
        auto before = carol.Sync();
        // Only answers with a failure or a plain answer may come back, never a crash or a close.
        ASSERT_FALSE(!before.empty() && before.back().code == -1) << body;
    }
    ExpectHealthy(alice, bob, "after malformed requests");
    // Neither alice nor bob received anything from carol's garbage.
    EXPECT_TRUE(alice.Sync().empty());
    EXPECT_TRUE(bob.Sync().empty());
}

TEST_F(ServerFaultTest, ByteAtATimeSenderIsServedExactly) {
    Client slow(server.Port());
    string stream = *protocol::FrameRequest("000110003!|!carol123");
    stream += *Chat("10003", "10001", "one byte at a time", 77);
    for (char c : stream) {
        slow.SendRaw(string(1, c));
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    auto login = slow.Read();
    ASSERT_TRUE(login);
    EXPECT_EQ(login->payload, "0");
    // alice (a friend) sees carol arrive, then her chat.
    auto arrival = alice.Read();
    ASSERT_TRUE(arrival);
    EXPECT_EQ(arrival->code, 32);
    auto chat = alice.Read();
    ASSERT_TRUE(chat);
    EXPECT_EQ(ChatId(*chat), 77);
    EXPECT_NE(chat->payload.find("<cnt>one byte at a time</cnt>"), string::npos);
    ExpectHealthy(alice, bob, "after the slow sender");
}

TEST_F(ServerFaultTest, ClientsVanishingMidPacket) {
    for (int round = 0; round < 5; ++round) {
        Client carol(server.Port());
        ASSERT_EQ(carol.Login("10003", "carol123"), "0");
        auto arrival = alice.Read();
        ASSERT_TRUE(arrival);
        EXPECT_EQ(arrival->code, 32);
        string chat = *Chat("10003", "10001", "never finished");
        carol.SendRaw(chat.substr(0, chat.size() / 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (round % 2)
            carol.Close();
        else
            carol.Abort();
        // The half chat never arrives; alice sees carol leave.
        auto leave = alice.Read();
        ASSERT_TRUE(leave);
        EXPECT_EQ(leave->raw, ServerFrame(32, "10003!|!0"));
        ExpectHealthy(alice, bob, "after a vanished client");
    }
    // Strangers that vanish after a length field or in the middle of a login.
    for (const string& bytes : {string("00"), string("0030"), string("00300001100")}) {
        Client stranger(server.Port());
        stranger.SendRaw(bytes);
        stranger.Close();
    }
    ExpectHealthy(alice, bob, "after vanished strangers");
}

TEST(ServerTimeouts, SilentClientsAreClosedOthersStay) {
    ServerOptions options = ServerUnderTest::FastOptions();
    options.limits.loginTimeout = std::chrono::milliseconds(300);
    options.limits.idleTimeout = std::chrono::milliseconds(600);
    ServerUnderTest server(options);
    Client neverLogsIn(server.Port());
    Client silent(server.Port());
    ASSERT_EQ(silent.Login("10003", "carol123"), "0");
    Client talker(server.Port());
    ASSERT_EQ(talker.Login("10002", "bob123"), "0");
    EXPECT_TRUE(neverLogsIn.WaitClosed(std::chrono::milliseconds(3000)));
    // The talker keeps itself alive with keep-alives; the silent one is dropped.
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ASSERT_TRUE(talker.Sync().empty());
    }
    EXPECT_TRUE(silent.WaitClosed(std::chrono::milliseconds(3000)));
    EXPECT_TRUE(talker.Sync().empty());
    EXPECT_EQ(server.Stats().online, 1u);
}

TEST(ServerLimits, ConnectionsBeyondTheLimitAreRefusedOthersServed) {
    ServerOptions options = ServerUnderTest::FastOptions();
    options.maxConnections = 2;
    ServerUnderTest server(options);
    Client alice(server.Port());
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    Client bob(server.Port());
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    alice.Sync();
    Client third(server.Port());
    EXPECT_TRUE(third.WaitClosed());
    ExpectHealthy(alice, bob, "beside a refused connection");
    // A place that frees up is served again.
    bob.Close();
    EXPECT_EQ(alice.Read()->raw, ServerFrame(32, "10002!|!0"));
    Client fourth(server.Port());
    EXPECT_EQ(fourth.Login("10003", "carol123"), "0");
}

// One address may hold only its share of the places: silent connections from
// there are turned away at once, while another address logs in, and a place
// given back is served again.
TEST(ServerLimits, OneAddressCannotTakeEveryPlace) {
    ServerOptions options = ServerUnderTest::FastOptions();
    options.maxConnections = 8;
    options.maxConnectionsPerAddress = 3;
    options.limits.loginTimeout = std::chrono::minutes(1);  // a refusal, not the time-out, must close the fourth
    ServerUnderTest server(options);
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < 3; ++i) silent.push_back(std::make_unique<Client>(server.Port()));
    Client fourth(server.Port());
    EXPECT_TRUE(fourth.WaitClosed()) << "refused at once";
    Client alice(server.Port(), 0, false, "127.0.0.2");
    EXPECT_EQ(alice.Login("10001", "alice123"), "0");
    EXPECT_EQ(server.Stats().refusedPerAddress, 1u);
    silent.pop_back();
    for (int i = 0; i < 100 && server.Stats().connections > 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Client again(server.Port());
    EXPECT_EQ(again.Login("10002", "bob123"), "0");
}

// A burst of wrong guesses at one account from one connection: the answers
// come ever later, then logins are refused even with the right password,
// while another account logs in at once; with time the account is free again.
TEST(ServerThrottle, GuessingIsSlowedThenRefusedOthersAreNotSlowed) {
    ServerOptions options = ServerUnderTest::FastOptions();
    options.limits.loginTimeout = std::chrono::milliseconds(10000);
    options.throttle.accountFree = 2;
    options.throttle.accountLock = 6;
    options.throttle.delay = std::chrono::milliseconds(200);
    options.throttle.maxDelay = std::chrono::milliseconds(1600);
    options.throttle.lockout = std::chrono::milliseconds(1500);
    ServerUnderTest server(options);
    Client guesser(server.Port());
    using Clock = std::chrono::steady_clock;
    const string wrong = "2" + string(texts::kWrongPassword);
    auto start = Clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(guesser.Login("10003", "guess" + std::to_string(i)), wrong) << i;
    // Turns 200, 400 and 800 ms apart after the two free failures.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1400));

    // The sixth guess waits 1.6 s for its turn; bob meanwhile logs in from the same address at once.
    guesser.SendBody("000110003!|!guess5");
    auto guessed = Clock::now();
    Client bob(server.Port());
    EXPECT_EQ(bob.Login("10002", "bob123"), "0");
    auto early = guesser.Read(std::chrono::milliseconds(50));
    EXPECT_FALSE(early) << "the guess was answered before its turn: " << (early ? early->raw : "");
    auto answer = guesser.Read(std::chrono::milliseconds(5000));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, wrong);
    EXPECT_GE(Clock::now() - guessed, std::chrono::milliseconds(1500));
    const string refused = "5" + string(texts::kTooManyAttempts);
    EXPECT_EQ(guesser.Login("10003", "carol123"), refused) << "locked even for the right password";
    EXPECT_EQ(server.Stats().loginsRefused, 1u);

    std::this_thread::sleep_for(options.throttle.lockout);
    Client later(server.Port());
    EXPECT_EQ(later.Login("10003", "carol123"), "0");
}

TEST(ServerLoad, ManyClientsChatConcurrentlyNothingLost) {
    constexpr int kClients = 40;
    constexpr int kMessages = 25;
    ServerUnderTest server;
    // One hash for all: hashing is deliberately slow, and these accounts only need to exist.
    auto hash = HashPassword("pw");
    ASSERT_TRUE(hash);
    for (int i = 0; i < kClients; ++i) server.StoreForSetup().CreateAccount("load" + std::to_string(i), *hash, "");
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<Client>(server.Port()));
        ASSERT_EQ(clients.back()->Login("load" + std::to_string(i), "pw"), "0");
    }
    // Noise beside the load: a stranger streaming garbage all along.
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        Client stranger(server.Port());
        std::mt19937 random(7);
        while (!stop) {
            string bytes(512, '\0');
            for (char& c : bytes) c = static_cast<char>('0' + random() % 10);
            stranger.SendRaw(bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // Each client writes to the next one; four threads drive ten clients each.
    std::atomic<int> failures{0};
    std::vector<std::thread> drivers;
    for (int t = 0; t < 4; ++t) {
        drivers.emplace_back([&, t] {
            for (int m = 0; m < kMessages; ++m)
                for (int i = t; i < kClients; i += 4)
                    clients[i]->SendFramed(Chat("load" + std::to_string(i), "load" + std::to_string((i + 1) % kClients),
                                                "m" + std::to_string(m), m));
            for (int i = t; i < kClients; i += 4) {
                for (int m = 0; m < kMessages; ++m) {
                    auto p = clients[i]->Read(std::chrono::milliseconds(5000));
                    if (!p || p->code != 3 || ChatId(*p) != m ||
                        p->payload.find("!|!load" + std::to_string((i + kClients - 1) % kClients) + "!|!") ==
                            string::npos)
                        ++failures;
                }
            }
        });
    }
    for (auto& d : drivers) d.join();
    stop = true;
    noise.join();
    EXPECT_EQ(failures.load(), 0);
    for (auto& c : clients) EXPECT_TRUE(c->Sync().empty());
    EXPECT_EQ(server.Stats().online, static_cast<std::size_t>(kClients));
}

}  // namespace
}  // namespace vexa::server::testing
