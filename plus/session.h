// PlusSession: the one process-wide object behind every exported method.
//
// The same library is loaded by the IM program (role 0) and by host programs
// (any other role). The role decides whether the session creates or opens the
// two shared blocks and which window is whose. All work runs on the thread of
// the calling program that owns its window; the session takes no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "VexaIMPlusRecords.h"
#include "ipc/shared_block.h"
#include "plus/session_platform.h"

namespace vexa::plus {

class PlusSession {
public:
    explicit PlusSession(SessionPlatform& platform);
    virtual ~PlusSession();
    PlusSession(const PlusSession&) = delete;
    PlusSession& operator=(const PlusSession&) = delete;

    // Initialisation and windows.
    bool Init(Window own, Window other, std::int32_t role);
    void Uninit();
    void SetOtherWindow(Window window) { otherWindow_ = window; }
    int IsExsitOutProgram() const;
    int IsExsitIMProgram() const;
    Window GetOutputHwnd() const { return otherWindow_; }
    int IsInitPlus() const { return initialised_ ? 1 : 0; }

    // The relay between the two programs.
    int SendDataToPROM(std::int32_t command, const void* data, std::uint32_t length);
    int SendDataToIM(std::int32_t command, const void* data, std::uint32_t length);
    void SendMsgToIM(std::int32_t notice);
    void DealIMCommand(std::uint32_t length);
    // The IM side's reading of a host command (commands 1 to 4).
    void DealProcCommand(std::uint32_t length);

    // Notifications to the own window.
    long NotifyOwn(int kind, std::intptr_t lParam);
    void ReportLoginResult(int result, std::string_view message);
    bool PostServerClosed();
    void ReportServerSignal();

    // The server connection, as far as the relay and host commands use it.
    virtual bool Login(const IM_USER_LOGINDATA* login);
    virtual void ChangePosition(const IM_USER_POSITION* position);
    // The own user id: userId of the last login data, empty before any login.
    virtual std::string_view OwnId() const;

    void SetHostLaunchedIM() { hostLaunchedIM_ = true; }
    std::int32_t Role() const { return role_; }
    bool Creator() const { return creator_; }
    Window OwnWindow() const { return ownWindow_; }
    ipc::SharedBlock& SendBlock() { return *sendBlock_; }
    ipc::SharedBlock& RevBlock() { return *revBlock_; }

protected:
    SessionPlatform& platform_;

private:
    // Shows the start-up failure box for a code such as "Error:201".
    void ReportInitFailure(const char* code);

    bool hostLaunchedIM_ = false;
    Window ownWindow_ = nullptr;
    Window otherWindow_ = nullptr;
    std::unique_ptr<ipc::SharedBlock> sendBlock_;
    std::unique_ptr<ipc::SharedBlock> revBlock_;
    bool creator_ = true;
    bool initialised_ = false;
    std::int32_t role_ = 0;
};

}  // namespace vexa::plus
