// The whole incoming path from the server's bytes to the records the IM
// window receives: arbitrary bytes arrive on a connected IMClientSocket (over
// the scripted transport) in arbitrary pieces, every complete packet goes
// through HandleServerPacket and the dispatcher, and every record delivered
// is checked against the layout rules. The same bytes are also cut into
// length-delimited pieces and handed to HandleServerPacket directly, which
// reaches the size-mismatch path the socket's framing never produces.
//
// Input: byte 0 chooses the own id and the receive chunk limit, byte 1 seeds
// the piece sizes, the rest is the stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "net/packet_socket.h"
#include "net/testing/scripted_transport.h"
#include "tools/describe.h"
#include "protocol/incoming.h"
#include "tests/incoming/recording_port.h"

namespace {

using namespace vexa;

[[noreturn]] void Fail(int kind, const std::string& fault) {
    std::fprintf(stderr, "kind %d record fault: %s\n", kind, fault.c_str());
    std::abort();
}

// Checks every delivery while its record is valid, and sends the requests a
// handler asks for through the socket, as the session does (the receive side
// taking the send side).
class CheckingPort : public protocol::DeliveryPort {
public:
    net::PacketSocket* socket = nullptr;

    long Notify(int kind, const void* lParam) override {
        std::string fault = testing::RecordFault(kind, lParam);
        if (!fault.empty()) Fail(kind, fault);
        std::string line = vexa::demo::DescribeNotification(kind, lParam);
        if (line.empty()) Fail(kind, "empty description");
        return 0;
    }
    void Post(int kind, long lParam) override {
        if (kind != IMN_SERVER_SIGNAL || lParam != 0) Fail(kind, "unexpected post");
    }
    void SendRequest(const std::string& framed) override {
        if (framed.size() < 8 || framed.compare(4, 4, "0044") != 0) Fail(0, "unexpected request " + framed);
        if (socket) socket->QueueSend(framed.data(), static_cast<std::uint32_t>(framed.size()));
    }
    void ShowMessage(const std::string&) override {}
    void DebugLine(const std::string&) override {}
    std::string LocalTimeText() override { return "20240131 23:59:58"; }
};

class Session : public net::ClientSocketSession {
public:
    Session(std::string_view ownId, CheckingPort& port) : ownId_(ownId), port_(port) {}
    void OnConnectResult(bool, int) override {}
    bool PostServerClosed() override { return true; }
    void HandleServerPacket(const char* bytes, int size) override {
        protocol::HandleServerPacket(bytes, size, ownId_, port_);
    }

private:
    std::string_view ownId_;
    CheckingPort& port_;
};

// A small deterministic generator for the piece sizes.
struct Pieces {
    std::uint32_t state;
    std::size_t Next() {
        state = state * 1103515245u + 12345u;
        const std::uint32_t r = (state >> 16) & 0x7FFF;
        // Mostly small pieces, sometimes large ones, so packets are split
        // inside the length field, inside the body and across packets.
        return (r & 3) == 0 ? 1 + r % 4096 : 1 + r % 16;
    }
};

void ThroughTheSocket(std::string_view stream, std::string_view ownId, int maxChunk, std::uint8_t seed) {
    auto script = std::make_shared<net::testing::TransportScript>();
    script->maxReceiveChunk = maxChunk;
    CheckingPort port;
    Session session(ownId, port);
    auto socket = std::make_unique<net::IMClientSocket>(std::make_unique<net::testing::ScriptedTransport>(script));
    socket->SetSession(&session);
    port.socket = socket.get();
    if (!socket->ConnectTo("127.0.0.1", 5000) || !script->Notify(net::kEventConnect, 0)) std::abort();
    socket->QueueSend("0004", 4);  // the first request selects read events
    Pieces pieces{seed};
    while (!stream.empty()) {
        std::size_t n = pieces.Next();
        if (n > stream.size()) n = stream.size();
        script->Arrive(stream.substr(0, n));
        stream.remove_prefix(n);
    }
    socket->SetSession(nullptr);
}

// Each piece: two bytes of size (little-endian, up to 12 KiB) and that many
// bytes, copied into a buffer of exactly that size so any over-read is seen.
void DirectPieces(std::string_view stream, std::string_view ownId) {
    CheckingPort port;
    while (stream.size() >= 2) {
        std::size_t size = (static_cast<unsigned char>(stream[0]) | static_cast<unsigned char>(stream[1]) << 8) % 12288;
        stream.remove_prefix(2);
        if (size > stream.size()) size = stream.size();
        std::unique_ptr<char[]> exact(new char[size ? size : 1]);
        std::memcpy(exact.get(), stream.data(), size);
        protocol::HandleServerPacket(size ? exact.get() : nullptr, static_cast<int>(size), ownId, port);
        stream.remove_prefix(size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static constexpr std::string_view kOwnIds[] = {"u1", "", "10001", "\xd5\xc5\xc8\xfd"};
    const std::string_view ownId = kOwnIds[data[0] & 3];
    const int maxChunk = (data[0] >> 2) % 8 == 0 ? 0 : (data[0] >> 2) % 8;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);
    ThroughTheSocket(stream, ownId, maxChunk, data[1]);
    DirectPieces(stream, ownId);
    return 0;
}
