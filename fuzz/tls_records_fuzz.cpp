// The encrypted transport's side of the server's bytes: arbitrary bytes,
// after the handshake or in its place, arrive in arbitrary pieces on a
// packet socket over the secure transport (the stand-in engine decrypts),
// so the record framing, its bounds and the session's states meet hostile
// input. Every delivered packet must be a whole frame, a connect is reported
// at most once, and a close at most once.
//
// Input: byte 0 chooses whether the handshake comes first and the piece
// size; the rest is the stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "net/packet_socket.h"
#include "net/secure_transport.h"
#include "net/testing/fake_tls_engine.h"
#include "net/testing/scripted_transport.h"

namespace {

using namespace vexa::net;

[[noreturn]] void Fail(const char* fault) {
    std::fprintf(stderr, "%s\n", fault);
    std::abort();
}

class CheckingSocket : public PacketSocket {
public:
    using PacketSocket::PacketSocket;
    int OnPacket(const char* bytes, int size) override {
        if (size < 5 || static_cast<std::uint32_t>(size) > kMaxServerPacket) Fail("a packet of impossible size");
        return 0;
    }
    void OnConnect(int error) override {
        if (++connects > 1) Fail("two connect notifications");
        SetConnected(error == 0);
        if (error == 0) QueueSend("00080044u1", 10);
    }
    void OnClose(int) override {
        if (++closes > 1) Fail("two close notifications");
    }
    int connects = 0;
    int closes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool handshakeFirst = (data[0] & 0x80) != 0;
    const std::size_t piece = 1 + (data[0] & 0x3F);
    std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
    if (handshakeFirst) stream.insert(0, testing::FakeServerHandshake());

    auto net = std::make_shared<testing::TransportScript>();
    testing::FakeTlsScript tls;
    tls.maxRecordPlaintext = 7;
    auto socket = std::make_unique<CheckingSocket>(std::make_unique<SecureTransport>(
        std::make_unique<testing::ScriptedTransport>(net), std::make_unique<testing::FakeTlsEngine>(tls),
        SecurityMode::TlsSystem, Sha256{}));
    socket->ConnectTo("localhost", 7789);
    net->Notify(kEventConnect, 0);
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        net->Arrive(std::string_view(stream).substr(at, piece));
        net->DeliverPosted();
    }
    net->peerClosed = true;
    net->Notify(kEventRead);
    net->Notify(kEventClose);
    net->DeliverPosted();
    return 0;
}
