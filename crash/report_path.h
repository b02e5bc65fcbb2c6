// Where a process's crash reports go: beside its executable, under the
// executable's name with the extension "RPT".
#pragma once

#include <cstddef>

namespace vexa::crash {

// Room for a path, terminator included, as the system's path calls use it.
constexpr std::size_t kPathCapacity = 260;

// Turns the executable's full path into the report path, into out (capacity
// bytes). 'D:\App\host.exe' and 'D:\App\host.html' both give 'D:\App\host.RPT':
// an extension of 3 bytes or more is replaced by "RPT". A file name without
// such an extension ('host', 'host.ex', or a path whose only "." lies in a
// directory) gets ".RPT" appended instead, and so does an executable whose
// own extension is already "RPT": the report must never be written into the
// executable. The path is GBK; separators count only where a character
// begins. Returns false, with out empty, when there is no path or the result
// does not fit; the reporter then writes no report rather than a wrong one.
bool MakeReportPath(const char* executablePath, char* out, std::size_t capacity);

}  // namespace vexa::crash
