#include "crash/report_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace vexa::crash {
namespace {

std::string Format(const char* format, std::initializer_list<FormatArg> args) {
    char out[kLineCapacity];
    std::memset(out, 'Z', sizeof out);
    const std::size_t length = FormatReportLine(out, format, args);
    EXPECT_EQ(std::strlen(out), length);
    return std::string(out, length);
}

TEST(FormatReportLine, DirectivesOfTheReport) {
    struct Case {
        const char* format;
        std::initializer_list<FormatArg> args;
        const char* expected;
    };
    const std::string fileName = "D:\\App\\host.exe";
    const Case cases[] = {
        {"Exception code: %08X %s\n", {0xC0000005u, "ACCESS_VIOLATION"}, "Exception code: C0000005 ACCESS_VIOLATION\n"},
        {"Fault address:  %08X %02X:%08X %s\n",
         {0x00401A2Bu, 1u, 0xA2Bu, fileName.c_str()},
         "Fault address:  00401A2B 01:00000A2B D:\\App\\host.exe\n"},
        {"Fault address:  %08X %02X:%08X %s\n", {0u, 0u, 0u, ""}, "Fault address:  00000000 00:00000000 \n"},
        {"CS:EIP:%04X:%08X\n", {0x1Bu, 0x7C80ABCDu}, "CS:EIP:001B:7C80ABCD\n"},
        {"%08X  %08X  %04X:%08X %s\n",
         {0xDEADBEEFu, 0x0012FF80u, 2u, 0x10u, "m"},
         "DEADBEEF  0012FF80  0002:00000010 m\n"},
        {"%08X", {0xFFFFFFFFu}, "FFFFFFFF"},
        {"%016X", {std::uint64_t{0x00007FF6A1B2C3D4}}, "00007FF6A1B2C3D4"},
        {"%016X", {~std::uint64_t{0}}, "FFFFFFFFFFFFFFFF"},
        {"%08X", {std::uint64_t{0x123456789}}, "123456789"},  // a 32-bit width never cuts a wider value
        {"%02X", {0x12345u}, "12345"},  // a width is a minimum
        {"%04X", {0xABCDEF01u}, "ABCDEF01"},
        {"%X|%8X", {0u, 0x1Fu}, "0|0000001F"},
        {"\nRegisters:\n", {}, "\nRegisters:\n"},
        {"100%%", {}, "100%"},
        {"%", {}, "%"},
        {"%d %08X", {5u}, "%d 00000005"},  // unknown directives stand as written
        {"[%s]", {"\xD6\xD0\xCE\xC4"}, "[\xD6\xD0\xCE\xC4]"},
        {"[%s]", {static_cast<const char*>(nullptr)}, "[]"},
        // Missing or mismatched arguments print nothing for their directive.
        {"%08X %s|", {}, " |"},
        {"%s|%08X", {7u, "text"}, "|"},
        {"a%sb%sc", {"1"}, "a1bc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(Format(c.format, c.args), c.expected);
    }
}

TEST(FormatReportLine, OutputIsCutAt1023Bytes) {
    const std::string half(600, 'a');
    const std::string full(5000, 'b');
    const std::string c1020(1020, 'c'), d1023(1023, 'd'), e1022(1022, 'e');
    struct Case {
        const char* format;
        std::initializer_list<FormatArg> args;
        std::string expected;
    };
    const Case cases[] = {
        {"%s", {full.c_str()}, std::string(1023, 'b')},
        {"%s%s", {half.c_str(), half.c_str()}, std::string(1023, 'a')},
        {"%s%08X", {c1020.c_str(), 0xABCDEF12u}, std::string(1020, 'c') + "ABC"},
        {"%s", {d1023.c_str()}, d1023},
        {"%s", {e1022.c_str()}, e1022},
    };
    for (const Case& c : cases) EXPECT_EQ(Format(c.format, c.args), c.expected);
}

TEST(FormatReportTime, FormatOfTheTimeLine) {
    struct Case {
        unsigned year, month, day, hour, minute, second;
        const char* expected;
    };
    const Case cases[] = {
        {2026, 12, 7, 9, 5, 3, "2026-12-07,09:05:03"},
        {1999, 1, 1, 0, 0, 0, "1999-01-01,00:00:00"},
        {2038, 1, 19, 23, 59, 59, "2038-01-19,23:59:59"},
        {999, 10, 31, 12, 30, 45, "0999-10-31,12:30:45"},
        {123456, 123, 7, 100, 5, 3, "123456-123-07,100:05:03"},
    };
    for (const Case& c : cases) {
        char out[kTimeTextCapacity];
        FormatReportTime(out, c.year, c.month, c.day, c.hour, c.minute, c.second);
        EXPECT_STREQ(out, c.expected);
    }
}

}  // namespace
}  // namespace vexa::crash
