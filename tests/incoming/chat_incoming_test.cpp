// Incoming chat messages (code 3): kind 5 for a text, kind 15 for a file offer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/incoming.h"
#include "protocol/style.h"
#include "tests/incoming/recording_port.h"

namespace vexa::protocol {
namespace {

using testing::RecordingPort;

const std::string kHello = "\xc4\xe3\xba\xc3";   // 你好
const std::string kSong = "\xcb\xce\xcc\xe5";    // 宋体
const std::string kStyle = "Bold=1,Underline=0,Italic=1,TextColor=255,Size=12,FaceName=" + kSong;
std::string Bytes(std::size_t n, char c = 'a') { return std::string(n, c); }

std::string Body(const std::string& id, const std::string& style, const std::string& content,
                 const std::string& file = "", bool withFile = false) {
    std::string body = "<msg><id>" + id + "</id><fusr>u2</fusr><tusr>u1</tusr><imzt>" + style + "</imzt><cnt>" +
                       content + "</cnt>";
    if (withFile) body += "<file>" + file + "</file>";
    return body + "</msg>";
}

std::string Packet(const std::string& recipient, const std::string& date, const std::string& sender,
                   const std::string& type, const std::string& body) {
    return recipient + "!|!" + date + "!|!" + sender + "!|!" + type + "!|!" + body;
}

RecordingPort RunChat(const std::string& payload) {
    RecordingPort port;
    port.localTime = "20240131 23:59:58";
    DispatchServerPacket(3, payload.empty() ? nullptr : payload.data(), static_cast<int>(payload.size()), "u1", port);
    return port;
}

TEST(ChatMessage, DeliversTextMessages) {
    struct Case {
        const char* name;
        std::string payload;
        int32_t id;
        std::string peer;
        std::string time;
        int32_t msgType;
        std::string content;
    };
    const std::vector<Case> table = {
        {"system date replaced by the local time", Packet("u1", "SYSTEMDATE", "u2", "1", Body("7", kStyle, "hi")),
         7, "u2", "20240131 23:59:58", 1, "hi"},
        {"other date kept", Packet("u1", "2023-05-06 07:08:09", "u2", "1", Body("7", kStyle, "hi")), 7, "u2",
         "2023-05-06 07:08:09", 1, "hi"},
        {"31-byte date kept", Packet("u1", Bytes(31, 'd'), "u2", "1", Body("7", kStyle, "hi")), 7, "u2",
         Bytes(31, 'd'), 1, "hi"},
        {"GBK sender and text byte for byte", Packet("u1", "SYSTEMDATE", kHello, "1", Body("8", kStyle, kHello)), 8,
         kHello, "20240131 23:59:58", 1, kHello},
        {"1023-byte text", Packet("u1", "d", "u2", "1", Body("1", kStyle, Bytes(1023))), 1, "u2", "d", 1,
         Bytes(1023)},
        {"separators inside the body stay", Packet("u1", "d", "u2", "1", Body("1", kStyle, "a!|!b!|!c")), 1, "u2",
         "d", 1, "a!|!b!|!c"},
        {"empty recipient with type 2", Packet("", "d", "u2", "2", Body("1", kStyle, "x")), 1, "u2", "d", 2, "x"},
        {"numbers as atoi", Packet("u1", "d", "u2", " 3abc", Body(" -12z", kStyle, "x")), -12, "u2", "d", 3, "x"},
        {"type text not a number", Packet("u1", "d", "u2", "abc", Body("1", kStyle, "x")), 1, "u2", "d", 0, "x"},
        {"empty file element is a text", Packet("u1", "d", "u2", "1", Body("1", kStyle, "x", "", true)), 1, "u2",
         "d", 1, "x"},
        {"style lacking keys", Packet("u1", "d", "u2", "1", Body("1", "Size=9", "x")), 1, "u2", "d", 1, "x"},
        {"20-byte sender", Packet("u1", "d", Bytes(20, 's'), "1", Body("1", kStyle, "x")), 1, Bytes(20, 's'), "d",
         1, "x"},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        RecordingPort port = RunChat(c.payload);
        ASSERT_EQ(port.deliveries.size(), 1u);
        const auto& d = port.deliveries[0];
        EXPECT_EQ(d.kind, IMN_CHAT_MESSAGE);
        EXPECT_EQ(d.fault, "");
        auto chat = d.As<IM_CHAT_DATA>();
        EXPECT_EQ(chat.id, c.id);
        EXPECT_EQ(std::string(chat.peer), c.peer);
        EXPECT_EQ(std::string(chat.time), c.time);
        EXPECT_EQ(chat.msgType, c.msgType);
        EXPECT_EQ(std::string(chat.content), c.content);
        EXPECT_EQ(chat.contentLength, static_cast<int32_t>(c.content.size()));
    }
}

TEST(ChatMessage, DropsMalformedMessages) {
    const std::vector<std::pair<const char*, std::string>> table = {
        {"empty payload", ""},
        {"recipient only", "u1"},
        {"nothing after the recipient", "u1!|!"},
        {"32-byte date", Packet("u1", Bytes(32, 'd'), "u2", "1", Body("1", kStyle, "x"))},
        {"empty date", Packet("u1", "", "u2", "1", Body("1", kStyle, "x"))},
        {"nothing after the date", "u1!|!d!|!"},
        {"empty sender", Packet("u1", "d", "", "1", Body("1", kStyle, "x"))},
        {"21-byte sender", Packet("u1", "d", Bytes(21), "1", Body("1", kStyle, "x"))},
        {"nothing after the sender", "u1!|!d!|!u2!|!"},
        {"empty type", Packet("u1", "d", "u2", "", Body("1", kStyle, "x"))},
        {"type 0 without recipient", Packet("", "d", "u2", "0", Body("1", kStyle, "x"))},
        {"no body", "u1!|!d!|!u2!|!1"},
        {"empty body", "u1!|!d!|!u2!|!1!|!"},
        {"no msg element", Packet("u1", "d", "u2", "1", "<id>1</id><imzt>x</imzt><cnt>x</cnt>")},
        {"no id", Packet("u1", "d", "u2", "1", "<msg><imzt>" + kStyle + "</imzt><cnt>x</cnt></msg>")},
        {"empty style", Packet("u1", "d", "u2", "1", Body("1", "", "x"))},
        {"empty text", Packet("u1", "d", "u2", "1", Body("1", kStyle, ""))},
        {"1024-byte text", Packet("u1", "d", "u2", "1", Body("1", kStyle, Bytes(1024)))},
        {"no cnt element", Packet("u1", "d", "u2", "1", "<msg><id>1</id><imzt>" + kStyle + "</imzt></msg>")},
    };
    for (const auto& [name, payload] : table) {
        SCOPED_TRACE(name);
        RecordingPort port = RunChat(payload);
        EXPECT_TRUE(port.deliveries.empty()) << port.deliveries.front().description;
    }
}

TEST(ChatMessage, ReadsTheStyle) {
    RecordingPort port = RunChat(Packet("u1", "d", "u2", "1", Body("1", kStyle, "x")));
    ASSERT_EQ(port.deliveries.size(), 1u);
    auto chat = port.deliveries[0].As<IM_CHAT_DATA>();
    IM_CHARFORMAT expected;
    ASSERT_TRUE(TextToStyle(kStyle, expected));
    EXPECT_EQ(std::memcmp(&chat.format, &expected, sizeof expected), 0);
    EXPECT_EQ(chat.format.dwEffects, kEffectBold | kEffectItalic);
    EXPECT_EQ(chat.format.crTextColor, 255u);
    EXPECT_EQ(chat.format.yHeight, 240);
    EXPECT_EQ(std::string(chat.format.szFaceName), kSong);
}

TEST(ChatMessage, OffersFiles) {
    struct Case {
        const char* name;
        std::string file;
        std::string text1;
        int32_t value1;
        std::string text2;
        std::string text3;
        int32_t value2;
    };
    const std::vector<Case> table = {
        {"five items", "report.doc~|~1024~|~abc~|~def~|~7", "report.doc", 1024, "abc", "def", 7},
        {"GBK name", kHello + ".txt~|~5~|~h~|~t~|~1", kHello + ".txt", 5, "h", "t", 1},
        {"items as atoi", "f~|~ 12kb~|~~|~~|~x", "f", 12, "", "", 0},
        {"fewer items", "f~|~3", "f", 3, "", "", 0},
        {"extra items ignored", "f~|~1~|~a~|~b~|~2~|~more~|~3", "f", 1, "a", "b", 2},
        // 0x81 0x7E is one character: its "~" does not start the separator.
        {"separator inside a character", "ab\x81~|~x~|~9~|~c~|~d~|~4", "ab\x81~|~x", 9, "c", "d", 4},
        {"longest items fit", Bytes(99, 'n') + "~|~1~|~" + Bytes(32, 'h') + "~|~" + Bytes(30, 't') + "~|~2",
         Bytes(99, 'n'), 1, Bytes(32, 'h'), Bytes(30, 't'), 2},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        RecordingPort port = RunChat(Packet("u1", "d", "u2", "1", Body("1", kStyle, "ignored", c.file, true)));
        ASSERT_EQ(port.deliveries.size(), 1u);
        const auto& d = port.deliveries[0];
        EXPECT_EQ(d.kind, IMN_FILE_ASK);
        EXPECT_EQ(d.fault, "");
        auto offer = d.As<IM_FILE_ASK_DATA>();
        EXPECT_EQ(std::string(offer.fromUser), "u2");
        EXPECT_EQ(std::string(offer.toUser), "");
        EXPECT_EQ(std::string(offer.file.text1), c.text1);
        EXPECT_EQ(offer.file.value1, c.value1);
        EXPECT_EQ(std::string(offer.file.text2), c.text2);
        EXPECT_EQ(std::string(offer.file.text3), c.text3);
        EXPECT_EQ(offer.file.value2, c.value2);
    }
}

TEST(ChatMessage, RefusesFileOffersWhoseItemsDoNotFit) {
    const std::vector<std::pair<const char*, std::string>> table = {
        {"100-byte name", Bytes(100) + "~|~1~|~h~|~t~|~2"},
        {"33-byte second text", "f~|~1~|~" + Bytes(33) + "~|~t~|~2"},
        {"31-byte third text", "f~|~1~|~h~|~" + Bytes(31) + "~|~2"},
    };
    for (const auto& [name, file] : table) {
        SCOPED_TRACE(name);
        RecordingPort port = RunChat(Packet("u1", "d", "u2", "1", Body("1", kStyle, "x", file, true)));
        EXPECT_TRUE(port.deliveries.empty());
    }
}

TEST(ChatMessage, FileElementInsideTheTextIsFoundFirst) {
    // Elements are found in reading order: a "<file>" written in the text
    // turns the message into a file offer, as the sender's format implies.
    RecordingPort port = RunChat(Packet("u1", "d", "u2", "1", Body("1", kStyle, "<file>f~|~1</file>")));
    ASSERT_EQ(port.deliveries.size(), 1u);
    EXPECT_EQ(port.deliveries[0].kind, IMN_FILE_ASK);
}

TEST(ChatMessage, LocalTimeThatDoesNotFitLeavesTheTimeEmpty) {
    RecordingPort port;
    port.localTime = Bytes(40, '9');
    const std::string payload = Packet("u1", "SYSTEMDATE", "u2", "1", Body("1", kStyle, "x"));
    OnChatMessage(payload, port);
    ASSERT_EQ(port.deliveries.size(), 1u);
    EXPECT_EQ(port.deliveries[0].fault, "");
    EXPECT_EQ(std::string(port.deliveries[0].As<IM_CHAT_DATA>().time), "");
}

}  // namespace
}  // namespace vexa::protocol
