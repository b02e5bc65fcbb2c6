// The receive path measured end to end: a byte stream of server packets laid
// out as one busy session's traffic (login, the list of request 44,
// friend-list batches, chats in ASCII and GBK, file offers, status and
// position changes, friend and one-to-one traffic, keep-alive answers), built
// here so the run needs no server. It arrives in TCP-sized segments on the
// packet socket, is cut into packets and turned into records. Beside it, the
// same packets handed to HandleServerPacket one by one (the handlers alone),
// and memchr over the same bytes, the ceiling of any pass over them. Then the
// friend-list handler at 10, 100 and 1000 users, valid and hostile, to show
// that its cost grows linearly.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/packet_socket.h"
#include "net/testing/scripted_transport.h"
#include "protocol/frame.h"
#include "protocol/incoming.h"
#include "protocol/user_records.h"

namespace {

using namespace vexa;

const std::string kNiHao = "\xC4\xE3\xBA\xC3";
const std::string kZhangSan = "\xD5\xC5\xC8\xFD";
const std::string kSongTi = "\xCB\xCE\xCC\xE5";
const std::string kXiaoXi = "\xCF\xFB\xCF\xA2";

// Keeps each delivery observable so no handler work can be optimised away.
class CountingPort : public protocol::DeliveryPort {
public:
    long long deliveries = 0;
    long long checksum = 0;
    long Notify(int kind, const void* lParam) override {
        ++deliveries;
        checksum += kind + *static_cast<const unsigned char*>(lParam);
        return 0;
    }
    void Post(int kind, long) override { ++deliveries; }
    void SendRequest(const std::string& framed) override { checksum += static_cast<long long>(framed.size()); }
    void ShowMessage(const std::string&) override {}
    void DebugLine(const std::string& line) override { checksum += static_cast<long long>(line.size()); }
    std::string LocalTimeText() override { return "20240131 23:59:58"; }
};

// Every payload here fits a packet; value() would stop the run if one did not.
std::string Packet(int code, const std::string& payload) { return protocol::FrameServerPacket(code, payload).value(); }

std::string UserElement(int id, const std::string& name, const std::string& nickname) {
    return "<user><id>" + std::to_string(id) + "</id><name>" + name + "</name><nickname>" + nickname +
           "</nickname><littleword>" + kNiHao + kXiaoXi + " back at 5</littleword><brithday>19900101</brithday>"
           "<pos><id>1</id><ms>" + kSongTi + "</ms><pos0>10</pos0><pos1>20</pos1><pos2>30</pos2><pos3>40</pos3></pos>"
           "<sex>1</sex><class>2</class><vip>0</vip><status>1</status><style>3</style><afset>0</afset>"
           "<photo>face" + std::to_string(id % 32) + ".bmp</photo><vp>0</vp><lt>1</lt></user>";
}

std::string FriendListBody(int first, int count, bool valid) {
    std::string body;
    for (int i = 0; i < count; ++i)
        body += valid ? UserElement(first + i, "user" + std::to_string(first + i), kZhangSan)
                      // Hostile: every element is read in full and then refused.
                      : "<user><id>0</id><name>x</name><nickname>" + std::string(40, 'n') + "</nickname></user>";
    return body + "<over>1</over>";
}

std::string Chat(int id, const std::string& text, const std::string& face) {
    return "u1!|!SYSTEMDATE!|!user" + std::to_string(id % 40) + "!|!1!|!<msg><id>" + std::to_string(id) +
           "</id><fusr>user" + std::to_string(id % 40) + "</fusr><tusr>u1</tusr><imzt>Bold=0,Underline=0,Italic=0,"
           "TextColor=0,Size=10,FaceName=" + face + "</imzt><cnt>" + text + "</cnt></msg>";
}

// One recorded session: the login, then traffic in the proportions a busy
// client sees (mostly chats and status changes).
std::string SessionStream() {
    std::string s = Packet(2, "0") + Packet(45, "offline:3!|!files:1!|!" + kXiaoXi + ":12");
    // 120 friends in batches that fit a packet.
    for (int first = 1; first <= 120; first += 20) s += Packet(22, FriendListBody(first, 20, true));
    const std::string texts[] = {
        "ok",
        "See you at the meeting at 10, bring the slides please.",
        kNiHao + "," + kZhangSan + kXiaoXi + kXiaoXi + kNiHao,
        std::string(600, 'x'),
        [] { std::string t; for (int i = 0; i < 100; ++i) t += kNiHao + kXiaoXi; return t; }(),
    };
    for (int round = 0; round < 200; ++round) {
        s += Packet(3, Chat(round, texts[round % 5], round % 2 ? "Arial" : kSongTi));
        s += Packet(32, "user" + std::to_string(round % 40) + "!|!" + std::to_string(round % 4) + "!|!" + kNiHao);
        if (round % 4 == 0)
            s += Packet(33, "user" + std::to_string(round % 40) +
                                "!|!<id>2</id><ms>room</ms><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>");
        if (round % 10 == 0) s += Packet(8, "");
        if (round % 20 == 0) {
            s += Packet(23, "user" + std::to_string(round) + "!|!u1!|!" + kNiHao);
            s += Packet(31, "user3!|!u1");
            s += Packet(42, "user5!|!u1!|!0!|!" + kNiHao + "!|!1!|!2");
            s += Packet(3, "u1!|!SYSTEMDATE!|!user7!|!1!|!<msg><id>9</id><fusr>user7</fusr><tusr>u1</tusr><imzt>"
                           "Bold=0,Underline=0,Italic=0,TextColor=0,Size=10,FaceName=Arial</imzt><cnt></cnt>"
                           "<file>report.doc~|~40960~|~0123456789abcdef0123456789abcdef~|~10.0.0.7~|~5000</file></msg>");
            s += Packet(37, "0" + UserElement(77, "user77", kZhangSan));
        }
    }
    return s;
}

const std::string& Stream() {
    static const std::string stream = SessionStream();
    return stream;
}

// The packets of the stream, cut by their length fields.
std::vector<std::string> Cut(const std::string& stream) {
    std::vector<std::string> packets;
    for (std::size_t at = 0; at + 4 <= stream.size();) {
        const std::size_t size = static_cast<std::size_t>(std::stoi(stream.substr(at, 4))) + 5;
        packets.push_back(stream.substr(at, size));
        at += size;
    }
    return packets;
}

class Session : public net::ClientSocketSession {
public:
    explicit Session(CountingPort& port) : port_(port) {}
    void OnConnectResult(bool, int) override {}
    bool PostServerClosed() override { return true; }
    void HandleServerPacket(const char* bytes, int size) override {
        ++packets;
        protocol::HandleServerPacket(bytes, size, "u1", port_);
    }
    long long packets = 0;

private:
    CountingPort& port_;
};

// Bytes -> packet socket (1460-byte segments) -> packets -> records.
void BM_ReceivePath(benchmark::State& state) {
    const std::string& stream = Stream();
    CountingPort port;
    Session session(port);
    auto script = std::make_shared<net::testing::TransportScript>();
    auto socket = std::make_unique<net::IMClientSocket>(std::make_unique<net::testing::ScriptedTransport>(script));
    socket->SetSession(&session);
    socket->ConnectTo("127.0.0.1", 5000);
    script->Notify(net::kEventConnect, 0);
    socket->QueueSend("0004", 4);
    script->sendBudget = -1;
    const std::size_t segment = 1460;
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += segment)
            script->Arrive(std::string_view(stream).substr(at, segment));
        script->wire.clear();  // the request-44 answers queued by the login packets
    }
    benchmark::DoNotOptimize(port.checksum);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
    state.counters["packets/s"] = benchmark::Counter(static_cast<double>(session.packets), benchmark::Counter::kIsRate);
    state.counters["records/s"] = benchmark::Counter(static_cast<double>(port.deliveries), benchmark::Counter::kIsRate);
    state.counters["stream_bytes"] = static_cast<double>(stream.size());
    socket->SetSession(nullptr);
}
BENCHMARK(BM_ReceivePath);

// The handlers alone: the same packets, already cut, through HandleServerPacket.
void BM_HandlersOnly(benchmark::State& state) {
    const std::vector<std::string> packets = Cut(Stream());
    CountingPort port;
    for (auto _ : state)
        for (const std::string& p : packets) protocol::HandleServerPacket(p.data(), static_cast<int>(p.size()), "u1", port);
    benchmark::DoNotOptimize(port.checksum);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Stream().size()));
    state.counters["packets/s"] = benchmark::Counter(static_cast<double>(state.iterations() * packets.size()),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HandlersOnly);

// The ceiling: one memchr pass over the same bytes for a byte that is not there.
void BM_MemchrSameBytes(benchmark::State& state) {
    const std::string& stream = Stream();
    for (auto _ : state) {
        const void* hit = std::memchr(stream.data(), '\x01', stream.size());
        benchmark::DoNotOptimize(hit);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
    state.counters["packets/s"] = benchmark::Counter(static_cast<double>(state.iterations() * Cut(stream).size()),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MemchrSameBytes);

// The friend-list handler on one body of n users (the handler takes a body of
// any length; the server's batches are what keep a packet within 9999 bytes).
void BM_FriendList(benchmark::State& state, bool valid) {
    const int users = static_cast<int>(state.range(0));
    const std::string body = FriendListBody(1, users, valid);
    CountingPort port;
    for (auto _ : state) protocol::OnFriendList(body, port);
    benchmark::DoNotOptimize(port.checksum);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
    // Seconds per user: flat across the sizes when the cost is linear.
    state.counters["time/user"] = benchmark::Counter(static_cast<double>(users),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
    state.counters["body_bytes"] = static_cast<double>(body.size());
}
BENCHMARK_CAPTURE(BM_FriendList, valid, true)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK_CAPTURE(BM_FriendList, hostile, false)->Arg(10)->Arg(100)->Arg(1000);

// The same bodies' bytes scanned by memchr, for the ratio at each size.
void BM_FriendListMemchr(benchmark::State& state) {
    const std::string body = FriendListBody(1, static_cast<int>(state.range(0)), true);
    for (auto _ : state) {
        const void* hit = std::memchr(body.data(), '\x01', body.size());
        benchmark::DoNotOptimize(hit);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_FriendListMemchr)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
