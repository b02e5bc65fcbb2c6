#include "crash/cached_memory.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/crash/fake_memory.h"

namespace vexa::crash {
namespace {

using testing::FakeMemory;

constexpr Address kPage = CachedMemory::kPageSize;

// Two whole pages, a region smaller than a page, and the very top page.
struct Memory {
    FakeMemory fake;
    Memory() {
        FakeMemory::Region& pages = fake.Map(0x10000, 2 * kPage, true);
        for (std::size_t i = 0; i < pages.bytes.size(); ++i) pages.bytes[i] = static_cast<unsigned char>(i * 7);
        FakeMemory::Region& small = fake.Map(0x20010, 16, false);
        for (std::size_t i = 0; i < small.bytes.size(); ++i) small.bytes[i] = static_cast<unsigned char>(0xA0 + i);
        fake.Map(0xFFFFF000u, kPage, false).bytes.assign(kPage, 0x5A);
        fake.Map(0x00007FF6A0000000, kPage, false).bytes.assign(kPage, 0x6B);
        fake.Map(kLastAddress - kPage + 1, kPage, false).bytes.assign(kPage, 0x7C);
    }
};

TEST(CachedMemory, ReadsWhatTheMemoryHoldsAndFailsWhereItFails) {
    struct Case {
        const char* what;
        Address address;
        std::size_t size;
    };
    const Case cases[] = {
        {"inside a page", 0x10010, 8},
        {"across two pages", 0x10000 + kPage - 3, 8},
        {"a whole page", 0x10000 + kPage, kPage},
        {"past the readable pages", 0x10000 + 2 * kPage - 4, 8},
        {"in a region smaller than a page", 0x20014, 4},
        {"out of that region", 0x2001C, 8},
        {"unmapped", 0x30000, 4},
        {"last bytes of the address space", 0xFFFFFFFCu, 4},
        {"past the top of a 32-bit address space", 0xFFFFFFFEu, 4},
        {"above 4 GiB", 0x00007FF6A0000FF0, 16},
        {"last bytes of the 64-bit address space", kLastAddress - 3, 4},
        {"past the top of the 64-bit address space", kLastAddress - 1, 4},
        {"nothing", 0x30000, 0},
    };
    Memory m;
    CachedMemory cached(m.fake);
    for (int pass = 0; pass < 2; ++pass) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            std::vector<unsigned char> want(c.size + 1, 0xEE), got(c.size + 1, 0xEE);
            const bool expected = m.fake.Read(c.address, want.data(), c.size);
            ASSERT_EQ(cached.Read(c.address, got.data(), c.size), expected);
            if (expected) {
                EXPECT_EQ(got, want);
            }
        }
    }
}

TEST(CachedMemory, AsksForEachPageOnceUntilCleared) {
    Memory m;
    CachedMemory cached(m.fake);
    std::uint32_t value = 0;
    ASSERT_TRUE(cached.ReadU32(0x10100, value));
    const int afterFirst = m.fake.reads;
    for (Address at = 0x10000; at < 0x10000 + kPage; at += 4) ASSERT_TRUE(cached.ReadU32(at, value));
    EXPECT_EQ(m.fake.reads, afterFirst);
    // A copy stays a copy until the next report clears the cache.
    m.fake.PutU32(0x10100, 0xDEADBEEF);
    ASSERT_TRUE(cached.ReadU32(0x10100, value));
    EXPECT_NE(value, 0xDEADBEEFu);
    cached.Clear();
    ASSERT_TRUE(cached.ReadU32(0x10100, value));
    EXPECT_EQ(value, 0xDEADBEEFu);
    // More pages than slots: still the right bytes.
    FakeMemory::Region& many = m.fake.Map(0x40000, 3 * CachedMemory::kSlots * kPage, true);
    for (std::size_t i = 0; i < many.bytes.size(); i += kPage) many.bytes[i] = static_cast<unsigned char>(i / kPage);
    for (std::size_t i = 0; i < many.bytes.size(); i += kPage) {
        unsigned char byte = 0;
        ASSERT_TRUE(cached.Read(static_cast<Address>(0x40000 + i), &byte, 1));
        EXPECT_EQ(byte, static_cast<unsigned char>(i / kPage));
    }
    EXPECT_TRUE(cached.IsWritable(0x10000, 8));
    EXPECT_FALSE(cached.IsWritable(0x20010, 8));
}

}  // namespace
}  // namespace vexa::crash
