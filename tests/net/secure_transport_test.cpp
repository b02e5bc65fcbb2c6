// The encrypted transport under the packet socket, over a scripted network
// and the stand-in TLS engine: the packet socket must see exactly what it
// sees on plain TCP, however the records and the TCP segments fall.
#include "net/secure_transport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/packet_socket.h"
#include "net/testing/fake_tls_engine.h"
#include "net/testing/scripted_transport.h"
#include "protocol/frame.h"

namespace vexa::net {
namespace {

using testing::FakeCloseNotify;
using testing::FakeRecord;
using testing::FakeSeal;
using testing::FakeServerHandshake;
using testing::FakeTlsEngine;
using testing::FakeTlsScript;
using testing::FakeWire;
using testing::ParseFakeWire;
using testing::ScriptedTransport;
using testing::TransportScript;

std::string ServerPacket(int code, std::string_view payload) {
    return protocol::FrameServerPacket(code, payload).value_or("");
}

const std::string kFirstRequest = "0004";

// A packet socket as the session's: on connect it sends a request at once,
// which selects read events; it records packets, connect outcomes and closes.
class RecordingSocket : public PacketSocket {
public:
    using PacketSocket::PacketSocket;
    int OnPacket(const char* bytes, int size) override {
        packets.emplace_back(bytes, static_cast<std::size_t>(size));
        return 0;
    }
    void OnConnect(int error) override {
        SetConnected(error == 0);
        connects.push_back(error);
        if (error == 0) QueueSend(kFirstRequest.data(), static_cast<std::uint32_t>(kFirstRequest.size()));
    }
    void OnClose(int error) override {
        SetConnected(false);
        ++closes;
    }
    std::vector<std::string> packets;
    std::vector<int> connects;
    int closes = 0;
};

struct Secure {
    std::shared_ptr<TransportScript> net = std::make_shared<TransportScript>();
    FakeTlsScript tls;
    std::unique_ptr<RecordingSocket> socket;

    explicit Secure(SecurityMode mode = SecurityMode::TlsSystem, const Sha256& pin = {}) {
        socket = std::make_unique<RecordingSocket>(std::make_unique<SecureTransport>(
            std::make_unique<ScriptedTransport>(net), std::make_unique<FakeTlsEngine>(tls), mode, pin));
    }
    // Lets bytes arrive, then announces what is still there as the platform
    // does after a read that leaves data behind.
    void Arrive(std::string_view bytes) {
        net->Arrive(bytes);
        for (int i = 0; i < 4 && !net->incoming.empty() && net->Notify(kEventRead); ++i) {
        }
    }
    void Connect() {
        ASSERT_TRUE(socket->ConnectTo("localhost", 5000));
        ASSERT_TRUE(net->Notify(kEventConnect, 0));
    }
    // Connected, handshake done, the first request sent.
    void Open() {
        Connect();
        Arrive(FakeServerHandshake());
        ASSERT_EQ(socket->connects, std::vector<int>{0});
        ASSERT_TRUE(socket->IsConnected());
    }
    FakeWire Wire() const {
        FakeWire wire;
        EXPECT_TRUE(ParseFakeWire(net->wire, wire)) << "the client's bytes are not whole records";
        return wire;
    }
};

// Plays the server's handshake and then the packets, cut into records at
// recordCuts and the whole byte stream into TCP pieces of segment bytes
// (0: all at once); returns what the packet socket delivered.
std::vector<std::string> Play(const std::string& stream, const std::vector<std::size_t>& recordCuts,
                              std::size_t segment) {
    Secure s;
    s.Connect();
    std::string bytes = FakeServerHandshake();
    std::size_t from = 0;
    for (std::size_t cut : recordCuts) {
        bytes += FakeSeal(stream.substr(from, cut - from));
        from = cut;
    }
    bytes += FakeSeal(stream.substr(from));
    const std::size_t step = segment == 0 ? bytes.size() : segment;
    for (std::size_t at = 0; at < bytes.size(); at += step) s.Arrive(bytes.substr(at, step));
    EXPECT_EQ(s.socket->connects, std::vector<int>{0});
    EXPECT_TRUE(s.net->incoming.empty());
    // The client said hello, finished, and then only its first request.
    const FakeWire wire = s.Wire();
    EXPECT_EQ(wire.plain, kFirstRequest);
    EXPECT_EQ(wire.others.size(), 2u);
    return s.socket->packets;
}

TEST(SecureTransportReceive, RecordsAndSegmentsSplitInEveryWayGiveThePlainPackets) {
    const std::vector<std::string> want = {
        ServerPacket(2, "0"),
        ServerPacket(3, "10002!|!SYSTEMDATE!|!10001!|!0!|!<msg>hi</msg>"),
        ServerPacket(8, ""),
        ServerPacket(22, "<user><id>7</id></user><over>"),
    };
    std::string stream;
    for (const auto& p : want) stream += p;
    for (std::size_t segment : {0, 1, 7}) {
        SCOPED_TRACE("TCP pieces of " + std::to_string(segment));
        ASSERT_EQ(Play(stream, {}, segment), want) << "all packets in one record";
        for (std::size_t i = 1; i < stream.size(); ++i) {
            ASSERT_EQ(Play(stream, {i}, segment), want) << "record cut at " << i;
            for (std::size_t j = i + 1; j < stream.size(); j += 3)
                ASSERT_EQ(Play(stream, {i, j}, segment), want) << "record cuts at " << i << "," << j;
        }
    }
    // The largest packet, whole in one record beside another, and in three.
    const std::vector<std::string> large = {ServerPacket(3, std::string(9995, 'x')), ServerPacket(8, "")};
    ASSERT_EQ(large[0].size(), PacketSocket::kMaxServerPacket);
    const std::string both = large[0] + large[1];
    EXPECT_EQ(Play(both, {}, 0), large);
    EXPECT_EQ(Play(both, {3, 10003}, 1000), large);
}

TEST(SecureTransportSend, EveryByteGoesOutInOrderHoweverLittleTheNetworkTakes) {
    struct Row {
        long long grant;  // bytes the network takes per write notification (-1: all)
        int chunk;        // bytes per network Send at most (0: any)
    };
    const Row rows[] = {{1, 0}, {7, 0}, {64, 3}, {-1, 1}, {-1, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.grant) + "/" + std::to_string(row.chunk));
        Secure s;
        s.tls.maxRecordPlaintext = 10;
        s.Open();
        s.net->sendBudget = 0;
        s.net->maxSendChunk = row.chunk;
        std::string want = kFirstRequest;
        std::size_t records = 1;
        for (int i = 0; i < 6; ++i) {
            const std::string request = *protocol::FrameRequest("0003" + std::string(static_cast<std::size_t>(i * 9), 'a' + i));
            ASSERT_TRUE(s.socket->QueueSend(request.data(), static_cast<std::uint32_t>(request.size())));
            want += request;
            records += (request.size() + 9) / 10;
        }
        for (int turn = 0; turn < 100000 && s.socket->QueuedSendCount() + (s.net->selected & kEventWrite) > 0; ++turn) {
            s.net->sendBudget = row.grant;
            if (!s.net->Notify(kEventWrite)) break;
        }
        EXPECT_EQ(s.socket->QueuedSendCount(), 0u);
        const FakeWire wire = s.Wire();
        EXPECT_EQ(wire.plain, want);
        EXPECT_EQ(wire.applicationRecords, records);
        // Nothing is left to send, so write events are off again.
        EXPECT_EQ(s.net->selected, kReadAndCloseEvents);
    }
}

TEST(SecureTransportConnect, EveryFailureReachesTheConnectNotificationAndNothingOfOursIsSent) {
    Sha256 pin{};
    pin[0] = 1;
    struct Row {
        const char* name;
        SecurityMode mode;
        std::function<void(Secure&)> setUp;
        std::function<void(Secure&)> server;
        int want;
    };
    const auto handshake = [](Secure& s) { s.Arrive(FakeServerHandshake()); };
    const auto none = [](Secure&) {};
    const Row rows[] = {
        {"trusted", SecurityMode::TlsSystem, none, handshake, 0},
        {"pinned and matching", SecurityMode::TlsPinned, [&](Secure& s) { s.tls.facts.fingerprint = pin; }, handshake, 0},
        {"TCP refused", SecurityMode::TlsSystem, none, [](Secure& s) {}, 10061},
        {"a plain server answers", SecurityMode::TlsSystem, none, [](Secure& s) { s.Arrive(ServerPacket(2, "0")); },
         static_cast<int>(TlsFailure::Handshake)},
        {"the server hangs up", SecurityMode::TlsSystem, none,
         [](Secure& s) {
             s.net->peerClosed = true;
             s.net->Notify(kEventClose);
         },
         static_cast<int>(TlsFailure::Handshake)},
        {"the server hangs up inside a record", SecurityMode::TlsSystem, none,
         [](Secure& s) {
             s.Arrive(FakeServerHandshake().substr(0, 8));
             s.net->peerClosed = true;
             s.net->Notify(kEventRead);
         },
         static_cast<int>(TlsFailure::Handshake)},
        {"an alert", SecurityMode::TlsSystem, none, [](Secure& s) { s.Arrive(FakeRecord(kRecordAlert, "\x02\x28")); },
         static_cast<int>(TlsFailure::Handshake)},
        {"a record longer than a peer may send", SecurityMode::TlsSystem, none,
         [](Secure& s) { s.Arrive(std::string("\x16\x03\x03\x48\x01", 5)); }, static_cast<int>(TlsFailure::Handshake)},
        {"the engine cannot start", SecurityMode::TlsSystem, [](Secure& s) { s.tls.startFails = true; }, none,
         static_cast<int>(TlsFailure::Handshake)},
        {"untrusted", SecurityMode::TlsSystem, [](Secure& s) { s.tls.facts.chainErrorStatus = 0x20; }, handshake,
         static_cast<int>(TlsFailure::Untrusted)},
        {"wrong name", SecurityMode::TlsSystem, [](Secure& s) { s.tls.facts.policyError = kPolicyWrongName; },
         handshake, static_cast<int>(TlsFailure::WrongName)},
        {"wrong fingerprint", SecurityMode::TlsPinned, none, handshake, static_cast<int>(TlsFailure::WrongFingerprint)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Secure s(row.mode, pin);
        row.setUp(s);
        ASSERT_TRUE(s.socket->ConnectTo("localhost", 5000));
        s.net->Notify(kEventConnect, row.want == 10061 ? 10061 : 0);
        row.server(s);
        ASSERT_EQ(s.socket->connects, std::vector<int>{row.want});
        EXPECT_EQ(s.socket->IsConnected(), row.want == 0);
        EXPECT_EQ(s.net->open, row.want == 0 || row.want == 10061) << "a refused session closes the connection";
        EXPECT_EQ(s.Wire().plain, row.want == 0 ? kFirstRequest : "");
        if (s.tls.peerCertificateCalls > 0) {
            EXPECT_EQ(s.tls.askedForChain, row.mode == SecurityMode::TlsSystem);
        }
    }
}

TEST(SecureTransportConnect, AConnectMadeAtOnceStillRunsTheHandshakeFromTheMessageLoop) {
    Secure s;
    s.net->connectMode = TransportScript::ConnectMode::AtOnce;
    ASSERT_TRUE(s.socket->ConnectTo("localhost", 5000));
    EXPECT_TRUE(s.net->wire.empty());
    EXPECT_EQ(s.net->DeliverPosted(), 1);
    s.Arrive(FakeServerHandshake());
    EXPECT_EQ(s.socket->connects, std::vector<int>{0});
}

TEST(SecureTransportClose, EndOrBreakOfTheSessionIsOneClose) {
    const std::string packet = ServerPacket(3, "before the end");
    struct Row {
        const char* name;
        std::function<void(Secure&)> server;
        std::size_t packets;
        bool sendsAfter;  // a close of the other end leaves our side open, as on TCP
    };
    const auto fin = [](Secure& s) {
        s.net->peerClosed = true;
        s.net->Notify(kEventClose);
    };
    const Row rows[] = {
        {"TCP close alone", fin, 0, true},
        {"close_notify, then the TCP close",
         [&](Secure& s) {
             s.Arrive(FakeSeal(packet) + FakeCloseNotify());
             s.net->DeliverPosted();
             fin(s);
         },
         1, true},
        {"close_notify, TCP left open", [&](Secure& s) { s.Arrive(FakeCloseNotify()); }, 0, true},
        {"a record the engine refuses", [&](Secure& s) { s.Arrive(FakeRecord(kRecordHandshake, "renegotiate")); }, 0,
         false},
        {"bytes that are no record", [&](Secure& s) { s.Arrive(FakeSeal(packet) + "garbage"); }, 1, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Secure s;
        s.Open();
        row.server(s);
        s.net->DeliverPosted();
        fin(s);
        EXPECT_EQ(s.socket->closes, 1);
        EXPECT_EQ(s.socket->packets.size(), row.packets);
        // What was queued still goes out, unless the session is broken.
        s.net->wire.clear();
        s.socket->QueueSend("00080003late", 12);
        EXPECT_EQ(s.Wire().plain, row.sendsAfter ? "00080003late" : "");
    }
}

TEST(SecureTransportClose, ClosingOurSideSaysCloseNotifyFirst) {
    Secure s;
    s.Open();
    s.net->wire.clear();
    s.socket->Reset();
    EXPECT_EQ(s.net->wire, FakeCloseNotify());
    EXPECT_FALSE(s.net->open);
}

}  // namespace
}  // namespace vexa::net
