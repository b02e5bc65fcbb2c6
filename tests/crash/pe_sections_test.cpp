#include "crash/pe_sections.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/crash/fake_memory.h"

namespace vexa::crash {
namespace {

using testing::FakeMemory;

struct Section {
    std::uint32_t virtualAddress, virtualSize, rawSize;
};

constexpr std::uint32_t kNtOffset = 0x80;
constexpr std::uint16_t kOptionalHeaderSize = 0xE0;
constexpr std::uint32_t kTable = kNtOffset + 24 + kOptionalHeaderSize;

// Writes the headers of a module at base into memory: the fields the lookup
// reads, at their offsets, and nothing else.
void PutModule(FakeMemory& memory, Address base, std::size_t headerBytes, const std::vector<Section>& sections) {
    memory.Map(base, headerBytes, false);
    memory.PutU16(base, 0x5A4D);
    memory.PutU32(base + 60, kNtOffset);
    memory.PutU32(base + kNtOffset, 0x00004550);
    memory.PutU16(base + kNtOffset + 6, static_cast<std::uint16_t>(sections.size()));
    memory.PutU16(base + kNtOffset + 20, kOptionalHeaderSize);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Address entry = base + kTable + static_cast<Address>(i) * 40;
        memory.Put(entry, ".sect\0\0\0", 8);
        memory.PutU32(entry + 8, sections[i].virtualSize);
        memory.PutU32(entry + 12, sections[i].virtualAddress);
        memory.PutU32(entry + 16, sections[i].rawSize);
    }
}

TEST(FindSection, AddressesInAWellFormedModule) {
    constexpr Address base = 0x00400000;
    FakeMemory memory;
    PutModule(memory, base, 0x1000,
              {{0x1000, 0x0800, 0x1000},    // .text: raw size is the larger, [0x1000, 0x2000)
               {0x2000, 0x1234, 0x1200},    // .rdata: virtual size is the larger, [0x2000, 0x3234)
               {0x4000, 0x0100, 0x0000}});  // .bss-like: no raw data, [0x4000, 0x4100)
    struct Case {
        Address address;
        bool found;
        std::uint32_t number, offset;
    };
    const Case cases[] = {
        {base + 0x1000, true, 1, 0},
        {base + 0x1ABC, true, 1, 0xABC},
        {base + 0x1FFF, true, 1, 0xFFF},
        // Where .text ends .rdata begins: the section that holds the byte.
        {base + 0x2000, true, 2, 0},
        {base + 0x3233, true, 2, 0x1233},
        // Just past the last byte of a section that nothing follows.
        {base + 0x3234, true, 2, 0x1234},
        {base + 0x3235, false, 0, 0},
        {base + 0x40FF, true, 3, 0xFF},
        {base + 0x4100, true, 3, 0x100},
        {base + 0x4101, false, 0, 0},
        {base + 0x0500, false, 0, 0},  // in the headers
        {base - 1, false, 0, 0},       // below the module
        {0xFFFFFFFF, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.address);
        SectionHit hit;
        EXPECT_EQ(FindSection(memory, base, c.address, hit), c.found);
        if (c.found) {
            EXPECT_EQ(hit.number, c.number);
            EXPECT_EQ(hit.offset, c.offset);
        }
    }
}

TEST(FindSection, SectionSizesDoNotWrapAroundThirtyTwoBits) {
    // Sections whose ends lie past 4 GiB: with 32-bit sums the ends would
    // wrap below their starts and the addresses would be missed.
    constexpr Address base = 0;
    FakeMemory memory;
    PutModule(memory, base, 0x400, {{0xFFFFF000, 0x2000, 0}, {0x1000, 0xFFFFFFFF, 0}});
    SectionHit hit;
    ASSERT_TRUE(FindSection(memory, base, 0xFFFFF800, hit));
    EXPECT_EQ(hit.number, 1u);
    EXPECT_EQ(hit.offset, 0x800u);
    ASSERT_TRUE(FindSection(memory, base, 0x1000, hit));
    EXPECT_EQ(hit.number, 2u);
    EXPECT_EQ(hit.offset, 0u);
}

TEST(FindSection, DamagedHeadersGiveNoSection) {
    constexpr Address base = 0x00400000;
    constexpr Address address = base + 0x1010;
    struct Case {
        const char* what;
        void (*damage)(FakeMemory&);
    };
    const Case cases[] = {
        {"no MZ", [](FakeMemory& m) { m.PutU16(base, 0x4D5A); }},
        {"NT headers beyond the mapped headers", [](FakeMemory& m) { m.PutU32(base + 60, 0x7FF0); }},
        {"NT header offset wrapping around", [](FakeMemory& m) { m.PutU32(base + 60, 0xFFFFFFF0); }},
        {"no PE signature", [](FakeMemory& m) { m.PutU32(base + kNtOffset, 0x00004551); }},
        {"optional header pushing the table out", [](FakeMemory& m) { m.PutU16(base + kNtOffset + 20, 0xFFFF); }},
        {"no sections", [](FakeMemory& m) { m.PutU16(base + kNtOffset + 6, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeMemory memory;
        PutModule(memory, base, 0x400, {{0x1000, 0x1000, 0x1000}});
        SectionHit hit;
        ASSERT_TRUE(FindSection(memory, base, address, hit));  // intact, it is found
        c.damage(memory);
        EXPECT_FALSE(FindSection(memory, base, address, hit));
    }
}

TEST(FindSection, HeadersAtTheTopOfTheAddressSpace) {
    // Offsets from a base near 4 GiB must fail, not wrap to low memory.
    constexpr Address base = 0xFFFFFF00;
    FakeMemory memory;
    memory.Map(0, 0x1000, false);  // readable bytes a wrapped read would find
    memory.Map(base, 0x100, false);
    memory.PutU16(base, 0x5A4D);
    memory.PutU32(base + 60, 0x200);  // NT headers would lie past the top
    SectionHit hit;
    EXPECT_FALSE(FindSection(memory, base, 0xFFFFFFF0, hit));
}

TEST(FindSection, TableRunningOutOfMemoryEndsTheSearch) {
    constexpr Address base = 0x00400000;
    FakeMemory memory;
    // A section count of 65535 with only room for a handful of entries.
    PutModule(memory, base, 0x400, {{0x1000, 0x1000, 0x1000}, {0x3000, 0x100, 0}});
    memory.PutU16(base + kNtOffset + 6, 0xFFFF);
    memory.reads = 0;
    SectionHit hit;
    EXPECT_FALSE(FindSection(memory, base, base + 0x9000, hit));
    EXPECT_LT(memory.reads, 100);  // stopped where the table left memory
    ASSERT_TRUE(FindSection(memory, base, base + 0x3004, hit));
    EXPECT_EQ(hit.number, 2u);
    EXPECT_EQ(hit.offset, 4u);
}

TEST(FindSection, RandomHeaderBytesNeverReadOutsideMemory) {
    // Hostile headers with valid signatures: whatever the counts and offsets
    // say, the answer names a section in the table or none, and every read
    // goes through the reader (the fake memory refuses reads outside it).
    std::mt19937 random(20261207);
    for (int round = 0; round < 3000; ++round) {
        constexpr Address base = 0x00400000;
        FakeMemory memory;
        auto& region = memory.Map(base, 0x200 + random() % 0x400, false);
        for (auto& byte : region.bytes) byte = static_cast<unsigned char>(random());
        memory.PutU16(base, 0x5A4D);
        const std::uint32_t ntOffset = random() % 0x300;
        memory.PutU32(base + 60, ntOffset);
        if (ntOffset + 4 <= region.bytes.size()) memory.PutU32(base + ntOffset, 0x00004550);
        std::uint16_t count = 0;
        memory.ReadU16(base + ntOffset + 6, count);
        SectionHit hit;
        if (FindSection(memory, base, base + random() % 0x100000, hit)) {
            EXPECT_GE(hit.number, 1u);
            EXPECT_LE(hit.number, count);
        }
    }
}

}  // namespace
}  // namespace vexa::crash
