// The mailbox's bookkeeping with the router, without a network: one user's
// packets kept, drained to a login in order and at the pace of its backlog,
// deleted once acknowledged, handed back at a close ahead of anything newer,
// and passed to a newer login. One table of steps on one store.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <functional>

#include "recording_link.h"
#include "server/routing/router.h"
#include "server/store/sqlite/sqlite_store.h"

namespace vexa::server::testing {
namespace {

constexpr std::size_t kMaxMail = 3;
constexpr std::size_t kBacklog = 4096;  // the pump fills half of it

struct World {
    asio::io_context io;
    std::unique_ptr<Store> store = OpenSqliteStore(":memory:");
    Router router{*store, RoutingOptions{kMaxMail, kBacklog}};
    std::int64_t bob = 0;
    std::vector<std::shared_ptr<RecordingLink>> links;

    // What was posted to the links' executors (pumps woken).
    void Poll() {
        io.restart();
        io.poll();
    }
    std::shared_ptr<RecordingLink> NewLink() {
        links.push_back(std::make_shared<RecordingLink>(links.size() + 1, io.get_executor()));
        return links.back();
    }
    RecordingLink& Link(std::size_t i) { return *links.at(i); }
    std::vector<std::string> Rows() {
        std::vector<std::string> out;
        for (const Mail& m : store->MailAfter(bob, 0, 100)) out.push_back(m.payload);
        return out;
    }
    // Payloads sent to a link from the i-th on, those from the mailbox marked.
    static std::vector<std::string> SentFrom(const RecordingLink& link, std::size_t i) {
        std::vector<std::string> out;
        for (; i < link.sent.size(); ++i) out.push_back(link.sent[i].payload + (link.sent[i].mailSeq ? "@mail" : ""));
        return out;
    }
};

using Strings = std::vector<std::string>;

struct Step {
    const char* what;
    std::function<void(World&)> run;
};

const Step kSteps[] = {
    {"kept for a user who is offline, up to the limit",
     [](World& w) {
         for (const char* text : {"c1", "c2", "c3", "c4"}) w.router.Deliver(w.bob, 3, text);
         EXPECT_EQ(w.Rows(), (Strings{"c1", "c2", "c3"}));
     }},
    {"a login drains the mailbox in order, each packet carrying its row; then live delivery takes over",
     [](World& w) {
         auto link = w.NewLink();
         EXPECT_EQ(w.router.Attach(w.bob, link), Router::Ownership::Now);
         w.router.Mail().Pump(link, w.bob);
         EXPECT_EQ(w.SentFrom(*link, 0), (Strings{"c1@mail", "c2@mail", "c3@mail"}));
         w.router.Deliver(w.bob, 3, "live");
         w.Poll();
         EXPECT_EQ(w.SentFrom(*link, 3), (Strings{"live"}));
         EXPECT_EQ(w.Rows().size(), 3u) << "rows stay until acknowledged";
     }},
    {"acknowledged rows go",
     [](World& w) {
         w.router.Mail().Acknowledged(w.bob, w.Link(0).sent[1].mailSeq);
         EXPECT_EQ(w.Rows(), (Strings{"c3"}));
     }},
    {"a close takes back what did not arrive, past the limit, and newer packets queue behind it",
     [](World& w) {
         auto handover = w.router.Finished(w.links[0], w.bob, {{3, "live"}, {3, "x"}, {3, "y"}, {3, "z"}},
                                           w.Link(0).sent[2].mailSeq);
         EXPECT_EQ(handover.handedBack, 4u);
         EXPECT_TRUE(handover.wentOffline);
         EXPECT_TRUE(w.Link(0).sealed);
         w.router.Deliver(w.bob, 3, "refused, the mailbox is full");
         EXPECT_EQ(w.Rows(), (Strings{"live", "x", "y", "z"}));
     }},
    {"the pump fills at most half the backlog, then waits for room",
     [](World& w) {
         auto link = w.NewLink();
         link->queued = kBacklog / 2;
         EXPECT_EQ(w.router.Attach(w.bob, link), Router::Ownership::Now);
         w.router.Mail().Pump(link, w.bob);
         EXPECT_TRUE(link->sent.empty());
         EXPECT_TRUE(link->roomWanted);
         link->queued = 0;
         w.router.Mail().Pump(link, w.bob);
         EXPECT_EQ(w.SentFrom(*link, 0), (Strings{"live@mail", "x@mail", "y@mail", "z@mail"}));
     }},
    {"while a mailbox drains, newer packets go behind it, never past it",
     [](World& w) {
         w.router.Mail().Acknowledged(w.bob, w.Link(1).sent[1].mailSeq);
         w.router.MailArrived(w.bob);  // as after a doorbell: drain again
         w.router.Deliver(w.bob, 3, "later");
         EXPECT_EQ(w.Rows(), (Strings{"y", "z", "later"}));
         w.Poll();
         EXPECT_EQ(w.SentFrom(w.Link(1), 4), (Strings{"later@mail"}));
     }},
    {"a newer login waits for the older to finish, then gets what it did not deliver first",
     [](World& w) {
         auto newer = w.NewLink();
         EXPECT_EQ(w.router.Attach(w.bob, newer), Router::Ownership::AfterHandover);
         EXPECT_TRUE(w.Link(1).closing);
         EXPECT_EQ(w.Link(1).sent.back().code, 39);
         // Held by the closing connection, then handed back behind the rest.
         w.router.Deliver(w.bob, 3, "during the handover");
         auto handover = w.router.Finished(w.links[1], w.bob, {}, w.Link(1).sent[1].mailSeq);
         ASSERT_EQ(handover.successor, newer);
         EXPECT_FALSE(handover.wentOffline);
         w.router.Mail().Pump(newer, w.bob);
         EXPECT_EQ(w.SentFrom(*newer, 0), (Strings{"y@mail", "z@mail", "later@mail", "during the handover@mail"}));
     }},
};

TEST(Mailbox, BookkeepingWithTheRouter) {
    World w;
    ASSERT_TRUE(w.store->CreateAccount("alice", "hash", "alice"));
    w.bob = w.store->CreateAccount("bob", "hash", "bob").value();
    for (const Step& step : kSteps) {
        SCOPED_TRACE(step.what);
        step.run(w);
        w.Poll();
    }
}

// Chats another node forwards to a user here: shown only in that node's
// order, whatever numbers its chats to other users took in between; one
// already shown on this connection is dropped; one after a gap is refused
// (its origin falls back to the mailbox); a new connection starts afresh;
// one that arrives while the mailbox is read goes into it.
TEST(Mailbox, ForwardedChatsKeepTheirOriginsOrder) {
    World w;
    w.bob = w.store->CreateAccount("bob", "hash", "bob").value();
    auto link = w.NewLink();
    ASSERT_EQ(w.router.Attach(w.bob, link), Router::Ownership::Now);
    w.router.Mail().Pump(link, w.bob);  // empty: live delivery from now on
    using A = Router::Arrival;
    struct Row {
        const char* origin;
        std::uint64_t seq, base, prev;
        A expected;
    } rows[] = {
        {"n1#1", 5, 5, 0, A::Queued},       // nothing older unsettled
        {"n1#1", 9, 5, 5, A::Queued},       // its numbers 6 to 8 went to other users
        {"n1#1", 9, 5, 5, A::Duplicate},
        {"n1#1", 14, 5, 12, A::Refused},    // 12 never came
        {"n2#1", 3, 2, 2, A::Refused},      // 2 is unsettled and not here
        {"n2#1", 4, 4, 3, A::Queued},       // everything older is settled
        {"n1#1", 20, 20, 14, A::Queued},
        {"new connection", 0, 0, 0, A::Queued},
        {"n1#1", 22, 21, 21, A::Refused},   // 21 went to the old connection
        {"n1#1", 23, 23, 22, A::Queued},
        {"mailbox being read", 0, 0, 0, A::Queued},
        {"n1#1", 24, 24, 23, A::Stored},
        {"n1#1", 26, 24, 25, A::Refused},
    };
    std::vector<std::string> queued;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.origin) + " " + std::to_string(r.seq));
        if (r.seq == 0) {
            if (r.origin == std::string("new connection")) {
                link = w.NewLink();
                w.router.Attach(w.bob, link);
                w.router.Finished(w.links[0], w.bob, {}, 0);
                w.router.Mail().Pump(link, w.bob);
                w.Poll();
            } else {
                w.router.MailArrived(w.bob);  // its pump has not run yet
            }
            continue;
        }
        const std::string payload = std::string(r.origin) + " " + std::to_string(r.seq);
        EXPECT_EQ(w.router.Forwarded(w.bob, {r.origin, r.seq, r.base, r.prev}, 3, payload, r.seq), r.expected);
        if (r.expected == A::Queued) queued.push_back(payload);
    }
    std::vector<std::string> shown;
    for (const auto& l : w.links)
        for (const auto& sent : l->sent)
            if (sent.code == 3) shown.push_back(sent.payload);
    EXPECT_EQ(shown, queued);
    EXPECT_EQ(w.Rows(), (Strings{"n1#1 24"}));
}

}  // namespace
}  // namespace vexa::server::testing
