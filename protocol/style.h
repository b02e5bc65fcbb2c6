// The chat text style: the rich-edit character format of a chat record and
// its text form "Bold=..,Underline=..,Italic=..,TextColor=..,Size=..,FaceName=.."
// inside the <imzt> element of a chat body.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "VexaIMPlusRecords.h"

namespace vexa::protocol {

constexpr uint32_t kEffectBold = 0x1;
constexpr uint32_t kEffectItalic = 0x2;
constexpr uint32_t kEffectUnderline = 0x4;
// Size, colour, face, bold, italic, underline: every part TextToStyle fills.
constexpr uint32_t kStyleMask = 0xE0000007u;

// Twips to whole points through whole pixels of 15 twips: p * 3 / 4 rounded to
// the nearest point, halves going down. 180 -> 9, 200 -> 10, 225 -> 11.
int TwipsToPoints(int32_t twips);
// The inverse on whole points: TwipsToPoints(PointsToTwips(s)) == s for every
// s >= 0 whose result fits. A result beyond the int32 range is held at its
// limit instead of overflowing (the point size comes from outside).
int PointsToTwips(int32_t points);

// The style text of a character format. dwMask is not consulted; the face
// name is read up to its NUL or its full 32 bytes.
std::string StyleToText(const IM_CHARFORMAT& format);
// The same text appended to out, for builders that write one buffer.
void AppendStyleText(std::string& out, const IM_CHARFORMAT& format);

// Fills out from a style text; keys are read in the order StyleToText writes
// them, a missing key reads as 0. The text is read up to its first NUL. A face
// name longer than the 31 bytes szFaceName can hold is dropped, leaving the
// face empty: a cut name would name no font, or the wrong one, or end in half
// a character, while an empty face keeps the control's own font. Always true.
bool TextToStyle(std::string_view text, IM_CHARFORMAT& out);

}  // namespace vexa::protocol
