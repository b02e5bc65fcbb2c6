// Every close the server makes of a logged-in connection, with thousands of
// chats of about 900 bytes on their way to it: whatever the server read from
// their sender reaches the reader, on the old connection or at the next
// login, in order. Duplicates may only come from what the server handed back
// to the mailbox, and a client that resets loses at most what its own kernel
// had acknowledged.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "protocol/requests.h"
#include "server_test_support.h"

namespace vexa::server::testing {
namespace {

using std::string;

const string kText(900, 'x');
constexpr int kInFlight = 3000;

struct Scene {
    Scene(ServerOptions options, bool tls) : server(options), tls(tls) {}
    ServerUnderTest server;
    bool tls;
    Client writer{server.Port()};
    // A small receive buffer keeps most chats in the server's kernel and queue.
    Client reader{tls ? server.TlsPort() : server.Port(), 64 * 1024, tls};
    std::unique_ptr<Client> next;  // the reader's next login
    int sent = 0;

    void SendChats(int n) {
        for (int i = 0; i < n; ++i, ++sent) writer.SendFramed(Chat("10001", "10003", kText, sent));
        writer.Sync();
    }
};

struct CloseCase {
    const char* name;
    std::size_t backlog;
    std::chrono::milliseconds idle;
    // Makes the server close the reader's connection with chats in flight.
    std::function<void(Scene&)> close;
    bool resets;           // the reader vanishes with a reset instead of reading on
    bool readsAfterLinger; // the reader reads on only after the server gave up waiting
    bool tls = false;      // the reader speaks TLS: the server counts acknowledgements on the wire
};

void WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

const CloseCase kCases[] = {
    {"slow reader", 64 * 1024, std::chrono::milliseconds(20000),
     [](Scene& s) {
         while (s.server.Stats().slowReaders == 0 && s.sent < 40000) s.SendChats(200);
         ASSERT_EQ(s.server.Stats().slowReaders, 1u);
     },
     false, false},
    {"takeover", 16 << 20, std::chrono::milliseconds(20000),
     [](Scene& s) {
         s.SendChats(kInFlight);
         s.next = std::make_unique<Client>(s.server.Port());
         ASSERT_EQ(s.next->Login("10003", "carol123"), "0");
     },
     false, false},
    {"takeover, slow old client", 16 << 20, std::chrono::milliseconds(20000),
     [](Scene& s) {
         s.SendChats(kInFlight);
         s.next = std::make_unique<Client>(s.server.Port());
         ASSERT_EQ(s.next->Login("10003", "carol123"), "0");
     },
     false, true},
    {"takeover, slow old client, over TLS", 16 << 20, std::chrono::milliseconds(20000),
     [](Scene& s) {
         s.SendChats(kInFlight);
         s.next = std::make_unique<Client>(s.server.TlsPort(), 0, true);
         ASSERT_EQ(s.next->Login("10003", "carol123"), "0");
     },
     false, true, true},
    {"slow reader over TLS", 64 * 1024, std::chrono::milliseconds(20000),
     [](Scene& s) {
         while (s.server.Stats().slowReaders == 0 && s.sent < 40000) s.SendChats(200);
         ASSERT_EQ(s.server.Stats().slowReaders, 1u);
     },
     false, false, true},
    {"idle time-out", 16 << 20, std::chrono::milliseconds(1000),
     [](Scene& s) {
         s.SendChats(kInFlight);
         WaitUntil([&] { return s.server.Stats().online == 0; });
     },
     false, false},
    {"reset by the client", 16 << 20, std::chrono::milliseconds(20000),
     [](Scene& s) {
         s.SendChats(kInFlight);
         s.reader.Abort();
         WaitUntil([&] { return s.server.Stats().connections == 1; });
     },
     true, false},
};

TEST(ServerClose, NothingReadFromTheSenderIsLost) {
    for (const CloseCase& c : kCases) {
        SCOPED_TRACE(c.name);
        ServerOptions options = ServerUnderTest::FastOptions();
        options.limits.maxBacklogBytes = c.backlog;
        options.limits.idleTimeout = c.idle;
        options.maxMailPerUser = 100000;
        if (c.tls) options = ServerUnderTest::WithTls(options);
        Scene s(options, c.tls);
        ASSERT_TRUE(s.reader.Connected());
        ASSERT_EQ(s.reader.Login("10003", "carol123"), "0");
        ASSERT_EQ(s.writer.Login("10001", "alice123"), "0");
        s.writer.Sync();
        s.reader.Sync();
        const int readerBuffer = s.reader.ReceiveBuffer();

        c.close(s);
        if (::testing::Test::HasFatalFailure()) return;
        // The client does not know yet and says something: this must not
        // make the server's kernel throw away what is on its way.
        std::vector<int> ids;
        bool toldReplaced = false;
        if (!c.resets) {
            s.reader.SendRaw(protocol::BuildKeepAliveRequest());
            if (c.readsAfterLinger) std::this_thread::sleep_for(options.limits.linger + std::chrono::milliseconds(500));
            while (auto p = s.reader.Read()) {
                if (p->code == 3) ids.push_back(ChatId(*p));
                toldReplaced |= p->code == 39;
            }
        }
        const std::size_t onOldConnection = ids.size();
        if (string(c.name) == "takeover") {
            EXPECT_TRUE(toldReplaced);
        }
        if (c.readsAfterLinger) {
            EXPECT_GT(s.server.Stats().handedBack, 0u);
        }

        if (!s.next) {
            s.next = c.tls ? std::make_unique<Client>(s.server.TlsPort(), 0, true) : std::make_unique<Client>(s.server.Port());
            ASSERT_EQ(s.next->Login("10003", "carol123"), "0");
        }
        while (auto p = s.next->Read()) {
            if (p->code == 3) ids.push_back(ChatId(*p));
            if (!ids.empty() && ids.back() == s.sent - 1) break;
        }
        for (const Packet& p : s.next->Sync())
            if (p.code == 3) ids.push_back(ChatId(p));

        // A reset loses what the client's kernel had taken: a prefix no
        // larger than its receive buffer.
        int first = 0;
        if (c.resets && !ids.empty()) first = *std::min_element(ids.begin(), ids.end());
        Arrivals a = CheckArrivals(ids, s.sent, first);
        EXPECT_TRUE(a.complete) << a.problem;
        EXPECT_TRUE(a.inOrder) << a.problem;
        EXPECT_LE(static_cast<std::uint64_t>(a.duplicates), s.server.Stats().handedBack);
        if (c.resets) {
            EXPECT_LE(first * 900, readerBuffer) << "lost more than the client's kernel held";
        }
        std::printf("[ close ] %-36s %5d chats: %5zu on the old connection, %5zu at the next login, %d lost, "
                    "%d duplicates, %llu handed back\n",
                    c.name, s.sent, onOldConnection, ids.size() - onOldConnection, first, a.duplicates,
                    static_cast<unsigned long long>(s.server.Stats().handedBack));
    }
}

}  // namespace
}  // namespace vexa::server::testing
