#include "ipc/shared_block_win32.h"

#include "ipc/shared_packet.h"

namespace vexa::ipc {

bool Win32SharedBlock::Create() {
    if (mapped_) Release();
    mapping_.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBlockSize, Name().c_str()));
    // The name is taken, typically by an IM program that already runs.
    if (mapping_ && ::GetLastError() == ERROR_ALREADY_EXISTS) {
        mapping_.reset();
        return false;
    }
    // A mapping the system refused for any other reason is a failure too: a
    // create that reports success without a view would only surface later as
    // silently dropped packets.
    if (!mapping_) return false;
    view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view_) {
        mapping_.reset();
        return false;
    }
    mapped_ = true;
    return true;
}

bool Win32SharedBlock::Open() {
    mapping_.reset(::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, Name().c_str()));
    if (!mapping_) return false;
    view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    return static_cast<bool>(view_);
}

void Win32SharedBlock::Release() {
    view_.reset();
    mapping_.reset();
    mapped_ = false;
}

}  // namespace vexa::ipc
