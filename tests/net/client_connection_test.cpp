#include "net/client_connection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/testing/fake_tls_engine.h"
#include "net/testing/scripted_transport.h"
#include "protocol/frame.h"
#include "protocol/system_texts.h"

namespace vexa::net {
namespace {

using testing::ScriptedTransport;
using testing::TransportScript;

std::string ServerPacket(int code, std::string_view payload) {
    return protocol::FrameServerPacket(code, payload).value_or("");
}

IM_USER_LOGINDATA LoginRecord(const char* user, const char* password) {
    IM_USER_LOGINDATA record{};
    std::strncpy(record.userId, user, sizeof record.userId);
    std::strncpy(record.password, password, sizeof record.password);
    return record;
}

// Records everything the connection tells the session, and makes a scripted
// transport for every socket.
class RecordingHost : public ConnectionHost {
public:
    void ShowMessage(const std::string& gbk) override { messages.push_back(gbk); }
    void ReportLoginResult(int result, std::string_view message) override {
        results.emplace_back(result, std::string(message));
        if (onResult) onResult();
    }
    bool PostServerClosed() override {
        ++serverClosedPosts;
        return true;
    }
    void HandleServerPacket(const char* bytes, int size) override {
        packets.emplace_back(bytes, static_cast<std::size_t>(size));
        if (onPacket) onPacket();
    }
    std::unique_ptr<Transport> MakeTransport() override {
        if (!canMakeTransport) return nullptr;
        auto script = std::make_shared<TransportScript>(scriptTemplate);
        scripts.push_back(script);
        return std::make_unique<ScriptedTransport>(script);
    }
    void DebugLine(const char* gbk) override { debugLines.emplace_back(gbk); }
    std::unique_ptr<TlsEngine> MakeTlsEngine(const std::string& serverName) override {
        tlsNames.push_back(serverName);
        if (!canMakeTls) return nullptr;
        return std::make_unique<testing::FakeTlsEngine>(tls);
    }

    TransportScript& Script() { return *scripts.back(); }

    TransportScript scriptTemplate;
    bool canMakeTransport = true;
    bool canMakeTls = true;
    testing::FakeTlsScript tls;
    std::vector<std::string> tlsNames;
    std::vector<std::shared_ptr<TransportScript>> scripts;
    std::vector<std::string> messages;
    std::vector<std::pair<int, std::string>> results;
    int serverClosedPosts = 0;
    std::vector<std::string> packets;
    std::vector<std::string> debugLines;
    std::function<void()> onResult;
    std::function<void()> onPacket;
};

struct Fixture {
    RecordingHost host;
    ClientConnection connection{host};
    IM_USER_LOGINDATA record = LoginRecord("10001", "pw");

    Fixture() { connection.SetServerParam("127.0.0.1", 6000); }
    // Login and a successful connect notification.
    void LogIn() {
        ASSERT_TRUE(connection.Login(&record));
        ASSERT_TRUE(host.Script().Notify(kEventConnect, 0));
    }
};

const std::string kLoginRequest = "0014000110001!|!pw";

TEST(ClientConnectionTest, ConnectionStates) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> reach;
        bool hasSocket;
        bool connected;
        std::size_t loginResults;  // kind 1 reports
        int serverClosed;          // kind 4 posts
    };
    const Case cases[] = {
        {"no socket", [](Fixture&) {}, false, false, 0, 0},
        {"connecting", [](Fixture& f) { ASSERT_TRUE(f.connection.Login(&f.record)); }, true, false, 0, 0},
        {"failed later",
         [](Fixture& f) {
             ASSERT_TRUE(f.connection.Login(&f.record));
             f.host.Script().Notify(kEventConnect, 10061);
         },
         true, false, 1, 0},
        {"failed at once",
         [](Fixture& f) {
             f.host.scriptTemplate.connectMode = TransportScript::ConnectMode::Fail;
             ASSERT_FALSE(f.connection.Login(&f.record));
         },
         true, false, 1, 0},
        {"logged in", [](Fixture& f) { f.LogIn(); }, true, true, 0, 0},
        {"closed by server",
         [](Fixture& f) {
             f.LogIn();
             f.host.Script().Notify(kEventClose, 0);
         },
         true, false, 0, 1},
        {"closed by client",
         [](Fixture& f) {
             f.LogIn();
             f.connection.CloseClient();
         },
         false, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.reach(f);
        EXPECT_EQ(f.connection.Socket() != nullptr, c.hasSocket);
        EXPECT_EQ(f.connection.IsConnected(), c.connected);
        ASSERT_EQ(f.host.results.size(), c.loginResults);
        for (const auto& r : f.host.results) {
            EXPECT_EQ(r.first, 0);
            EXPECT_EQ(r.second, texts::kConnectFailed);
        }
        EXPECT_EQ(f.host.serverClosedPosts, c.serverClosed);
        EXPECT_TRUE(f.host.messages.empty());

        // Only a connected socket takes requests.
        const std::string before = f.host.scripts.empty() ? "" : f.host.Script().wire;
        EXPECT_EQ(f.connection.SendPacket("00040021"), c.connected);
        if (!f.host.scripts.empty()) {
            EXPECT_EQ(f.host.Script().wire, c.connected ? before + "00040021" : before);
        }
    }
}

TEST(ClientConnectionTest, LoginSendsTheLoginRequestOnceConnected) {
    Fixture f;
    ASSERT_TRUE(f.connection.Login(&f.record));
    EXPECT_EQ(f.host.Script().address, "127.0.0.1");
    EXPECT_EQ(f.host.Script().port, 6000u);
    EXPECT_EQ(f.host.Script().wire, "");
    f.host.Script().Notify(kEventConnect, 0);
    EXPECT_EQ(f.host.Script().wire, kLoginRequest);
    EXPECT_EQ(f.connection.OwnId(), "10001");
    // Read events are on from the login request: the answer is handed on.
    const std::string answer = ServerPacket(2, "0");
    f.host.Script().Arrive(answer);
    EXPECT_EQ(f.host.packets, (std::vector<std::string>{answer}));
}

TEST(ClientConnectionTest, LoginRecordsThatSendNoLoginRequest) {
    struct Case {
        const char* name;
        IM_USER_LOGINDATA record;
        std::string ownId;
    };
    IM_USER_LOGINDATA unterminated{};
    std::memset(unterminated.userId, '7', sizeof unterminated.userId);
    std::strcpy(unterminated.password, "pw");
    IM_USER_LOGINDATA longPassword = LoginRecord("10001", "");
    std::memset(longPassword.password, 'p', sizeof longPassword.password);
    const Case cases[] = {
        {"empty password", LoginRecord("10001", ""), "10001"},
        {"empty user", LoginRecord("", "pw"), ""},
        {"user without end", unterminated, ""},
        {"password without end", longPassword, "10001"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        ASSERT_TRUE(f.connection.Login(&c.record));
        f.host.Script().Notify(kEventConnect, 0);
        EXPECT_TRUE(f.connection.IsConnected());  // the connection stays up
        EXPECT_EQ(f.host.Script().wire, "");
        EXPECT_TRUE(f.host.results.empty());
        EXPECT_EQ(f.connection.OwnId(), c.ownId);
        EXPECT_EQ(std::memcmp(&f.connection.LoginData(), &c.record, sizeof c.record), 0);
    }
}

TEST(ClientConnectionTest, RefusedLogins) {
    struct Case {
        const char* name;
        std::string address;
        unsigned port;
        bool canMake;
        std::string message;
    };
    const Case cases[] = {
        {"empty address", "", 6000, true, texts::kEnterAddressAndPort},
        {"port 0", "127.0.0.1", 0, true, texts::kEnterAddressAndPort},
        {"no transport", "127.0.0.1", 6000, false, texts::kSocketCreateFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.LogIn();
        IMClientSocket* old = f.connection.Socket();
        f.connection.SetServerParam(c.address, c.port);
        f.host.canMakeTransport = c.canMake;
        EXPECT_FALSE(f.connection.Login(&f.record));
        EXPECT_EQ(f.host.messages, (std::vector<std::string>{c.message}));
        EXPECT_TRUE(f.host.results.empty());
        if (c.message == texts::kEnterAddressAndPort) {
            // Nothing is destroyed: the old connection still works.
            EXPECT_EQ(f.connection.Socket(), old);
            EXPECT_TRUE(f.connection.SendKeepAlive());
        } else {
            EXPECT_EQ(f.connection.Socket(), nullptr);
            EXPECT_FALSE(f.host.scripts.back()->transportAlive);
        }
    }
    Fixture f;
    EXPECT_FALSE(f.connection.Login(nullptr));
    EXPECT_TRUE(f.host.scripts.empty());
    EXPECT_TRUE(f.host.messages.empty());
}

TEST(ClientConnectionTest, TheSecuritySettingDecidesTheNextConnectAndEveryRefusalHasItsText) {
    const std::string pin(64, 'a');
    struct Case {
        const char* name;
        int mode;
        std::string fingerprint;
        std::function<void(Fixture&)> setUp;
        std::string server;        // the server's bytes after the connect
        const char* refusal;       // kind 1 text, or null when the login request went out
        bool underWay;             // IM_LoginSvr's result
    };
    const auto none = [](Fixture&) {};
    const std::string handshake = testing::FakeServerHandshake();
    const Case cases[] = {
        {"TLS, trusted", 1, "", none, handshake, nullptr, true},
        {"TLS, pinned", 2, pin, [](Fixture& f) { f.host.tls.facts.fingerprint.fill(0xAA); }, handshake, nullptr, true},
        {"untrusted", 1, "", [](Fixture& f) { f.host.tls.facts.chainErrorStatus = 0x10000; }, handshake,
         texts::kTlsUntrusted, true},
        {"wrong name", 1, "", [](Fixture& f) { f.host.tls.facts.policyError = kPolicyWrongName; }, handshake,
         texts::kTlsWrongName, true},
        {"wrong fingerprint", 2, pin, none, handshake, texts::kTlsWrongFingerprint, true},
        {"a plain server", 1, "", none, ServerPacket(2, "0"), texts::kTlsHandshakeFailed, true},
        {"a refused setting", 2, "AB:CD", none, "", texts::kSecuritySettingInvalid, false},
        {"no TLS on the platform", 1, "", [](Fixture& f) { f.host.canMakeTls = false; }, "",
         texts::kTlsHandshakeFailed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.connection.SetServerParam("localhost", 6000);
        c.setUp(f);
        EXPECT_EQ(f.connection.SetSecurity(c.mode, c.fingerprint), c.refusal != texts::kSecuritySettingInvalid);
        ASSERT_EQ(f.connection.Login(&f.record), c.underWay);
        if (c.underWay) {
            ASSERT_TRUE(f.host.Script().Notify(kEventConnect, 0));
            f.host.Script().Arrive(c.server);
            EXPECT_EQ(f.host.tlsNames, std::vector<std::string>{"localhost"});
            testing::FakeWire wire;
            ASSERT_TRUE(testing::ParseFakeWire(f.host.Script().wire, wire));
            EXPECT_EQ(wire.plain, c.refusal ? "" : kLoginRequest);
        } else if (c.refusal == texts::kSecuritySettingInvalid) {
            EXPECT_TRUE(f.host.scripts.empty());
        }
        EXPECT_EQ(f.connection.IsConnected(), c.refusal == nullptr);
        if (c.refusal) {
            EXPECT_EQ(f.host.results, (std::vector<std::pair<int, std::string>>{{0, c.refusal}}));
        } else {
            EXPECT_TRUE(f.host.results.empty());
        }
    }

    // A new setting leaves the connection that is up as it is.
    Fixture f;
    f.LogIn();
    ASSERT_TRUE(f.connection.SetSecurity(1, ""));
    EXPECT_TRUE(f.connection.SendKeepAlive());
    EXPECT_EQ(f.host.Script().wire, kLoginRequest + "00130007Keepalive");
    EXPECT_TRUE(f.host.tlsNames.empty());
}

TEST(ClientConnectionTest, KeepAliveAndExitRequests) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> reach;
        const char* keepAliveLine;
        std::string wireAfter;  // after the login request: keep-alive, then exit
    };
    const Case cases[] = {
        {"before login", [](Fixture&) {}, texts::kKeepAliveFailed, ""},
        {"connected", [](Fixture& f) { f.LogIn(); }, texts::kKeepAliveSent, "00130007Keepalive0009009910001"},
        {"closed by server",
         [](Fixture& f) {
             f.LogIn();
             f.host.Script().Notify(kEventClose, 0);
         },
         texts::kKeepAliveFailed, ""},
        {"connect failed",
         [](Fixture& f) {
             f.connection.Login(&f.record);
             f.host.Script().Notify(kEventConnect, 10060);
         },
         texts::kKeepAliveFailed, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.reach(f);
        const std::string before = f.host.scripts.empty() ? "" : f.host.Script().wire;
        f.connection.KeepActive();
        f.connection.SendExitRequest();
        EXPECT_EQ(f.host.debugLines, (std::vector<std::string>{c.keepAliveLine}));
        if (!f.host.scripts.empty()) {
            EXPECT_EQ(f.host.Script().wire, before + c.wireAfter);
        }
    }
    // The exit request leaves the connection open; without an own id it is
    // not sent.
    Fixture f;
    f.LogIn();
    f.connection.SendExitRequest();
    EXPECT_TRUE(f.connection.IsConnected());
    Fixture noId;
    noId.record = LoginRecord("", "pw");
    noId.LogIn();
    noId.connection.SendExitRequest();
    EXPECT_EQ(noId.host.Script().wire, "");
}

TEST(ClientConnectionTest, OneCloseOfTheServerIsReportedOncePerConnection) {
    Fixture f;
    f.LogIn();
    // A request the network does not take yet: write events stay selected.
    f.host.Script().sendBudget = 0;
    ASSERT_TRUE(f.connection.SendPacket("00040021"));
    ASSERT_TRUE(f.host.Script().Notify(kEventClose, 0));
    EXPECT_EQ(f.host.serverClosedPosts, 1);
    // The queue drains after the close; the close is not selected again, and
    // one that the platform delivers anyway is not reported again.
    f.host.Script().sendBudget = -1;
    ASSERT_TRUE(f.host.Script().Notify(kEventWrite, 0));
    EXPECT_EQ(f.host.Script().wire, kLoginRequest + "00040021");
    EXPECT_EQ(f.host.Script().LastSelection(), kEventRead);
    EXPECT_FALSE(f.host.Script().Notify(kEventClose, 0));
    f.connection.Socket()->DispatchNotification(kEventClose, 0);
    EXPECT_EQ(f.host.serverClosedPosts, 1);
    // A new connection reports its own close.
    f.LogIn();
    EXPECT_EQ(f.host.Script().LastSelection(), kReadAndCloseEvents);
    ASSERT_TRUE(f.host.Script().Notify(kEventClose, 0));
    EXPECT_EQ(f.host.serverClosedPosts, 2);
}

TEST(ClientConnectionTest, ExitThenCloseDiscardsWhatTheNetworkDidNotTake) {
    Fixture f;
    f.LogIn();
    f.host.Script().sendBudget = 5;
    f.connection.SendExitRequest();
    f.connection.CloseClient();
    EXPECT_EQ(f.host.scripts[0]->wire, kLoginRequest + "00090");
    EXPECT_FALSE(f.host.scripts[0]->transportAlive);
}

TEST(ClientConnectionTest, SecondLoginTearsDownTheOldConnectionSilently) {
    Fixture f;
    f.LogIn();
    ASSERT_TRUE(f.connection.Login(&f.record));
    ASSERT_EQ(f.host.scripts.size(), 2u);
    const TransportScript& old = *f.host.scripts[0];
    EXPECT_FALSE(old.transportAlive);
    EXPECT_EQ(old.closeCount, 1);
    EXPECT_EQ(old.wire, kLoginRequest);  // no exit request
    EXPECT_EQ(f.host.serverClosedPosts, 0);
    EXPECT_TRUE(f.host.results.empty());
    f.host.Script().Notify(kEventConnect, 0);
    EXPECT_EQ(f.host.Script().wire, kLoginRequest);
}

TEST(ClientConnectionTest, CloseClientTwiceAndBeforeAnyLogin) {
    Fixture f;
    f.connection.CloseClient();
    f.LogIn();
    f.connection.CloseClient();
    EXPECT_EQ(f.connection.Socket(), nullptr);
    EXPECT_FALSE(f.host.Script().transportAlive);
    f.connection.CloseClient();
    EXPECT_EQ(f.connection.Socket(), nullptr);
    EXPECT_EQ(f.host.Script().closeCount, 1);
    EXPECT_TRUE(f.host.results.empty());
    EXPECT_EQ(f.host.serverClosedPosts, 0);
    EXPECT_EQ(f.host.Script().wire, kLoginRequest);
}

TEST(ClientConnectionTest, IMProgramActsFromInsideNotifications) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> act;  // what the IM window does on the first packet
        std::size_t wantSockets;
        bool wantSocket;
    };
    const Case cases[] = {
        {"close client", [](Fixture& f) { f.connection.CloseClient(); }, 1, false},
        {"log in again", [](Fixture& f) { f.connection.Login(&f.record); }, 2, true},
        {"close twice", [](Fixture& f) { f.connection.CloseClient(); f.connection.CloseClient(); }, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.LogIn();
        bool oldAliveInside = false;
        f.host.onPacket = [&] {
            if (f.host.packets.size() != 1) return;
            c.act(f);
            oldAliveInside = f.host.scripts[0]->transportAlive;
        };
        f.host.scripts[0]->Arrive(ServerPacket(2, "0") + ServerPacket(3, "not delivered"));
        EXPECT_EQ(f.host.packets.size(), 1u);
        EXPECT_TRUE(oldAliveInside);
        EXPECT_FALSE(f.host.scripts[0]->transportAlive);
        EXPECT_EQ(f.host.scripts.size(), c.wantSockets);
        EXPECT_EQ(f.connection.Socket() != nullptr, c.wantSocket);
        EXPECT_EQ(f.host.serverClosedPosts, 0);
    }

    // The IM window answers a failed connect (kind 1) by logging in again.
    Fixture f;
    ASSERT_TRUE(f.connection.Login(&f.record));
    int retries = 0;
    f.host.onResult = [&] {
        if (retries++ == 0) {
            EXPECT_TRUE(f.connection.Login(&f.record));
        }
    };
    f.host.scripts[0]->Notify(kEventConnect, 10061);
    EXPECT_FALSE(f.host.scripts[0]->transportAlive);
    ASSERT_EQ(f.host.scripts.size(), 2u);
    f.host.Script().Notify(kEventConnect, 0);
    EXPECT_EQ(f.host.Script().wire, kLoginRequest);

    // The session goes away while the socket delivers: the socket outlives
    // its notification without reaching the session any more.
    auto host = std::make_unique<RecordingHost>();
    auto connection = std::make_unique<ClientConnection>(*host);
    connection->SetServerParam("h", 1);
    auto rec = LoginRecord("1", "2");
    ASSERT_TRUE(connection->Login(&rec));
    auto script = host->scripts[0];
    script->Notify(kEventConnect, 0);
    host->onPacket = [&] { connection.reset(); };
    script->Arrive(ServerPacket(2, "0") + ServerPacket(2, "0"));
    EXPECT_EQ(host->packets.size(), 1u);
    EXPECT_FALSE(script->transportAlive);
}

}  // namespace
}  // namespace vexa::net
