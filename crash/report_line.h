// Formatting of the report's lines into a fixed buffer, without allocation,
// so that it can run inside the exception filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace vexa::crash {

// One line is formatted into this many bytes: at most 1023 bytes of text and
// the terminator. Longer output is cut.
constexpr std::size_t kLineCapacity = 1024;

// An argument of a report line: a number (a 32-bit value or a 64-bit
// address) or a NUL-terminated text.
class FormatArg {
public:
    FormatArg(std::uint32_t number) : number_(number) {}
    FormatArg(std::uint64_t number) : number_(number) {}
    FormatArg(const char* text) : text_(text), isText_(true) {}

    bool IsText() const { return isText_; }
    std::uint64_t Number() const { return number_; }
    const char* Text() const { return text_; }

private:
    std::uint64_t number_ = 0;
    const char* text_ = nullptr;
    bool isText_ = false;
};

// Formats into out (kLineCapacity bytes, always terminated) and returns the
// number of bytes formatted. The format is one of the report's own constant
// texts, never text from outside: it knows "%X" with an optional zero-padded
// width ("%016X", "%08X", "%04X", "%02X": upper-case hexadecimal, at least
// that many digits), "%s" (the text up to its terminator) and "%%". A directive without
// a matching argument, or with an argument of the other kind, prints nothing;
// any other "%" sequence is copied as it stands.
std::size_t FormatReportLine(char* out, const char* format, std::initializer_list<FormatArg> args);

// The report's time stamp, "%Y-%m-%d,%H:%M:%S" ("2026-12-07,09:05:03"), into
// out (at least kTimeTextCapacity bytes). Fields wider than their digits are
// printed in full, never wrapped.
constexpr std::size_t kTimeTextCapacity = 32;
void FormatReportTime(char* out, unsigned year, unsigned month, unsigned day, unsigned hour,
                      unsigned minute, unsigned second);

}  // namespace vexa::crash
