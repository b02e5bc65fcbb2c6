// The server's record texts and checks, its own GBK texts, and the store.
#include <gtest/gtest.h>

#include <iconv.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "protocol/user_records.h"
#include "server/auth/accounts.h"
#include "server/auth/password.h"
#include "server/handlers/records.h"
#include "server/base/texts.h"
#include "server/store/store.h"

namespace vexa::server {
namespace {

std::string FromGbk(const std::string& gbk) {
    iconv_t cd = iconv_open("UTF-8", "CP936");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string out(gbk.size() * 4, '\0');
    char* in = const_cast<char*>(gbk.data());
    std::size_t inLeft = gbk.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &outPtr, &outLeft), static_cast<std::size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

TEST(ServerTexts, EveryTextIsTheGbkOfItsReadableForm) {
    struct Case {
        const char* gbk;
        const char* readable;
    } cases[] = {
        {texts::kNoSuchAccount, "用户不存在"},     {texts::kWrongPassword, "密码错误"},
        {texts::kBadLoginData, "登录数据无效"},    {texts::kAlreadyLoggedIn, "本连接已登录"},
        {texts::kNotYourself, "不能对自己操作"},   {texts::kNotAFriend, "对方不是您的好友"},
        {texts::kBadProfileData, "资料格式错误"},  {texts::kOldPasswordWrong, "原密码错误"},
        {texts::kBusy, "服务器忙，请稍后再试"},     {texts::kNickAlice, "爱丽丝"},
        {texts::kNickBob, "鲍勃"},                 {texts::kNickCarol, "卡罗尔"},
        {texts::kWordAlice, "你好，我是爱丽丝"},  {texts::kTooManyAttempts, "登录失败次数过多，请稍后再试"},
        {texts::kUnavailable, "服务器暂时不可用，请稍后再试"}, {texts::kAccountDisabled, "账号已被停用"},
    };
    for (const Case& c : cases) EXPECT_EQ(FromGbk(c.gbk), c.readable);
}

TEST(Records, UserElementReadsBackThroughTheLibrarysParser) {
    Profile p;
    p.id = 10042;
    p.name = "u42";
    p.nickname = texts::kNickBob;
    p.littleword = "word";
    p.birthday = "20010203";
    p.sex = 1;
    p.photo = "p.png";
    p.pos = Position{300 & 0xFF, "ms", 1, -2, 3, 4};
    p.userClass = 5;
    p.vip = 6;
    p.style = 7;
    p.afset = 8;
    p.vp = 1;
    p.lt = 1;
    std::string element = UserElement(p, 9);
    EXPECT_EQ(element,
              "<user><id>10042</id><name>u42</name><nickname>" + std::string(texts::kNickBob) +
                  "</nickname><littleword>word</littleword><brithday>20010203</brithday><pos><id>44</id><ms>ms</ms>"
                  "<pos0>1</pos0><pos1>-2</pos1><pos2>3</pos2><pos3>4</pos3></pos><sex>1</sex><class>5</class>"
                  "<vip>6</vip><status>9</status><style>7</style><afset>8</afset><photo>p.png</photo><vp>1</vp>"
                  "<lt>1</lt></user>");
    IM_USER_INFO info{};
    ASSERT_TRUE(protocol::ParseUserInfo(element, info));
    EXPECT_EQ(info.id, 10042);
    EXPECT_STREQ(info.name, "u42");
    EXPECT_STREQ(info.photo, "p.png");
    EXPECT_EQ(info.pos.id, 44);
    EXPECT_EQ(info.pos.pos1, -2);
    EXPECT_EQ(info.status, 9);
    EXPECT_EQ(info.lt, 1);
    EXPECT_EQ(info.afset, 8);
}

TEST(Records, PositionTextTable) {
    struct Case {
        std::string text;
        bool ok;
        int id, pos3;
    } cases[] = {
        {"<id>5</id><ms>x</ms><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>", true, 5, 4},
        {"<id>300</id><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>-4</pos3>", true, 44, -4},
        {"<id>5</id><ms>x</ms><pos0>1</pos0><pos1>2</pos1><pos3>4</pos3>", false, 0, 0},
        {"<ms>x</ms><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>", false, 0, 0},
        {"<id>5</id><ms>a!|!b</ms><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>", false, 0, 0},
        {"<id>5</id><ms>" + std::string(256, 'm') + "</ms><pos0>1</pos0><pos1>2</pos1><pos2>3</pos2><pos3>4</pos3>",
         false, 0, 0},
    };
    for (const Case& c : cases) {
        Position pos;
        EXPECT_EQ(ParsePositionText(c.text, pos), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(pos.id, c.id);
            EXPECT_EQ(pos.pos3, c.pos3);
        }
    }
}

TEST(Records, ProfileChangeTable) {
    auto element = [](const std::string& nick, const std::string& word, const std::string& birthday,
                      const std::string& newpass) {
        return "<nickname>" + nick + "</nickname><oldpass>o</oldpass><newpass>" + newpass + "</newpass><littleword>" +
               word + "</littleword><brithday>" + birthday + "</brithday><afset>3</afset>";
    };
    struct Case {
        std::string text;
        bool ok;
    } cases[] = {
        {element("nick", "word", "19990101", ""), true},
        {element(texts::kNickAlice, texts::kWordAlice, "19990101", "newpass"), true},
        {element("", "word", "19990101", ""), false},
        {element(std::string(21, 'n'), "word", "19990101", ""), false},
        {element("nick", std::string(150, 'w'), "19990101", ""), false},
        {element("nick", "word", "1999011", ""), false},
        {element("nick", "word", "1999o101", ""), false},
        {element("nick", "word", "19990101", std::string(20, 'p')), false},
        {element("ni\x01" "ck", "word", "19990101", ""), false},
        {element("nick", "a~|~b", "19990101", ""), false},
        {element("nick\xb0", "word", "19990101", ""), false},  // a lead byte without its trail byte
        {"<nickname>nick</nickname><brithday>19990101</brithday>", false},  // no afset
    };
    for (const Case& c : cases) {
        ProfileChange change;
        EXPECT_EQ(ParseProfileChange(c.text, change), c.ok) << c.text;
    }
}

TEST(Records, AccountNameTable) {
    struct Case {
        std::string name;
        bool ok;
    } cases[] = {
        {"10001", true}, {"alice", true}, {texts::kNickAlice, true}, {"", false}, {std::string(21, 'a'), false},
        {"a b", false},  {"a:b", false},  {"a<b", false},           {"a!b", false}, {"a\tb", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsValidAccountName(c.name), c.ok) << c.name;
}

TEST(Passwords, HashesAreSaltedAndVerify) {
    ASSERT_TRUE(InitPasswordHashing());
    auto first = HashPassword("secret");
    auto second = HashPassword("secret");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(first->find("secret"), std::string::npos);
    EXPECT_EQ(first->rfind("$argon2id$", 0), 0u);
    EXPECT_TRUE(VerifyPassword(*first, "secret"));
    EXPECT_FALSE(VerifyPassword(*first, "Secret"));
    EXPECT_FALSE(VerifyPassword("", "secret"));
    EXPECT_FALSE(VerifyPassword("garbage", "secret"));
}

}  // namespace
}  // namespace vexa::server
