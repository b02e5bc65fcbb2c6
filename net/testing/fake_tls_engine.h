// A stand-in for the system's TLS in native tests of the secure transport.
// Its records have real TLS headers, so the transport frames them exactly as
// it frames real ones, but the "cipher" is a XOR and the handshake is two
// named messages:
//
//   client: handshake "client-hello"
//   server: handshake "server-hello"     client: handshake "client-finished"
//   server: handshake "server-finished"  -> the session is up
//
// After that, application data records carry the XORed plaintext; an alert
// record "\x01\x00" is the close_notify; anything else is a broken record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/tls.h"

namespace vexa::net::testing {

// One record with a real header.
std::string FakeRecord(std::uint8_t type, std::string_view body);
// Application data as the fake encrypts it.
std::string FakeSeal(std::string_view plain);
// The server's whole handshake flight, one record per message.
std::string FakeServerHandshake();
// The close_notify record.
std::string FakeCloseNotify();
// Splits a client's wire bytes into records; false when they do not parse
// into whole records. Application data is decrypted into plain, the other
// records' bodies are listed with their type.
struct FakeWire {
    std::string plain;
    std::vector<std::pair<std::uint8_t, std::string>> others;
    std::size_t applicationRecords = 0;
};
bool ParseFakeWire(std::string_view wire, FakeWire& out);

struct FakeTlsScript {
    bool startFails = false;
    std::size_t maxRecordPlaintext = 16384;
    CertificateFacts facts = [] {
        CertificateFacts f;
        f.complete = true;
        return f;
    }();
    // Records.
    int peerCertificateCalls = 0;
    bool askedForChain = false;
};

class FakeTlsEngine : public TlsEngine {
public:
    explicit FakeTlsEngine(FakeTlsScript& script) : script_(script) {}

    Step Start(std::string& out) override;
    Step Handshake(const char* records, std::size_t n, std::size_t& consumed, std::string& out) override;
    CertificateFacts PeerCertificate(bool chain) override;
    std::size_t MaxRecordPlaintext() const override { return script_.maxRecordPlaintext; }
    bool Encrypt(const char* plain, std::size_t n, std::string& out) override;
    Record Decrypt(char* record, std::size_t n, std::string& plain, std::string& out) override;
    void Shutdown(std::string& out) override;

private:
    FakeTlsScript& script_;
    bool helloSeen_ = false;
};

}  // namespace vexa::net::testing
