// GBK (code page 936) text operations of the protocol core.
//
// Everything the library reads from the server, the shared blocks or the
// registry is GBK text whose limits count bytes. A separator or marker only
// counts where a character begins: a lead byte 0x81-0xFE followed by a trail
// byte 0x40-0xFE (except 0x7F) is one two-byte character, every other byte is
// a character of its own. These rules hold whatever code page the process
// runs under, so the same code gives the same answers natively and on Windows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vexa::text {

constexpr std::size_t npos = std::string_view::npos;

inline bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
inline bool IsTrailByte(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }

// Length in bytes of the character that starts at text[pos].
inline std::size_t CharLength(std::string_view text, std::size_t pos) {
    if (pos + 1 < text.size() && IsLeadByte(static_cast<unsigned char>(text[pos])) &&
        IsTrailByte(static_cast<unsigned char>(text[pos + 1])))
        return 2;
    return 1;
}

// First occurrence of needle in text that begins on a character boundary,
// or npos. An empty needle is found at 0. Linear in the text: at most the
// needle's length in byte comparisons per byte of text, and on ASCII text
// close to the speed of memchr.
std::size_t Find(std::string_view text, std::string_view needle);

// The same answer as Find by walking every character from the start; slower,
// kept as the reference that tests and fuzz targets compare Find with.
std::size_t FindByWalking(std::string_view text, std::string_view needle);

// Cuts the next field off the front of text: the bytes before the first
// separator (the whole text when there is none), and text continues after
// the separator.
std::string_view TakeField(std::string_view& text, std::string_view separator);

// The value of the first element delimited by open and close; text continues
// after the close marker. A missing marker or an empty element yields an empty
// value and leaves text unchanged. An empty close marker (or one found at the
// very start of text) takes everything after the open marker.
std::string_view TakeBetween(std::string_view& text, std::string_view open, std::string_view close);

// The runtime's atoi/atol: leading blanks, an optional sign, decimal digits up
// to the first non-digit; 0 when there are none. Overflow wraps to 32 bits as
// the 32-bit runtime's conversion would be expected to stay within int range.
int AtoI(std::string_view text);
long AtoL(std::string_view text);

// The text up to its first NUL, at most max bytes (for fixed-width fields).
std::string_view CString(const char* text, std::size_t max);

// A counted text as the C runtime sees it: up to its first NUL, if any.
std::string_view UpToNul(std::string_view text);

// Byte-exact comparison of two multibyte strings read as C strings, that is up
// to their first NUL (_mbscmp == 0).
bool Equal(std::string_view a, std::string_view b);
// Comparison ignoring ASCII letter case only (_mbsicmp == 0 in code page 936:
// the bytes of two-byte characters are never folded), also up to the first NUL.
bool EqualNoCase(std::string_view a, std::string_view b);

}  // namespace vexa::text
