#include "net/packet_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace vexa::net {
namespace {

std::string Valid(const PacketBuffer& b) { return std::string(b.Current(), b.Length()); }

TEST(PacketBufferTest, ConstructionGivesZeroTerminatedStorage) {
    PacketBuffer sized(6);
    EXPECT_EQ(sized.Capacity(), 6u);
    EXPECT_EQ(sized.Length(), 0u);
    EXPECT_TRUE(sized.HasStorage());
    EXPECT_EQ(std::memcmp(sized.Data(), "\0\0\0\0\0\0\0", 7), 0);

    PacketBuffer copied("abc", 3);
    EXPECT_EQ(copied.Capacity(), 3u);
    EXPECT_EQ(Valid(copied), "abc");
    EXPECT_EQ(copied.Data()[3], '\0');
    EXPECT_STREQ(copied.Data(), "abc");
}

TEST(PacketBufferTest, WriteFollowsItsFourCases) {
    struct Case {
        const char* name;
        std::uint32_t startCapacity;  // 0xFFFFFFFF: no storage
        const char* initial;          // written at 0 first (may be null)
        const char* bytes;
        std::uint32_t pos;
        std::uint32_t wantCapacity;
        std::uint32_t wantBegin;
        std::string wantStorage;  // the first wantCapacity bytes
    };
    const std::uint32_t none = 0xFFFFFFFF;
    const Case cases[] = {
        {"empty write keeps storage", 8, "abcdefgh", "", 3, 8, 0, "abcdefgh"},
        {"no storage: placed at 0, pos unused", none, nullptr, "xyz", 5, 3, 0, "xyz"},
        {"fits in place", 8, "abcdefgh", "XY", 2, 8, 2, "abXYefgh"},
        {"grows at 0 without old content", 4, "abcd", "123456", 0, 6, 0, "123456"},
        {"grows keeping old content", 4, "abcd", "123", 2, 5, 2, std::string("ab123")},
        {"grows past a gap", 2, "ab", "Z", 4, 5, 4, std::string("ab\0\0Z", 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketBuffer b = c.startCapacity == none ? PacketBuffer() : PacketBuffer(c.startCapacity);
        if (c.initial) {
            ASSERT_TRUE(b.Write(c.initial, static_cast<std::uint32_t>(std::strlen(c.initial)), 0));
        }
        const auto n = static_cast<std::uint32_t>(std::strlen(c.bytes));
        ASSERT_TRUE(b.Write(c.bytes, n, c.pos));
        EXPECT_EQ(b.Capacity(), c.wantCapacity);
        EXPECT_EQ(std::string(b.Data(), b.Capacity()), c.wantStorage);
        EXPECT_EQ(b.Data()[b.Capacity()], '\0');
        if (n == 0) {
            EXPECT_EQ(b.Begin(), 0u);
            EXPECT_EQ(b.End(), 0u);
        } else {
            EXPECT_EQ(b.Begin(), c.wantBegin);
            EXPECT_EQ(b.Length(), n);
            EXPECT_EQ(Valid(b), c.bytes);
        }
    }
}

TEST(PacketBufferTest, SetRangeKeepsTheInvariant) {
    PacketBuffer b("0123456789", 10);
    b.SetRange(3, 7);
    EXPECT_EQ(Valid(b), "3456");
    b.SetRange(4, 99);  // end clamped to the capacity
    EXPECT_EQ(b.End(), 10u);
    EXPECT_EQ(Valid(b), "456789");
    b.SetRange(8, 5);  // begin clamped to end
    EXPECT_EQ(b.Begin(), 5u);
    EXPECT_EQ(b.Length(), 0u);
}

TEST(PacketBufferTest, RefusesMoreThanTwentyMebibytes) {
    const std::uint32_t limit = PacketBuffer::kMaxCapacity;
    ASSERT_EQ(limit, 20971520u);

    PacketBuffer tooBig(limit + 1);
    EXPECT_FALSE(tooBig.HasStorage());
    EXPECT_EQ(tooBig.Capacity(), 0u);
    EXPECT_EQ(tooBig.Data()[0], '\0');  // reads as empty text, never null

    PacketBuffer atLimit(limit);
    EXPECT_TRUE(atLimit.HasStorage());
    EXPECT_EQ(atLimit.Capacity(), limit);

    // Growing beyond the limit, or an offset that would wrap, changes nothing.
    PacketBuffer b("abcd", 4);
    EXPECT_FALSE(b.Write("x", 1, limit));
    EXPECT_FALSE(b.Write("xy", 2, 0xFFFFFFFFu));
    EXPECT_EQ(b.Capacity(), 4u);
    EXPECT_EQ(Valid(b), "abcd");
    EXPECT_TRUE(b.Write("x", 1, limit - 1));
    EXPECT_EQ(b.Capacity(), limit);

    PacketBuffer nullBytes(nullptr, 3);
    EXPECT_FALSE(nullBytes.HasStorage());
    EXPECT_FALSE(b.Write(nullptr, 3, 0));
}

}  // namespace
}  // namespace vexa::net
