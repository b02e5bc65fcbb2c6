// The reading of the "MainRun" value, natively: what a string of each length
// and type yields, with and without its NUL.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "plus/registry_value.h"

using vexa::plus::MainRunText;

TEST(MainRunValue, TextFitsTheBufferWithItsNulOrNothing) {
    const std::string p79(79, 'p'), p80(80, 'p');
    struct Row {
        const char* name;
        std::uint32_t type;
        std::string bytes;
        std::optional<std::string> text;
    };
    const Row rows[] = {
        {"79 bytes and NUL", 1, p79 + std::string(1, '\0'), p79},
        {"79 bytes, no NUL", 1, p79, p79},
        {"80 bytes, no NUL", 1, p80, std::nullopt},
        {"80 bytes and NUL", 1, p80 + std::string(1, '\0'), std::nullopt},
        {"expandable", 2, std::string("%A%\\x.exe") + '\0', std::string("%A%\\x.exe")},
        {"a number", 4, std::string("\x01\x00\x00\x00", 4), std::nullopt},
        {"a list", 7, std::string("a\0b\0\0", 5), std::nullopt},
        {"text to the first NUL", 1, std::string("ab\0cd", 5), std::string("ab")},
        {"empty", 1, std::string(), std::string()},
    };
    for (const Row& row : rows) EXPECT_EQ(MainRunText(row.type, row.bytes.data(), row.bytes.size()), row.text) << row.name;
    EXPECT_EQ(MainRunText(1, nullptr, 3), std::nullopt);
}
