// The part of the crash report that depends on the word size of the process:
// which registers the thread's CONTEXT holds, and how its stack is walked
// (saved frame pointers on 32-bit x86, the modules' unwind data on x64).
// Everything else of the reporter is the same on both targets.
#pragma once

#include <windows.h>

#include "crash/memory_reader.h"
#include "crash/report_writer.h"

namespace vexa::crash {

// Writes the report of an exception raised with this thread context. Runs
// inside the filter: it allocates nothing, and what it needs beyond the
// stack is prepared beforehand (one report at a time).
void WriteThreadReport(ReportWriter& writer, ReportSink& sink, const ExceptionFacts& facts, const CONTEXT& context,
                       const MemoryReader& memory);

}  // namespace vexa::crash
