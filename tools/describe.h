// One readable line per notification, for transcripts of the demo programs
// and for test failure messages; no part of the library. Text fields are read only within their
// width and their GBK bytes are kept as they are.
#pragma once

#include <string>

namespace vexa::demo {

// kind: wParam of WM_IMPLUS_NOTIFY on the IM side; lParam: the record (or the
// small value of a posted kind, passed as an address). Kinds 1, 2, 5..9, 11,
// 12, 14..23 and 51..54 are rendered field by field; others by number only.
// A null record for a kind that needs one gives "<kind name> (no record)".
std::string DescribeNotification(int kind, const void* lParam);

}  // namespace vexa::demo
