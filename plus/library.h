// The library's static objects, constructed at load in this order: the
// session, the IM window title, the crash reporter; destroyed in reverse.
#pragma once

#include <string>

#include "plus/session.h"

namespace vexa::plus {

PlusSession& Session();
// The process-wide IM window title: empty until the first IMPlusDLL is made.
std::string& IMWindowTitle();

}  // namespace vexa::plus
