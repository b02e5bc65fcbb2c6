// The packet entry, the dispatch table and the handlers of the friend,
// invitation, status, one-to-one and result packets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "protocol/incoming.h"
#include "protocol/system_texts.h"
#include "tests/incoming/recording_port.h"

namespace vexa::protocol {
namespace {

using testing::RecordingPort;

const std::string kZhang = "\xd5\xc5\xc8\xfd";          // 张三
const std::string kHello = "\xc4\xe3\xba\xc3\xa3\xa1";  // 你好！
std::string Bytes(std::size_t n, char c = 'a') { return std::string(n, c); }

RecordingPort Dispatch(int code, const std::string& payload, const std::string& own) {
    RecordingPort port;
    DispatchServerPacket(code, payload.empty() ? nullptr : payload.data(), static_cast<int>(payload.size()), own, port);
    return port;
}

// A row: a packet for one handler, the own id, and the delivered record as
// DescribeNotification renders it ("" when nothing may be delivered).
struct HandlerCase {
    const char* name;
    int code;
    std::string payload;
    std::string own;
    std::string expected;
};

void RunTable(const std::vector<HandlerCase>& table) {
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        RecordingPort port = Dispatch(c.code, c.payload, c.own);
        if (c.expected.empty()) {
            EXPECT_TRUE(port.deliveries.empty()) << port.deliveries.front().description;
            continue;
        }
        ASSERT_EQ(port.deliveries.size(), 1u);
        EXPECT_EQ(port.deliveries[0].description, c.expected);
        EXPECT_EQ(port.deliveries[0].fault, "");
        EXPECT_FALSE(port.deliveries[0].posted);
        EXPECT_TRUE(port.requests.empty());
        EXPECT_TRUE(port.messages.empty());
    }
}

TEST(FriendAsk, Code23) {
    RunTable({
        {"plain request", 23, "u2!|!u1", "u1", R"(IMN_FRIEND_ASK fromUser="u2" toUser="u1" askText="" userInfo.name="u2")"},
        {"with GBK text", 23, kZhang + "!|!u1!|!" + kHello, "u1",
         "IMN_FRIEND_ASK fromUser=\"" + kZhang + "\" toUser=\"u1\" askText=\"" + kHello + "\" userInfo.name=\"" + kZhang + "\""},
        {"text ends at the next separator", 23, "u2!|!u1!|!hi!|!more", "u1",
         R"(IMN_FRIEND_ASK fromUser="u2" toUser="u1" askText="hi" userInfo.name="u2")"},
        {"599-byte text kept", 23, "u2!|!u1!|!" + Bytes(599), "u1",
         "IMN_FRIEND_ASK fromUser=\"u2\" toUser=\"u1\" askText=\"" + Bytes(599) + "\" userInfo.name=\"u2\""},
        {"600-byte text left empty", 23, "u2!|!u1!|!" + Bytes(600), "u1",
         R"(IMN_FRIEND_ASK fromUser="u2" toUser="u1" askText="" userInfo.name="u2")"},
        {"20-byte asker accepted", 23, Bytes(20, 'x') + "!|!u1", "u1",
         "IMN_FRIEND_ASK fromUser=\"" + Bytes(20, 'x') + "\" toUser=\"u1\" askText=\"\" userInfo.name=\"" + Bytes(20, 'x') + "\""},
        {"21-byte asker dropped", 23, Bytes(21, 'x') + "!|!u1", "u1", ""},
        {"asked user is someone else", 23, "u2!|!u3", "u1", ""},
        {"own id compared with case", 23, "u2!|!U1", "u1", ""},
        {"empty asker", 23, "!|!u1", "u1", ""},
        {"no second field", 23, "u2", "u1", ""},
        {"not logged in", 23, "u2!|!u1", "", ""},
        {"empty payload", 23, "", "u1", ""},
    });
}

TEST(FriendReply, Code24) {
    RunTable({
        {"agreed", 24, "u2!|!u1!|!0!|!ok", "u1", R"(IMN_FRIEND_REPLY user="u1" peer="u2" agreed=1 replyText="ok")"},
        {"refused without text", 24, "u2!|!u1!|!1", "u1", R"(IMN_FRIEND_REPLY user="u1" peer="u2" agreed=0 replyText="")"},
        {"answer 00 reads as number 0", 24, "u2!|!u1!|!00", "u1", R"(IMN_FRIEND_REPLY user="u1" peer="u2" agreed=1 replyText="")"},
        {"answer abc reads as 0", 24, "u2!|!u1!|!abc", "u1", R"(IMN_FRIEND_REPLY user="u1" peer="u2" agreed=1 replyText="")"},
        {"answer with blanks and sign", 24, "u2!|!u1!|! -0x", "u1", R"(IMN_FRIEND_REPLY user="u1" peer="u2" agreed=1 replyText="")"},
        {"answer 2", 24, "u2!|!u1!|!2", "u1", R"(IMN_FRIEND_REPLY user="u1" peer="u2" agreed=0 replyText="")"},
        {"GBK text", 24, "u2!|!u1!|!0!|!" + kHello, "u1",
         "IMN_FRIEND_REPLY user=\"u1\" peer=\"u2\" agreed=1 replyText=\"" + kHello + "\""},
        {"600-byte text left empty", 24, "u2!|!u1!|!0!|!" + Bytes(600), "u1",
         R"(IMN_FRIEND_REPLY user="u1" peer="u2" agreed=1 replyText="")"},
        {"empty answer dropped", 24, "u2!|!u1!|!!|!ok", "u1", ""},
        {"missing answer dropped", 24, "u2!|!u1", "u1", ""},
        {"not for the own id", 24, "u2!|!u3!|!0", "u1", ""},
        {"21-byte peer", 24, Bytes(21) + "!|!u1!|!0", "u1", ""},
        {"not logged in", 24, "u2!|!u1!|!0", "", ""},
    });
}

TEST(FriendResult, Code38) {
    RunTable({
        {"own id first", 38, "u1!|!u2!|!0!|!yes", "u1", R"(IMN_FRIEND_RESULT user="u1" peer="u2" agreed=1 replyText="yes")"},
        {"refused", 38, "u1!|!u2!|!1", "u1", R"(IMN_FRIEND_RESULT user="u1" peer="u2" agreed=0 replyText="")"},
        {"own id second is wrong here", 38, "u2!|!u1!|!0", "u1", ""},
        {"empty peer", 38, "u1!|!!|!0", "u1", ""},
        {"empty answer", 38, "u1!|!u2!|!", "u1", ""},
        {"not logged in", 38, "u1!|!u2!|!0", "", ""},
    });
}

TEST(AddBlacklistResult, Code26) {
    RunTable({
        {"success", 26, "u1!|!u2!|!7!|!0", "u1", R"(IMN_ADDBL_RESULT result=1 value=7 peer="u2" message="")"},
        {"success ignores a text", 26, "u1!|!u2!|!7!|!0!|!extra", "u1", R"(IMN_ADDBL_RESULT result=1 value=7 peer="u2" message="")"},
        {"failure with text", 26, "u1!|!u2!|!3!|!1!|!" + kHello, "u1",
         "IMN_ADDBL_RESULT result=0 value=3 peer=\"u2\" message=\"" + kHello + "\""},
        {"00 is not the text 0", 26, "u1!|!u2!|! 12x!|!00", "u1", R"(IMN_ADDBL_RESULT result=0 value=12 peer="u2" message="")"},
        {"two fields only", 26, "u1!|!u2", "u1", R"(IMN_ADDBL_RESULT result=0 value=0 peer="u2" message="")"},
        {"19-byte peer accepted", 26, "u1!|!" + Bytes(19) + "!|!1!|!0", "u1",
         "IMN_ADDBL_RESULT result=1 value=1 peer=\"" + Bytes(19) + "\" message=\"\""},
        {"20-byte peer dropped", 26, "u1!|!" + Bytes(20) + "!|!1!|!0", "u1", ""},
        {"256-byte message left empty", 26, "u1!|!u2!|!1!|!1!|!" + Bytes(256), "u1",
         R"(IMN_ADDBL_RESULT result=0 value=1 peer="u2" message="")"},
        {"255-byte message kept", 26, "u1!|!u2!|!1!|!1!|!" + Bytes(255), "u1",
         "IMN_ADDBL_RESULT result=0 value=1 peer=\"u2\" message=\"" + Bytes(255) + "\""},
        {"not the own id", 26, "u3!|!u2!|!1!|!0", "u1", ""},
        {"empty own field", 26, "!|!u2!|!1!|!0", "u1", ""},
        {"not logged in", 26, "u1!|!u2!|!1!|!0", "", ""},
    });
}

TEST(DeleteFriendResult, Code30) {
    RunTable({
        {"success drops the text", 30, "u1!|!u2!|!0!|!text", "u1", R"(IMN_DELFL_RESULT result=1 value=0 peer="u2" message="")"},
        {"failure with text", 30, "u1!|!u2!|!2!|!nope", "u1", R"(IMN_DELFL_RESULT result=0 value=0 peer="u2" message="nope")"},
        {"two fields only", 30, "u1!|!u2", "u1", R"(IMN_DELFL_RESULT result=0 value=0 peer="u2" message="")"},
        {"20-byte peer dropped", 30, "u1!|!" + Bytes(20) + "!|!0", "u1", ""},
        {"not the own id", 30, "u2!|!u1!|!0", "u1", ""},
    });
}

TEST(Invite, Code31) {
    RunTable({
        {"invitation", 31, "u2!|!u1", "u1", R"(IMN_INVITE fromUser="u2" toUser="u1")"},
        {"GBK inviter", 31, kZhang + "!|!u1", "u1", "IMN_INVITE fromUser=\"" + kZhang + "\" toUser=\"u1\""},
        {"for someone else", 31, "u2!|!u3", "u1", ""},
        {"empty inviter", 31, "!|!u1", "u1", ""},
        {"not logged in", 31, "u2!|!u1", "", ""},
    });
}

TEST(StatusChange, Code32) {
    RunTable({
        {"any user, not logged in", 32, "u9!|!2!|!away", "", R"(IMN_USER_STATUS user="u9" status=2 note="away")"},
        {"user only", 32, "u9", "u1", R"(IMN_USER_STATUS user="u9" status=0 note="")"},
        {"status read as atoi", 32, "u9!|! -3x!|!" + kHello, "u1",
         "IMN_USER_STATUS user=\"u9\" status=-3 note=\"" + kHello + "\""},
        {"256-byte note left empty", 32, "u9!|!1!|!" + Bytes(256), "u1", R"(IMN_USER_STATUS user="u9" status=1 note="")"},
        {"empty user", 32, "!|!2", "u1", ""},
        {"21-byte user", 32, Bytes(21) + "!|!2", "u1", ""},
        {"empty payload", 32, "", "u1", ""},
    });
}

TEST(StatusChange, WritesItsDebugLines) {
    RecordingPort port = Dispatch(32, "u9!|!2!|!away", "");
    ASSERT_EQ(port.debugLines.size(), 2u);
    EXPECT_EQ(port.debugLines[0], "IM_DealRevChangeStatus\r\n");
    EXPECT_EQ(port.debugLines[1], texts::StatusChangeLine("u9", "2", "away"));
    // The entry line comes before any check, even for a packet that is dropped.
    RecordingPort dropped = Dispatch(32, "", "u1");
    EXPECT_EQ(dropped.debugLines, std::vector<std::string>{"IM_DealRevChangeStatus\r\n"});
    // Field text is joined into the line, never used as a format.
    RecordingPort hostile = Dispatch(32, "%s%n!|!%d", "");
    ASSERT_EQ(hostile.debugLines.size(), 2u);
    EXPECT_EQ(hostile.debugLines[1], texts::StatusChangeLine("%s%n", "%d", ""));
}

TEST(OneToOne, Codes40And43) {
    RunTable({
        {"ask", 40, "u2!|!u1", "u1", R"(IMN_1V1_ASK firstUser="u2" secondUser="u1" userInfo.name="u2")"},
        {"ask for someone else", 40, "u2!|!u3", "u1", ""},
        {"ask with 21-byte user", 40, Bytes(21) + "!|!u1", "u1", ""},
        {"ask not logged in", 40, "u2!|!u1", "", ""},
        {"stop swaps the users", 43, "u2!|!u1", "u1", R"(IMN_1V1_STOP firstUser="u1" secondUser="u2" userInfo.name="")"},
        {"stop for someone else", 43, "u2!|!u3", "u1", ""},
        {"stop with empty user", 43, "!|!u1", "u1", ""},
    });
}

TEST(OneToOne, Code42Reply) {
    RunTable({
        {"all six fields", 42, "u2!|!u1!|!0!|!" + kHello + "!|!5!|!6", "u1",
         "IMN_1V1_REPLY user=\"u1\" peer=\"u2\" agreed=1 text=\"" + kHello + "\" number1=5 number2=6"},
        {"three fields", 42, "u2!|!u1!|!1", "u1", R"(IMN_1V1_REPLY user="u1" peer="u2" agreed=0 text="" number1=0 number2=0)"},
        {"empty text, numbers as atoi", 42, "u2!|!u1!|!0!|!!|!x!|! 9z", "u1",
         R"(IMN_1V1_REPLY user="u1" peer="u2" agreed=1 text="" number1=0 number2=9)"},
        {"empty answer", 42, "u2!|!u1!|!!|!t", "u1", ""},
        {"not for the own id", 42, "u2!|!u3!|!0", "u1", ""},
        {"not logged in", 42, "u2!|!u1!|!0", "", ""},
    });
}

TEST(OneToOne, ReplyTextPointerValidDuringTheNotification) {
    RecordingPort port = Dispatch(42, "u2!|!u1!|!0!|!see you!|!1!|!2", "u1");
    ASSERT_EQ(port.deliveries.size(), 1u);
    EXPECT_EQ(port.deliveries[0].replyText, "see you");
}

TEST(LoginAnswer, Code2) {
    struct Case {
        const char* name;
        std::string payload;
        std::string own;
        int result;
        std::string message;
        std::vector<std::string> requests;
    };
    const std::vector<Case> table = {
        {"success asks for the list", "0", "u1", 1, "", {"00060044u1"}},
        {"success before any login id", "0", "", 1, "", {}},
        {"failure with reason", "1" + kHello, "u1", 0, kHello, {}},
        {"status character only", "2", "u1", 0, "", {}},
        {"00 is a failure", "00", "u1", 0, "0", {}},
        {"empty payload", "", "u1", 0, "", {}},
        {"255-byte reason kept", "1" + Bytes(255), "u1", 0, Bytes(255), {}},
        {"256-byte reason left empty", "1" + Bytes(256), "u1", 0, "", {}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        RecordingPort port = Dispatch(2, c.payload, c.own);
        ASSERT_EQ(port.deliveries.size(), 1u);
        EXPECT_EQ(port.deliveries[0].kind, IMN_LOGIN_RESULT);
        EXPECT_EQ(port.deliveries[0].fault, "");
        auto record = port.deliveries[0].As<IM_LOGIN_RESULT>();
        EXPECT_EQ(record.result, c.result);
        EXPECT_EQ(std::string(record.message), c.message);
        EXPECT_EQ(port.requests, c.requests);
    }
}

TEST(Dispatch, SignalIsPostedAndOtherCodesAreIgnored) {
    RecordingPort signal = Dispatch(39, "anything", "u1");
    ASSERT_EQ(signal.deliveries.size(), 1u);
    EXPECT_TRUE(signal.deliveries[0].posted);
    EXPECT_EQ(signal.deliveries[0].kind, IMN_SERVER_SIGNAL);
    EXPECT_EQ(signal.deliveries[0].postedValue, 0);

    // Codes the server never sends to a client, and the keep-alive answer.
    for (int code : {0, 1, 4, 8, 21, 25, 34, 36, 41, 44, 46, 99, 9999, -1}) {
        SCOPED_TRACE(code);
        RecordingPort port = Dispatch(code, "u2!|!u1!|!0", "u1");
        EXPECT_TRUE(port.deliveries.empty());
        EXPECT_TRUE(port.requests.empty());
        EXPECT_TRUE(port.messages.empty());
        EXPECT_TRUE(port.debugLines.empty());
    }
}

TEST(Dispatch, PayloadReadUpToItsFirstZeroAndNeverBeyondItsLength) {
    // A zero inside the payload ends the text.
    const std::string withZero = std::string("u2!|!u1!|!0!|!ok\0!|!more", 24);
    RecordingPort port = Dispatch(24, withZero, "u1");
    ASSERT_EQ(port.deliveries.size(), 1u);
    EXPECT_EQ(port.deliveries[0].description, R"(IMN_FRIEND_REPLY user="u1" peer="u2" agreed=1 replyText="ok")");

    // Without a zero the length bounds the text: the bytes after it are not read.
    const std::string buffer = "u2!|!u1X!|!hi";
    RecordingPort bounded;
    DispatchServerPacket(31, buffer.data(), 7, "u1", bounded);
    ASSERT_EQ(bounded.deliveries.size(), 1u);
    EXPECT_EQ(bounded.deliveries[0].description, R"(IMN_INVITE fromUser="u2" toUser="u1")");

    EXPECT_EQ(PayloadText(nullptr, 5), "");
    EXPECT_EQ(PayloadText("abc", 0), "");
    EXPECT_EQ(PayloadText("abc", -3), "");
}

TEST(HandleServerPacket, ChecksTheSizeAndCutsOffTheCode) {
    struct Case {
        const char* name;
        std::string bytes;
        int size;  // -1: the whole of bytes
        std::string expectedMessage;
        int expectedKind;  // 0: nothing delivered
    };
    const std::string invite = *FrameServerPacket(31, "u2!|!u1");
    const std::vector<Case> table = {
        {"whole packet", invite, -1, "", IMN_INVITE},
        {"one byte short", invite, static_cast<int>(invite.size()) - 1,
         texts::BadPacketText(11, static_cast<int>(invite.size()) - 2), 0},
        {"one byte long", invite + "x", -1, texts::BadPacketText(11, static_cast<int>(invite.size())), 0},
        {"length with leading blanks", std::string("  11") + invite.substr(4), -1, "", IMN_INVITE},
        {"length not a number", std::string("abcd0031u2!|!u1", 15) + '\0', -1, texts::BadPacketText(0, 15), 0},
        {"code only", std::string("00040039", 8) + '\0', -1, "", IMN_SERVER_SIGNAL},
        {"trailing byte not zero", "00110031u2!|!u1X!|!hi", 16, "", IMN_INVITE},
        {"negative length in four bytes", "-001", 4, texts::BadPacketText(-1, 3), 0},
        {"three bytes", "000", 3, "", 0},
        {"nothing", "", 0, "", 0},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        RecordingPort port;
        const int size = c.size < 0 ? static_cast<int>(c.bytes.size()) : c.size;
        HandleServerPacket(c.bytes.data(), size, "u1", port);
        if (c.expectedMessage.empty())
            EXPECT_TRUE(port.messages.empty());
        else
            EXPECT_EQ(port.messages, std::vector<std::string>{c.expectedMessage});
        if (c.expectedKind == 0) {
            EXPECT_TRUE(port.deliveries.empty());
        } else {
            ASSERT_EQ(port.deliveries.size(), 1u);
            EXPECT_EQ(port.deliveries[0].kind, c.expectedKind);
        }
    }
    RecordingPort none;
    HandleServerPacket(nullptr, 10, "u1", none);
    EXPECT_TRUE(none.deliveries.empty() && none.messages.empty());
}

TEST(Records, FieldsSitAtTheirOffsets) {
    // The IM program reads the records at fixed offsets, not through our types.
    RecordingPort port = Dispatch(26, "u1!|!u2!|!-2!|!1!|!why", "u1");
    ASSERT_EQ(port.deliveries.size(), 1u);
    const std::string& peer = port.deliveries[0].bytes;
    ASSERT_EQ(peer.size(), 284u);
    int32_t value = 0;
    std::memcpy(&value, peer.data() + 4, 4);
    EXPECT_EQ(value, -2);
    EXPECT_EQ(std::string(peer.data() + 8), "u2");
    EXPECT_EQ(std::string(peer.data() + 28), "why");

    port = Dispatch(24, "u2!|!u1!|!0!|!ok", "u1");
    const std::string& reply = port.deliveries.at(0).bytes;
    EXPECT_EQ(std::string(reply.data() + 0), "u1");
    EXPECT_EQ(std::string(reply.data() + 21), "u2");
    EXPECT_EQ(reply[44], 1);
    EXPECT_EQ(std::string(reply.data() + 48), "ok");

    port = Dispatch(23, "u2!|!u1!|!hi", "u1");
    const std::string& ask = port.deliveries.at(0).bytes;
    EXPECT_EQ(std::string(ask.data() + 42), "hi");
    EXPECT_EQ(std::string(ask.data() + 644 + 4), "u2");  // userInfo.name

    port = Dispatch(32, "u9!|!7!|!note", "");
    const std::string& status = port.deliveries.at(0).bytes;
    EXPECT_EQ(status[24], 7);
    EXPECT_EQ(std::string(status.data() + 28), "note");
}

}  // namespace
}  // namespace vexa::protocol
