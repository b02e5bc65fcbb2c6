// A named shared-memory block as the session sees it. The Win32 block lives in
// shared_block_win32.h; tests use an in-memory twin with the same contract.
#pragma once

#include <string>

namespace vexa::ipc {

class SharedBlock {
public:
    virtual ~SharedBlock() = default;

    void SetName(std::string name) { name_ = std::move(name); }
    const std::string& Name() const { return name_; }

    // Creates the named object and maps it; false when the name is taken.
    virtual bool Create() = 0;
    // Opens the existing named object and maps it; true when a view was obtained.
    virtual bool Open() = 0;
    // The mapped view (8193 bytes), or null.
    virtual unsigned char* View() = 0;
    // Unmaps and closes; harmless at any time, also twice.
    virtual void Release() = 0;

private:
    std::string name_;
};

}  // namespace vexa::ipc
