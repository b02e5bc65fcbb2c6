#include "net/packet_socket.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/testing/scripted_transport.h"
#include "protocol/frame.h"

namespace vexa::net {
namespace {

using testing::TransportScript;
using testing::ScriptedTransport;

std::string ServerPacket(int code, std::string_view payload) {
    auto framed = protocol::FrameServerPacket(code, payload);
    EXPECT_TRUE(framed.has_value());
    return framed.value_or("");
}

// A packet socket that records every delivered packet.
class RecordingSocket : public PacketSocket {
public:
    explicit RecordingSocket(std::shared_ptr<TransportScript> script)
        : PacketSocket(std::make_unique<ScriptedTransport>(std::move(script))) {}

    int OnPacket(const char* bytes, int size) override {
        packets.emplace_back(bytes, static_cast<std::size_t>(size));
        if (onPacket) onPacket(packets.back());
        return 0;
    }
    void OnConnect(int error) override { SetConnected(error == 0); }

    std::vector<std::string> packets;
    std::function<void(const std::string&)> onPacket;
};

// A socket connected through the script, with read events selected as after
// the first request.
struct Connected {
    std::shared_ptr<TransportScript> script = std::make_shared<TransportScript>();
    std::unique_ptr<RecordingSocket> socket = std::make_unique<RecordingSocket>(script);

    explicit Connected(bool startReading = true) {
        EXPECT_TRUE(socket->ConnectTo("127.0.0.1", 5000));
        EXPECT_TRUE(script->Notify(kEventConnect, 0));
        EXPECT_TRUE(socket->IsConnected());
        if (startReading) {
            EXPECT_TRUE(socket->QueueSend("0004", 4));
        }
        script->wire.clear();
    }
};

// Plays stream cut at the given offsets (ascending, inside the stream), one
// read notification per piece, and returns what was delivered.
std::vector<std::string> Play(const std::string& stream, const std::vector<std::size_t>& cuts, int maxChunk = 0) {
    Connected c;
    c.script->maxReceiveChunk = maxChunk;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        c.script->Arrive(stream.substr(from, cut - from));
        from = cut;
    }
    c.script->Arrive(stream.substr(from));
    // A read never asks for more than the current packet still needs.
    for (int n : c.script->receiveRequests) EXPECT_LE(n, static_cast<int>(PacketSocket::kMaxServerPacket));
    EXPECT_TRUE(c.script->incoming.empty());
    return c.socket->packets;
}

TEST(PacketSocketReceiveTest, SmallStreamSplitInEveryWayArrivesWholeOnceInOrder) {
    const std::vector<std::string> want = {ServerPacket(2, "0"), ServerPacket(8, "")};
    const std::string stream = want[0] + want[1];
    const std::size_t gaps = stream.size() - 1;  // places where a cut can go
    ASSERT_LE(gaps, 20u);
    for (std::uint32_t mask = 0; mask < (1u << gaps); ++mask) {
        std::vector<std::size_t> cuts;
        for (std::size_t i = 0; i < gaps; ++i)
            if (mask & (1u << i)) cuts.push_back(i + 1);
        ASSERT_EQ(Play(stream, cuts), want) << "cut mask " << mask;
    }
}

TEST(PacketSocketReceiveTest, LongerStreamInEveryTwoAndThreeWaySplitAndEveryChunkSize) {
    const std::vector<std::string> want = {
        ServerPacket(2, "0"),
        ServerPacket(3, "10002!|!SYSTEMDATE!|!10001!|!0!|!<msg>hi</msg>"),
        ServerPacket(8, ""),
        ServerPacket(22, "<user><id>7</id></user><over>"),
    };
    std::string stream;
    for (const auto& p : want) stream += p;

    for (std::size_t i = 1; i < stream.size(); ++i) {
        ASSERT_EQ(Play(stream, {i}), want) << "cut at " << i;
        for (std::size_t j = i + 1; j < stream.size(); ++j) ASSERT_EQ(Play(stream, {i, j}), want) << i << "," << j;
    }
    for (std::size_t size = 1; size <= stream.size(); ++size) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = size; at < stream.size(); at += size) cuts.push_back(at);
        ASSERT_EQ(Play(stream, cuts), want) << "pieces of " << size;
    }
    // Short reads inside one arrival: all of it at once, taken a few bytes at a time.
    for (int chunk = 1; chunk <= 7; ++chunk) ASSERT_EQ(Play(stream, {}, chunk), want) << "reads of " << chunk;
}

TEST(PacketSocketReceiveTest, PacketInThreePiecesIsDeliveredAfterTheThird) {
    Connected c;
    const std::string packet = ServerPacket(3, "hello");
    c.script->Arrive(packet.substr(0, 2));
    c.script->Arrive(packet.substr(2, 6));
    EXPECT_TRUE(c.socket->packets.empty());
    c.script->Arrive(packet.substr(8));
    ASSERT_EQ(c.socket->packets.size(), 1u);
    EXPECT_EQ(c.socket->packets[0], packet);
}

TEST(PacketSocketReceiveTest, LengthFieldsAreReadAsAtoiReadsThem) {
    struct Case {
        std::string field;
        std::string rest;
        std::vector<std::string> want;  // delivered packets
    };
    const std::string next = ServerPacket(8, "");
    const std::string body12 = std::string("0003payload\0", 13);  // 13 bytes: 12 + the trailing one
    const Case cases[] = {
        {"0000", next, {next}},
        {"-012", next, {next}},
        {"abcd", next, {next}},
        {"    ", next, {next}},
        {"-000", next, {next}},
        {"12ab", body12, {"12ab" + body12}},
        {" 12x", body12, {" 12x" + body12}},
        {"+12!", body12, {"+12!" + body12}},
        {"0000-012abcd", next, {next}},  // three bad fields in a row
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.field);
        const std::string stream = k.field + k.rest;
        EXPECT_EQ(Play(stream, {}), k.want);
        EXPECT_EQ(Play(stream, {1, 2, 3, 5}), k.want);
    }
}

TEST(PacketSocketReceiveTest, LargestPacketIsDeliveredWhole) {
    const std::string payload(9995, 'x');
    const std::string packet = ServerPacket(3, payload);
    ASSERT_EQ(packet.size(), 10004u);
    ASSERT_EQ(packet.substr(0, 4), "9999");
    for (int chunk : {0, 1000, 4096}) {
        SCOPED_TRACE(chunk);
        Connected c;
        c.script->maxReceiveChunk = chunk;
        c.script->Arrive(packet + ServerPacket(8, ""));
        ASSERT_EQ(c.socket->packets.size(), 2u);
        EXPECT_EQ(c.socket->packets[0], packet);
        // First the length field, then exactly the rest of the packet.
        ASSERT_GE(c.script->receiveRequests.size(), 2u);
        EXPECT_EQ(c.script->receiveRequests[0], 4);
        EXPECT_EQ(c.script->receiveRequests[1], 10000);
    }
}

TEST(PacketSocketReceiveTest, ReadsNothingBeforeTheFirstRequest) {
    Connected c(/*startReading=*/false);
    EXPECT_EQ(c.script->selected, kConnectAndCloseEvents);
    EXPECT_FALSE(c.script->Arrive(ServerPacket(2, "0")));
    EXPECT_TRUE(c.socket->packets.empty());
    ASSERT_TRUE(c.socket->QueueSend("00040007", 8));
    EXPECT_TRUE(c.script->Notify(kEventRead));
    ASSERT_EQ(c.socket->packets.size(), 1u);
}

TEST(PacketSocketReceiveTest, PeerCloseOrErrorKeepsThePartialPacket) {
    Connected c;
    const std::string packet = ServerPacket(3, "abcdef");
    c.script->Arrive(packet.substr(0, 7));
    c.script->peerClosed = true;
    c.script->Notify(kEventRead);  // Receive gives 0: nothing delivered, nothing lost
    c.script->peerClosed = false;
    c.script->Arrive(packet.substr(7));
    ASSERT_EQ(c.socket->packets.size(), 1u);
    EXPECT_EQ(c.socket->packets[0], packet);
}

TEST(PacketSocketReceiveTest, NestedReadNotificationDoesNotReenter) {
    Connected c;
    const std::string first = ServerPacket(2, "0");
    const std::string second = ServerPacket(3, "late");
    bool inHandler = false;
    int nestedDeliveries = 0;
    c.socket->onPacket = [&](const std::string&) {
        if (inHandler) ++nestedDeliveries;
        if (c.socket->packets.size() != 1) return;
        inHandler = true;
        // A modal box further down runs a message loop that dispatches the
        // next read notification while this one still runs.
        EXPECT_TRUE(c.script->Arrive(second));
        inHandler = false;
    };
    c.script->Arrive(first);
    EXPECT_EQ(nestedDeliveries, 0);
    EXPECT_EQ(c.socket->packets, (std::vector<std::string>{first, second}));
}

TEST(PacketSocketReceiveTest, HandlerMaySendWhileReceiving) {
    Connected c;
    c.socket->onPacket = [&](const std::string& p) { c.socket->QueueSend("00040044", 8); };
    c.script->Arrive(ServerPacket(2, "0") + ServerPacket(8, ""));
    EXPECT_EQ(c.socket->packets.size(), 2u);
    EXPECT_EQ(c.script->wire, "0004004400040044");
}

TEST(PacketSocketSendTest, EverythingTakenLeavesQueueEmptyAndSelectsReadAndClose) {
    Connected c;
    c.script->selections.clear();
    ASSERT_TRUE(c.socket->QueueSend("00130007Keepalive", 17));
    EXPECT_EQ(c.script->wire, "00130007Keepalive");
    EXPECT_EQ(c.socket->QueuedSendCount(), 0u);
    EXPECT_EQ(c.script->selections, (std::vector<long>{kReadWriteCloseEvents, kReadAndCloseEvents}));
}

TEST(PacketSocketSendTest, PartlySentRequestIsFinishedBeforeAnyLaterOne) {
    struct Case {
        long long budget;  // what the network takes before it blocks
        int chunk;         // at most this per Send
    };
    const Case cases[] = {{0, 0}, {1, 0}, {5, 0}, {10, 0}, {11, 0}, {14, 0}, {3, 2}, {100, 1}};
    const std::vector<std::string> requests = {"AAAAAAAAAA", "BBB", "C", "DDDDDD"};
    std::string all;
    for (const auto& r : requests) all += r;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.budget);
        Connected c;
        c.script->sendBudget = k.budget;
        c.script->maxSendChunk = k.chunk;
        for (const auto& r : requests) ASSERT_TRUE(c.socket->QueueSend(r.data(), static_cast<std::uint32_t>(r.size())));
        const std::size_t taken = static_cast<std::size_t>(std::min<long long>(k.budget, all.size()));
        EXPECT_EQ(c.script->wire, all.substr(0, taken));
        if (taken < all.size()) {
            EXPECT_EQ(c.script->selected, kReadWriteCloseEvents);
            EXPECT_EQ(c.socket->QueuedSendBytes(), all.size() - taken);
        }
        // The network drains in small steps; each write notification goes on
        // where the last one stopped.
        while (c.script->wire.size() < all.size()) {
            c.script->sendBudget = 3;
            ASSERT_TRUE(c.script->Notify(kEventWrite));
        }
        EXPECT_EQ(c.script->wire, all);
        EXPECT_EQ(c.socket->QueuedSendCount(), 0u);
        EXPECT_EQ(c.script->selected, kReadAndCloseEvents);
    }
}

TEST(PacketSocketSendTest, WriteNotificationWithErrorIsIgnored) {
    Connected c;
    c.script->sendBudget = 0;
    ASSERT_TRUE(c.socket->QueueSend("abc", 3));
    c.script->sendBudget = -1;
    EXPECT_TRUE(c.script->Notify(kEventWrite, 10054));
    EXPECT_EQ(c.script->wire, "");
    EXPECT_TRUE(c.script->Notify(kEventWrite, 0));
    EXPECT_EQ(c.script->wire, "abc");
}

TEST(PacketSocketSendTest, NestedWriteNotificationDoesNotReenter) {
    Connected c;
    int nested = 0;
    c.script->duringSend = [&] {
        if (nested++ == 0) {
            EXPECT_TRUE(c.script->Notify(kEventWrite));
        }
    };
    c.script->maxSendChunk = 2;
    ASSERT_TRUE(c.socket->QueueSend("abcdef", 6));
    EXPECT_EQ(c.script->wire, "abcdef");  // sent once, in order, by the outer call
    EXPECT_EQ(nested, 3);                 // Send ran three times, no more
}

TEST(PacketSocketLifecycleTest, ConnectToResultsAndReset) {
    struct Case {
        TransportScript::ConnectMode mode;
        bool createSucceeds;
        bool want;
    };
    const Case cases[] = {
        {TransportScript::ConnectMode::UnderWay, true, true},
        {TransportScript::ConnectMode::AtOnce, true, true},
        {TransportScript::ConnectMode::Fail, true, false},
        {TransportScript::ConnectMode::UnderWay, false, false},
    };
    for (const Case& k : cases) {
        auto script = std::make_shared<TransportScript>();
        script->connectMode = k.mode;
        script->createSucceeds = k.createSucceeds;
        RecordingSocket socket(script);
        EXPECT_EQ(socket.ConnectTo("host", 80), k.want);
        EXPECT_EQ(script->address, "host");
        EXPECT_EQ(script->port, 80u);
        if (k.createSucceeds) {
            EXPECT_EQ(script->selections.front(), kConnectAndCloseEvents);
        }
    }

    // Reset closes the handle and drops the queues and the partial packet.
    Connected c;
    c.script->sendBudget = 0;
    ASSERT_TRUE(c.socket->QueueSend("queued", 6));
    c.script->Arrive("0012");
    c.socket->Reset();
    EXPECT_FALSE(c.socket->IsConnected());
    EXPECT_FALSE(c.script->open);
    EXPECT_EQ(c.socket->QueuedSendCount(), 0u);
    // A new connection starts from a clean receive side.
    ASSERT_TRUE(c.socket->ConnectTo("host", 80));
    c.script->Notify(kEventConnect, 0);
    c.socket->QueueSend("x", 1);
    c.script->incoming.clear();
    c.script->Arrive(ServerPacket(8, ""));
    EXPECT_EQ(c.socket->packets, (std::vector<std::string>{ServerPacket(8, "")}));
}

TEST(PacketSocketLifecycleTest, DestroyInsideOwnReadNotificationIsDeferred) {
    auto script = std::make_shared<TransportScript>();
    SocketPtr<RecordingSocket> socket(new RecordingSocket(script));
    ASSERT_TRUE(socket->ConnectTo("h", 1));
    script->Notify(kEventConnect);
    socket->QueueSend("x", 1);

    bool aliveInsideAfterDestroy = false;
    int delivered = 0;
    socket->onPacket = [&](const std::string&) {
        ++delivered;
        socket.reset();  // the IM program closes the client here
        aliveInsideAfterDestroy = script->transportAlive;
        // Later notifications for it are not delivered any more.
        EXPECT_FALSE(script->Notify(kEventRead));
    };
    script->Arrive(ServerPacket(2, "0") + ServerPacket(3, "never"));
    EXPECT_EQ(delivered, 1);
    EXPECT_TRUE(aliveInsideAfterDestroy);  // still there while its notification ran
    EXPECT_FALSE(script->transportAlive);  // gone once it returned
    EXPECT_EQ(script->closeCount, 1);
    EXPECT_EQ(script->owner, nullptr);
}

TEST(PacketSocketLifecycleTest, DestroyOutsideNotificationsIsImmediate) {
    auto script = std::make_shared<TransportScript>();
    SocketPtr<RecordingSocket> socket(new RecordingSocket(script));
    ASSERT_TRUE(socket->ConnectTo("h", 1));
    socket.reset();
    EXPECT_FALSE(script->transportAlive);
    EXPECT_FALSE(script->open);
}

}  // namespace
}  // namespace vexa::net
