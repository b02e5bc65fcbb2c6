// Every request the library sends, against a real server over loopback, with
// the answers compared byte for byte and read back through the library's own
// incoming handlers.
#include <gtest/gtest.h>

#include <cstring>

#include "library_view.h"
#include "protocol/requests.h"
#include "server/base/texts.h"
#include "server_test_support.h"

namespace vexa::server::testing {
namespace {

namespace t = vexa::server::texts;
using std::string;

// The demo users as others see them; the tags in the order the library reads them.
string DemoUser(const string& id, const string& nickname, const string& littleword, const string& birthday,
                int status) {
    return "<user><id>" + id + "</id><name>" + id + "</name><nickname>" + nickname + "</nickname><littleword>" +
           littleword + "</littleword><brithday>" + birthday +
           "</brithday><pos><id>0</id><ms></ms><pos0>0</pos0><pos1>0</pos1><pos2>0</pos2><pos3>0</pos3></pos>"
           "<sex>0</sex><class>0</class><vip>0</vip><status>" +
           std::to_string(status) + "</status><style>0</style><afset>0</afset><photo></photo><vp>0</vp><lt>0</lt></user>";
}
string Alice(int status) { return DemoUser("10001", t::kNickAlice, t::kWordAlice, "19950314", status); }
string Bob(int status) { return DemoUser("10002", t::kNickBob, "", "19000101", status); }
string Carol(int status) { return DemoUser("10003", t::kNickCarol, "", "19000101", status); }

string Frame(int code, const string& payload) { return ServerFrame(code, payload); }

IM_CHAT_DATA ChatRecord(const char* peer, const char* content, int id = 7, int msgType = 1) {
    IM_CHAT_DATA chat{};
    chat.id = id;
    std::strncpy(chat.peer, peer, sizeof chat.peer - 1);
    std::strncpy(chat.content, content, sizeof chat.content - 1);
    chat.contentLength = static_cast<int32_t>(std::strlen(content));
    chat.msgType = msgType;
    return chat;
}

// Every case runs on one server and on a cluster of three nodes with the
// users spread over them (the parameter is the number of nodes).
class ServerProtocolTest : public ::testing::TestWithParam<int> {
protected:
    ServerUnderTest server{ServerUnderTest::FastOptions(), true, GetParam()};

    std::unique_ptr<Client> LoggedIn(const string& user, const string& password) {
        auto c = std::make_unique<Client>(server.PortFor(user));
        EXPECT_EQ(c->Login(user, password), "0") << user;
        return c;
    }
};

TEST_P(ServerProtocolTest, LoginAnswersByteForByte) {
    struct Case {
        string body;
        string expected;
    } cases[] = {
        {"000110001!|!alice123", string("000500020") + '\0'},
        {"000110001!|!wrong", Frame(2, string("2") + t::kWrongPassword)},
        {"000199999!|!alice123", Frame(2, string("1") + t::kNoSuchAccount)},
        {"0001!|!alice123", Frame(2, string("3") + t::kBadLoginData)},
        {"000110001!|!", Frame(2, string("3") + t::kBadLoginData)},
        {"0001123456789012345678901!|!x", Frame(2, string("3") + t::kBadLoginData)},
        {"000110001", Frame(2, string("3") + t::kBadLoginData)},
    };
    for (const Case& c : cases) {
        Client client(server.Port());
        client.SendBody(c.body);
        auto answer = client.Read();
        ASSERT_TRUE(answer) << c.body;
        EXPECT_EQ(answer->raw, c.expected) << c.body;
    }
    // The library reads the refusal as result 0 with the reason after the status character.
    Client client(server.Port());
    client.SendBody("000110001!|!wrong");
    auto answer = client.Read();
    ASSERT_TRUE(answer);
    auto view = LibraryView(*answer, "10001");
    ASSERT_EQ(view.size(), 1u);
    auto result = view[0].As<IM_LOGIN_RESULT>();
    EXPECT_EQ(result.result, 0);
    EXPECT_STREQ(result.message, t::kWrongPassword);
}

TEST_P(ServerProtocolTest, LoginFromTheLibrarysOwnBuilderAndSecondLoginOnOneConnection) {
    IM_USER_LOGINDATA login{};
    std::strcpy(login.userId, "10002");
    std::strcpy(login.password, "bob123");
    Client client(server.Port());
    client.SendFramed(protocol::BuildLoginRequest(login));
    auto answer = client.Read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->raw, string("000500020") + '\0');
    // The library answers success with request 44 at once.
    auto view = LibraryView(*answer, "10002");
    ASSERT_EQ(view.size(), 1u);
    EXPECT_EQ(view[0].As<IM_LOGIN_RESULT>().result, 1);

    client.SendFramed(protocol::BuildLoginRequest(login));
    answer = client.Read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->raw, Frame(2, string("4") + t::kAlreadyLoggedIn));
}

TEST_P(ServerProtocolTest, RequestsBeforeLoginAreDropped) {
    Client client(server.Port());
    client.SendRaw(protocol::BuildKeepAliveRequest());
    client.SendFramed(protocol::BuildInitDataRequest(0));
    client.SendFramed(protocol::BuildSendAskRequest("10001"));
    client.SendFramed(protocol::BuildGetUserInfoRequest("10001", "10002"));
    // The first answer is the login's: nothing came for the earlier requests.
    EXPECT_EQ(client.Login("10001", "alice123"), "0");
    EXPECT_TRUE(client.Sync().empty());
}

TEST_P(ServerProtocolTest, KeepAliveInitDataUserInfoAndList) {
    auto alice = LoggedIn("10001", "alice123");
    auto bob = LoggedIn("10002", "bob123");
    // bob's arrival is announced to alice, his friend.
    auto seen = alice->Sync();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].raw, Frame(32, "10002!|!1!|!"));

    struct Case {
        string request;
        std::vector<string> expected;
    } cases[] = {
        {protocol::BuildKeepAliveRequest(), {string("00040008") + '\0'}},
        {*protocol::BuildInitDataRequest(0), {Frame(22, Bob(1) + Carol(0) + "<over>1</over>")}},
        {*protocol::BuildInitDataRequest(1),
         {Frame(22, Bob(1) + "<over>0</over>"), Frame(22, Carol(0) + "<over>1</over>")}},
        {*protocol::BuildGetUserInfoRequest("10001", "10003"), {Frame(37, "0" + Carol(0))}},
        {*protocol::BuildGetUserInfoRequest("10001", "10001"), {Frame(37, "0" + Alice(1))}},
        {*protocol::BuildGetUserInfoRequest("10001", "nobody"),
         {Frame(37, string("1!|!nobody!|!") + t::kNoSuchAccount)}},
        {*protocol::BuildSendAskRequest("10001"), {Frame(45, "10002:1")}},
    };
    for (const Case& c : cases) {
        alice->SendRaw(c.request);
        for (const string& expected : c.expected) {
            auto got = alice->Read();
            ASSERT_TRUE(got) << c.request;
            EXPECT_EQ(got->raw, expected) << c.request;
        }
        EXPECT_TRUE(alice->Sync().empty()) << c.request;
    }

    // The same answers through the library's handlers.
    alice->SendFramed(protocol::BuildInitDataRequest(0));
    auto list = LibraryView(*alice->Read(), "10001");
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0].kind, IMN_FRIEND_LIST);
    ASSERT_EQ(list[0].users.size(), 2u);
    EXPECT_EQ(list[0].over, 1);
    EXPECT_EQ(list[0].users[0].id, 10002);
    EXPECT_STREQ(list[0].users[0].name, "10002");
    EXPECT_STREQ(list[0].users[0].nickname, t::kNickBob);
    EXPECT_EQ(list[0].users[0].status, 1);
    EXPECT_STREQ(list[0].users[1].name, "10003");
    EXPECT_EQ(list[0].users[1].status, 0);

    alice->SendFramed(protocol::BuildSendAskRequest("10001"));
    auto asks = LibraryView(*alice->Read(), "10001");
    ASSERT_EQ(asks.size(), 1u);
    ASSERT_EQ(asks[0].items.size(), 1u);
    EXPECT_STREQ(asks[0].items[0].text, "10002");
    EXPECT_EQ(asks[0].items[0].value, 1);

    bob->SendFramed(protocol::BuildGetUserInfoRequest("10002", "10001"));
    auto info = LibraryView(*bob->Read(), "10002");
    ASSERT_EQ(info.size(), 1u);
    auto record = info[0].As<IM_USERINFO_RESULT>();
    EXPECT_EQ(record.result, 1);
    EXPECT_EQ(record.user.id, 10001);
    EXPECT_STREQ(record.user.littleword, t::kWordAlice);
    EXPECT_STREQ(record.user.birthday, "19950314");
}

TEST_P(ServerProtocolTest, NoFriendsGivesOneClosingBatch) {
    Client carol(server.PortFor("10003"));
    ASSERT_EQ(carol.Login("10003", "carol123"), "0");
    // carol is alice's friend; alice is offline, so the list holds her with status 0.
    carol.SendFramed(protocol::BuildInitDataRequest(0));
    auto got = carol.Read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->raw, Frame(22, Alice(0) + "<over>1</over>"));
    carol.SendFramed(protocol::BuildDeleteFriendRequest("10003", "10001"));
    EXPECT_EQ(carol.Read()->raw, Frame(30, "10003!|!10001!|!0"));
    carol.SendFramed(protocol::BuildInitDataRequest(0));
    EXPECT_EQ(carol.Read()->raw, Frame(22, "<over>1</over>"));
    carol.SendFramed(protocol::BuildSendAskRequest("10003"));
    EXPECT_EQ(carol.Read()->raw, Frame(45, ""));
}

TEST_P(ServerProtocolTest, BlacklistAndDeleteFriendResults) {
    auto alice = LoggedIn("10001", "alice123");
    struct Case {
        std::optional<string> request;
        string expected;
    } cases[] = {
        {protocol::BuildAddBlacklistRequest("10001", "nobody", 7),
         Frame(26, string("10001!|!nobody!|!7!|!1!|!") + t::kNoSuchAccount)},
        {protocol::BuildAddBlacklistRequest("10001", "10001", 7),
         Frame(26, string("10001!|!10001!|!7!|!1!|!") + t::kNotYourself)},
        {protocol::BuildDeleteFriendRequest("10001", "10002"), Frame(30, "10001!|!10002!|!0")},
        {protocol::BuildDeleteFriendRequest("10001", "10002"),
         Frame(30, string("10001!|!10002!|!1!|!") + t::kNotAFriend)},
        {protocol::BuildDeleteFriendRequest("10001", "nobody"),
         Frame(30, string("10001!|!nobody!|!1!|!") + t::kNoSuchAccount)},
        {protocol::BuildAddBlacklistRequest("10001", "10003", 7), Frame(26, "10001!|!10003!|!7!|!0")},
    };
    for (const Case& c : cases) {
        alice->SendFramed(c.request);
        auto got = alice->Read();
        ASSERT_TRUE(got) << *c.request;
        EXPECT_EQ(got->raw, c.expected) << *c.request;
    }
    // Blacklisting ends the friendship too.
    alice->SendFramed(protocol::BuildInitDataRequest(0));
    EXPECT_EQ(alice->Read()->raw, Frame(22, "<over>1</over>"));

    alice->SendFramed(protocol::BuildAddBlacklistRequest("10001", "10002", 3));
    auto view = LibraryView(*alice->Read(), "10001");
    ASSERT_EQ(view.size(), 1u);
    auto result = view[0].As<IM_PEER_RESULT>();
    EXPECT_EQ(result.result, 1);
    EXPECT_EQ(result.value, 3);
    EXPECT_STREQ(result.peer, "10002");
}

TEST_P(ServerProtocolTest, ProfileChangeAnswersAndPasswordChange) {
    auto alice = LoggedIn("10001", "alice123");
    auto change = [](const char* nick, const char* oldpass, const char* newpass, const char* word,
                     const char* birthday, int afset) {
        IM_USERCHANGEDATA d{};
        std::strcpy(d.user, "10001");
        std::strcpy(d.nickname, nick);
        std::strcpy(d.oldpass, oldpass);
        std::strcpy(d.newpass, newpass);
        std::strcpy(d.littleword, word);
        std::strcpy(d.birthday, birthday);
        d.afset = afset;
        return protocol::BuildChangeUserInfoRequest("10001", &d);
    };
    struct Case {
        std::optional<string> request;
        string expected;
    } cases[] = {
        {change("Al", "", "", "hi", "19990101", 2),
         Frame(35, "0!|!<user><nickname>Al</nickname><newpass></newpass><littleword>hi</littleword>"
                   "<brithday>19990101</brithday><afset>2</afset></user>")},
        {change("Al", "", "", "hi", "1999-1-1", 2), Frame(35, string("1!|!") + t::kBadProfileData)},
        {change("", "", "", "hi", "19990101", 2), Frame(35, string("1!|!") + t::kBadProfileData)},
        {change("A<b>", "", "", "hi", "19990101", 2), Frame(35, string("1!|!") + t::kBadProfileData)},
        {change("Al", "nope", "secret9", "hi", "19990101", 2), Frame(35, string("2!|!") + t::kOldPasswordWrong)},
        {change("Ally", "alice123", "secret9", "", "20000229", 5),
         Frame(35, "0!|!<user><nickname>Ally</nickname><newpass></newpass><littleword></littleword>"
                   "<brithday>20000229</brithday><afset>5</afset></user>")},
    };
    for (const Case& c : cases) {
        alice->SendFramed(c.request);
        auto got = alice->Read();
        ASSERT_TRUE(got) << *c.request;
        EXPECT_EQ(got->raw, c.expected) << *c.request;
    }
    // The library reads the success answer into its change record.
    alice->SendFramed(change("Ally", "", "", "w", "20000229", 5));
    auto view = LibraryView(*alice->Read(), "10001");
    ASSERT_EQ(view.size(), 1u);
    auto record = view[0].As<IM_CHANGEINFO_RESULT>();
    EXPECT_EQ(record.result, 1);
    EXPECT_STREQ(record.data.nickname, "Ally");
    EXPECT_STREQ(record.data.birthday, "20000229");
    EXPECT_EQ(record.data.afset, 5);

    Client again(server.PortFor("10001"));
    EXPECT_EQ(again.Login("10001", "alice123"), string("2") + t::kWrongPassword);
    Client fresh(server.PortFor("10001"));
    EXPECT_EQ(fresh.Login("10001", "secret9"), "0");
}

TEST_P(ServerProtocolTest, RoutingBetweenTwoUsers) {
    auto alice = LoggedIn("10001", "alice123");
    auto bob = LoggedIn("10002", "bob123");
    alice->Sync();  // bob's arrival

    // Chat with a date of the sender's own: forwarded exactly.
    string body = "<msg><id>7</id><fusr>10001</fusr><tusr>10002</tusr><imzt>Bold=1</imzt><cnt>hi !|! bob</cnt></msg>";
    alice->SendBody("000310002!|!20260102 03:04:05!|!10001!|!1!|!" + body);
    auto got = bob->Read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->raw, Frame(3, "10002!|!20260102 03:04:05!|!10001!|!1!|!" + body));

    // SYSTEMDATE becomes the server's time: eight digits, a blank, hh:mm:ss.
    IM_CHAT_DATA chat = ChatRecord("10002", "hello");
    alice->SendFramed(protocol::BuildChatRequest("10001", &chat));
    got = bob->Read();
    ASSERT_TRUE(got);
    string payload = got->payload;
    ASSERT_EQ(payload.substr(0, 8), "10002!|!");
    string date = payload.substr(8, 17);
    EXPECT_EQ(date.size(), 17u);
    EXPECT_EQ(date[8], ' ');
    EXPECT_EQ(date[11], ':');
    EXPECT_EQ(payload.substr(25), "!|!10001!|!1!|!" + protocol::BuildChatBody("10001", chat));
    auto view = LibraryView(*got, "10002");
    ASSERT_EQ(view.size(), 1u);
    ASSERT_EQ(view[0].kind, IMN_CHAT_MESSAGE);
    auto record = view[0].As<IM_CHAT_DATA>();
    EXPECT_STREQ(record.peer, "10001");
    EXPECT_STREQ(record.content, "hello");
    EXPECT_EQ(record.id, 7);
    EXPECT_EQ(string(record.time), date);

    struct Route {
        std::optional<string> request;  // from alice
        string toBob;
    } routes[] = {
        {protocol::BuildInviteRequest("10001", "10002"), Frame(31, "10001!|!10002")},
        {protocol::BuildAsk1V1Request("10001", "10002"), Frame(40, "10001!|!10002")},
        {protocol::BuildStop1V1Request("10001", "10002"), Frame(43, "10001!|!10002")},
        {protocol::BuildAskAddFriendRequest("10001", "10002", "x", 0), ""},  // already friends: dropped
    };
    for (const Route& r : routes) {
        alice->SendFramed(r.request);
        EXPECT_TRUE(alice->Sync().empty()) << *r.request;
        auto seen = bob->Sync();
        if (r.toBob.empty()) {
            EXPECT_TRUE(seen.empty()) << *r.request;
        } else {
            ASSERT_EQ(seen.size(), 1u) << *r.request;
            EXPECT_EQ(seen[0].raw, r.toBob);
            EXPECT_EQ(LibraryView(seen[0], "10002").size(), 1u) << *r.request;
        }
    }

    // One-to-one: ask, answer (42 to the asker), and an answer nobody asked for.
    alice->SendFramed(protocol::BuildAsk1V1Request("10001", "10002"));
    EXPECT_EQ(bob->Read()->raw, Frame(40, "10001!|!10002"));
    bob->SendFramed(protocol::BuildReply1V1Request("10002", "10001", 1));
    got = alice->Read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->raw, Frame(42, "10002!|!10001!|!0"));
    auto reply = LibraryView(*got, "10001");
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].As<IM_1V1_REPLY_DATA>().agreed, 1);
    bob->SendFramed(protocol::BuildReply1V1Request("10002", "10001", 0));
    EXPECT_TRUE(bob->Sync().empty());
    EXPECT_TRUE(alice->Sync().empty());
    // An answer sent the moment the request arrives counts too: the server
    // notes the request before the client can see it.
    for (int round = 0; round < 200; ++round) {
        alice->SendFramed(protocol::BuildAsk1V1Request("10001", "10002"));
        ASSERT_EQ(bob->Read()->raw, Frame(40, "10001!|!10002"));
        bob->SendFramed(protocol::BuildReply1V1Request("10002", "10001", 1));
        got = alice->Read();
        ASSERT_TRUE(got) << "round " << round;
        ASSERT_EQ(got->raw, Frame(42, "10002!|!10001!|!0")) << "round " << round;
    }

    // Status and position go to the friends who are online.
    IM_USER_CHANGESTATUS status{};
    std::strcpy(status.user, "10001");
    status.status = 3;
    std::strcpy(status.note, "busy");
    alice->SendFramed(protocol::BuildChangeStatusRequest("10001", &status));
    EXPECT_EQ(bob->Read()->raw, Frame(32, "10001!|!3!|!busy"));
    IM_USER_POSITION pos{};
    std::strcpy(pos.user, "10001");
    pos.id = 5;
    std::strcpy(pos.ms, "here");
    pos.pos0 = 1;
    pos.pos1 = -2;
    pos.pos2 = 3;
    pos.pos3 = 4;
    alice->SendFramed(protocol::BuildChangePositionRequest("10001", &pos));
    got = bob->Read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->raw, Frame(33, "10001!|!<id>5</id><ms>here</ms><pos0>1</pos0><pos1>-2</pos1><pos2>3</pos2><pos3>4</pos3>"));
    auto where = LibraryView(*got, "10002");
    ASSERT_EQ(where.size(), 1u);
    EXPECT_EQ(where[0].As<IM_USER_POSITION>().pos1, -2);
    EXPECT_TRUE(alice->Sync().empty());

    // The stored status and position show in the friend list.
    bob->SendFramed(protocol::BuildGetUserInfoRequest("10002", "10001"));
    auto info = LibraryView(*bob->Read(), "10002");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].As<IM_USERINFO_RESULT>().user.status, 3);
    EXPECT_EQ(info[0].As<IM_USERINFO_RESULT>().user.pos.pos3, 4);

    // Exit: no answer, the connection ends, and the friends see status 0.
    alice->SendFramed(protocol::BuildExitRequest("10001"));
    EXPECT_TRUE(alice->WaitClosed());
    EXPECT_EQ(bob->Read()->raw, Frame(32, "10001!|!0"));
}

TEST_P(ServerProtocolTest, FriendRequestAnswerAndResultAmongThreeUsers) {
    auto alice = LoggedIn("10001", "alice123");
    auto bob = LoggedIn("10002", "bob123");
    auto carol = LoggedIn("10003", "carol123");
    alice->Sync();
    bob->Sync();
    carol->Sync();

    carol->SendFramed(protocol::BuildAskAddFriendRequest("10003", "10002", "hi bob", 1));
    auto ask = bob->Read();
    ASSERT_TRUE(ask);
    EXPECT_EQ(ask->raw, Frame(23, "10003!|!10002!|!hi bob"));
    auto askView = LibraryView(*ask, "10002");
    ASSERT_EQ(askView.size(), 1u);
    EXPECT_STREQ(askView[0].As<IM_FRIEND_ASK_DATA>().askText, "hi bob");

    bob->SendFramed(protocol::BuildReplyAddFriendRequest("10002", "10003", "ok", true, 1));
    auto reply = carol->Read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->raw, Frame(24, "10002!|!10003!|!0!|!ok"));
    auto replyView = LibraryView(*reply, "10003");
    ASSERT_EQ(replyView.size(), 1u);
    EXPECT_EQ(replyView[0].As<IM_FRIEND_REPLY_DATA>().agreed, 1);
    auto result = bob->Read();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->raw, Frame(38, "10002!|!10003!|!0!|!ok"));
    auto resultView = LibraryView(*result, "10002");
    ASSERT_EQ(resultView.size(), 1u);
    EXPECT_EQ(resultView[0].kind, IMN_FRIEND_RESULT);
    EXPECT_STREQ(resultView[0].As<IM_FRIEND_REPLY_DATA>().peer, "10003");

    // A second answer finds no pending request: dropped.
    bob->SendFramed(protocol::BuildReplyAddFriendRequest("10002", "10003", "ok", true, 1));
    EXPECT_TRUE(bob->Sync().empty());
    EXPECT_TRUE(carol->Sync().empty());

    // Now friends: bob's status reaches carol and alice, not the other way round.
    IM_USER_CHANGESTATUS status{};
    std::strcpy(status.user, "10002");
    status.status = 2;
    bob->SendFramed(protocol::BuildChangeStatusRequest("10002", &status));
    EXPECT_EQ(alice->Read()->raw, Frame(32, "10002!|!2!|!"));
    EXPECT_EQ(carol->Read()->raw, Frame(32, "10002!|!2!|!"));
    EXPECT_TRUE(bob->Sync().empty());

    // A chat from alice to carol reaches carol only.
    IM_CHAT_DATA chat = ChatRecord("10003", "for carol");
    alice->SendFramed(protocol::BuildChatRequest("10001", &chat));
    auto got = carol->Read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->code, 3);
    EXPECT_TRUE(bob->Sync().empty());

    // A refusal, after the friendship has been ended again.
    bob->SendFramed(protocol::BuildDeleteFriendRequest("10002", "10003"));
    EXPECT_EQ(bob->Read()->raw, Frame(30, "10002!|!10003!|!0"));
    carol->SendFramed(protocol::BuildAskAddFriendRequest("10003", "10002", "", 0));
    EXPECT_EQ(bob->Read()->raw, Frame(23, "10003!|!10002"));
    bob->SendFramed(protocol::BuildReplyAddFriendRequest("10002", "10003", "no", false, 0));
    EXPECT_EQ(carol->Read()->raw, Frame(24, "10002!|!10003!|!1!|!no"));
    EXPECT_EQ(bob->Read()->raw, Frame(38, "10002!|!10003!|!1!|!no"));
}

TEST_P(ServerProtocolTest, SpoofedOwnIdIsDroppedForEveryRequest) {
    auto alice = LoggedIn("10001", "alice123");
    auto bob = LoggedIn("10002", "bob123");
    alice->Sync();
    // bob asked alice for a one-to-one session, so a spoofed answer would have something to answer.
    bob->SendFramed(protocol::BuildAsk1V1Request("10002", "10001"));
    ASSERT_EQ(alice->Read()->code, 40);

    IM_CHAT_DATA chat = ChatRecord("10002", "spoof");
    IM_USER_CHANGESTATUS status{};
    std::strcpy(status.user, "10003");
    IM_USER_POSITION pos{};
    std::strcpy(pos.user, "10003");
    IM_USERCHANGEDATA data{};
    std::strcpy(data.user, "10003");
    std::strcpy(data.nickname, "x");
    std::strcpy(data.birthday, "19990101");
    // Each request claims carol (10003) as its sender while alice is logged in.
    std::optional<string> requests[] = {
        protocol::BuildChatRequest("10003", &chat),
        protocol::BuildAskAddFriendRequest("10003", "10002", "", 0),
        protocol::BuildReplyAddFriendRequest("10003", "10002", "", true, 0),
        protocol::BuildAddBlacklistRequest("10003", "10002", 0),
        protocol::BuildDeleteFriendRequest("10003", "10001"),
        protocol::BuildInviteRequest("10003", "10002"),
        protocol::BuildChangeStatusRequest("10003", &status),
        protocol::BuildChangePositionRequest("10003", &pos),
        protocol::BuildChangeUserInfoRequest("10003", &data),
        protocol::BuildAsk1V1Request("10003", "10002"),
        protocol::BuildReply1V1Request("10003", "10002", 1),
        protocol::BuildStop1V1Request("10003", "10002"),
        protocol::BuildSendAskRequest("10003"),
        protocol::BuildExitRequest("10003"),
    };
    for (const auto& request : requests) {
        ASSERT_TRUE(request);
        alice->SendFramed(request);
        EXPECT_TRUE(alice->Sync().empty()) << *request;
        EXPECT_TRUE(bob->Sync().empty()) << *request;
    }
    EXPECT_EQ(server.Stats().dropped, std::size(requests));
}

TEST_P(ServerProtocolTest, SameAccountElsewhereGetsCode39AndLoses) {
    auto first = LoggedIn("10002", "bob123");
    auto second = LoggedIn("10002", "bob123");
    auto signal = first->Read();
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->raw, string("00040039") + '\0');
    auto view = LibraryView(*signal, "10002");
    ASSERT_EQ(view.size(), 1u);
    EXPECT_EQ(view[0].kind, IMN_SERVER_SIGNAL);
    EXPECT_TRUE(first->WaitClosed());
    // The new connection is the one that gets bob's chats.
    auto alice = LoggedIn("10001", "alice123");
    EXPECT_EQ(second->Read()->raw, Frame(32, "10001!|!1!|!"));  // alice's arrival
    IM_CHAT_DATA chat = ChatRecord("10002", "to the new one");
    alice->SendFramed(protocol::BuildChatRequest("10001", &chat));
    auto got = second->Read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->code, 3);
}

TEST_P(ServerProtocolTest, BlacklistedUserCannotReachTheBlocker) {
    auto alice = LoggedIn("10001", "alice123");
    auto carol = LoggedIn("10003", "carol123");
    alice->Sync();
    carol->SendFramed(protocol::BuildAddBlacklistRequest("10003", "10001", 0));
    EXPECT_EQ(carol->Read()->raw, Frame(26, "10003!|!10001!|!0!|!0"));
    IM_CHAT_DATA chat = ChatRecord("10003", "can you hear me");
    std::optional<string> attempts[] = {
        protocol::BuildChatRequest("10001", &chat),
        protocol::BuildAskAddFriendRequest("10001", "10003", "please", 1),
        protocol::BuildInviteRequest("10001", "10003"),
        protocol::BuildAsk1V1Request("10001", "10003"),
        protocol::BuildStop1V1Request("10001", "10003"),
    };
    for (const auto& attempt : attempts) {
        alice->SendFramed(attempt);
        EXPECT_TRUE(alice->Sync().empty()) << *attempt;
        EXPECT_TRUE(carol->Sync().empty()) << *attempt;
    }
    // Nothing was kept for later either.
    carol->Close();
    Client again(server.PortFor("10003"));
    EXPECT_EQ(again.Login("10003", "carol123"), "0");
    EXPECT_TRUE(again.Sync().empty());
    // The other way round still works: carol can write to alice.
    IM_CHAT_DATA back = ChatRecord("10001", "I can");
    again.SendFramed(protocol::BuildChatRequest("10003", &back));
    auto got = alice->Read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->code, 3);
}

TEST_P(ServerProtocolTest, OfflineChatsArriveInOrderAtTheNextLoginOnce) {
    auto alice = LoggedIn("10001", "alice123");
    std::vector<string> sent;
    for (int i = 0; i < 5; ++i) {
        string text = "offline " + std::to_string(i);
        IM_CHAT_DATA chat = ChatRecord("10003", text.c_str(), i + 1);
        alice->SendFramed(protocol::BuildChatRequest("10001", &chat));
        sent.push_back(protocol::BuildChatBody("10001", chat));
    }
    alice->Sync();  // all five handled
    {
        Client carol(server.PortFor("10003"));
        ASSERT_EQ(carol.Login("10003", "carol123"), "0");
        for (const string& body : sent) {
            auto got = carol.Read();
            ASSERT_TRUE(got);
            ASSERT_EQ(got->code, 3);
            EXPECT_EQ(got->payload.substr(got->payload.size() - body.size()), body);
            // The time is the server's at sending, not the receiver's.
            auto view = LibraryView(*got, "10003");
            ASSERT_EQ(view.size(), 1u);
            EXPECT_NE(string(view[0].As<IM_CHAT_DATA>().time), "20260101 12:00:00");
        }
        EXPECT_TRUE(carol.Sync().empty());
    }
    Client carol(server.PortFor("10003"));
    ASSERT_EQ(carol.Login("10003", "carol123"), "0");
    EXPECT_TRUE(carol.Sync().empty());
}

TEST_P(ServerProtocolTest, RestartKeepsAccountsFriendsRequestsAndPendingMessages) {
    {
        auto alice = LoggedIn("10001", "alice123");
        auto bob = LoggedIn("10002", "bob123");
        alice->Sync();
        // A new friendship, a pending friend request and two pending chats for carol.
        IM_USERCHANGEDATA data{};
        std::strcpy(data.user, "10002");
        std::strcpy(data.nickname, "Bobby");
        std::strcpy(data.oldpass, "bob123");
        std::strcpy(data.newpass, "bob456");
        std::strcpy(data.birthday, "19800101");
        bob->SendFramed(protocol::BuildChangeUserInfoRequest("10002", &data));
        ASSERT_EQ(bob->Read()->payload.substr(0, 1), "0");
        bob->SendFramed(protocol::BuildAskAddFriendRequest("10002", "10003", "hello", 1));
        IM_CHAT_DATA first = ChatRecord("10003", "one");
        IM_CHAT_DATA second = ChatRecord("10003", "two");
        alice->SendFramed(protocol::BuildChatRequest("10001", &first));
        alice->Sync();  // requests of two connections have no order between them
        bob->SendFramed(protocol::BuildChatRequest("10002", &second));
        bob->Sync();
    }
    server.Restart();

    Client bob(server.PortFor("10002"));
    EXPECT_EQ(bob.Login("10002", "bob123"), string("2") + t::kWrongPassword);
    Client bob2(server.PortFor("10002"));
    EXPECT_EQ(bob2.Login("10002", "bob456"), "0");
    bob2.SendFramed(protocol::BuildGetUserInfoRequest("10002", "10002"));
    EXPECT_EQ(bob2.Read()->raw,
              Frame(37, "0" + DemoUser("10002", "Bobby", "", "19800101", 1)));

    Client carol(server.PortFor("10003"));
    ASSERT_EQ(carol.Login("10003", "carol123"), "0");
    auto request = carol.Read();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->raw, Frame(23, "10002!|!10003!|!hello"));
    auto one = carol.Read();
    auto two = carol.Read();
    ASSERT_TRUE(one && two);
    EXPECT_NE(one->payload.find("<cnt>one</cnt>"), string::npos);
    EXPECT_NE(two->payload.find("<cnt>two</cnt>"), string::npos);
    // bob and carol are not friends yet, so no presence notice follows.
    EXPECT_TRUE(carol.Sync().empty());
    carol.SendFramed(protocol::BuildInitDataRequest(0));
    EXPECT_EQ(carol.Read()->raw, Frame(22, Alice(0) + "<over>1</over>"));
}

INSTANTIATE_TEST_SUITE_P(Layouts, ServerProtocolTest, ::testing::Values(1, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 1 ? std::string("OneServer") : std::string("ThreeNodes");
                         });

}  // namespace
}  // namespace vexa::server::testing
