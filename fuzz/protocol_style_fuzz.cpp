// TextToStyle on any text: the record stays well formed, and one trip through
// StyleToText and back reaches a fixed point.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/protocol_fuzz_support.h"
#include "protocol/style.h"

using namespace vexa;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    IM_CHARFORMAT first;
    fuzz::Require(protocol::TextToStyle(input, first));
    fuzz::Require(first.cbSize == 60 && first.dwMask == protocol::kStyleMask);
    fuzz::Require((first.dwEffects & ~7u) == 0);
    fuzz::Require(std::memchr(first.szFaceName, 0, sizeof first.szFaceName) != nullptr);
    fuzz::Require(first.yOffset == 0 && first.bCharSet == 0 && first.bPitchAndFamily == 0);
    fuzz::Require(first.padding[0] == 0 && first.padding[1] == 0);

    const std::string text = protocol::StyleToText(first);
    IM_CHARFORMAT second;
    protocol::TextToStyle(text, second);
    fuzz::Require(second.dwEffects == first.dwEffects);
    fuzz::Require(second.crTextColor == first.crTextColor);
    fuzz::Require(std::strcmp(second.szFaceName, first.szFaceName) == 0);
    fuzz::Require(protocol::TwipsToPoints(second.yHeight) == protocol::TwipsToPoints(first.yHeight));

    IM_CHARFORMAT third;
    protocol::TextToStyle(protocol::StyleToText(second), third);
    fuzz::Require(std::memcmp(&second, &third, sizeof second) == 0);
    return 0;
}
