#include "protocol/style.h"

#include <cstring>
#include <limits>

#include "protocol/text.h"

namespace vexa::protocol {

int TwipsToPoints(int32_t twips) {
    const int32_t pixels = twips / 15;
    return pixels - pixels / 4 - (pixels % 4 > 1 ? 1 : 0);
}

int PointsToTwips(int32_t points) {
    // 64-bit arithmetic: 4 * points alone overflows int32 for a size that a
    // hostile peer can put into the style text.
    const int64_t quarter = (4 * static_cast<int64_t>(points)) / 3;
    const int64_t twips = (quarter + (quarter % 4 > 1 ? 1 : 0)) * 15;
    if (twips > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (twips < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int>(twips);
}

std::string StyleToText(const IM_CHARFORMAT& format) {
    std::string out;
    out.reserve(96);
    AppendStyleText(out, format);
    return out;
}

void AppendStyleText(std::string& out, const IM_CHARFORMAT& format) {
    const std::string_view face = text::CString(format.szFaceName, sizeof format.szFaceName);
    out.append("Bold=").append((format.dwEffects & kEffectBold) ? "1" : "0");
    out.append(",Underline=").append((format.dwEffects & kEffectUnderline) ? "1" : "0");
    out.append(",Italic=").append((format.dwEffects & kEffectItalic) ? "1" : "0");
    // The colour goes out as a signed 32-bit decimal, as "%ld" of the 32-bit
    // runtime writes it.
    out.append(",TextColor=").append(std::to_string(static_cast<int32_t>(format.crTextColor)));
    out.append(",Size=").append(std::to_string(TwipsToPoints(format.yHeight)));
    out.append(",FaceName=").append(face);
}

bool TextToStyle(std::string_view text, IM_CHARFORMAT& out) {
    std::memset(&out, 0, sizeof out);
    out.cbSize = sizeof out;
    out.dwMask = kStyleMask;
    std::string_view rest = text::UpToNul(text);
    auto effect = [&](std::string_view key, uint32_t bit) {
        if (text::AtoI(text::TakeBetween(rest, key, ",")) != 0) out.dwEffects |= bit;
    };
    effect("Bold=", kEffectBold);
    effect("Underline=", kEffectUnderline);
    effect("Italic=", kEffectItalic);
    out.crTextColor = static_cast<uint32_t>(text::AtoL(text::TakeBetween(rest, "TextColor=", ",")));
    out.yHeight = PointsToTwips(text::AtoI(text::TakeBetween(rest, "Size=", ",")));
    const std::string_view face = text::TakeBetween(rest, "FaceName=", "");
    if (!face.empty() && face.size() < sizeof out.szFaceName) std::memcpy(out.szFaceName, face.data(), face.size());
    return true;
}

}  // namespace vexa::protocol
