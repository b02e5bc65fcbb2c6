// A crashed process's memory can hold anything: damaged module headers, a
// frame chain that loops or points anywhere. The section lookup and the
// frame walk must stay inside what the reader says is readable and always
// end, and give the same through the report's page cache; the report path
// must never name the executable itself.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crash/cached_memory.h"
#include "crash/frame_walk.h"
#include "crash/pe_sections.h"
#include "crash/report_path.h"

namespace {

using vexa::crash::Address;

// The input is the memory of one region at a fixed base; everything else is
// unreadable. The upper half of the region counts as writable stack.
class FuzzMemory final : public vexa::crash::MemoryReader {
public:
    FuzzMemory(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {}
    bool Read(Address address, void* out, std::size_t size) const override {
        if (!Inside(address, size)) return false;
        std::memcpy(out, bytes_.data() + (address - kBase), size);
        return true;
    }
    bool IsWritable(Address address, std::size_t size) const override {
        return Inside(address, size) && address - kBase >= bytes_.size() / 2;
    }
    static constexpr Address kBase = 0x00400000;

private:
    bool Inside(Address address, std::size_t size) const {
        return address >= kBase && address - kBase <= bytes_.size() && size <= bytes_.size() - (address - kBase);
    }
    std::vector<std::uint8_t> bytes_;
};

class CountingVisitor final : public vexa::crash::FrameVisitor {
public:
    void OnFrame(Address, Address frame) override {
        // Frames strictly grow, so no more frames than 4-byte steps exist.
        if (frames > 0 && frame <= last) __builtin_trap();
        last = frame;
        ++frames;
    }
    Address last = 0;
    std::uint32_t frames = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    Address eipOffset, ebpOffset;
    std::memcpy(&eipOffset, data, 4);
    std::memcpy(&ebpOffset, data + 4, 4);
    FuzzMemory memory(data + 8, size - 8);
    const Address span = static_cast<Address>(size - 8 + 16);

    auto cached = std::make_unique<vexa::crash::CachedMemory>(memory);
    const Address address = FuzzMemory::kBase + eipOffset % span;
    vexa::crash::SectionHit hit{}, cachedHit{};
    const bool found = vexa::crash::FindSection(memory, FuzzMemory::kBase, address, hit);
    if (vexa::crash::FindSection(*cached, FuzzMemory::kBase, address, cachedHit) != found ||
        (found && (hit.number != cachedHit.number || hit.offset != cachedHit.offset)))
        __builtin_trap();

    CountingVisitor visitor, cachedVisitor;
    vexa::crash::WalkFrames(memory, FuzzMemory::kBase + eipOffset, FuzzMemory::kBase + ebpOffset % span, visitor);
    vexa::crash::WalkFrames(*cached, FuzzMemory::kBase + eipOffset, FuzzMemory::kBase + ebpOffset % span,
                            cachedVisitor);
    if (visitor.frames != cachedVisitor.frames || visitor.last != cachedVisitor.last) __builtin_trap();

    // The same bytes as an executable path.
    std::string path(reinterpret_cast<const char*>(data + 8), size - 8);
    path = path.substr(0, path.find('\0'));
    char report[260];
    if (vexa::crash::MakeReportPath(path.c_str(), report, sizeof report)) {
        if (std::memchr(report, '\0', sizeof report) == nullptr) __builtin_trap();
        if (!path.empty() && path == report) __builtin_trap();
    }
    return 0;
}
