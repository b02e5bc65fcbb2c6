#include "protocol/sendask_list.h"

#include <cstring>

#include "protocol/incoming.h"
#include "protocol/text.h"

namespace vexa::protocol {

namespace {

const SendAskListClass kRuntimeClass = {"IM_SENDASK_LIST", static_cast<int32_t>(sizeof(IM_SENDASK_LIST)),
                                        static_cast<int32_t>(sizeof(IM_SENDASK_ITEM))};

void* IMPLUS_THISCALL ListRuntimeClass(const void*) { return const_cast<SendAskListClass*>(&kRuntimeClass); }

// The handler frees the entries after the notification; a caller that runs
// the destructor only empties its view of them, so nothing is freed twice and
// a later read sees an empty list instead of released memory.
void IMPLUS_THISCALL ListDeletingDestructor(void* self, unsigned int) {
    if (!self) return;
    auto* list = static_cast<IM_SENDASK_LIST*>(self);
    list->items = nullptr;
    list->count = 0;
    list->allocated = 0;
}

// The list is never written to an archive: it lives for one notification.
void IMPLUS_THISCALL ListSerialize(void*, void*) {}
// The layout is checked when the list is built; there is nothing to assert later.
void IMPLUS_THISCALL ListAssertValid(const void*) {}
// No diagnostic context exists in this library to dump into.
void IMPLUS_THISCALL ListDump(const void*, void*) {}

const IM_SENDASK_LIST_VTABLE kTable = {ListRuntimeClass, ListDeletingDestructor, ListSerialize, ListAssertValid,
                                       ListDump};

}  // namespace

const IM_SENDASK_LIST_VTABLE& SendAskListTable() { return kTable; }
const SendAskListClass& SendAskListRuntimeClass() { return kRuntimeClass; }

bool ParseSendAskEntry(std::string_view entry, IM_SENDASK_ITEM& item) {
    std::memset(&item, 0, sizeof item);
    std::string_view text = text::TakeField(entry, ":");
    if (text.size() >= sizeof item.text) return false;
    CopyField(item.text, text);
    item.value = text::AtoI(entry);
    return true;
}

SendAskList::SendAskList() { std::memset(&object_, 0, sizeof object_); }

void SendAskList::Append(const IM_SENDASK_ITEM& item) { items_.push_back(item); }

const IM_SENDASK_LIST* SendAskList::Object() {
    object_.vtable = &kTable;
    object_.items = items_.empty() ? nullptr : items_.data();
    object_.count = static_cast<int32_t>(items_.size());
    // The array grows by one entry each time, so it holds exactly its entries.
    object_.allocated = object_.count;
    object_.growBy = 1;
    return &object_;
}

}  // namespace vexa::protocol
