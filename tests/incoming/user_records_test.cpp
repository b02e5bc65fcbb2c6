// User and friend records: the parsers, and codes 22, 33, 35, 37 and 45.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/incoming.h"
#include "protocol/sendask_list.h"
#include "protocol/user_records.h"
#include "tests/incoming/recording_port.h"

namespace vexa::protocol {
namespace {

using testing::RecordingPort;

const std::string kZhang = "\xd5\xc5\xc8\xfd";  // 张三
const std::string kWord = "\xc4\xe3\xba\xc3";   // 你好
std::string Bytes(std::size_t n, char c = 'a') { return std::string(n, c); }

const std::string kPos = "<pos><id>3</id><ms>here</ms><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3></pos>";

std::string User(const std::string& id, const std::string& name, const std::string& extra = "") {
    return "<id>" + id + "</id><name>" + name + "</name>" + extra;
}

std::string FullUser() {
    return User("42", kZhang, "<nickname>" + kWord + "</nickname><littleword>hi there</littleword><brithday>19991231</brithday>" +
                                  kPos +
                                  "<sex>1</sex><class>5</class><vip>-2</vip><status>3x</status><style>4</style>"
                                  "<afset>6</afset><photo>p.png</photo><vp>1</vp><lt>0</lt>");
}

RecordingPort Dispatch(int code, const std::string& payload, const std::string& own = "u1") {
    RecordingPort port;
    DispatchServerPacket(code, payload.empty() ? nullptr : payload.data(), static_cast<int>(payload.size()), own, port);
    return port;
}

IM_USER_INFO Parse(const std::string& body, bool* ok = nullptr) {
    IM_USER_INFO user;
    std::memset(&user, 0, sizeof user);
    bool result = ParseUserInfo(body, user);
    if (ok) *ok = result;
    return user;
}

TEST(ParseUserInfo, FillsEveryField) {
    bool ok = false;
    IM_USER_INFO u = Parse(FullUser(), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(testing::UserFault(u), "");
    EXPECT_EQ(u.id, 42);
    EXPECT_EQ(std::string(u.name), kZhang);
    EXPECT_EQ(std::string(u.nickname), kWord);
    EXPECT_EQ(std::string(u.littleword), "hi there");
    EXPECT_EQ(std::string(u.birthday), "19991231");
    EXPECT_EQ(u.pos.id, 3);
    EXPECT_EQ(std::string(u.pos.ms), "here");
    EXPECT_EQ(std::string(u.pos.user), "");
    EXPECT_EQ(u.pos.pos0 + u.pos.pos1 * 10 + u.pos.pos2 * 100 + u.pos.pos3 * 1000, 4321);
    EXPECT_EQ(u.sex, 1);
    EXPECT_EQ(u.userClass, 5);
    EXPECT_EQ(u.vip, -2);
    EXPECT_EQ(u.status, 3);
    EXPECT_EQ(u.style, 4);
    EXPECT_EQ(u.afset, 6);
    EXPECT_EQ(std::string(u.photo), "p.png");
    EXPECT_EQ(u.vp, 1);
    EXPECT_EQ(u.lt, 0);
}

TEST(ParseUserInfo, RulesOfEachField) {
    struct Case {
        const char* name;
        std::string body;
        bool ok;
        std::string nickname, littleword, birthday, photo;
        int sex;
    };
    const std::vector<Case> table = {
        {"nickname defaults to the name", User("1", "al"), true, "al", "", "19000101", "", 0},
        {"20-byte nickname", User("1", "al", "<nickname>" + Bytes(20) + "</nickname>"), true, Bytes(20), "", "19000101", "", 0},
        {"21-byte nickname falls back", User("1", "al", "<nickname>" + Bytes(21) + "</nickname>"), true, "al", "", "19000101", "", 0},
        {"149-byte littleword", User("1", "al", "<littleword>" + Bytes(149) + "</littleword>"), true, "al", Bytes(149), "19000101", "", 0},
        {"150-byte littleword left empty", User("1", "al", "<littleword>" + Bytes(150) + "</littleword>"), true, "al", "", "19000101", "", 0},
        {"10-byte birthday gives the default", User("1", "al", "<brithday>2001-01-01</brithday>"), true, "al", "", "19000101", "", 0},
        {"8-byte birthday", User("1", "al", "<brithday>20010101</brithday>"), true, "al", "", "20010101", "", 0},
        {"255-byte photo", User("1", "al", "<photo>" + Bytes(255) + "</photo>"), true, "al", "", "19000101", Bytes(255), 0},
        {"256-byte photo left empty", User("1", "al", "<photo>" + Bytes(256) + "</photo>"), true, "al", "", "19000101", "", 0},
        {"photo before afset is lost", User("1", "al", "<photo>p</photo><afset>1</afset>"), true, "al", "", "19000101", "", 0},
        {"sex 2 is not set", User("1", "al", "<sex>2</sex>"), true, "al", "", "19000101", "", 0},
        {"sex with a blank is not set", User("1", "al", "<sex> 1</sex>"), true, "al", "", "19000101", "", 0},
        {"sex 1", User("1", "al", "<sex>1</sex>"), true, "al", "", "19000101", "", 1},
        {"id 0", User("0", "al"), false, "", "", "", "", 0},
        {"negative id", User("-5", "al"), false, "", "", "", "", 0},
        {"id not a number", User("x", "al"), false, "", "", "", "", 0},
        {"no id", "<name>al</name>", false, "", "", "", "", 0},
        {"no name", "<id>1</id>", false, "", "", "", "", 0},
        {"21-byte name", User("1", Bytes(21)), false, "", "", "", "", 0},
        {"empty body", "", false, "", "", "", "", 0},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        bool ok = !c.ok;
        IM_USER_INFO u = Parse(c.body, &ok);
        EXPECT_EQ(ok, c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(testing::UserFault(u), "");
        EXPECT_EQ(std::string(u.nickname), c.nickname);
        EXPECT_EQ(std::string(u.littleword), c.littleword);
        EXPECT_EQ(std::string(u.birthday), c.birthday);
        EXPECT_EQ(std::string(u.photo), c.photo);
        EXPECT_EQ(u.sex, c.sex);
    }
}

TEST(ParsePosition, RequiredAndOptionalElements) {
    struct Case {
        const char* name;
        std::string body;
        bool ok;
        int id;
        std::string ms;
        int32_t pos[4];
    };
    const std::vector<Case> table = {
        {"all", "<id>3</id><ms>" + kWord + "</ms><pos0>1</pos0><pos1>-2</pos1><pos2>3</pos2><pos3>4</pos3>", true, 3, kWord, {1, -2, 3, 4}},
        {"no ms", "<id>3</id><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>", true, 3, "", {1, 2, 3, 4}},
        {"id keeps its low 8 bits", "<id>300</id><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>", true, 44, "", {1, 2, 3, 4}},
        {"256-byte ms left empty", "<id>1</id><ms>" + Bytes(256) + "</ms><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>", true, 1, "", {1, 2, 3, 4}},
        {"no pos3 keeps the rest", "<id>1</id><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2>", false, 1, "", {1, 2, 3, 0}},
        {"no pos2", "<id>1</id><pos0>1</pos0><pos1>2</pos1><pos3>4</pos3>", false, 1, "", {1, 2, 0, 0}},
        {"no id", "<pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>", false, 0, "", {0, 0, 0, 0}},
        {"empty", "", false, 0, "", {0, 0, 0, 0}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        IM_USER_POSITION p;
        std::memset(&p, 0, sizeof p);
        EXPECT_EQ(ParsePosition(c.body, p), c.ok);
        EXPECT_EQ(p.id, c.id);
        EXPECT_EQ(std::string(p.ms), c.ms);
        EXPECT_EQ(p.pos0, c.pos[0]);
        EXPECT_EQ(p.pos1, c.pos[1]);
        EXPECT_EQ(p.pos2, c.pos[2]);
        EXPECT_EQ(p.pos3, c.pos[3]);
    }
}

TEST(ParseChangeData, StopsAtTheFirstBadRequiredField) {
    struct Case {
        const char* name;
        std::string body;
        bool ok;
        std::string nickname, newpass, littleword, birthday;
        int32_t afset;
    };
    const std::string tail = "<littleword>w</littleword><brithday>20000101</brithday><afset>9</afset>";
    const std::vector<Case> table = {
        {"all", "<nickname>" + kZhang + "</nickname><newpass>pw</newpass>" + tail, true, kZhang, "pw", "w", "20000101", 9},
        {"empty new password", "<nickname>n</nickname><newpass></newpass>" + tail, true, "n", "", "w", "20000101", 9},
        {"21-byte new password", "<nickname>n</nickname><newpass>" + Bytes(21) + "</newpass>" + tail, false, "n", "", "", "", 0},
        {"no nickname", "<newpass>pw</newpass>" + tail, false, "", "", "", "", 0},
        {"9-byte birthday", "<nickname>n</nickname><brithday>200001011</brithday><afset>9</afset>", false, "n", "", "", "", 0},
        {"no afset", "<nickname>n</nickname><brithday>20000101</brithday>", false, "n", "", "", "20000101", 0},
        {"150-byte littleword left empty", "<nickname>n</nickname><littleword>" + Bytes(150) + "</littleword><brithday>1</brithday><afset>0</afset>", true, "n", "", "", "1", 0},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        IM_USERCHANGEDATA d;
        std::memset(&d, 0, sizeof d);
        EXPECT_EQ(ParseChangeData(c.body, d), c.ok);
        EXPECT_EQ(testing::ChangeDataFault(d), "");
        EXPECT_EQ(std::string(d.nickname), c.nickname);
        EXPECT_EQ(std::string(d.newpass), c.newpass);
        EXPECT_EQ(std::string(d.littleword), c.littleword);
        EXPECT_EQ(std::string(d.birthday), c.birthday);
        EXPECT_EQ(d.afset, c.afset);
    }
}

TEST(SplitToArray, Pieces) {
    using V = std::vector<std::string_view>;
    const std::vector<std::pair<std::string, V>> table = {
        {"a!|!b", {"a", "b"}},
        {"a!|!b!|!", {"a", "b"}},
        {"a!|!!|!b", {"a", "!|!b"}},
        {"abc", {"abc"}},
        {"!|!a", {"!|!a"}},
        {"", {""}},
    };
    for (const auto& [text, pieces] : table) {
        SCOPED_TRACE(text);
        EXPECT_EQ(SplitToArray(text, "!|!"), pieces);
    }
}

TEST(FriendList, Code22) {
    const std::string a = "<user>" + User("1", "a") + "</user>";
    const std::string zero = "<user>" + User("0", "b") + "</user>";
    const std::string c = "<user>" + User("3", kZhang) + "</user>";
    struct Case {
        const char* name;
        std::string body;
        std::vector<std::string> names;  // empty: nothing delivered
        int32_t over;
    };
    const std::vector<Case> table = {
        {"invalid user skipped, order kept", a + zero + c + "<over>1</over>", {"a", kZhang}, 1},
        {"no over element", a, {"a"}, 0},
        {"over read as atoi", a + "<over> 7x</over>", {"a"}, 7},
        {"full user", "<user>" + FullUser() + "</user><over>0</over>", {kZhang}, 0},
        {"only over", "<over>1</over>", {}, 0},
        {"only invalid users", zero + zero + "<over>1</over>", {}, 0},
        {"empty", "", {}, 0},
    };
    for (const auto& tc : table) {
        SCOPED_TRACE(tc.name);
        RecordingPort port = Dispatch(22, tc.body);
        if (tc.names.empty()) {
            EXPECT_TRUE(port.deliveries.empty());
            continue;
        }
        ASSERT_EQ(port.deliveries.size(), 1u);
        const auto& d = port.deliveries[0];
        EXPECT_EQ(d.kind, IMN_FRIEND_LIST);
        EXPECT_EQ(d.fault, "");
        auto record = d.As<IM_FRIENDLIST_DATA>();
        EXPECT_EQ(record.count, static_cast<int32_t>(tc.names.size()));
        EXPECT_EQ(record.over, tc.over);
        ASSERT_EQ(d.users.size(), tc.names.size());
        for (std::size_t i = 0; i < tc.names.size(); ++i) EXPECT_EQ(std::string(d.users[i].name), tc.names[i]);
    }
    // The friend list needs no login: it answers the init-data request.
    EXPECT_EQ(Dispatch(22, a, "").deliveries.size(), 1u);
}

TEST(UserPosition, Code33) {
    const std::string inner = "<id>3</id><ms>m</ms><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>";
    const std::vector<std::pair<std::string, std::string>> table = {
        {"u9!|!" + inner, R"(IMN_USER_POSITION user="u9" pos.id=3 ms="m" pos0=1 pos1=2 pos2=3 pos3=4)"},
        {kZhang + "!|!<id>1</id><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>",
         "IMN_USER_POSITION user=\"" + kZhang + "\" pos.id=1 ms=\"\" pos0=1 pos1=2 pos2=3 pos3=4"},
        {"u9!|!<id>1</id><pos0>1</pos0><pos1>2</pos1><pos3>4</pos3>", ""},
        {"!|!" + inner, ""},
        {Bytes(21) + "!|!" + inner, ""},
        {"u9", ""},
        {"", ""},
    };
    for (const auto& [body, expected] : table) {
        SCOPED_TRACE(body);
        RecordingPort port = Dispatch(33, body, "");
        if (expected.empty()) {
            EXPECT_TRUE(port.deliveries.empty());
            continue;
        }
        ASSERT_EQ(port.deliveries.size(), 1u);
        EXPECT_EQ(port.deliveries[0].description, expected);
        EXPECT_EQ(port.deliveries[0].fault, "");
    }
}

TEST(ChangeInfoResult, Code35) {
    const std::string data = "<user><nickname>n</nickname><newpass>p</newpass><brithday>20000101</brithday><afset>2</afset></user>";
    struct Case {
        const char* name;
        std::string body;
        bool delivered;
        int32_t result;
        std::string message, nickname;
        int32_t afset;
    };
    const std::vector<Case> table = {
        {"success", "0!|!" + data, true, 1, "", "n", 2},
        {"success whose data stops early", "0!|!<user><newpass>p</newpass></user>", true, 1, "", "", 0},
        {"success without user element", "0!|!nothing", false, 0, "", "", 0},
        {"failure", "3!|!busy", true, 0, "busy", "", 0},
        {"failure GBK message", "1!|!" + kWord, true, 0, kWord, "", 0},
        {"failure 256-byte message", "1!|!" + Bytes(256), true, 0, "", "", 0},
        {"00 is a failure", "00", true, 0, "", "", 0},
        {"empty", "", false, 0, "", "", 0},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        RecordingPort port = Dispatch(35, c.body);
        if (!c.delivered) {
            EXPECT_TRUE(port.deliveries.empty());
            continue;
        }
        ASSERT_EQ(port.deliveries.size(), 1u);
        EXPECT_EQ(port.deliveries[0].fault, "");
        auto r = port.deliveries[0].As<IM_CHANGEINFO_RESULT>();
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(std::string(r.message), c.message);
        EXPECT_EQ(std::string(r.data.nickname), c.nickname);
        EXPECT_EQ(r.data.afset, c.afset);
        if (c.nickname.empty()) {
            const IM_USERCHANGEDATA zero{};
            EXPECT_EQ(std::memcmp(&r.data, &zero, sizeof zero), 0);
        }
    }
}

TEST(UserInfoResult, Code37) {
    struct Case {
        const char* name;
        std::string body;
        bool delivered;
        int32_t result;
        std::string userName, message;
        int32_t id;
    };
    const std::vector<Case> table = {
        {"success", "0" + FullUser(), true, 1, kZhang, "", 42},
        {"success inside a user element", "0<user>" + User("5", "bo") + "</user>", true, 1, "bo", "", 5},
        {"success with an invalid user", "0" + User("0", "bo"), false, 0, "", "", 0},
        {"failure", "1!|!alice!|!not found", true, 0, "alice", "not found", 0},
        {"failure without name", "1!|!!|!x", false, 0, "", "", 0},
        {"failure with 21-byte name", "1!|!" + Bytes(21) + "!|!x", false, 0, "", "", 0},
        {"failure 256-byte message", "1!|!al!|!" + Bytes(256), true, 0, "al", "", 0},
        {"empty", "", false, 0, "", "", 0},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        RecordingPort port = Dispatch(37, c.body);
        if (!c.delivered) {
            EXPECT_TRUE(port.deliveries.empty());
            continue;
        }
        ASSERT_EQ(port.deliveries.size(), 1u);
        EXPECT_EQ(port.deliveries[0].fault, "");
        auto r = port.deliveries[0].As<IM_USERINFO_RESULT>();
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(std::string(r.user.name), c.userName);
        EXPECT_EQ(std::string(r.message), c.message);
        EXPECT_EQ(r.user.id, c.id);
    }
    // On failure only the name is set, at record offset 288.
    RecordingPort port = Dispatch(37, "1!|!alice!|!x");
    EXPECT_EQ(std::string(port.deliveries.at(0).bytes.data() + 288), "alice");
}

TEST(SendAskList, Code45) {
    using Items = std::vector<std::pair<std::string, int32_t>>;
    struct Case {
        const char* name;
        std::string body;
        std::string own;
        Items items;  // empty: nothing delivered
    };
    const std::vector<Case> table = {
        {"two entries", "a:1!|!b:2", "u1", {{"a", 1}, {"b", 2}}},
        {"no colon", "abc", "u1", {{"abc", 0}}},
        {"empty text", ":5", "u1", {{"", 5}}},
        {"empty entry keeps the rest whole", "a:1!|!!|!b:2", "u1", {{"a", 1}, {"!|!b", 2}}},
        {"value as atoi", "k: 12x!|!m:-3", "u1", {{"k", 12}, {"m", -3}}},
        {"second colon stays in the value text", "k:1:2", "u1", {{"k", 1}}},
        {"GBK text", kZhang + ":9", "u1", {{kZhang, 9}}},
        {"31-byte text fits", Bytes(31) + ":1", "u1", {{Bytes(31), 1}}},
        {"32-byte text skipped", Bytes(32) + ":1!|!b:2", "u1", {{"b", 2}}},
        {"only over-long entries", Bytes(40) + ":1", "u1", {}},
        {"not logged in", "a:1", "", {}},
        {"empty", "", "u1", {}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        RecordingPort port = Dispatch(45, c.body, c.own);
        if (c.items.empty()) {
            EXPECT_TRUE(port.deliveries.empty());
            continue;
        }
        ASSERT_EQ(port.deliveries.size(), 1u);
        const auto& d = port.deliveries[0];
        EXPECT_EQ(d.kind, IMN_SENDASK_LIST);
        EXPECT_EQ(d.fault, "");
        auto list = d.As<IM_SENDASK_LIST>();
        EXPECT_EQ(list.vtable, &SendAskListTable());
        EXPECT_EQ(list.count, static_cast<int32_t>(c.items.size()));
        EXPECT_EQ(list.allocated, list.count);
        EXPECT_EQ(list.growBy, 1);
        ASSERT_EQ(d.items.size(), c.items.size());
        for (std::size_t i = 0; i < c.items.size(); ++i) {
            EXPECT_EQ(std::string(d.items[i].text), c.items[i].first);
            EXPECT_EQ(d.items[i].value, c.items[i].second);
        }
    }
}

// A port that calls every slot of the list object's table during the
// notification, as a caller treating it as a framework array might.
class TableCallingPort : public RecordingPort {
public:
    void* runtimeClass = nullptr;
    int32_t countAfterDestructor = -1;
    long Notify(int kind, const void* lParam) override {
        RecordingPort::Notify(kind, lParam);
        auto* list = const_cast<IM_SENDASK_LIST*>(static_cast<const IM_SENDASK_LIST*>(lParam));
        runtimeClass = list->vtable->GetRuntimeClass(list);
        list->vtable->AssertValid(list);
        list->vtable->Dump(list, nullptr);
        list->vtable->Serialize(list, nullptr);
        list->vtable->DeletingDestructor(list, 1);
        countAfterDestructor = list->count;
        EXPECT_EQ(list->items, nullptr);
        return 0;
    }
};

TEST(SendAskList, TableSlotsAreHarmless) {
    TableCallingPort port;
    const std::string body = "a:1!|!b:2";
    OnSendAskList(body, "u1", port);
    // The handler still releases its entries exactly once (ASan builds check).
    ASSERT_EQ(port.deliveries.size(), 1u);
    EXPECT_EQ(port.countAfterDestructor, 0);
    ASSERT_NE(port.runtimeClass, nullptr);
    auto* runtime = static_cast<const SendAskListClass*>(port.runtimeClass);
    EXPECT_STREQ(runtime->className, "IM_SENDASK_LIST");
    EXPECT_EQ(runtime->itemSize, 36);
    SendAskListTable().DeletingDestructor(nullptr, 1);  // a null object is ignored
}

TEST(SendAskList, EntryParsing) {
    IM_SENDASK_ITEM item;
    EXPECT_TRUE(ParseSendAskEntry("x:7", item));
    EXPECT_EQ(std::string(item.text), "x");
    EXPECT_EQ(item.value, 7);
    EXPECT_FALSE(ParseSendAskEntry(Bytes(32), item));
}

}  // namespace
}  // namespace vexa::protocol
