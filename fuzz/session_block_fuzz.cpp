// Whatever another process leaves in a shared block, and whatever length it
// announces, the session's readers stay inside the block and every record
// they hand to the window is a whole, readable record.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ipc/shared_packet.h"
#include "plus/session.h"

namespace {

using vexa::plus::Window;

class FuzzBlock final : public vexa::ipc::SharedBlock {
public:
    bool Create() override { return true; }
    bool Open() override { return true; }
    unsigned char* View() override { return memory.data(); }
    void Release() override {}
    std::vector<unsigned char> memory = std::vector<unsigned char>(vexa::ipc::kBlockSize, 0);
};

class FuzzPlatform final : public vexa::plus::SessionPlatform {
public:
    std::unique_ptr<vexa::ipc::SharedBlock> MakeBlock() override { return std::make_unique<FuzzBlock>(); }
    std::intptr_t SendWindowMessage(Window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        // Touch every byte the window may read, so a short record shows up
        // under the address sanitizer.
        const auto* bytes = reinterpret_cast<const volatile unsigned char*>(lParam);
        std::size_t size = 0;
        if (message == WM_IMPLUS_NOTIFY) {
            if (wParam == IMN_HOST_LOGIN) size = sizeof(IM_USER_LOGINDATA);
            if (wParam == IMN_HOST_USERDATA) size = sizeof(IM_USERCHANGEDATA);
            if (wParam == IMN_HOST_POSITION) size = sizeof(IM_USER_POSITION);
            if (wParam == IMN_HOST_RECORD) size = IM_HOST_RECORD_SIZE;
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i < size; ++i) sum += bytes[i];
        return static_cast<long>(sum & 1);
    }
    bool PostWindowMessage(Window, unsigned, std::uintptr_t, std::intptr_t) override { return true; }
    bool IsWindowAlive(Window w) override { return w != nullptr; }
    void ShowMessageBox(Window, const std::string&, const std::string&, unsigned) override {}
    void DebugOutput(const std::string&) override {}
    std::unique_ptr<vexa::net::Transport> MakeTransport() override { return nullptr; }
    std::string LocalTimeText() override { return "20260101 00:00:00"; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    FuzzPlatform platform;
    vexa::plus::PlusSession session(platform);
    Window own = reinterpret_cast<Window>(1), other = reinterpret_cast<Window>(2);
    session.Init(own, other, data[0] & 1 ? 0 : 7);
    std::uint32_t announced;
    std::memcpy(&announced, data + 1, 4);
    // Half the inputs announce a length that matches the header they carry.
    if (data[0] & 2) announced %= 2100;
    std::size_t content = size - 5 < vexa::ipc::kPacketArea ? size - 5 : vexa::ipc::kPacketArea;
    for (auto* block : {&session.RevBlock(), &session.SendBlock()}) {
        std::memcpy(block->View(), data + 5, content);
        if (data[0] & 4) std::memcpy(block->View() + 4, &announced, 4);
    }
    session.DealProcCommand(announced);
    session.DealIMCommand(announced);
    return 0;
}
