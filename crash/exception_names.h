// Names of the exception codes the report spells out itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::crash {

// The name of a well-known exception code ("ACCESS_VIOLATION" for
// 0xC0000005), or nullptr for a code outside the table; the Win32 side then
// asks the system's message table.
const char* KnownExceptionName(std::uint32_t code);

// Makes a system message fit on one report line in place: every CR and LF
// becomes a blank, and trailing blanks are dropped. The report's lines end in
// a line feed alone, and a message table's text ends in CR LF.
void MakeSingleLine(char* text, std::size_t capacity);

}  // namespace vexa::crash
