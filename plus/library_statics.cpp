// All static objects of the library live in this one file, so their order of
// construction (and the reverse order of destruction at unload) is the order
// in which they stand here.
#include "plus/library.h"
#include "plus/session_platform_win32.h"

#if VEXA_HAS_CRASH_REPORTER
#include "crash/crash_reporter_win32.h"
#endif

namespace vexa::plus {
namespace {
Win32SessionPlatform platform;
PlusSession session(platform);
std::string imWindowTitle;
#if VEXA_HAS_CRASH_REPORTER
vexa::crash::CrashReporter crashReporter;
#endif
}  // namespace

PlusSession& Session() { return session; }
std::string& IMWindowTitle() { return imWindowTitle; }

}  // namespace vexa::plus
