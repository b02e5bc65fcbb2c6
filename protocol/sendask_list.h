// The object behind notification kind 14: a dynamic array of IM_SENDASK_ITEM
// laid out as the IM program expects it (table pointer, entries, count,
// allocated count, growth step).
//
// The handler owns the object and its entries for the whole notification and
// releases them once, afterwards. The table's slots exist for callers that
// treat the object as a framework array; none of them frees anything, so a
// caller that "deletes" the object cannot release the handler's memory.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "VexaIMPlusRecords.h"

namespace vexa::protocol {

// What the run-time-class slot returns: a fixed description of the object.
struct SendAskListClass {
    const char* className;
    int32_t objectSize;
    int32_t itemSize;
};

// The one table every list object points to.
const IM_SENDASK_LIST_VTABLE& SendAskListTable();
const SendAskListClass& SendAskListRuntimeClass();

// One entry "text:number". The text before the first ':' (all of it when
// there is none) must fit the 32-byte field with its zero; an entry whose
// text is longer is refused rather than cut, since a shortened text would
// name a different entry.
bool ParseSendAskEntry(std::string_view entry, IM_SENDASK_ITEM& item);

class SendAskList {
public:
    SendAskList();
    SendAskList(const SendAskList&) = delete;
    SendAskList& operator=(const SendAskList&) = delete;

    // Grows the array by one entry.
    void Append(const IM_SENDASK_ITEM& item);
    int Count() const { return static_cast<int>(items_.size()); }
    // The object to pass as lParam; valid until the next Append or the end of
    // this SendAskList.
    const IM_SENDASK_LIST* Object();

private:
    std::vector<IM_SENDASK_ITEM> items_;
    IM_SENDASK_LIST object_;
};

}  // namespace vexa::protocol
