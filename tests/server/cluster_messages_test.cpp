// What the nodes of a cluster say to each other, without NATS: every message
// read back from its bytes, what no node sends refused, the batches of
// answers and the snapshots, and the list of a node's users.
#include <gtest/gtest.h>

#include "server/cluster/messages.h"

namespace vexa::server::cluster {
namespace {

using namespace std::string_literals;

Message Make(Kind kind, std::string node = "", std::uint64_t boot = 0, std::uint64_t version = 0,
             std::int64_t account = 0) {
    Message m(kind);
    m.node = std::move(node);
    m.boot = boot;
    m.version = version;
    m.account = account;
    return m;
}

Message Packet(Kind kind, int code, std::string payload, std::uint64_t seq = 0, std::uint64_t base = 0) {
    Message m = kind == Kind::Chat ? Make(kind, "n1", 77) : Make(kind);
    m.code = code;
    m.payload = std::move(payload);
    m.seq = seq;
    m.base = base;
    return m;
}

Message Up() {
    Message m = Make(Kind::Up, "n2", 5, 9, 10002);
    m.nanos = 1733700000123456789;
    m.counter = 3;
    return m;
}

TEST(ClusterMessages, EachKindReadsBackFromItsBytes) {
    struct Row {
        Message message;
        std::string bytes;
    } rows[] = {
        {Make(Kind::Mail), "M"},
        {Packet(Kind::Send, 32, "10002!|!0"), "S003210002!|!0"},
        {Packet(Kind::Send, 3, "a\0b"s), "S0003a\0b"s},  // payloads are bytes
        {Packet(Kind::Chat, 3, "x\ny"), "Dn1\n77\n0\n0\n0\n0003x\ny"},
        {Make(Kind::LetGo, "n2"), "Tn2\n"},
        {Make(Kind::Released), "R"},
        {Make(Kind::Ping), "P"},
        {Make(Kind::Kick), "K"},
        {Up(), "Un2\n5\n9\n10002\n1733700000123456789\n3\n"},
        {Make(Kind::Down, "n2", 5, 10, 10002), "Wn2\n5\n10\n10002\n"},
        {Make(Kind::Beat, "host.example:7788", 5, 10), "Bhost.example:7788\n5\n10\n"},
        {Make(Kind::Ask, "n3"), "Qn3\n"},
        {Make(Kind::Drained, "", 0, 0, 10003), "E10003\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.bytes);
        EXPECT_EQ(Encode(r.message), r.bytes);
        if (r.message.kind == Kind::Chat) continue;  // numbered 0: refused below
        auto read = Decode(r.bytes);
        ASSERT_TRUE(read);
        EXPECT_EQ(Encode(*read), r.bytes);
    }
    Message chat = Packet(Kind::Chat, 3, "body", 12, 10);
    chat.prev = 11;
    auto read = Decode(Encode(chat));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->node, "n1");
    EXPECT_EQ(read->boot, 77u);
    EXPECT_EQ(read->seq, 12u);
    EXPECT_EQ(read->base, 10u);
    EXPECT_EQ(read->prev, 11u);
    EXPECT_EQ(read->code, 3);
    EXPECT_EQ(read->payload, "body");
}

// What no node sends, or what would go further than its bounds.
TEST(ClusterMessages, WhatNoNodeSendsIsRefused) {
    const std::string longNode(kMaxNodeName + 1, 'n');
    for (const std::string& junk : {
             ""s, "X"s, "\0"s,
             "S012"s,                            // too short for a code
             "S00x3body"s,                       // a code that is not digits
             "S0003"s + std::string(9996, 'p'),  // longer than a frame holds
             "Dn1\n77\n12\n13\n0\n0003body"s,    // base after seq
             "Dn1\n77\n12\n12\n12\n0003body"s,   // prev not before seq
             "Dn1\n77\n0\n0\n0\n0003body"s,      // numbered 0
             "Dn1\n77\n12\n"s,                   // fields missing
             "T"s + longNode + "\n",             // node name too long
             "Tn*\n"s, "Tn 1\n"s, "T\n"s,        // a wildcard, a blank, nothing as a name
             "Un2\n5\n9\n10002\n-1\n3\n"s,       // a sign
             "Un2\n5\n9\n10002\n1\n"s,           // the count missing
             "Wn2\n5\n10\n10002\nextra\n"s,      // bytes left over
             "Wn2\n5\n10\n0\n"s,                 // no account
             "Bn2\n5\n99999999999999999999\n"s,  // beyond 64 bits
             "Bn2\n5\n9223372036854775808\n"s,   // beyond a signed 64-bit value
             "Bn2\n05\n1\n"s,                   // a number spelt two ways
             "Mextra"s, "E\n"s,
         })
        EXPECT_FALSE(Decode(junk)) << junk;
}

TEST(ClusterMessages, AnswersAndSnapshotsReadBackAndJunkIsRefused) {
    Answers answers{77, {{5, Verdict::Queued}, {5, Verdict::Delivered}, {6, Verdict::Stored}, {7, Verdict::Refused}}};
    EXPECT_EQ(EncodeAnswers(answers), "A77\n5q\n5d\n6s\n7r\n");
    auto a = DecodeAnswers(EncodeAnswers(answers));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->boot, 77u);
    ASSERT_EQ(a->answers.size(), 4u);
    EXPECT_EQ(a->answers[3].seq, 7u);
    EXPECT_EQ(a->answers[3].verdict, Verdict::Refused);

    Snapshot snapshot{"n2", 5, 9, {{10001, 1733700000123456789, 1}, {10002, 1733700000223456789, 2}}};
    const std::string bytes = EncodeSnapshot(snapshot);
    EXPECT_EQ(bytes, "Nn2\n5\n9\n10001 1733700000123456789 1\n10002 1733700000223456789 2\n");
    auto s = DecodeSnapshot(bytes);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->node, "n2");
    EXPECT_EQ(s->version, 9u);
    ASSERT_EQ(s->users.size(), 2u);
    EXPECT_EQ(s->users[1].account, 10002);
    EXPECT_EQ(s->users[1].counter, 2u);

    for (const std::string& junk : {""s, "A"s, "A77\n5x\n"s, "A77\nq\n"s, "A77\n0q\n"s, "A77\n5q"s})
        EXPECT_FALSE(DecodeAnswers(junk)) << junk;
    for (const std::string& junk : {""s, "Nn2\n5\n"s, "Nn2\n5\n9\n10001 1\n"s, "Nn2\n5\n9\n0 1 1\n"s,
                                    "Nn2\n5\n9\n10001 1 1"s, "Nn2\n5\n9\n10001 1 x\n"s})
        EXPECT_FALSE(DecodeSnapshot(junk)) << junk;
}

TEST(ClusterMessages, ChatBatchesReadBackAndJunkIsRefused) {
    ChatBatch batch{"n1", 77, {{10002, 5, 4, 4, 3, "x\ny 9 9\n"}, {10003, 6, 6, 0, 26, "z"}}};
    const std::string bytes = EncodeChatBatch(batch);
    EXPECT_EQ(bytes, "Cn1\n77\n10002 5 4 4 3 8\nx\ny 9 9\n10003 6 6 0 26 1\nz");
    auto b = DecodeChatBatch(bytes);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->node, "n1");
    EXPECT_EQ(b->boot, 77u);
    ASSERT_EQ(b->chats.size(), 2u);
    EXPECT_EQ(b->chats[0].payload, "x\ny 9 9\n");
    EXPECT_EQ(b->chats[0].base, 4u);
    EXPECT_EQ(b->chats[1].account, 10003);
    EXPECT_EQ(b->chats[1].code, 26);
    // What a Chat message would refuse, a batch refuses too; so does a length past the end.
    for (const std::string& junk :
         {""s, "Cn1\n77\n"s, "Cn1\n77\n10002 5 4 4 3 2\nx"s, "Cn1\n77\n10002 5 4 4 3 1\nxy"s,
          "Cn1\n77\n0 5 4 4 3 1\nx"s, "Cn1\n77\n10002 0 0 0 3 1\nx"s, "Cn1\n77\n10002 5 6 4 3 1\nx"s,
          "Cn1\n77\n10002 5 4 5 3 1\nx"s, "Cn1\n77\n10002 5 4 4 10000 1\nx"s, "Cn1\n77\n10002 5 4 4 03 1\nx"s,
          "Cn1\n77\n10002 5 4 4 3\nx"s, "Cn 1\n77\n10002 5 4 4 3 1\nx"s})
        EXPECT_FALSE(DecodeChatBatch(junk)) << junk;
}

TEST(ClusterMessages, Subjects) {
    EXPECT_EQ(UserSubject(10002), "vexa.user.10002");
    EXPECT_EQ(AccountOf("vexa.user.10002"), 10002);
    EXPECT_EQ(AccountOf("vexa.user.10002x"), 0);
    EXPECT_EQ(AccountOf("vexa.reply.n1.5"), 0);
    EXPECT_EQ(ReplySubjects("n1"), "vexa.reply.n1.*");
    using What = ReplyTarget::What;
    ReplyTarget answer = ReplyTargetOf(ReplySubject("n1", 17));
    EXPECT_EQ(answer.what, What::Token);
    EXPECT_EQ(answer.token, 17u);
    EXPECT_EQ(ReplyTargetOf(OnlineSubject("n1")).what, What::Online);
    EXPECT_EQ(ReplyTargetOf(AnswersSubject("n1")).what, What::Answers);
    EXPECT_EQ(ReplyTargetOf(SnapshotSubject("n1")).what, What::Snapshot);
    EXPECT_EQ(ReplyTargetOf(ChatsSubject("n1")).what, What::Chats);
}

TEST(ClusterMessages, LoginStampsAreOrderedTheSameEverywhere) {
    // Time first, then the node's name, then its count: two logins at the same instant still differ.
    LoginStamp rows[] = {{5, "n2", 9}, {6, "n1", 1}, {6, "n1", 2}, {6, "n2", 0}};
    for (std::size_t i = 0; i < std::size(rows); ++i)
        for (std::size_t j = 0; j < std::size(rows); ++j) {
            EXPECT_EQ(rows[i] < rows[j], i < j) << i << " " << j;
            EXPECT_EQ(rows[i] == rows[j], i == j) << i << " " << j;
        }
}

TEST(ClusterMessages, OnlineListKeepsWhatReadsAndLeavesOutTheRest) {
    using Clock = std::chrono::system_clock;
    const Clock::time_point since{std::chrono::milliseconds(1733700000123)};
    std::vector<Router::OnlineUser> users = {{10001, since, "127.0.0.1:40001"}, {10002, since, "[::1]:5"}};
    std::string text = EncodeOnlineList(users);
    EXPECT_EQ(text, "10001\t1733700000123\t127.0.0.1:40001\n10002\t1733700000123\t[::1]:5\n");
    auto read = DecodeOnlineList(text + "no tabs\n0\t1\tzero account\n10003\t9\n10004\t9000000000001\tfar future\n");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].account, 10002);
    EXPECT_EQ(read[1].since, since);
    EXPECT_EQ(read[1].from, "[::1]:5");
}

}  // namespace
}  // namespace vexa::server::cluster
