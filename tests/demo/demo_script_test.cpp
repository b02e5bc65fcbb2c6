// The demo programs' command language: word splitting on GBK text, styles,
// argument checks and whole scripts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/style.h"
#include "tools/demo_script.h"

using namespace vexa::demo;

namespace {

struct SplitCase {
    std::string line;
    bool ok;
    std::vector<std::string> words;
};

TEST(DemoScript, SplitsWordsQuotesAndComments) {
    // "\xCA\x5C" is one GBK character whose second byte is a backslash, and
    // "\x81\x22"-like pairs cannot occur (0x22 is no trail byte), so only the
    // first case needs the character walk.
    const SplitCase cases[] = {
        {"chat 10003 - hello", true, {"chat", "10003", "-", "hello"}},
        {"  wait   5  ", true, {"wait", "5"}},
        {"say \"two words\"", true, {"say", "two words"}},
        {"say \"a \\\"quoted\\\" one\"", true, {"say", "a \"quoted\" one"}},
        {"say \"back\\\\slash\"", true, {"say", "back\\slash"}},
        {"say \"\"", true, {"say", ""}},
        {"# only a comment", true, {}},
        {"wait 5 # the chat", true, {"wait", "5"}},
        {"wait 5# the chat", true, {"wait", "5#", "the", "chat"}},
        {"chat 1 color=#C00000 hi", true, {"chat", "1", "color=#C00000", "hi"}},
        {"say \"# not a comment\"", true, {"say", "# not a comment"}},
        {"say \"\xCA\x5C\"", true, {"say", "\xCA\x5C"}},
        {"say \"\xCA\x5C\\\"\"", true, {"say", "\xCA\x5C\""}},
        {"say \xC4\xE3\xBA\xC3 x", true, {"say", "\xC4\xE3\xBA\xC3", "x"}},
        {"say \"open", false, {}},
        {"say \"\xCA\x5C", false, {}},
        {"", true, {}},
        {"\t\r", true, {}},
    };
    for (const SplitCase& c : cases) {
        std::vector<std::string> words;
        std::string error;
        EXPECT_EQ(SplitWords(c.line, words, error), c.ok) << c.line;
        if (c.ok) EXPECT_EQ(words, c.words) << c.line;
        else EXPECT_FALSE(error.empty()) << c.line;
    }
}

struct StyleCase {
    std::string text;
    bool ok;
    uint32_t effects;
    uint32_t color;
    int points;
    std::string face;
};

TEST(DemoScript, ParsesStylesIntoCharacterFormats) {
    const StyleCase cases[] = {
        {"-", true, 0, 0, 10, "SimSun"},
        {"bold", true, 0x1, 0, 10, "SimSun"},
        {"italic,underline", true, 0x6, 0, 10, "SimSun"},
        {"bold,color=#C00000,size=12,face=SimSun", true, 0x1, 0x0000C0, 12, "SimSun"},
        {"color=#0060C0", true, 0, 0xC06000, 10, "SimSun"},
        {"color=#ff00AA", true, 0, 0xAA00FF, 10, "SimSun"},
        {"face=Times, New", true, 0, 0, 10, "Times, New"},
        {"size=1638", true, 0, 0, 1638, "SimSun"},
        {"size=0", false, 0, 0, 0, ""},
        {"size=12pt", false, 0, 0, 0, ""},
        {"color=#12345", false, 0, 0, 0, ""},
        {"color=#12345G", false, 0, 0, 0, ""},
        {"blink", false, 0, 0, 0, ""},
        {"face=0123456789012345678901234567890123", false, 0, 0, 0, ""},
    };
    for (const StyleCase& c : cases) {
        ChatStyle style;
        std::string error;
        ASSERT_EQ(ParseStyle(c.text, style, error), c.ok) << c.text;
        if (!c.ok) continue;
        IM_CHARFORMAT format;
        std::memset(&format, 0xAB, sizeof format);
        FillFormat(style, format);
        EXPECT_EQ(format.cbSize, 60u);
        EXPECT_EQ(format.dwMask, 0xE0000007u);
        EXPECT_EQ(format.dwEffects, c.effects) << c.text;
        EXPECT_EQ(format.crTextColor, c.color) << c.text;
        EXPECT_EQ(vexa::protocol::TwipsToPoints(format.yHeight), c.points) << c.text;
        EXPECT_EQ(std::string(format.szFaceName), c.face) << c.text;
        EXPECT_EQ(format.yOffset, 0);
        EXPECT_EQ(format.padding[0] | format.padding[1], 0);
        // The style text the library will send names the same style.
        std::string text = vexa::protocol::StyleToText(*reinterpret_cast<const IM_CHARFORMAT*>(&format));
        EXPECT_NE(text.find("Size=" + std::to_string(c.points) + ","), std::string::npos) << text;
    }
}

struct CommandCase {
    std::vector<std::string> words;
    bool ok;
};

TEST(DemoScript, ChecksEveryCommandsArguments) {
    const CommandCase cases[] = {
        {{"server"}, true},
        {{"server", "127.0.0.1", "7788"}, true},
        {{"server", "127.0.0.1"}, false},
        {{"server", "127.0.0.1", "70000"}, false},
        {{"login", "10002", "bob123"}, true},
        {{"login", "10002"}, false},
        {{"wait", "5"}, true},
        {{"wait", "5", "3000"}, true},
        {{"wait", "0"}, false},
        {{"wait", "five"}, false},
        {{"wait", "5", "-1"}, false},
        {{"friends"}, true},
        {{"friends", "3"}, true},
        {{"friends", "x"}, false},
        {{"chat", "10003", "bold", "hi"}, true},
        {{"chat", "10003", "shiny", "hi"}, false},
        {{"chat", "10003", "hi"}, false},
        {{"ask", "10003"}, true},
        {{"ask", "10003", "text"}, true},
        {{"reply", "10002", "yes"}, true},
        {{"reply", "10002", "no", "sorry"}, true},
        {{"reply", "10002", "maybe"}, false},
        {{"status", "2", "away"}, true},
        {{"status", "two"}, false},
        {{"position", "7", "room", "1", "2", "3", "4"}, true},
        {{"position", "256", "room", "1", "2", "3", "4"}, false},
        {{"position", "7", "room", "1", "2", "3"}, false},
        {{"file", "10003", "a.pdf", "100"}, true},
        {{"file", "10003", "a.pdf", "100", "t2", "t3", "9"}, true},
        {{"file", "10003", "a.pdf", "-1"}, false},
        {{"file", "10003", "a.pdf", "100", "t2", "t3", "x"}, false},
        {{"todata", "position?"}, true},
        {{"set", "ready"}, true},
        {{"set", std::string(65, 'x')}, false},
        {{"await", "ready", "500"}, true},
        {{"sleep", "10"}, true},
        {{"sleep"}, false},
        {{"benchchat", "10003", "100"}, true},
        {{"benchchat", "10003", "0"}, false},
        {{"benchtcp", "1000"}, true},
        {{"quit"}, true},
        {{"quit", "now"}, false},
        {{"launch"}, false},
        {{}, false},
    };
    for (const CommandCase& c : cases) {
        std::string error;
        std::string shown;
        for (const auto& w : c.words) shown += w + " ";
        EXPECT_EQ(CheckCommand(c.words, error), c.ok) << shown << " -> " << error;
        EXPECT_EQ(error.empty(), c.ok) << shown;
    }
}

TEST(DemoScript, CommandTableIsInCommandOrderAndFindsEveryName) {
    // The IM program runs entry i of its own table for Command i.
    const auto& commands = Commands();
    ASSERT_EQ(commands.size(), static_cast<std::size_t>(kCommandCount));
    for (std::size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(commands[i].command), i) << commands[i].name;
        EXPECT_EQ(FindCommand(commands[i].name), &commands[i]) << commands[i].name;
    }
    EXPECT_EQ(FindCommand("launch"), nullptr);
    EXPECT_EQ(FindCommand(""), nullptr);
}

TEST(DemoScript, ParsesAScriptAndNamesTheFirstBadLine) {
    std::vector<ScriptLine> lines;
    std::string error;
    ASSERT_TRUE(ParseScript("# greeting\nserver\r\n\nlogin 10003 carol123\nwait 1 # logged in\nquit", lines, error)) << error;
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].number, 2);
    EXPECT_EQ(lines[1].number, 4);
    EXPECT_EQ(lines[1].words, (std::vector<std::string>{"login", "10003", "carol123"}));
    EXPECT_EQ(lines[2].number, 5);
    EXPECT_EQ(lines[3].words, (std::vector<std::string>{"quit"}));

    EXPECT_FALSE(ParseScript("server\nwait 1\nchat 10002 loud hi\nquit\n", lines, error));
    EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << error;
    EXPECT_FALSE(ParseScript("say \"unterminated\n", lines, error));
    EXPECT_EQ(error.rfind("line 1: ", 0), 0u) << error;
}

struct IntCase {
    std::string text;
    long long min, max;
    bool ok;
    long long value;
};

TEST(DemoScript, ParsesBoundedNumbersOnly) {
    const IntCase cases[] = {
        {"0", 0, 10, true, 0},        {"10", 0, 10, true, 10},     {"11", 0, 10, false, 0},
        {"-5", -10, 10, true, -5},    {"+5", 0, 10, true, 5},      {"-", -10, 10, false, 0},
        {"", 0, 10, false, 0},        {" 5", 0, 10, false, 0},     {"5x", 0, 10, false, 0},
        {"-2147483648", -2147483648LL, 0, true, -2147483648LL},
        {"99999999999999999999", 0, 10, false, 0},
    };
    for (const IntCase& c : cases) {
        long long value = -77;
        EXPECT_EQ(ParseInt(c.text, c.min, c.max, value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : -77) << c.text;
    }
}

TEST(DemoScript, CopiesFieldsWithoutHalfCharacters) {
    struct Case {
        std::string text;
        std::size_t width;
        std::string stored;
    } cases[] = {
        {"abc", 4, "abc"},
        {"abcd", 4, "abc"},
        {"\xC4\xE3\xBA\xC3", 5, "\xC4\xE3\xBA\xC3"},
        {"\xC4\xE3\xBA\xC3", 4, "\xC4\xE3"},
        {"a\xC4\xE3", 3, "a"},
        {"", 3, ""},
    };
    for (const Case& c : cases) {
        char field[8];
        std::memset(field, 'Z', sizeof field);
        CopyField(field, c.width, c.text);
        EXPECT_EQ(std::string(field), c.stored);
        for (std::size_t i = c.stored.size(); i < c.width; ++i) EXPECT_EQ(field[i], '\0');
        EXPECT_EQ(field[c.width], 'Z') << "wrote past the field";
    }
}

}  // namespace
