#include "crash/frame_walk.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "tests/crash/fake_memory.h"

namespace vexa::crash {
namespace {

using testing::FakeMemory;
using Line = std::pair<Address, Address>;  // pc, frame

class Recorder : public FrameVisitor {
public:
    void OnFrame(Address pc, Address frame) override { lines.emplace_back(pc, frame); }
    std::vector<Line> lines;
};

constexpr Address kStack = 0x0012F000;
constexpr Address kStackSize = 0x1000;
constexpr Address kCode = 0x00401000;
constexpr Address kEip = 0x00401234;

// A stack page (writable) and a code page (read-only), with saved
// (frame pointer, return address) pairs planted at the given frames.
struct Case {
    const char* what;
    Address ebp;
    std::vector<std::pair<Address, std::pair<Address, Address>>> frames;  // frame -> (next, return)
    std::vector<Line> expected;
};

TEST(WalkFrames, StopsExactlyWhereTheChainFailsItsChecks) {
    const Case cases[] = {
        {"EBP of 0: one line, pc = EIP, frame 0", 0, {}, {{kEip, 0}}},
        {"three frames ending in a null saved frame",
         kStack + 0x100,
         {{kStack + 0x100, {kStack + 0x200, 0x00401111}},
          {kStack + 0x200, {kStack + 0x300, 0x00402222}},
          {kStack + 0x300, {0, 0x00403333}}},
         {{kEip, kStack + 0x100}, {0x00401111, kStack + 0x200}, {0x00402222, kStack + 0x300}}},
        {"saved frame lower than the current one",
         kStack + 0x200,
         {{kStack + 0x200, {kStack + 0x100, 0x00401111}}},
         {{kEip, kStack + 0x200}}},
        {"saved frame equal to the current one",
         kStack + 0x200,
         {{kStack + 0x200, {kStack + 0x200, 0x00401111}}},
         {{kEip, kStack + 0x200}}},
        {"a cycle of two frames",
         kStack + 0x100,
         {{kStack + 0x100, {kStack + 0x200, 0x00401111}}, {kStack + 0x200, {kStack + 0x100, 0x00402222}}},
         {{kEip, kStack + 0x100}, {0x00401111, kStack + 0x200}}},
        {"misaligned EBP", kStack + 0x102, {}, {{kEip, kStack + 0x102}}},
        {"misaligned saved frame",
         kStack + 0x100,
         {{kStack + 0x100, {kStack + 0x203, 0x00401111}}},
         {{kEip, kStack + 0x100}}},
        {"frame in read-only code", kCode + 0x10, {}, {{kEip, kCode + 0x10}}},
        {"frame whose 8 bytes leave the stack", kStack + kStackSize - 4, {}, {{kEip, kStack + kStackSize - 4}}},
        {"frame at the top of the address space", 0xFFFFFFFC, {}, {{kEip, 0xFFFFFFFC}}},
        {"chain leading into unmapped memory",
         kStack + 0x100,
         {{kStack + 0x100, {0x00200000, 0x00401111}}},
         {{kEip, kStack + 0x100}, {0x00401111, 0x00200000}}},
        {"chain leading into read-only code",
         kStack + 0x100,
         {{kStack + 0x100, {kCode + 0x10, 0x00401111}}},
         {{kEip, kStack + 0x100}, {0x00401111, kCode + 0x10}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeMemory memory;
        memory.Map(kStack, kStackSize, true);
        memory.Map(kCode, 0x1000, false);
        for (const auto& [frame, saved] : c.frames) {
            memory.PutU32(frame, saved.first);
            memory.PutU32(frame + 4, saved.second);
        }
        Recorder recorder;
        const std::uint32_t lines = WalkFrames(memory, kEip, c.ebp, recorder);
        EXPECT_EQ(recorder.lines, c.expected);
        EXPECT_EQ(lines, recorder.lines.size());
    }
}

TEST(WalkFrames, NoReadBeforeTheFrameIsChecked) {
    const Address frames[] = {0, 2, kCode, kStack + kStackSize - 4, 0xFFFFFFFC};
    for (Address ebp : frames) {
        FakeMemory memory;
        memory.Map(kStack, kStackSize, true);
        memory.Map(kCode, 0x1000, false);
        Recorder recorder;
        WalkFrames(memory, kEip, ebp, recorder);
        EXPECT_EQ(memory.reads, 0) << std::hex << ebp;
        EXPECT_EQ(recorder.lines.size(), 1u);
    }
}

TEST(WalkFrames, TheLongestChainAStackCanHoldEnds) {
    // Every frame 8 bytes above the last, through the whole stack page.
    FakeMemory memory;
    memory.Map(kStack, kStackSize, true);
    for (Address frame = kStack; frame < kStack + kStackSize; frame += 8) {
        memory.PutU32(frame, frame + 8);
        memory.PutU32(frame + 4, frame);
    }
    Recorder recorder;
    WalkFrames(memory, kEip, kStack, recorder);
    // The last frame's saved pointer leads out of the page: printed, then the end.
    ASSERT_EQ(recorder.lines.size(), kStackSize / 8 + 1);
    EXPECT_EQ(recorder.lines.back(), Line(kStack + kStackSize - 8, kStack + kStackSize));
}

TEST(WalkFrames, RandomStackContentAlwaysEnds) {
    // Hostile stacks: frames strictly grow, so no walk visits more than one
    // line per four bytes of writable memory, plus the first and the last.
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        FakeMemory memory;
        auto& stack = memory.Map(kStack, kStackSize, true);
        for (auto& byte : stack.bytes) byte = static_cast<unsigned char>(random());
        // Bias a share of the words towards plausible frame pointers.
        for (Address at = kStack; at < kStack + kStackSize; at += 4)
            if (random() % 2) memory.PutU32(at, kStack + (random() % kStackSize & ~3u));
        Recorder recorder;
        const Address ebp = kStack + (random() % kStackSize & ~3u);
        WalkFrames(memory, kEip, ebp, recorder);
        ASSERT_LE(recorder.lines.size(), kStackSize / 4 + 2);
        for (std::size_t i = 1; i < recorder.lines.size(); ++i)
            ASSERT_GT(recorder.lines[i].second, recorder.lines[i - 1].second);
    }
}

// An unwinder that knows each frame's caller from a table: stack pointer ->
// (caller's pc, caller's stack pointer).
class TableUnwinder : public Unwinder {
public:
    bool Unwind(Address& pc, Address& stack) override {
        ++calls;
        for (const auto& [at, caller] : callers)
            if (at == stack) {
                pc = caller.first;
                stack = caller.second;
                return true;
            }
        return false;
    }
    std::vector<std::pair<Address, Line>> callers;
    int calls = 0;
};

TEST(WalkUnwound, StopsWhereTheUnwindingEnds) {
    constexpr Address kRip = 0x00007FF612341234;
    constexpr Address kRsp = 0x000000000014F000;
    struct UnwindCase {
        const char* what;
        std::vector<std::pair<Address, Line>> callers;
        std::vector<Line> expected;
    };
    const UnwindCase cases[] = {
        {"no caller known: one line, pc = RIP, frame = RSP", {}, {{kRip, kRsp}}},
        {"three frames ending at a pc of 0",
         {{kRsp, {0x00007FF611110000, kRsp + 0x28}},
          {kRsp + 0x28, {0x00007FFA22220000, kRsp + 0x58}},
          {kRsp + 0x58, {0, kRsp + 0x60}}},
         {{kRip, kRsp}, {0x00007FF611110000, kRsp + 0x28}, {0x00007FFA22220000, kRsp + 0x58}}},
        {"caller's stack below the frame", {{kRsp, {0x00007FF611110000, kRsp - 0x28}}}, {{kRip, kRsp}}},
        {"caller's stack equal to the frame", {{kRsp, {0x00007FF611110000, kRsp}}}, {{kRip, kRsp}}},
        {"caller's stack misaligned", {{kRsp, {0x00007FF611110000, kRsp + 0x2C}}}, {{kRip, kRsp}}},
        {"a cycle of two frames",
         {{kRsp, {0x00007FF611110000, kRsp + 0x28}}, {kRsp + 0x28, {0x00007FF622220000, kRsp}}},
         {{kRip, kRsp}, {0x00007FF611110000, kRsp + 0x28}}},
        {"addresses above 4 GiB throughout",
         {{kRsp, {0xFFFFF80012345678, 0x0000001000000000}}, {0x0000001000000000, {0, 0x0000001000000008}}},
         {{kRip, kRsp}, {0xFFFFF80012345678, 0x0000001000000000}}},
    };
    for (const UnwindCase& c : cases) {
        SCOPED_TRACE(c.what);
        TableUnwinder unwinder;
        unwinder.callers = c.callers;
        Recorder recorder;
        EXPECT_EQ(WalkUnwound(unwinder, kRip, kRsp, recorder), c.expected.size());
        EXPECT_EQ(recorder.lines, c.expected);
    }
}

}  // namespace
}  // namespace vexa::crash
