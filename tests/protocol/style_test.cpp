// The chat text style: twips and points, the style text both ways, and the
// character format record read back at its binding offsets.
#include "protocol/style.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace vexa::protocol {
namespace {

using namespace std::string_literals;

TEST(StyleSizes, TwipsToPoints) {
    const std::pair<int32_t, int> cases[] = {{180, 9},  {195, 10}, {200, 10}, {210, 10}, {225, 11},
                                             {240, 12}, {14, 0},   {0, 0},    {1440, 72}, {-180, -9},
                                             {INT32_MAX, 107374182}, {INT32_MIN, -107374182}};
    for (const auto& [twips, points] : cases) EXPECT_EQ(TwipsToPoints(twips), points) << twips;
}

TEST(StyleSizes, PointsToTwips) {
    const std::pair<int32_t, int> cases[] = {{8, 165},  {9, 180},   {10, 195}, {11, 225},
                                             {12, 240}, {14, 285},  {72, 1440}, {0, 0},
                                             {-9, -180}, {INT32_MAX, INT32_MAX}, {INT32_MIN, INT32_MIN},
                                             {107374182, 2147483640}, {107374183, INT32_MAX}};
    for (const auto& [points, twips] : cases) EXPECT_EQ(PointsToTwips(points), twips) << points;
}

TEST(StyleSizes, RoundTripOnWholePoints) {
    for (int32_t s = 0; s <= 100000; ++s) ASSERT_EQ(TwipsToPoints(PointsToTwips(s)), s) << s;
}

IM_CHARFORMAT Format(uint32_t effects, int32_t height, uint32_t color, const std::string& face) {
    IM_CHARFORMAT f;
    std::memset(&f, 0, sizeof f);
    f.cbSize = sizeof f;
    f.dwEffects = effects;
    f.yHeight = height;
    f.crTextColor = color;
    std::memcpy(f.szFaceName, face.data(), std::min(face.size(), sizeof f.szFaceName));
    return f;
}

struct ToTextCase {
    IM_CHARFORMAT format;
    std::string text;
};

TEST(StyleToText, Table) {
    const ToTextCase cases[] = {
        {Format(0x1, 240, 255, "Arial"), "Bold=1,Underline=0,Italic=0,TextColor=255,Size=12,FaceName=Arial"},
        {Format(0x7, 180, 0, "\xCB\xCE\xCC\xE5"), "Bold=1,Underline=1,Italic=1,TextColor=0,Size=9,FaceName=\xCB\xCE\xCC\xE5"},
        {Format(0x4, 200, 0x00FF8000, ""), "Bold=0,Underline=1,Italic=0,TextColor=16744448,Size=10,FaceName="},
        {Format(0x2, 0, 0xFFFFFFFF, "A,B"), "Bold=0,Underline=0,Italic=1,TextColor=-1,Size=0,FaceName=A,B"},
        // Other effect bits and the mask are not looked at.
        {Format(0xFFFFFFF8, 195, 1, "x"), "Bold=0,Underline=0,Italic=0,TextColor=1,Size=10,FaceName=x"},
        // A face filling all 32 bytes without a NUL is read to its width, no further.
        {Format(0, 180, 0, std::string(32, 'F') + "tail"),
         "Bold=0,Underline=0,Italic=0,TextColor=0,Size=9,FaceName=" + std::string(32, 'F')},
    };
    for (const auto& c : cases) EXPECT_EQ(StyleToText(c.format), c.text);
}

struct FromTextCase {
    std::string text;
    uint32_t effects;
    uint32_t color;
    int32_t height;
    std::string face;
};

const FromTextCase kFromTextCases[] = {
    {"Bold=1,Underline=1,Italic=1,TextColor=255,Size=9,FaceName=\xCB\xCE\xCC\xE5", 0x7, 255, 180, "\xCB\xCE\xCC\xE5"},
    {"Bold=1,Underline=0,Italic=0,TextColor=255,Size=12,FaceName=Arial", 0x1, 255, 240, "Arial"},
    {"Bold=x,Underline=1,Italic=0,TextColor=0,Size=10,FaceName=A", 0x4, 0, 195, "A"},       // not a number: cleared
    {"Bold=0,Underline=0,Italic=1,TextColor=,Size=12,FaceName=Arial", 0x2, 0, 0, "Arial"},  // empty value stops the rest
    // Other order: Bold's "," stands first, so Bold and every later key read 0.
    {"Underline=1,Bold=1,Italic=0,TextColor=5,Size=9,FaceName=A", 0x4, 0, 0, "A"},
    {"Bold=0,Underline=0,Italic=0,TextColor=-1,Size=9,FaceName=A,B,C", 0, 0xFFFFFFFF, 180, "A,B,C"},
    {"", 0, 0, 0, ""},
    {"FaceName=", 0, 0, 0, ""},
    {"Bold=1,Underline=0,Italic=0,TextColor=0,Size=2147483647,FaceName=A", 0x1, 0, INT32_MAX, "A"},  // held at the limit
    {"Bold=1,Underline=0,Italic=0,TextColor=0,Size=-2147483648,FaceName=A", 0x1, 0, INT32_MIN, "A"},
    {"Bold=1,Underline=0,Italic=0,TextColor=0,Size=9,FaceName=" + std::string(31, 'x'), 0x1, 0, 180, std::string(31, 'x')},
    {"Bold=1,Underline=0,Italic=0,TextColor=0,Size=9,FaceName=" + std::string(32, 'x'), 0x1, 0, 180, ""},  // too long: dropped
    {"Bold=1,Underline=0,Italic=0,TextColor=0,Size=9,FaceName=Ar\0ial"s, 0x1, 0, 180, "Ar"},               // read as C text
    {"Bold=1,Underline=0,Italic=0,TextColor=0,Size=9\xB0,FaceName=Ar", 0x1, 0, 180, "Ar"},  // 0xB0 ',' is no character
};

TEST(StyleTextToStyle, Table) {
    for (const auto& c : kFromTextCases) {
        IM_CHARFORMAT f;
        std::memset(&f, 0xCC, sizeof f);
        ASSERT_TRUE(TextToStyle(c.text, f)) << ::testing::PrintToString(c.text);
        EXPECT_EQ(f.cbSize, 60u);
        EXPECT_EQ(f.dwMask, 0xE0000007u);
        EXPECT_EQ(f.dwEffects, c.effects) << ::testing::PrintToString(c.text);
        EXPECT_EQ(f.crTextColor, c.color) << ::testing::PrintToString(c.text);
        EXPECT_EQ(f.yHeight, c.height) << ::testing::PrintToString(c.text);
        EXPECT_EQ(std::string(f.szFaceName), c.face) << ::testing::PrintToString(c.text);
        EXPECT_EQ(f.yOffset, 0);
        EXPECT_EQ(f.bCharSet, 0);
        EXPECT_EQ(f.bPitchAndFamily, 0);
        EXPECT_EQ(f.padding[0] | f.padding[1], 0);
    }
}

TEST(StyleTextToStyle, SizeTenComesBackAsItsTwips) {
    IM_CHARFORMAT f;
    ASSERT_TRUE(TextToStyle(StyleToText(Format(0x5, 200, 0x123456, "Tahoma")), f));
    EXPECT_EQ(f.yHeight, 195);
    EXPECT_EQ(f.dwEffects, 0x5u);
    EXPECT_EQ(f.crTextColor, 0x123456u);
    EXPECT_STREQ(f.szFaceName, "Tahoma");
}

// The record as the IM program's rich-edit control reads it, byte by byte.
TEST(StyleTextToStyle, RecordBytesAtTheirOffsets) {
    IM_CHARFORMAT f;
    ASSERT_TRUE(TextToStyle("Bold=1,Underline=1,Italic=0,TextColor=16909060,Size=12,FaceName=\xCB\xCE", f));
    unsigned char bytes[60];
    std::memcpy(bytes, &f, sizeof bytes);
    const unsigned char expected[60] = {
        60, 0, 0, 0,              // cbSize
        0x07, 0, 0, 0xE0,         // dwMask
        0x05, 0, 0, 0,            // dwEffects: bold and underline
        240, 0, 0, 0,             // yHeight
        0, 0, 0, 0,               // yOffset
        0x04, 0x03, 0x02, 0x01,   // crTextColor 0x01020304
        0, 0,                     // bCharSet, bPitchAndFamily
        0xCB, 0xCE,               // szFaceName and its zero fill
    };
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
}

}  // namespace
}  // namespace vexa::protocol
