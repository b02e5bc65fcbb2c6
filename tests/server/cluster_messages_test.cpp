// What the nodes of a cluster say to each other, without NATS: every message
// read back from its bytes, what no node sends refused, and the list of a
// node's users.
#include <gtest/gtest.h>

#include "server/cluster/messages.h"

namespace vexa::server::cluster {
namespace {

using namespace std::string_literals;

Message Make(Kind kind, int code = 0, std::string payload = "", std::string node = "", std::int64_t nanos = 0) {
    Message m(kind);
    m.code = code;
    m.payload = std::move(payload);
    m.node = std::move(node);
    m.loginNanos = nanos;
    return m;
}

TEST(ClusterMessages, EachKindReadsBackFromItsBytes) {
    struct Row {
        Message message;
        std::string bytes;
    } rows[] = {
        {Make(Kind::Mail), "M"},
        {Make(Kind::Send, 32, "10002!|!0"), "S003210002!|!0"},
        {Make(Kind::Send, 3, "a\0b"s), "S0003a\0b"s},  // payloads are bytes
        {Make(Kind::LetGo, 0, "", "n2"), "Tn2"},
        {Make(Kind::Claim, 0, "", "node 1", 1733700000123456789), "C1733700000123456789\nnode 1"},
        {Make(Kind::Released), "R"},
        {Make(Kind::Ping), "P"},
        {Make(Kind::Kick), "K"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.bytes);
        EXPECT_EQ(Encode(r.message), r.bytes);
        auto read = Decode(r.bytes);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->kind, r.message.kind);
        EXPECT_EQ(read->code, r.message.code);
        EXPECT_EQ(read->payload, r.message.payload);
        EXPECT_EQ(read->node, r.message.node);
        EXPECT_EQ(read->loginNanos, r.message.loginNanos);
    }
    for (const std::string& junk : {""s, "S012"s, "Cno newline"s, "X"s, "\0"s})
        EXPECT_FALSE(Decode(junk)) << junk;
}

TEST(ClusterMessages, Subjects) {
    EXPECT_EQ(UserSubject(10002), "vexa.user.10002");
    EXPECT_EQ(AccountOf("vexa.user.10002"), 10002);
    EXPECT_EQ(AccountOf("vexa.reply.n1.5"), 0);
    EXPECT_EQ(ReplySubjects("n1"), "vexa.reply.n1.*");
    ReplyTarget answer = ReplyTargetOf(ReplySubject("n1", 17));
    EXPECT_FALSE(answer.online);
    EXPECT_EQ(answer.token, 17u);
    EXPECT_TRUE(ReplyTargetOf(OnlineSubject("n1")).online);
}

TEST(ClusterMessages, OnlineListKeepsWhatReadsAndLeavesOutTheRest) {
    using Clock = std::chrono::system_clock;
    const Clock::time_point since{std::chrono::milliseconds(1733700000123)};
    std::vector<Router::OnlineUser> users = {{10001, since, "127.0.0.1:40001"}, {10002, since, "[::1]:5"}};
    std::string text = EncodeOnlineList(users);
    EXPECT_EQ(text, "10001\t1733700000123\t127.0.0.1:40001\n10002\t1733700000123\t[::1]:5\n");
    auto read = DecodeOnlineList(text + "no tabs\n0\t1\tzero account\n10003\t9");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].account, 10002);
    EXPECT_EQ(read[1].since, since);
    EXPECT_EQ(read[1].from, "[::1]:5");
}

}  // namespace
}  // namespace vexa::server::cluster
