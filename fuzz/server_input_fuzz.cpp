// The server's input: what clients send, in any bytes and any segmentation,
// through the frame cutter and the dispatch table into the handlers, the
// router and the mailbox, on an in-memory SQLite store, without a network.
// Each input starts from the same state: three users logged in (alice, bob
// and carol, alice friends with both) and one connection that has not.
//
// Input: chunks of [control][n][n bytes]. The low two bits of control pick
// the connection the bytes arrive on; bit 2 says its client then acknowledges
// all it was sent; bit 3 ends its connection (as a reset would), and a fresh
// one takes its place. Every packet the server sends must fit a frame.
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <asio/io_context.hpp>

#include "protocol/frame.h"
#include "server/auth/accounts.h"
#include "server/auth/password.h"
#include "server/base/log.h"
#include "server/handlers/handlers.h"
#include "server/store/sqlite/sqlite_store.h"
#include "tests/server/recording_link.h"

namespace {

using namespace vexa;
using namespace vexa::server;
using server::testing::RecordingLink;

constexpr const char* kUsers[][2] = {{"10001", "alice123"}, {"10002", "bob123"}, {"10003", "carol123"}};

// The accounts' password hash, made once with libsodium's cheapest limits:
// a login is checked in microseconds, so the fuzzer spends its time on the rest.
const std::string& CheapHash(const char* password) {
    static std::array<std::string, 3> hashes;
    for (int i = 0; i < 3; ++i) {
        if (std::string_view(kUsers[i][1]) != password) continue;
        if (hashes[i].empty()) {
            char out[crypto_pwhash_STRBYTES];
            if (crypto_pwhash_str(out, password, std::strlen(password), crypto_pwhash_OPSLIMIT_MIN,
                                  crypto_pwhash_MEMLIMIT_MIN) != 0)
                std::abort();
            hashes[i] = out;
        }
        return hashes[i];
    }
    std::abort();
}

// One client connection as the network side would play it.
struct Client : protocol::RequestReader::Sink {
    std::shared_ptr<RecordingLink> link;
    protocol::RequestReader reader;
    RequestHandlers* handlers = nullptr;
    std::size_t checked = 0;       // packets sent and checked so far
    std::size_t acknowledged = 0;  // packets the client acknowledged
    std::int64_t ackedSeq = 0;
    bool finished = false;

    bool OnRequest(int code, std::string_view payload) override {
        handlers->OnRequest(link, code, std::string(payload));
        return true;
    }
    void CheckSent() {
        for (; checked < link->sent.size(); ++checked) {
            const RecordingLink::Sent& s = link->sent[checked];
            if (!protocol::FrameServerPacket(s.code, s.payload)) {
                std::fprintf(stderr, "packet %d of %zu bytes does not fit a frame\n", s.code, s.payload.size());
                std::abort();
            }
        }
    }
    void Acknowledge() {
        std::int64_t seq = ackedSeq;
        for (; acknowledged < link->sent.size(); ++acknowledged) seq = std::max(seq, link->sent[acknowledged].mailSeq);
        link->queued = 0;
        if (seq > ackedSeq) handlers->OnMailAcknowledged(link, ackedSeq = seq);
        if (link->roomWanted) {
            link->roomWanted = false;
            handlers->OnRoom(link);
        }
    }
    // What a close hands back: kept packets the client has not acknowledged.
    void Finish() {
        if (finished) return;
        finished = true;
        link->closing = true;
        std::vector<KeptPacket> unacknowledged;
        for (std::size_t i = acknowledged; i < link->sent.size(); ++i)
            if (link->sent[i].keep == Keep::Yes && link->sent[i].mailSeq == 0)
                unacknowledged.push_back(KeptPacket{link->sent[i].code, link->sent[i].payload});
        handlers->OnFinished(link, std::move(unacknowledged), ackedSeq);
    }
};

struct World {
    asio::io_context io;
    std::unique_ptr<Store> store = OpenSqliteStore(":memory:");
    ServerCounters counters;
    std::atomic<bool> stopping{false};
    Router router{*store, RoutingOptions{}};
    LoginThrottle throttle;
    RequestHandlers handlers{*store, router, throttle, HandlerOptions{}, io.get_executor(), counters, stopping};
    std::array<std::unique_ptr<Client>, 4> clients;
    std::uint64_t serial = 0;

    World() {
        for (const auto& user : kUsers) store->CreateAccount(user[0], CheapHash(user[1]), user[0]);
        MakeFriends(*store, "10001", "10002");
        MakeFriends(*store, "10001", "10003");
        router.SetArrivalHook([this](std::int64_t account, int code, const std::string& payload) {
            handlers.Arrived(account, code, payload);
        });
        router.SetCounters(&counters);
        for (std::size_t i = 0; i < clients.size(); ++i) NewClient(i);
        for (std::size_t i = 0; i < 3; ++i)
            Feed(i, *protocol::FrameRequest("0001" + std::string(kUsers[i][0]) + "!|!" + kUsers[i][1]));
        Settle();
    }
    ~World() {
        for (auto& c : clients) c->Finish();
        Settle();
    }

    void NewClient(std::size_t i) {
        clients[i] = std::make_unique<Client>();
        clients[i]->link = std::make_shared<RecordingLink>(++serial, io.get_executor());
        clients[i]->handlers = &handlers;
    }
    void Feed(std::size_t i, std::string_view bytes) {
        if (!clients[i]->finished) clients[i]->reader.Feed(bytes.data(), bytes.size(), *clients[i]);
    }
    // Runs what was posted; a connection the server closed finishes, as
    // its linger would end it.
    void Settle() {
        for (int round = 0; round < 8; ++round) {
            io.restart();
            io.poll();
            bool more = false;
            for (auto& c : clients) {
                c->CheckSent();
                if (c->link->closing && !c->finished) {
                    c->Finish();
                    more = true;
                }
            }
            if (!more) break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogLevel(LogLevel::Error);
    if (!InitPasswordHashing()) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World world;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const std::uint8_t control = static_cast<std::uint8_t>(input[0]);
        std::size_t n = input.size() > 1 ? static_cast<std::uint8_t>(input[1]) : 0;
        input.remove_prefix(std::min<std::size_t>(2, input.size()));
        n = std::min(n, input.size());
        const std::size_t i = control & 3;
        world.Feed(i, input.substr(0, n));
        input.remove_prefix(n);
        world.Settle();
        if (control & 4) world.clients[i]->Acknowledge();
        if (control & 8) {
            world.clients[i]->Finish();
            world.Settle();
            world.NewClient(i);
        }
        world.Settle();
    }
    return 0;
}
