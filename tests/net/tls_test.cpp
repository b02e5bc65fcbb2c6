#include "net/tls.h"

#include <gtest/gtest.h>

#include <string>

namespace vexa::net {
namespace {

const std::string kHex = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
const std::string kColons =
    "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";

Sha256 Expected() {
    Sha256 want{};
    for (std::size_t i = 0; i < want.size(); ++i) want[i] = static_cast<std::uint8_t>((i % 16) * 0x11);
    return want;
}

TEST(TlsFingerprint, ParsesTheTwoFormsAndRefusesEverythingElse) {
    struct Row {
        std::string text;
        bool parses;
    };
    const Row rows[] = {
        {kHex, true},
        {kColons, true},
        {"", false},
        {kHex.substr(0, 62), false},                   // a byte short
        {kHex + "0", false},                           // a digit too many
        {kHex.substr(0, 63) + "g", false},             // not hexadecimal
        {kColons.substr(0, 2) + "-" + kColons.substr(3), false},  // another separator
        {kColons.substr(0, 94), false},                // colons but one digit short
        {"0" + kColons.substr(0, 94), false},          // colons in the wrong places
        {std::string(kHex).replace(10, 1, 1, '\0'), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        auto pin = ParseFingerprint(row.text);
        ASSERT_EQ(pin.has_value(), row.parses);
        if (pin) {
            EXPECT_EQ(*pin, Expected());
        }
    }
}

TEST(TlsSecuritySetting, RefusedSettingsNeverLeavePlainBehind) {
    struct Row {
        int mode;
        std::string fingerprint;
        bool accepted;
        bool encrypted;
    };
    const Row rows[] = {
        {0, "", true, false},
        {0, "ignored", true, false},
        {1, "", true, true},
        {2, kColons, true, true},
        {2, "", false, true},
        {2, "not a fingerprint", false, true},
        {3, "", false, true},
        {-1, kHex, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        SecuritySetting setting;
        EXPECT_TRUE(setting.Valid());
        EXPECT_FALSE(setting.Encrypted());
        EXPECT_EQ(setting.Set(row.mode, row.fingerprint), row.accepted);
        EXPECT_EQ(setting.Valid(), row.accepted);
        EXPECT_EQ(setting.Encrypted(), row.encrypted);
        // A good setting afterwards replaces a refused one.
        EXPECT_TRUE(setting.Set(0, ""));
        EXPECT_FALSE(setting.Encrypted());
    }
}

TEST(TlsJudgeCertificate, EachModeLooksAtWhatItPromises) {
    const Sha256 pin = Expected();
    Sha256 other = pin;
    other[31] ^= 1;
    struct Row {
        const char* name;
        SecurityMode mode;
        std::uint32_t chain;
        std::uint32_t policy;
        Sha256 fingerprint;
        bool complete;
        TlsFailure want;
    };
    const Row rows[] = {
        {"trusted, right name", SecurityMode::TlsSystem, 0, 0, other, true, TlsFailure::None},
        {"partial chain that the policy passed", SecurityMode::TlsSystem, 0x10000, 0, other, true, TlsFailure::Untrusted},
        {"untrusted root", SecurityMode::TlsSystem, 0x20, 0x800B0109, other, true, TlsFailure::Untrusted},
        {"expired", SecurityMode::TlsSystem, 0x1, 0x800B0101, other, true, TlsFailure::Untrusted},
        {"wrong name", SecurityMode::TlsSystem, 0, kPolicyWrongName, other, true, TlsFailure::WrongName},
        {"untrusted and wrong name", SecurityMode::TlsSystem, 0x20, kPolicyWrongName, other, true, TlsFailure::Untrusted},
        {"another policy error", SecurityMode::TlsSystem, 0, 0x800B010D, other, true, TlsFailure::Untrusted},
        {"system without facts", SecurityMode::TlsSystem, 0, 0, other, false, TlsFailure::Untrusted},
        {"pin matches", SecurityMode::TlsPinned, 0, 0, pin, true, TlsFailure::None},
        {"pin matches a self-made certificate", SecurityMode::TlsPinned, 0x20, kPolicyWrongName, pin, true,
         TlsFailure::None},
        {"pin differs in one bit", SecurityMode::TlsPinned, 0, 0, other, true, TlsFailure::WrongFingerprint},
        {"pinned without facts", SecurityMode::TlsPinned, 0, 0, pin, false, TlsFailure::WrongFingerprint},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CertificateFacts facts;
        facts.chainErrorStatus = row.chain;
        facts.policyError = row.policy;
        facts.fingerprint = row.fingerprint;
        facts.complete = row.complete;
        EXPECT_EQ(JudgeCertificate(row.mode, pin, facts), row.want);
    }
}

TEST(TlsRecordHeader, AcceptsOnlyWhatCanStartARecord) {
    struct Row {
        std::string header;
        long long body;  // -1: refused
    };
    const Row rows[] = {
        {std::string("\x16\x03\x01\x00\x31", 5), 0x31},
        {std::string("\x17\x03\x03\x40\x00", 5), 16384},
        {std::string("\x17\x03\x03\x48\x00", 5), 18432},   // the most a peer may send
        {std::string("\x17\x03\x03\x48\x01", 5), -1},
        {std::string("\x15\x03\x03\x00\x02", 5), 2},
        {std::string("\x14\x03\x03\x00\x01", 5), 1},
        {std::string("\x17\x03\x03\x00\x00", 5), 0},
        {std::string("\x13\x03\x03\x00\x01", 5), -1},      // unknown type
        {std::string("\x18\x03\x03\x00\x01", 5), -1},
        {std::string("\x16\x02\x00\x00\x01", 5), -1},      // not 3.x
        {std::string("\x16\x03\x05\x00\x01", 5), -1},
        {"00050", -1},                                     // a plain server's length field
        {std::string("\x15\x03\x03\xff\xff", 5), -1},
    };
    for (const Row& row : rows) {
        auto body = RecordBodyLength(reinterpret_cast<const std::uint8_t*>(row.header.data()));
        EXPECT_EQ(body ? static_cast<long long>(*body) : -1, row.body);
    }
}

}  // namespace
}  // namespace vexa::net
