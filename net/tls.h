// The portable half of the encrypted transport: what the IM program asked
// for (the security setting), how a server certificate is judged, how TLS
// records are cut out of the byte stream, and the engine interface behind
// which the system's TLS (Schannel on Windows) does the cryptography.
//
// Nothing here does I/O or cryptography. The engine is fed whole records and
// hands back bytes to send; the secure transport (net/secure_transport.h)
// moves them between the engine and the network.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vexa::net {

// The security modes of the exported interface (IMSECURITY).
enum class SecurityMode : int {
    Plain = 0,        // plain TCP, byte for byte as without this layer
    TlsSystem = 1,    // TLS; the system's trusted roots and the host name
    TlsPinned = 2,    // TLS; the SHA-256 fingerprint of the server certificate
};

using Sha256 = std::array<std::uint8_t, 32>;

// A SHA-256 fingerprint as people copy it: 64 hexadecimal digits in either
// case, the pairs optionally separated by ':' (as `openssl x509 -fingerprint
// -sha256` prints it). Anything else is refused.
std::optional<Sha256> ParseFingerprint(std::string_view text);

// What the next connect does. A setting that was refused keeps the library
// from connecting at all (Valid() false) rather than leaving it on plain
// TCP: a caller who ignores the refusal must not talk in clear text.
class SecuritySetting {
public:
    // The default: plain TCP.
    SecuritySetting() = default;
    // False (and the setting refuses every connect) for an unknown mode or,
    // in the pinned mode, a fingerprint that does not parse.
    bool Set(int mode, std::string_view fingerprint);

    bool Valid() const { return valid_; }
    SecurityMode Mode() const { return mode_; }
    bool Encrypted() const { return mode_ != SecurityMode::Plain; }
    const Sha256& Pin() const { return pin_; }

private:
    SecurityMode mode_ = SecurityMode::Plain;
    Sha256 pin_{};
    bool valid_ = true;
};

// Why an encrypted connection was refused. The values travel as the error
// code of the socket's connect notification, beside the socket errors
// (which are all below 12000).
enum class TlsFailure : int {
    None = 0,
    Handshake = 20001,         // no TLS 1.2+ session could be agreed
    Untrusted = 20002,         // the chain does not end in a trusted root, or is not valid
    WrongName = 20003,         // the certificate is not for the server's host name
    WrongFingerprint = 20004,  // the certificate is not the pinned one
};
constexpr bool IsTlsFailure(int error) { return error >= 20001 && error <= 20004; }

// What the system found out about the server's certificate.
struct CertificateFacts {
    // The chain's summary error bits (CERT_TRUST_STATUS.dwErrorStatus): any
    // bit set fails, a partial chain (0x10000) included, since the SSL policy
    // can pass such a chain.
    std::uint32_t chainErrorStatus = 0;
    // The SSL policy's verdict with the server name (0 when it passed).
    std::uint32_t policyError = 0;
    // SHA-256 over the end certificate's encoded bytes.
    Sha256 fingerprint{};
    // False when the system could not produce the facts at all.
    bool complete = false;
};

// The policy error for a certificate issued to another name (CERT_E_CN_NO_MATCH).
constexpr std::uint32_t kPolicyWrongName = 0x800B010F;

// The verdict on a certificate for the mode in force. In the system mode a
// chain or policy error other than the name is "untrusted", which also wins
// over a wrong name; in the pinned mode only the fingerprint counts.
TlsFailure JudgeCertificate(SecurityMode mode, const Sha256& pin, const CertificateFacts& facts);

// ---- records

// The TLS record header: content type, version, length of the body.
constexpr std::size_t kRecordHeaderSize = 5;
// The largest record body a peer may send (TLSCiphertext: 2^14 + 2048).
constexpr std::size_t kMaxRecordBody = 16384 + 2048;

enum RecordType : std::uint8_t {
    kRecordChangeCipherSpec = 20,
    kRecordAlert = 21,
    kRecordHandshake = 22,
    kRecordApplicationData = 23,
};

// The body length announced by a record header, or nothing when the header
// cannot start a TLS record (unknown type, a version other than 3.0 to 3.4,
// a body longer than a peer may send). A plain IM server's first bytes, four
// digits, are refused here at once.
std::optional<std::size_t> RecordBodyLength(const std::uint8_t* header);

// ---- the engine

// The system's TLS for one client connection. Every input is whole records
// (header and body) as they came from the server; output is bytes to send,
// in order.
class TlsEngine {
public:
    virtual ~TlsEngine() = default;

    enum class Step {
        Continue,  // more records from the server are needed
        Done,      // the session is up (output may still hold the last flight)
        Failed,    // the handshake cannot succeed
    };
    // Begins the handshake: the first flight (ClientHello) into out.
    virtual Step Start(std::string& out) = 0;
    // Handshake records. consumed: how many leading bytes were used; the
    // rest is offered again with the next record.
    virtual Step Handshake(const char* records, std::size_t n, std::size_t& consumed, std::string& out) = 0;
    // After Done: what the system found out about the server's certificate.
    // chain: whether the trust chain and the SSL policy are asked for.
    virtual CertificateFacts PeerCertificate(bool chain) = 0;

    // The largest plaintext one record carries.
    virtual std::size_t MaxRecordPlaintext() const = 0;
    // One record holding n (at most MaxRecordPlaintext) bytes, into out.
    virtual bool Encrypt(const char* plain, std::size_t n, std::string& out) = 0;

    enum class Record {
        Data,    // plaintext (possibly none, for a record that carries none)
        Closed,  // the server's close_notify
        Failed,  // an alert, a bad record, anything but the above
    };
    // One whole record from the server, decrypted in place; plaintext is
    // appended to plain, and any answer the system owes the server to out.
    virtual Record Decrypt(char* record, std::size_t n, std::string& plain, std::string& out) = 0;
    // A close_notify for the server, into out; best effort.
    virtual void Shutdown(std::string& out) = 0;
};

}  // namespace vexa::net
