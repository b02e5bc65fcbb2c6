#include "net/tls.h"

#include "VexaIMPlusRecords.h"

namespace vexa::net {

static_assert(static_cast<int>(SecurityMode::Plain) == IMSECURITY_PLAIN &&
              static_cast<int>(SecurityMode::TlsSystem) == IMSECURITY_TLS_SYSTEM &&
              static_cast<int>(SecurityMode::TlsPinned) == IMSECURITY_TLS_PINNED);

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<Sha256> ParseFingerprint(std::string_view text) {
    Sha256 bytes{};
    std::size_t at = 0;
    // Either every pair is separated by ':' or none is.
    const bool colons = text.size() == 32 * 3 - 1;
    if (!colons && text.size() != 64) return std::nullopt;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (colons && i > 0) {
            if (text[at] != ':') return std::nullopt;
            ++at;
        }
        const int high = HexDigit(text[at]);
        const int low = HexDigit(text[at + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
        at += 2;
    }
    return bytes;
}

bool SecuritySetting::Set(int mode, std::string_view fingerprint) {
    valid_ = false;
    pin_ = {};
    switch (mode) {
        case static_cast<int>(SecurityMode::Plain):
        case static_cast<int>(SecurityMode::TlsSystem):
            mode_ = static_cast<SecurityMode>(mode);
            valid_ = true;
            break;
        case static_cast<int>(SecurityMode::TlsPinned):
            mode_ = SecurityMode::TlsPinned;
            if (auto pin = ParseFingerprint(fingerprint)) {
                pin_ = *pin;
                valid_ = true;
            }
            break;
        default:
            // Not plain: a refused setting never connects.
            mode_ = SecurityMode::TlsSystem;
            break;
    }
    return valid_;
}

TlsFailure JudgeCertificate(SecurityMode mode, const Sha256& pin, const CertificateFacts& facts) {
    if (!facts.complete) return mode == SecurityMode::TlsPinned ? TlsFailure::WrongFingerprint : TlsFailure::Untrusted;
    if (mode == SecurityMode::TlsPinned) return facts.fingerprint == pin ? TlsFailure::None : TlsFailure::WrongFingerprint;
    if (facts.chainErrorStatus != 0) return TlsFailure::Untrusted;
    if (facts.policyError == kPolicyWrongName) return TlsFailure::WrongName;
    if (facts.policyError != 0) return TlsFailure::Untrusted;
    return TlsFailure::None;
}

std::optional<std::size_t> RecordBodyLength(const std::uint8_t* header) {
    const std::uint8_t type = header[0];
    if (type < kRecordChangeCipherSpec || type > kRecordApplicationData) return std::nullopt;
    if (header[1] != 3 || header[2] > 4) return std::nullopt;
    const std::size_t length = static_cast<std::size_t>(header[3]) << 8 | header[4];
    if (length > kMaxRecordBody) return std::nullopt;
    return length;
}

}  // namespace vexa::net
