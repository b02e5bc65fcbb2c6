// PlusSession: the one process-wide object behind every exported method.
//
// The same library is loaded by the IM program (role 0) and by host programs
// (any other role). The role decides whether the session creates or opens the
// two shared blocks and which window is whose. All work runs on the thread of
// the calling program that owns its window; the session takes no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "VexaIMPlusRecords.h"
#include "ipc/shared_block.h"
#include "net/client_connection.h"
#include "plus/session_platform.h"
#include "protocol/incoming.h"

namespace vexa::plus {

class PlusSession : private net::ConnectionHost, private protocol::DeliveryPort {
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
    // The window's whole answer: on a 64-bit target an answer above 32 bits
    // is still positive.
    std::intptr_t NotifyOwn(int kind, std::intptr_t lParam);
    void ReportLoginResult(int result, std::string_view message) override;
    bool PostServerClosed() override;
    void ReportServerSignal();

    // The server connection.
    void SetServerParam(std::string address, unsigned port) { connection_.SetServerParam(std::move(address), port); }
    bool SetServerSecurity(int mode, std::string_view fingerprint) { return connection_.SetSecurity(mode, fingerprint); }
    virtual bool Login(const IM_USER_LOGINDATA* login);
    void KeepActive() { connection_.KeepActive(); }
    void SendExitRequest() { connection_.SendExitRequest(); }
    void CloseClient() { connection_.CloseClient(); }
    // The own user id: userId of the last login data, empty before any login.
    virtual std::string_view OwnId() const;
    net::ClientConnection& Connection() { return connection_; }

    // The requests to the server; each is dropped silently when its
    // precondition fails or no connection is up.
    void GetInitData(int n);
    void SendChatMsg(const IM_CHAT_DATA* chat);
    void AskAddFriend(std::string_view user, std::string_view text, int withText);
    void ReplyAddFriend(std::string_view user, std::string_view text, bool agree, int n);
    void AddBlacklist(std::string_view user, int n);
    void DeleteFriend(std::string_view user);
    void SendInvite(std::string_view user);
    void ChangeStatus(const IM_USER_CHANGESTATUS* status);
    virtual void ChangePosition(const IM_USER_POSITION* position);
    void ChangeUserInfo(const IM_USERCHANGEDATA* data);
    void GetUserInfo(std::string_view user);
    void Ask1V1(std::string_view user);
    void Reply1V1(std::string_view user, int agree);
    void Stop1V1(std::string_view user);
    void SendAskSendFile();

    void SetHostLaunchedIM() { hostLaunchedIM_ = true; }
    std::int32_t Role() const { return role_; }
    bool Creator() const { return creator_; }
    Window OwnWindow() const { return ownWindow_; }
    ipc::SharedBlock& SendBlock() { return *sendBlock_; }
    ipc::SharedBlock& RevBlock() { return *revBlock_; }

protected:
    SessionPlatform& platform_;

private:
    // What the connection and the incoming handlers ask of the session.
    void ShowMessage(const std::string& gbk) override;
    void HandleServerPacket(const char* bytes, int size) override;
    std::unique_ptr<net::Transport> MakeTransport() override;
    std::unique_ptr<net::TlsEngine> MakeTlsEngine(const std::string& serverName) override;
    void DebugLine(const char* gbk) override;
    long Notify(int kind, const void* lParam) override;
    void Post(int kind, long lParam) override;
    void SendRequest(const std::string& framedRequest) override;
    void DebugLine(const std::string& gbk) override;
    std::string LocalTimeText() override;
    void Send(const std::optional<std::string>& request);

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
    // Last, so it is torn down first: its socket may still call back.
    net::ClientConnection connection_;
};

}  // namespace vexa::plus
