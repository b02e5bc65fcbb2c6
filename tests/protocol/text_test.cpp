// The GBK text operations: Find on character boundaries, the two field
// operations, atoi-exact numbers and the two comparisons.
#include "protocol/text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vexa::text {
namespace {

using namespace std::string_literals;

struct FindCase {
    std::string text;
    std::string needle;
    std::size_t expected;
};

// "\x81~" and "\x81|" are single GBK characters whose second byte is an ASCII
// separator byte; "\x81!" is not a character (0x21 cannot be a trail byte).
const FindCase kFindCases[] = {
    {"a!|!b", "!|!", 1},
    {"", "!|!", npos},
    {"ab", "", 0},
    {"!|", "!|!", npos},
    {"abc!|!", "!|!", 3},
    {"\x81~|~a~|~b", "~|~", 5},          // the trail byte 0x7E does not start a separator
    {"\x81~|~", "~|~", npos},
    {"\x81\x81~|~", "~|~", 2},           // two lead bytes pair up: the '~' starts a character
    {"\x81\x81\x81~|~", "~|~", npos},    // odd run: the last lead byte takes '~' as its trail
    {"\x81\x81\x81\x81~|~", "~|~", 4},
    {"\x81|!|!", "|!", 3},               // 0x81 0x7C is one character
    {"\x81!|!", "!|!", 1},               // '!' is no trail byte: 0x81 stands alone
    {"\x80~|~", "~|~", 1},               // 0x80 and 0xFF are single characters
    {"\xFF~|~", "~|~", 1},
    {"\x81\x7F~|~", "~|~", 2},           // 0x7F is no trail byte
    {"\xB0\xA1<id>", "<id>", 2},         // a Chinese character then a marker
    {"<i<id>", "<id>", 2},
    {"\xCB\xCE\xCC\xE5", "\xCC\xE5", 2}, // a two-byte needle on a boundary
    {"\xCB\xCE\xCC\xE5", "\xCE\xCC", npos},
    {"x\x81", "\x81", 1},                // a lead byte at the very end is a character
};

TEST(TextFind, Table) {
    for (const auto& c : kFindCases) {
        EXPECT_EQ(Find(c.text, c.needle), c.expected) << "text " << ::testing::PrintToString(c.text);
        EXPECT_EQ(FindByWalking(c.text, c.needle), c.expected) << "text " << ::testing::PrintToString(c.text);
    }
}

// Random GBK-like texts made of separator bytes, lead bytes and bytes that can
// or cannot be trail bytes, compared with the plain character walk. Lengths
// reach past several 16-byte blocks, so both the block filter and the byte
// loop at the end of the text are crossed.
TEST(TextFind, AgreesWithCharacterWalk) {
    const std::string alphabet = "~|!<>/a,=\x81\xA1\xFE\x7F\x40\x80\xFF"s;
    const std::vector<std::string> needles = {"~|~", "!|!", "</cnt>", ",", "|!", "\xA1~", "\x81\x81", "~",
                                              "<", "\x81", "</user>"};
    std::mt19937 random(936);
    for (int round = 0; round < 20000; ++round) {
        std::string text(random() % (round % 2 ? 24 : 90), ' ');
        for (char& c : text) c = alphabet[random() % alphabet.size()];
        for (const auto& needle : needles)
            ASSERT_EQ(Find(text, needle), FindByWalking(text, needle))
                << ::testing::PrintToString(text) << " / " << ::testing::PrintToString(needle);
    }
}

struct TakeFieldStep {
    std::string field;
    std::string rest;
};

struct TakeFieldCase {
    std::string text;
    std::string separator;
    std::vector<TakeFieldStep> steps;
};

const TakeFieldCase kTakeFieldCases[] = {
    {"a!|!b!|!c", "!|!", {{"a", "b!|!c"}, {"b", "c"}, {"c", ""}, {"", ""}}},
    {"a!|!!|!c", "!|!", {{"a", "!|!c"}, {"", "c"}, {"c", ""}}},
    {"!|!", "!|!", {{"", ""}, {"", ""}}},
    {"abc", "!|!", {{"abc", ""}}},
    {"\x81~|~x~|~y", "~|~", {{"\x81~|~x", "y"}, {"y", ""}}},
    {"\xD6\xD0~|~\xCE\xC4", "~|~", {{"\xD6\xD0", "\xCE\xC4"}}},
    {"a\x81|!|!b", "!|!", {{"a\x81|", "b"}}},  // 0x81 '|' is one character; the separator follows it
};

// Long texts where the separator stands far in, after stretches of GBK text,
// dense partial separators, or runs of lead bytes of either parity.
TEST(TextFind, LongTexts) {
    const std::string gbk = "\xD5\xC5\xC8\xFD\x81~\x81|";
    std::string text;
    for (int i = 0; i < 40; ++i) text += gbk + "~|x";
    EXPECT_EQ(Find(text + "~|~", "~|~"), text.size());
    EXPECT_EQ(Find(text + "\x81~|~", "~|~"), npos);
    EXPECT_EQ(Find(std::string(301, '\x81') + "~|~", "~|~"), npos);
    EXPECT_EQ(Find(std::string(300, '\x81') + "~|~", "~|~"), 300u);
    EXPECT_EQ(Find(std::string(300, '\x81') + "<id>", "<id>"), 300u);
    EXPECT_EQ(Find(std::string(301, '\x81') + "<id>", "<id>"), 301u);
    std::string partial;
    for (int i = 0; i < 100; ++i) partial += "</cnt";
    EXPECT_EQ(Find(partial + "</cnt>", "</cnt>"), partial.size());
    EXPECT_EQ(Find(partial, "</cnt>"), npos);
}

TEST(TextTakeField, Table) {
    for (const auto& c : kTakeFieldCases) {
        std::string_view text = c.text;
        for (const auto& step : c.steps) {
            EXPECT_EQ(TakeField(text, c.separator), step.field) << ::testing::PrintToString(c.text);
            EXPECT_EQ(text, step.rest) << ::testing::PrintToString(c.text);
        }
    }
}

struct TakeBetweenCase {
    std::string text;
    std::string open;
    std::string close;
    std::string value;
    std::string rest;
};

const TakeBetweenCase kTakeBetweenCases[] = {
    {"<id>5</id><ms>x</ms>", "<id>", "</id>", "5", "<ms>x</ms>"},
    {"<id>5</id><ms>x</ms>", "<nm>", "</nm>", "", "<id>5</id><ms>x</ms>"},       // absent
    {"<id></id><ms>x</ms>", "<id>", "</id>", "", "<id></id><ms>x</ms>"},         // empty element
    {"<a>1</b><b>2</b>", "<b>", "</b>", "", "<a>1</b><b>2</b>"},                 // close before open
    {"Size=9,FaceName=Arial", "FaceName=", "", "Arial", ""},                     // empty close marker
    {"</id>x<id>5", "<id>", "</id>", "5", ""},                                   // close at the very start
    {"", "<id>", "</id>", "", ""},
    {"<id>5", "<id>", "</id>", "", "<id>5"},                                     // no close marker
    {"<ms>\x81</ms>a</ms>", "<ms>", "</ms>", "\x81", "a</ms>"},                  // '<' is no trail byte
    {"<f>\x81~|~</f>", "<f>", "~|~", "", "<f>\x81~|~</f>"},                      // the only "~|~" is inside a character
    {"Bold=1,Underline=0", "Bold=", ",", "1", "Underline=0"},
    {"TextColor=,Size=9,", "TextColor=", ",", "", "TextColor=,Size=9,"},
};

TEST(TextTakeBetween, Table) {
    for (const auto& c : kTakeBetweenCases) {
        std::string_view text = c.text;
        EXPECT_EQ(TakeBetween(text, c.open, c.close), c.value) << ::testing::PrintToString(c.text);
        EXPECT_EQ(text, c.rest) << ::testing::PrintToString(c.text);
    }
}

TEST(TextTakeBetween, ReadsAListUntilEmpty) {
    std::string_view text = "<user>a</user><user>\xD6\xD0</user><user>c</user><over>1</over>";
    std::vector<std::string> users;
    for (std::string_view v; !(v = TakeBetween(text, "<user>", "</user>")).empty();) users.emplace_back(v);
    EXPECT_EQ(users, (std::vector<std::string>{"a", "\xD6\xD0", "c"}));
    EXPECT_EQ(text, "<over>1</over>");
}

struct NumberCase {
    std::string text;
    int expected;
};

const NumberCase kNumberCases[] = {
    {"0", 0},         {"42", 42},           {"  \t-17x", -17},      {"+5", 5},
    {"", 0},          {"x12", 0},           {"- 5", 0},             {"12 34", 12},
    {"0012", 12},     {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
    {"2147483648", -2147483647 - 1},       // wraps like the 32-bit runtime's accumulation
    {"\n\v\f\r 9", 9}, {"99999999999999999999", 1661992959},
    {"\xA3\xB1", 0},  // a full-width digit is not a digit
};

TEST(TextNumbers, AtoIAndAtoL) {
    for (const auto& c : kNumberCases) {
        EXPECT_EQ(AtoI(c.text), c.expected) << ::testing::PrintToString(c.text);
        EXPECT_EQ(AtoL(c.text), c.expected) << ::testing::PrintToString(c.text);
    }
}

TEST(TextCString, StopsAtNulOrWidth) {
    const char field[5] = {'a', 'b', '\0', 'c', 'd'};
    EXPECT_EQ(CString(field, 5), "ab");
    const char full[3] = {'x', 'y', 'z'};
    EXPECT_EQ(CString(full, 3), "xyz");
    EXPECT_EQ(CString(nullptr, 3), "");
    EXPECT_EQ(UpToNul("ab\0cd"s), "ab");
    EXPECT_EQ(UpToNul("abc"), "abc");
}

struct CompareCase {
    std::string a;
    std::string b;
    bool equal;
    bool equalNoCase;
};

const CompareCase kCompareCases[] = {
    {"abc", "abc", true, true},
    {"abc", "ABC", false, true},
    {"abc", "abcd", false, false},
    {"", "", true, true},
    {"u1\0x"s, "u1", true, true},                    // read as C strings
    {"\x81\x41", "\x81\x61", false, false},          // 'A' and 'a' as trail bytes are not letters
    {"\xD6\xD0" "Ab", "\xD6\xD0" "aB", false, true},     // letters after a Chinese character fold
    {"\x81!", "\x81!", true, true},
    {"[", "{", false, false},                        // only letters fold
    {"@", "`", false, false},
};

TEST(TextCompare, EqualAndEqualNoCase) {
    for (const auto& c : kCompareCases) {
        EXPECT_EQ(Equal(c.a, c.b), c.equal) << ::testing::PrintToString(c.a) << " / " << ::testing::PrintToString(c.b);
        EXPECT_EQ(EqualNoCase(c.a, c.b), c.equalNoCase)
            << ::testing::PrintToString(c.a) << " / " << ::testing::PrintToString(c.b);
        EXPECT_EQ(EqualNoCase(c.b, c.a), c.equalNoCase);
    }
}

TEST(TextCharLength, LeadAndTrailRanges) {
    EXPECT_EQ(CharLength("\x81\x40", 0), 2u);
    EXPECT_EQ(CharLength("\xFE\xFE", 0), 2u);
    EXPECT_EQ(CharLength("\x81\x3F", 0), 1u);
    EXPECT_EQ(CharLength("\x81\x7F", 0), 1u);
    EXPECT_EQ(CharLength("\x81\xFF", 0), 1u);
    EXPECT_EQ(CharLength("\x80\x40", 0), 1u);
    EXPECT_EQ(CharLength("\xFF\x40", 0), 1u);
    EXPECT_EQ(CharLength("\x81", 0), 1u);
}

}  // namespace
}  // namespace vexa::text
