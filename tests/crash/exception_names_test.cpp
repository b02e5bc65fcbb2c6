#include "crash/exception_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace vexa::crash {
namespace {

TEST(ExceptionNames, TableNamesEveryCodeItKnows) {
    struct Case {
        std::uint32_t code;
        const char* name;
    };
    const Case cases[] = {
        {0x80000001u, "GUARD_PAGE"},
        {0x80000002u, "DATATYPE_MISALIGNMENT"},
        {0x80000003u, "BREAKPOINT"},
        {0x80000004u, "SINGLE_STEP"},
        {0xC0000005u, "ACCESS_VIOLATION"},
        {0xC0000006u, "IN_PAGE_ERROR"},
        {0xC0000008u, "INVALID_HANDLE"},
        {0xC000001Du, "ILLEGAL_INSTRUCTION"},
        {0xC0000025u, "NONCONTINUABLE_EXCEPTION"},
        {0xC0000026u, "INVALID_DISPOSITION"},
        {0xC000008Cu, "ARRAY_BOUNDS_EXCEEDED"},
        {0xC000008Du, "FLT_DENORMAL_OPERAND"},
        {0xC000008Eu, "FLT_DIVIDE_BY_ZERO"},
        {0xC000008Fu, "FLT_INEXACT_RESULT"},
        {0xC0000090u, "FLT_INVALID_OPERATION"},
        {0xC0000091u, "FLT_OVERFLOW"},
        {0xC0000092u, "FLT_STACK_CHECK"},
        {0xC0000093u, "FLT_UNDERFLOW"},
        {0xC0000094u, "INT_DIVIDE_BY_ZERO"},
        {0xC0000095u, "INT_OVERFLOW"},
        {0xC0000096u, "PRIV_INSTRUCTION"},
        {0xC00000FDu, "STACK_OVERFLOW"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const char* name = KnownExceptionName(c.code);
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(name, c.name);
    }
}

TEST(ExceptionNames, CodesOutsideTheTableAreLeftToTheSystem) {
    // Neighbours of table entries, the C++ exception code and the extremes.
    const std::uint32_t codes[] = {0u,          0x80000000u, 0x80000005u, 0xC0000007u, 0xC0000017u,
                                   0xC00000FCu, 0xC00000FEu, 0xE06D7363u, 0x40010005u, 0xFFFFFFFFu};
    for (std::uint32_t code : codes) EXPECT_EQ(KnownExceptionName(code), nullptr) << std::hex << code;
}

TEST(ExceptionNames, SystemMessagesBecomeOneLine) {
    struct Case {
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"", ""},
        {"Access denied.", "Access denied."},
        {"Access denied.\r\n", "Access denied."},
        {"First line\r\nsecond line\r\n", "First line  second line"},
        {"lone LF\nand CR\r", "lone LF and CR"},
        {"trailing blanks \t \r\n", "trailing blanks"},
        {"\r\n", ""},
        {"\xB7\xC3\xCE\xCA\xBE\xDC\xBE\xF8\xA1\xA3\r\n", "\xB7\xC3\xCE\xCA\xBE\xDC\xBE\xF8\xA1\xA3"},
    };
    for (const Case& c : cases) {
        char buffer[64];
        std::strcpy(buffer, c.input);
        MakeSingleLine(buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer), c.expected) << c.input;
    }
}

TEST(ExceptionNames, UnterminatedMessageIsCutToItsBuffer) {
    char buffer[6] = {'a', 'b', 'c', '\r', '\n', 'x'};
    MakeSingleLine(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "abc");
}

}  // namespace
}  // namespace vexa::crash
