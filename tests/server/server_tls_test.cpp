// The TLS listener: the same protocol byte for byte as on plain TCP, TLS 1.2
// or newer only, and clients that speak the wrong thing are turned away
// without disturbing anyone.
#include <gtest/gtest.h>

#include <cstdlib>

#include "protocol/requests.h"
#include "server_test_support.h"

namespace vexa::server::testing {
namespace {

using std::string;

TEST(ServerTls, SameProtocolOverTlsAndPlainSideBySide) {
    ServerUnderTest server(ServerUnderTest::WithTls(ServerUnderTest::FastOptions()));
    Client alice(server.TlsPort(), 0, true);
    ASSERT_TRUE(alice.Connected());
    Client bob(server.Port());
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    ASSERT_EQ(bob.Login("10002", "bob123"), "0");
    EXPECT_EQ(alice.Read()->raw, ServerFrame(32, "10002!|!1!|!"));
    alice.SendFramed(Chat("10001", "10002", "over TLS", 5));
    auto got = bob.Read();
    ASSERT_TRUE(got);
    EXPECT_EQ(ChatId(*got), 5);
    bob.SendFramed(Chat("10002", "10001", string(4000, 'z'), 6));  // more than one TLS record's worth of frames
    for (int i = 0; i < 20; ++i) bob.SendFramed(Chat("10002", "10001", "many", 7 + i));
    for (int i = 0; i < 21; ++i) {
        auto p = alice.Read();
        ASSERT_TRUE(p) << i;
        EXPECT_EQ(ChatId(*p), 6 + i);
    }
    EXPECT_TRUE(alice.Sync().empty());
}

TEST(ServerTls, WrongSpeakersAreTurnedAwayOthersServed) {
    ServerOptions options = ServerUnderTest::WithTls(ServerUnderTest::FastOptions());
    ServerUnderTest server(options);
    Client alice(server.TlsPort(), 0, true);
    ASSERT_EQ(alice.Login("10001", "alice123"), "0");
    // Plain text to the TLS port: the handshake fails and the connection ends.
    Client plainToTls(server.TlsPort());
    plainToTls.SendBody("000110002!|!bob123");
    EXPECT_TRUE(plainToTls.WaitClosed());
    // TLS to the plain port: no handshake answer, so no connection.
    Client tlsToPlain(server.Port(), 0, true);
    EXPECT_FALSE(tlsToPlain.Connected());
    EXPECT_TRUE(alice.Sync().empty());

    // TLS below 1.2 is refused; the same command asking for 1.2 gets through,
    // so the refusal is the server's.
    auto handshake = [&](const char* version) {
        string command = "openssl s_client " + string(version) + " -cipher DEFAULT@SECLEVEL=0 -connect 127.0.0.1:" +
                         std::to_string(server.TlsPort()) + " </dev/null >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    };
    EXPECT_TRUE(handshake("-tls1_2"));
    EXPECT_FALSE(handshake("-tls1_1"));
    EXPECT_FALSE(handshake("-tls1"));

    ServerOptions only = options;
    only.tls.only = true;
    ServerUnderTest tlsOnly(only);
    EXPECT_EQ(tlsOnly.Port(), 0);
    Client carol(tlsOnly.TlsPort(), 0, true);
    EXPECT_EQ(carol.Login("10003", "carol123"), "0");
}

}  // namespace
}  // namespace vexa::server::testing
