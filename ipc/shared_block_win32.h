// The shared block on a named file mapping backed by the paging file.
#pragma once

#include "ipc/shared_block.h"
#include "platform/handles_win32.h"

namespace vexa::ipc {

class Win32SharedBlock final : public SharedBlock {
public:
    ~Win32SharedBlock() override { Release(); }
    bool Create() override;
    bool Open() override;
    unsigned char* View() override { return static_cast<unsigned char*>(view_.get()); }
    void Release() override;
    bool Mapped() const { return mapped_; }

private:
    platform::KernelHandle mapping_;
    platform::MappedView view_;
    bool mapped_ = false;
};

}  // namespace vexa::ipc
