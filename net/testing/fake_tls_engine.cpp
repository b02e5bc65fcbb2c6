#include "net/testing/fake_tls_engine.h"

namespace vexa::net::testing {
namespace {

constexpr char kKey = 0x5A;
const std::string_view kCloseBody("\x01\x00", 2);

std::string Xor(std::string_view bytes) {
    std::string out(bytes);
    for (char& c : out) c ^= kKey;
    return out;
}

}  // namespace

std::string FakeRecord(std::uint8_t type, std::string_view body) {
    std::string record;
    record += static_cast<char>(type);
    record += '\x03';
    record += '\x03';
    record += static_cast<char>(body.size() >> 8);
    record += static_cast<char>(body.size() & 0xFF);
    record.append(body);
    return record;
}

std::string FakeSeal(std::string_view plain) { return FakeRecord(kRecordApplicationData, Xor(plain)); }

std::string FakeServerHandshake() {
    return FakeRecord(kRecordHandshake, "server-hello") + FakeRecord(kRecordHandshake, "server-finished");
}

std::string FakeCloseNotify() { return FakeRecord(kRecordAlert, kCloseBody); }

bool ParseFakeWire(std::string_view wire, FakeWire& out) {
    while (!wire.empty()) {
        if (wire.size() < kRecordHeaderSize) return false;
        auto body = RecordBodyLength(reinterpret_cast<const std::uint8_t*>(wire.data()));
        if (!body || wire.size() < kRecordHeaderSize + *body) return false;
        const auto type = static_cast<std::uint8_t>(wire[0]);
        const std::string_view content = wire.substr(kRecordHeaderSize, *body);
        if (type == kRecordApplicationData) {
            out.plain += Xor(content);
            ++out.applicationRecords;
        } else {
            out.others.emplace_back(type, std::string(content));
        }
        wire.remove_prefix(kRecordHeaderSize + *body);
    }
    return true;
}

TlsEngine::Step FakeTlsEngine::Start(std::string& out) {
    if (script_.startFails) return Step::Failed;
    helloSeen_ = false;
    out += FakeRecord(kRecordHandshake, "client-hello");
    return Step::Continue;
}

TlsEngine::Step FakeTlsEngine::Handshake(const char* records, std::size_t n, std::size_t& consumed,
                                         std::string& out) {
    // The transport hands over one whole record at a time.
    consumed = n;
    if (n < kRecordHeaderSize || records[0] != static_cast<char>(kRecordHandshake)) return Step::Failed;
    const std::string_view body(records + kRecordHeaderSize, n - kRecordHeaderSize);
    if (!helloSeen_ && body == "server-hello") {
        helloSeen_ = true;
        out += FakeRecord(kRecordHandshake, "client-finished");
        return Step::Continue;
    }
    if (helloSeen_ && body == "server-finished") return Step::Done;
    return Step::Failed;
}

CertificateFacts FakeTlsEngine::PeerCertificate(bool chain) {
    ++script_.peerCertificateCalls;
    script_.askedForChain = chain;
    return script_.facts;
}

bool FakeTlsEngine::Encrypt(const char* plain, std::size_t n, std::string& out) {
    if (n > script_.maxRecordPlaintext) return false;
    out += FakeSeal(std::string_view(plain, n));
    return true;
}

TlsEngine::Record FakeTlsEngine::Decrypt(char* record, std::size_t n, std::string& plain, std::string& out) {
    if (n < kRecordHeaderSize) return Record::Failed;
    const std::string_view body(record + kRecordHeaderSize, n - kRecordHeaderSize);
    if (record[0] == static_cast<char>(kRecordApplicationData)) {
        plain += Xor(body);
        return Record::Data;
    }
    if (record[0] == static_cast<char>(kRecordAlert) && body == kCloseBody) return Record::Closed;
    return Record::Failed;
}

void FakeTlsEngine::Shutdown(std::string& out) { out += FakeCloseNotify(); }

}  // namespace vexa::net::testing
