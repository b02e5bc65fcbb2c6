// Every request body against its literal bytes, grouped by operation, and the
// preconditions under which nothing may be sent.
#include "protocol/requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

namespace vexa::protocol {
namespace {

using namespace std::string_literals;
using Request = std::optional<std::string>;

template <std::size_t N>
void Put(char (&field)[N], const std::string& value) {
    std::memset(field, 0, N);
    std::memcpy(field, value.data(), std::min(value.size(), N));
}

struct Case {
    const char* name;
    Request actual;
    Request expected;  // nullopt: must not be sent
};

void Check(const Case& c) {
    if (!c.expected) {
        EXPECT_FALSE(c.actual) << c.name << ": sent " << ::testing::PrintToString(*c.actual);
        return;
    }
    ASSERT_TRUE(c.actual) << c.name << ": not sent";
    EXPECT_EQ(*c.actual, *c.expected) << c.name;
}

IM_USER_LOGINDATA Login(const std::string& user, const std::string& password) {
    IM_USER_LOGINDATA login;
    Put(login.userId, user);
    Put(login.password, password);
    return login;
}

TEST(RequestsConnection, LoginKeepAliveExit) {
    const Case cases[] = {
        {"login", BuildLoginRequest(Login("10001", "pw")), "0014000110001!|!pw"},
        {"login GBK", BuildLoginRequest(Login("\xD5\xC5", "\xC3\xDC")), "00110001\xD5\xC5!|!\xC3\xDC"},
        {"login longest", BuildLoginRequest(Login(std::string(20, 'u'), std::string(19, 'p'))),
         "00460001" + std::string(20, 'u') + "!|!" + std::string(19, 'p')},
        {"login empty user", BuildLoginRequest(Login("", "pw")), std::nullopt},
        {"login empty password", BuildLoginRequest(Login("10001", "")), std::nullopt},
        {"login user without NUL", BuildLoginRequest(Login(std::string(21, 'u'), "pw")), std::nullopt},
        {"login password without NUL", BuildLoginRequest(Login("10001", std::string(20, 'p'))), std::nullopt},
        {"keep-alive", BuildKeepAliveRequest(), "00130007Keepalive"},
        {"exit", BuildExitRequest("10001"), "0009009910001"},
        {"exit without own id", BuildExitRequest(""), std::nullopt},
        {"exit own id cut at NUL", BuildExitRequest("10001\0x"s), "0009009910001"},
        {"exit own id only NUL", BuildExitRequest("\0x"s), std::nullopt},
    };
    for (const auto& c : cases) Check(c);
}

TEST(RequestsLists, InitDataAndUserInfo) {
    const Case cases[] = {
        {"init 5", BuildInitDataRequest(5), "000500215"},
        {"init 0", BuildInitDataRequest(0), "000500210"},
        {"init -12", BuildInitDataRequest(-12), "00070021-12"},
        {"init 2147483647", BuildInitDataRequest(2147483647), "001400212147483647"},
        {"user info", BuildGetUserInfoRequest("u1", "abc"), "00070036abc"},
        {"user info GBK", BuildGetUserInfoRequest("u1", "\xD5\xC5\xC8\xFD"), "00080036\xD5\xC5\xC8\xFD"},
        {"user info without own id", BuildGetUserInfoRequest("", "abc"), std::nullopt},
        {"send ask", BuildSendAskRequest("u1"), "00060044u1"},
        {"send ask without own id", BuildSendAskRequest(""), std::nullopt},
    };
    for (const auto& c : cases) Check(c);
}

TEST(RequestsFriends, AskReplyBlacklistDelete) {
    const Case cases[] = {
        {"ask without text", BuildAskAddFriendRequest("u1", "u2", "hello", 0), "00110023u1!|!u2"},
        {"ask with text", BuildAskAddFriendRequest("u1", "u2", "hello", 1), "00190023u1!|!u2!|!hello"},
        {"ask with text -1", BuildAskAddFriendRequest("u1", "u2", "", -1), "00140023u1!|!u2!|!"},
        {"ask without own id", BuildAskAddFriendRequest("", "u2", "hello", 1), std::nullopt},
        {"reply agree", BuildReplyAddFriendRequest("u1", "u2", "ok", true, 3), "00240024u1!|!u2!|!0!|!3!|!ok"},
        {"reply refuse", BuildReplyAddFriendRequest("u1", "u2", "ok", false, 3), "00200024u1!|!u2!|!1!|!ok"},
        {"reply agree -4", BuildReplyAddFriendRequest("u1", "u2", "", true, -4), "00230024u1!|!u2!|!0!|!-4!|!"},
        {"reply without own id", BuildReplyAddFriendRequest("", "u2", "ok", true, 3), std::nullopt},
        {"blacklist", BuildAddBlacklistRequest("u1", "u2", 7), "00150025u1!|!u2!|!7"},
        {"blacklist without own id", BuildAddBlacklistRequest("", "u2", 7), std::nullopt},
        {"delete", BuildDeleteFriendRequest("u1", "u2"), "00110029u1!|!u2"},
        {"delete user cut at NUL", BuildDeleteFriendRequest("u1", "u2\0zz"s), "00110029u1!|!u2"},
        {"delete without own id", BuildDeleteFriendRequest("", "u2"), std::nullopt},
        {"invite", BuildInviteRequest("u1", "u2"), "00110031u1!|!u2"},
        {"invite empty user", BuildInviteRequest("u1", ""), "00090031u1!|!"},
        {"invite without own id", BuildInviteRequest("", "u2"), std::nullopt},
    };
    for (const auto& c : cases) Check(c);
}

TEST(RequestsOneToOne, AskReplyStop) {
    const Case cases[] = {
        {"ask", BuildAsk1V1Request("u1", "u2"), "00110040u1!|!u2"},
        {"ask without own id", BuildAsk1V1Request("", "u2"), std::nullopt},
        {"reply agree", BuildReply1V1Request("u1", "u2", 1), "00150041u2!|!u1!|!0"},
        {"reply agree 7", BuildReply1V1Request("u1", "u2", 7), "00150041u2!|!u1!|!0"},
        {"reply refuse", BuildReply1V1Request("u1", "u2", 0), "00150041u2!|!u1!|!1"},
        {"reply without own id", BuildReply1V1Request("", "u2", 1), std::nullopt},
        {"stop", BuildStop1V1Request("u1", "u2"), "00110043u1!|!u2"},
        {"stop without own id", BuildStop1V1Request("", "u2"), std::nullopt},
    };
    for (const auto& c : cases) Check(c);
}

IM_USER_CHANGESTATUS Status(const std::string& user, int32_t status, const std::string& note) {
    IM_USER_CHANGESTATUS record;
    std::memset(&record, 0, sizeof record);
    Put(record.user, user);
    record.status = status;
    Put(record.note, note);
    return record;
}

IM_USER_POSITION Position(const std::string& user) {
    IM_USER_POSITION record;
    std::memset(&record, 0, sizeof record);
    Put(record.user, user);
    record.id = 200;
    Put(record.ms, "hi");
    record.pos0 = 1;
    record.pos1 = 2;
    record.pos2 = -3;
    record.pos3 = 4;
    return record;
}

IM_USERCHANGEDATA UserData(const std::string& user) {
    IM_USERCHANGEDATA record;
    std::memset(&record, 0, sizeof record);
    Put(record.user, user);
    Put(record.nickname, "nick");
    Put(record.oldpass, "old");
    Put(record.newpass, "new");
    Put(record.littleword, "hello");
    Put(record.birthday, "19990101");
    record.afset = 1;
    return record;
}

TEST(RequestsOwnRecords, StatusPositionUserInfo) {
    const auto status = Status("u1", 2, "busy");
    const auto negative = Status("u1", -1, "");
    const auto fullNote = Status("u1", 0, std::string(256, 'n'));  // no NUL: read to its width
    const auto otherStatus = Status("U1", 2, "busy");
    const auto position = Position("u1");
    const auto otherPosition = Position("u2");
    const auto data = UserData("u1");
    const auto otherData = UserData("u1x");
    const Case cases[] = {
        {"status", BuildChangeStatusRequest("u1", &status), "00170032u1!|!2!|!busy"},
        {"status -1, empty note", BuildChangeStatusRequest("u1", &negative), "00140032u1!|!-1!|!"},
        {"status note at full width", BuildChangeStatusRequest("u1", &fullNote),
         "02690032u1!|!0!|!" + std::string(256, 'n')},
        {"status of another user", BuildChangeStatusRequest("u1", &otherStatus), std::nullopt},
        {"status without own id", BuildChangeStatusRequest("", &status), std::nullopt},
        {"status null", BuildChangeStatusRequest("u1", nullptr), std::nullopt},
        {"position", BuildChangePositionRequest("u1", &position),
         "00890033u1!|!<id>200</id><ms>hi</ms><pos0>1</pos0><pos1>2</pos1><pos2>-3</pos2><pos3>4</pos3>"},
        {"position of another user", BuildChangePositionRequest("u1", &otherPosition), std::nullopt},
        {"position without own id", BuildChangePositionRequest("", &position), std::nullopt},
        {"position null", BuildChangePositionRequest("u1", nullptr), std::nullopt},
        {"user info", BuildChangeUserInfoRequest("u1", &data),
         "01660034u1!|!<user><nickname>nick</nickname><oldpass>old</oldpass><newpass>new</newpass>"
         "<littleword>hello</littleword><brithday>19990101</brithday><afset>1</afset></user>"},
        {"user info of another user", BuildChangeUserInfoRequest("u1", &otherData), std::nullopt},
        {"user info without own id", BuildChangeUserInfoRequest("", &data), std::nullopt},
        {"user info null", BuildChangeUserInfoRequest("u1", nullptr), std::nullopt},
    };
    for (const auto& c : cases) Check(c);
}

IM_CHAT_DATA Chat(const std::string& peer, int32_t contentLength, const std::string& content) {
    IM_CHAT_DATA chat;
    std::memset(&chat, 0, sizeof chat);
    chat.id = 7;
    Put(chat.peer, peer);
    chat.format.cbSize = sizeof chat.format;
    chat.format.dwEffects = 0x1;
    chat.format.yHeight = 240;
    chat.format.crTextColor = 255;
    Put(chat.format.szFaceName, "Arial");
    Put(chat.content, content);
    chat.contentLength = contentLength;
    return chat;
}

TEST(RequestsChat, TextAndFileForms) {
    const auto text = Chat("u2", 5, "hello");

    auto file = Chat("u2", 0, "see file");
    file.id = -8;
    file.msgType = 3;
    file.format = IM_CHARFORMAT{};
    file.format.yHeight = 180;
    Put(file.file.text1, "a.txt");
    file.file.value1 = 1024;
    Put(file.file.text2, "abc");
    Put(file.file.text3, "C:\\x");
    file.file.value2 = -1;

    auto gbk = Chat("\xD5\xC5", 4, "\xC4\xE3\xBA\xC3\x81~|~");
    gbk.id = 1;
    gbk.msgType = 2;
    gbk.format = IM_CHARFORMAT{};
    gbk.format.yHeight = 180;
    Put(gbk.format.szFaceName, "\xCB\xCE\xCC\xE5");

    // Every text field full to its width, without a NUL.
    IM_CHAT_DATA full;
    std::memset(&full, 0, sizeof full);
    std::memset(full.peer, 'p', sizeof full.peer);
    std::memset(full.content, 'c', sizeof full.content);
    full.contentLength = 1024;
    full.time[0] = 'T';  // overrunning peer would show this

    const auto noPeer = Chat("", 5, "hello");

    const Case cases[] = {
        {"text", BuildChatRequest("u1", &text),
         "01750003u2!|!SYSTEMDATE!|!u1!|!0!|!<msg><id>7</id><fusr>u1</fusr><tusr>u2</tusr>"
         "<imzt>Bold=1,Underline=0,Italic=0,TextColor=255,Size=12,FaceName=Arial</imzt><cnt>hello</cnt></msg>"},
        {"file", BuildChatRequest("u1", &file),
         "02140003u2!|!SYSTEMDATE!|!u1!|!3!|!<msg><id>-8</id><fusr>u1</fusr><tusr>u2</tusr>"
         "<imzt>Bold=0,Underline=0,Italic=0,TextColor=0,Size=9,FaceName=</imzt><cnt>see file</cnt>"
         "<file>a.txt~|~1024~|~abc~|~C:\\x~|~-1</file></msg>"},
        {"GBK", BuildChatRequest("u1", &gbk),
         "01740003\xD5\xC5!|!SYSTEMDATE!|!u1!|!2!|!<msg><id>1</id><fusr>u1</fusr><tusr>\xD5\xC5</tusr>"
         "<imzt>Bold=0,Underline=0,Italic=0,TextColor=0,Size=9,FaceName=\xCB\xCE\xCC\xE5</imzt>"
         "<cnt>\xC4\xE3\xBA\xC3\x81~|~</cnt></msg>"},
        {"full-width fields", BuildChatRequest("u1", &full),
         "12240003" + std::string(21, 'p') + "!|!SYSTEMDATE!|!u1!|!0!|!<msg><id>0</id><fusr>u1</fusr><tusr>" +
             std::string(21, 'p') + "</tusr><imzt>Bold=0,Underline=0,Italic=0,TextColor=0,Size=0,FaceName=</imzt><cnt>" +
             std::string(1024, 'c') + "</cnt></msg>"},
        {"no peer", BuildChatRequest("u1", &noPeer), std::nullopt},
        {"without own id", BuildChatRequest("", &text), std::nullopt},
        {"null", BuildChatRequest("u1", nullptr), std::nullopt},
    };
    for (const auto& c : cases) Check(c);
}

// A body longer than the four-digit length can say is refused, not cut.
TEST(RequestsLimits, TooLongBodiesAreRefused) {
    const std::string own9995(9995, 'o');
    const std::string own9996(9996, 'o');
    Check({"exit longest", BuildExitRequest(own9995), "99990099" + own9995});
    Check({"exit one more", BuildExitRequest(own9996), std::nullopt});
    const std::string text9986(9986, 't');  // 4 + 2 + 3 + 2 + 3 + 9986 = 10000
    Check({"ask one more", BuildAskAddFriendRequest("u1", "u2", text9986, 1), std::nullopt});
    Check({"ask longest", BuildAskAddFriendRequest("u1", "u2", text9986.substr(1), 1),
           "99990023u1!|!u2!|!" + text9986.substr(1)});
    Check({"user info one more", BuildGetUserInfoRequest("u1", own9996), std::nullopt});
    const auto chat = Chat("u2", 5, "hello");
    Check({"chat with an own id too long", BuildChatRequest(std::string(9000, 'o'), &chat), std::nullopt});
}

}  // namespace
}  // namespace vexa::protocol
