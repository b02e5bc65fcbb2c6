// The one-line rendering of notifications used by the demo transcripts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tools/describe.h"
#include "protocol/sendask_list.h"
#include "VexaIMPlusRecords.h"

namespace vexa::demo {
namespace {

using protocol::SendAskListTable;

template <typename Record>
Record Zero() {
    Record r;
    std::memset(&r, 0, sizeof r);
    return r;
}

TEST(DescribeNotification, RendersTheRecordsOfTheImSide) {
    auto login = Zero<IM_LOGIN_RESULT>();
    std::strcpy(login.message, "\xc3\xdc\xc2\xeb\xb4\xed");  // GBK kept as is
    EXPECT_EQ(DescribeNotification(1, &login), "IMN_LOGIN_RESULT result=0 message=\"\xc3\xdc\xc2\xeb\xb4\xed\"");

    IM_USER_INFO users[2];
    std::memset(users, 0, sizeof users);
    users[0].id = 1;
    std::strcpy(users[0].name, "a");
    users[1].id = 2;
    IM_FRIENDLIST_DATA list{2, users, 1};
    std::string line = DescribeNotification(2, &list);
    EXPECT_EQ(line.rfind("IMN_FRIEND_LIST count=2 over=1 [user id=1 name=\"a\"", 0), 0u) << line;
    EXPECT_NE(line.find("[user id=2 name=\"\""), std::string::npos);

    auto chat = Zero<IM_CHAT_DATA>();
    chat.id = 7;
    std::strcpy(chat.peer, "u2");
    std::strcpy(chat.content, "hi");
    chat.contentLength = 2;
    EXPECT_EQ(DescribeNotification(5, &chat),
              "IMN_CHAT_MESSAGE id=7 peer=\"u2\" time=\"\" msgType=0 effects=0 height=0 color=0 face=\"\" "
              "contentLength=2 content=\"hi\"");

    auto status = Zero<IM_USER_CHANGESTATUS>();
    std::memset(status.user, 'x', sizeof status.user);  // not terminated: read within its width
    EXPECT_EQ(DescribeNotification(22, &status),
              "IMN_USER_STATUS user=\"" + std::string(21, 'x') + "\" status=0 note=\"\"");

    IM_SENDASK_ITEM items[1] = {{"k", 3}};
    IM_SENDASK_LIST object{&SendAskListTable(), items, 1, 1, 1};
    EXPECT_EQ(DescribeNotification(14, &object), "IMN_SENDASK_LIST count=1 [ text=\"k\" value=3]");

    IM_1V1_REPLY_DATA reply;
    std::memset(&reply, 0, sizeof reply);
    reply.textPointer = nullptr;
    EXPECT_EQ(DescribeNotification(11, &reply),
              "IMN_1V1_REPLY user=\"\" peer=\"\" agreed=0 text=\"\" number1=0 number2=0");
}

TEST(DescribeNotification, HostKindsHidePasswords) {
    IM_USER_LOGINDATA login;
    std::memset(&login, 0, sizeof login);
    std::strcpy(login.userId, "u1");
    std::strcpy(login.password, "secret");
    EXPECT_EQ(DescribeNotification(51, &login), "IMN_HOST_LOGIN userId=\"u1\" password=<6 bytes>");

    auto data = Zero<IM_USERCHANGEDATA>();
    std::strcpy(data.oldpass, "zzq");
    std::string line = DescribeNotification(52, &data);
    EXPECT_EQ(line.find("zzq"), std::string::npos) << line;
    EXPECT_NE(line.find("oldpass=<3 bytes>"), std::string::npos);

    auto pos = Zero<IM_USER_POSITION>();
    pos.pos3 = -1;
    EXPECT_EQ(DescribeNotification(53, &pos),
              "IMN_HOST_POSITION user=\"\" pos.id=0 ms=\"\" pos0=0 pos1=0 pos2=0 pos3=-1");

    char record[IM_HOST_RECORD_SIZE] = "u1";
    EXPECT_EQ(DescribeNotification(54, record), "IMN_HOST_RECORD user=\"u1\" size=1448");
}

TEST(DescribeNotification, SmallValuesAndUnknownKinds) {
    EXPECT_EQ(DescribeNotification(23, nullptr), "IMN_SERVER_SIGNAL lParam=0");
    EXPECT_EQ(DescribeNotification(4, reinterpret_cast<const void*>(1)), "IMN_SERVER_CLOSED lParam=1");
    EXPECT_EQ(DescribeNotification(5, nullptr), "IMN_CHAT_MESSAGE (no record)");
    EXPECT_EQ(DescribeNotification(13, nullptr), "kind 13");
}

}  // namespace
}  // namespace vexa::demo
