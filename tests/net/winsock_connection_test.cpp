// The client connection over real Winsock under Wine, against a TCP peer on
// loopback that the test itself drives. The test thread both pumps its
// message loop (which delivers the socket's notifications) and polls the
// peer without blocking, so every step is ordered and every wait bounded.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/client_connection.h"
#include "platform/async_socket_win32.h"
#include "platform/socket_win32.h"
#include "protocol/frame.h"
#include "protocol/system_texts.h"

namespace vexa::net {
namespace {

using platform::UniqueSocket;
using platform::WinsockTransport;

class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { ::WSACleanup(); }
};
const auto* const g_winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

constexpr DWORD kWaitMs = 5000;

// Runs the thread's message loop until done() holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kWaitMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
        if (done()) return true;
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
    }
}
void PumpFor(DWORD ms) { PumpUntil([] { return false; }, ms); }

bool Readable(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval zero{0, 0};
    return ::select(0, &set, nullptr, nullptr, &zero) == 1;
}

// The server end: a listener on 127.0.0.1 and the connections it accepted.
// Every call returns at once; the tests poll it from PumpUntil.
class LoopbackPeer {
public:
    explicit LoopbackPeer(int receiveBufferSize = 0) {
        listener_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        EXPECT_TRUE(listener_);
        if (receiveBufferSize > 0) {
            // Accepted connections inherit it.
            ::setsockopt(listener_.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBufferSize),
                         sizeof receiveBufferSize);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_.get(), 4), 0);
        int size = sizeof address;
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ::ntohs(address.sin_port);
    }

    unsigned Port() const { return port_; }

    // Accepts a waiting connection, if any; true once there are n.
    bool HasConnections(std::size_t n) {
        if (connections_.size() < n && Readable(listener_.get())) {
            connections_.emplace_back(::accept(listener_.get(), nullptr, nullptr));
            received_.emplace_back();
            closedByClient_.push_back(false);
        }
        return connections_.size() >= n;
    }

    // Reads what has arrived on connection i; true once it holds n bytes.
    bool HasReceived(std::size_t i, std::size_t n) {
        ReadAvailable(i);
        return received_[i].size() >= n;
    }
    // True once the client has closed connection i (all data read).
    bool SawClose(std::size_t i) {
        ReadAvailable(i);
        return closedByClient_[i];
    }
    const std::string& Received(std::size_t i) const { return received_[i]; }

    void Send(std::size_t i, const std::string& bytes) {
        ASSERT_EQ(::send(connections_[i].get(), bytes.data(), static_cast<int>(bytes.size()), 0),
                  static_cast<int>(bytes.size()));
    }
    void NoDelay(std::size_t i) {
        BOOL on = TRUE;
        ::setsockopt(connections_[i].get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    void Close(std::size_t i) { connections_[i].reset(); }
    // Stops sending on connection i but goes on reading it.
    void HalfClose(std::size_t i) { ::shutdown(connections_[i].get(), SD_SEND); }

private:
    void ReadAvailable(std::size_t i) {
        char buffer[65536];
        while (connections_[i] && !closedByClient_[i] && Readable(connections_[i].get())) {
            const int n = ::recv(connections_[i].get(), buffer, sizeof buffer, 0);
            if (n <= 0) {
                closedByClient_[i] = true;
                return;
            }
            received_[i].append(buffer, static_cast<std::size_t>(n));
        }
    }

    UniqueSocket listener_;
    unsigned port_ = 0;
    std::vector<UniqueSocket> connections_;
    std::vector<std::string> received_;
    std::vector<bool> closedByClient_;
};

// The session's side, recording what the connection reports.
class RecordingHost : public ConnectionHost {
public:
    void ShowMessage(const std::string& gbk) override { messages.push_back(gbk); }
    void ReportLoginResult(int result, std::string_view message) override {
        results.emplace_back(result, std::string(message));
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
        auto transport = WinsockTransport::Make();
        if (transport && sendBufferSize > 0) transport->SetSendBufferSize(sendBufferSize);
        return transport;
    }
    void DebugLine(const char* gbk) override { debugLines.emplace_back(gbk); }

    int sendBufferSize = 0;
    std::vector<std::string> messages;
    std::vector<std::pair<int, std::string>> results;
    int serverClosedPosts = 0;
    std::vector<std::string> packets;
    std::vector<std::string> debugLines;
    std::function<void()> onPacket;
};

IM_USER_LOGINDATA LoginRecord(const char* user, const char* password) {
    IM_USER_LOGINDATA record{};
    std::strncpy(record.userId, user, sizeof record.userId);
    std::strncpy(record.password, password, sizeof record.password);
    return record;
}

std::string ServerPacket(int code, std::string_view payload) {
    return protocol::FrameServerPacket(code, payload).value_or("");
}

const std::string kLoginRequest = "0014000110001!|!pw";

// A connection logged in to a fresh peer: connected, login request read.
struct LoggedIn {
    LoopbackPeer peer;
    RecordingHost host;
    ClientConnection connection{host};
    IM_USER_LOGINDATA record = LoginRecord("10001", "pw");

    explicit LoggedIn(int sendBufferSize = 0, int peerReceiveBuffer = 0) : peer(peerReceiveBuffer) {
        host.sendBufferSize = sendBufferSize;
        connection.SetServerParam("127.0.0.1", peer.Port());
        EXPECT_TRUE(connection.Login(&record));
        EXPECT_TRUE(PumpUntil([&] { return peer.HasConnections(1) && peer.HasReceived(0, kLoginRequest.size()); }));
        EXPECT_TRUE(connection.IsConnected());
    }
};

TEST(WinsockConnectionTest, LoginRequestIsTheFirstThingOnTheWire) {
    LoggedIn c;
    EXPECT_EQ(c.peer.Received(0), kLoginRequest);
    EXPECT_TRUE(c.host.results.empty());
    // The server's answer comes back whole.
    const std::string answer = ServerPacket(2, "0");
    c.peer.Send(0, answer);
    ASSERT_TRUE(PumpUntil([&] { return !c.host.packets.empty(); }));
    EXPECT_EQ(c.host.packets, (std::vector<std::string>{answer}));
}

TEST(WinsockConnectionTest, KeepAliveAndExitRequests) {
    RecordingHost before;
    ClientConnection idle(before);
    idle.KeepActive();
    EXPECT_EQ(before.debugLines, (std::vector<std::string>{texts::kKeepAliveFailed}));

    LoggedIn c;
    c.connection.KeepActive();
    EXPECT_EQ(c.host.debugLines, (std::vector<std::string>{texts::kKeepAliveSent}));
    c.connection.SendExitRequest();
    const std::string want = kLoginRequest + "00130007Keepalive" + "0009009910001";
    ASSERT_TRUE(PumpUntil([&] { return c.peer.HasReceived(0, want.size()); }));
    EXPECT_EQ(c.peer.Received(0), want);
    // The exit request does not close the connection.
    PumpFor(100);
    EXPECT_FALSE(c.peer.SawClose(0));
    EXPECT_TRUE(c.connection.IsConnected());
}

TEST(WinsockConnectionTest, FailedConnectsReportKindOne) {
    // A port nobody listens on: take a free one and give it back.
    unsigned closedPort = 0;
    {
        LoopbackPeer gone;
        closedPort = gone.Port();
    }
    struct Case {
        const char* name;
        std::string address;
        unsigned port;
    };
    const Case cases[] = {
        {"refused", "127.0.0.1", closedPort},
        {"unresolvable host", "no-such-host.invalid", 6000},
        {"port out of range", "127.0.0.1", 65536 + 6000},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        RecordingHost host;
        ClientConnection connection(host);
        connection.SetServerParam(k.address, k.port);
        const auto record = LoginRecord("10001", "pw");
        const bool underWay = connection.Login(&record);
        // Either at once or from the connect notification; exactly once.
        ASSERT_TRUE(PumpUntil([&] { return !host.results.empty(); }));
        PumpFor(50);
        ASSERT_EQ(host.results.size(), 1u);
        EXPECT_EQ(host.results[0].first, 0);
        EXPECT_EQ(host.results[0].second, texts::kConnectFailed);
        if (!underWay) {
            EXPECT_NE(connection.Socket(), nullptr);  // the socket object stays
        }
        EXPECT_FALSE(connection.IsConnected());
        EXPECT_FALSE(connection.SendKeepAlive());
    }
}

TEST(WinsockConnectionTest, OneCloseOfTheServerIsOneKindFour) {
    // Each row leaves a write notification or a re-selection of events
    // behind the close; none of them may report the close again.
    struct Case {
        const char* name;
        std::function<void(LoggedIn&)> closeServer;
    };
    const Case cases[] = {
        {"plain close", [](LoggedIn& c) { c.peer.Close(0); }},
        // The reference server ends a connection with a half close and
        // reads on until its linger deadline.
        {"keep-alive answered, then a half close",
         [](LoggedIn& c) {
             c.connection.KeepActive();
             c.peer.Send(0, ServerPacket(8, ""));
             c.peer.HalfClose(0);
         }},
        {"half close, then a keep-alive before the close is seen",
         [](LoggedIn& c) {
             c.peer.HalfClose(0);
             ::Sleep(100);  // the close has arrived, its notification waits
             c.connection.KeepActive();
         }},
        {"half close while a large send is still queued",
         [](LoggedIn& c) {
             const std::string request = *protocol::FrameRequest("0003" + std::string(9000, 'q'));
             for (int i = 0; i < 100; ++i) ASSERT_TRUE(c.connection.SendPacket(request));
             ASSERT_GT(c.connection.Socket()->QueuedSendCount(), 0u);
             // The server stops sending but reads on, so the queue drains
             // after the close has been seen.
             c.peer.HalfClose(0);
             ASSERT_TRUE(PumpUntil([&] { return c.host.serverClosedPosts > 0; }));
             ASSERT_TRUE(PumpUntil([&] { return c.peer.HasReceived(0, kLoginRequest.size() + 100 * request.size()); },
                                   30000));
             EXPECT_EQ(c.connection.Socket()->QueuedSendCount(), 0u);
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        LoggedIn c(/*sendBufferSize=*/4096, /*peerReceiveBuffer=*/4096);
        k.closeServer(c);
        ASSERT_TRUE(PumpUntil([&] { return c.host.serverClosedPosts > 0; }));
        PumpFor(200);
        EXPECT_EQ(c.host.serverClosedPosts, 1);
        EXPECT_NE(c.connection.Socket(), nullptr);
        c.connection.KeepActive();
        EXPECT_EQ(c.host.debugLines.back(), texts::kKeepAliveFailed);

        // A new login makes a new connection, whose close is reported again.
        ASSERT_TRUE(c.connection.Login(&c.record));
        ASSERT_TRUE(PumpUntil([&] { return c.peer.HasConnections(2) && c.peer.HasReceived(1, kLoginRequest.size()); }));
        c.connection.KeepActive();
        EXPECT_EQ(c.host.debugLines.back(), texts::kKeepAliveSent);
        c.peer.Close(1);
        ASSERT_TRUE(PumpUntil([&] { return c.host.serverClosedPosts > 1; }));
        PumpFor(100);
        EXPECT_EQ(c.host.serverClosedPosts, 2);
    }
}

TEST(WinsockConnectionTest, ServerClosingMidPacketDeliversNothingAndReportsTheClose) {
    LoggedIn c;
    const std::string packet = ServerPacket(3, "cut short");
    c.peer.Send(0, packet.substr(0, 10));
    PumpFor(50);
    c.peer.Close(0);
    ASSERT_TRUE(PumpUntil([&] { return c.host.serverClosedPosts > 0; }));
    EXPECT_TRUE(c.host.packets.empty());
}

TEST(WinsockConnectionTest, SecondLoginTearsTheOldConnectionDownSilently) {
    LoggedIn c;
    ASSERT_TRUE(c.connection.Login(&c.record));
    ASSERT_TRUE(PumpUntil([&] { return c.peer.HasConnections(2) && c.peer.HasReceived(1, kLoginRequest.size()); }));
    EXPECT_TRUE(PumpUntil([&] { return c.peer.SawClose(0); }));
    EXPECT_EQ(c.peer.Received(0), kLoginRequest);  // no exit request on the old one
    EXPECT_EQ(c.peer.Received(1), kLoginRequest);
    PumpFor(100);
    EXPECT_EQ(c.host.serverClosedPosts, 0);
    EXPECT_TRUE(c.host.results.empty());
}

TEST(WinsockConnectionTest, PeerThatStopsReadingLosesNothing) {
    LoggedIn c(/*sendBufferSize=*/4096, /*peerReceiveBuffer=*/4096);
    // Requests of many sizes, each a valid frame, far more than the buffers hold.
    std::string want;
    for (int i = 0; i < 600; ++i) {
        const std::string body = "0003" + std::string(static_cast<std::size_t>(1000 + (i * 37) % 8000), 'a' + i % 26);
        const std::string request = *protocol::FrameRequest(body);
        ASSERT_TRUE(c.connection.SendPacket(request));
        want += request;
    }
    PumpFor(100);
    // The network took only part of it; the rest waits in the queue.
    ASSERT_GT(c.connection.Socket()->QueuedSendCount(), 0u);
    ASSERT_TRUE(PumpUntil([&] { return c.peer.HasReceived(0, kLoginRequest.size() + want.size()); }, 30000));
    EXPECT_TRUE(c.peer.Received(0) == kLoginRequest + want) << "bytes differ";
    EXPECT_EQ(c.connection.Socket()->QueuedSendCount(), 0u);
}

TEST(WinsockConnectionTest, ServerSendingOneByteAtATimeIsReadCorrectly) {
    LoggedIn c;
    c.peer.NoDelay(0);
    const std::vector<std::string> want = {ServerPacket(2, "0"), ServerPacket(3, "one!|!byte!|!at a time"),
                                           ServerPacket(8, "")};
    std::string stream;
    for (const auto& p : want) stream += p;
    for (char byte : stream) {
        c.peer.Send(0, std::string(1, byte));
        PumpFor(3);
    }
    ASSERT_TRUE(PumpUntil([&] { return c.host.packets.size() >= want.size(); }));
    EXPECT_EQ(c.host.packets, want);
}

TEST(WinsockConnectionTest, IMProgramClosesOrLogsInFromInsideANotification) {
    struct Case {
        const char* name;
        bool logInAgain;
    };
    for (const Case& k : {Case{"close client", false}, Case{"log in again", true}}) {
        SCOPED_TRACE(k.name);
        LoggedIn c;
        c.host.onPacket = [&] {
            if (c.host.packets.size() != 1) return;
            if (k.logInAgain) {
                EXPECT_TRUE(c.connection.Login(&c.record));
            } else {
                c.connection.CloseClient();
                c.connection.CloseClient();
            }
        };
        // Two packets in one arrival: the second is never delivered.
        c.peer.Send(0, ServerPacket(2, "0") + ServerPacket(3, "after the close"));
        ASSERT_TRUE(PumpUntil([&] { return c.peer.SawClose(0); }));
        PumpFor(100);
        EXPECT_EQ(c.host.packets.size(), 1u);
        EXPECT_EQ(c.host.serverClosedPosts, 0);
        EXPECT_EQ(c.connection.Socket() != nullptr, k.logInAgain);
        if (k.logInAgain) {
            ASSERT_TRUE(PumpUntil([&] { return c.peer.HasConnections(2) && c.peer.HasReceived(1, kLoginRequest.size()); }));
            EXPECT_TRUE(c.connection.IsConnected());
        }
    }
}

}  // namespace
}  // namespace vexa::net
