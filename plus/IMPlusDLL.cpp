// The exported class: one-line forwarders to the process-wide session.
#include "VexaIMPlus.h"

#include "plus/launch_win32.h"
#include "plus/library.h"
#include "protocol/system_texts.h"

using vexa::plus::Session;

namespace {
// A counted string as the text the request builders read: up to its first
// NUL, as the framework string's text would be.
std::string_view View(const IMString& s) { return std::string_view(s.c_str()); }
}  // namespace

IMPlusDLL::IMPlusDLL() { vexa::plus::IMWindowTitle() = vexa::texts::kIMWindowTitle; }
IMPlusDLL::IMPlusDLL(const IMPlusDLL&) {}
IMPlusDLL& IMPlusDLL::operator=(const IMPlusDLL&) { return *this; }
IMPlusDLL::~IMPlusDLL() {}

bool IMPlusDLL::IM_PlusInit(HWND own, HWND host, PROMID role) { return Session().Init(own, host, role); }
void IMPlusDLL::IM_ResetOutPromWnd(HWND host) { Session().SetOtherWindow(host); }
void IMPlusDLL::IM_SetIMSvrParam(IMString address, unsigned int port) {
    Session().SetServerParam(std::string(address.c_str(), address.length()), port);
}
bool IMPlusDLL::IM_SetIMSvrSecurity(IMSECURITY mode, IMString fingerprint) {
    return Session().SetServerSecurity(mode, std::string_view(fingerprint.c_str(), fingerprint.length()));
}
bool IMPlusDLL::IM_LoginSvr(IM_USER_LOGINDATA* login) { return Session().Login(login); }
void IMPlusDLL::IM_KeepActive() { Session().KeepActive(); }
void IMPlusDLL::IM_ExitSvr() { Session().SendExitRequest(); }
void IMPlusDLL::IM_CloseClient() { Session().CloseClient(); }
void IMPlusDLL::IM_GetInitData(int n) { Session().GetInitData(n); }
void IMPlusDLL::IM_SendChatMsg(IM_CHAT_DATA* chat) { Session().SendChatMsg(chat); }
void IMPlusDLL::IM_AskAddFLMsg(IMString user, IMString text, int withText) {
    Session().AskAddFriend(View(user), View(text), withText);
}
void IMPlusDLL::IM_ReplyAddFLMsg(IMString user, IMString text, bool agree, int n) {
    Session().ReplyAddFriend(View(user), View(text), agree, n);
}
void IMPlusDLL::IM_QuityAddBL(IMString user, int n) { Session().AddBlacklist(View(user), n); }
void IMPlusDLL::IM_QuityDelFL(IMString user) { Session().DeleteFriend(View(user)); }
void IMPlusDLL::IM_SendInviteMsg(IMString user) { Session().SendInvite(View(user)); }
void IMPlusDLL::IM_ChangeStatus(IM_USER_CHANGESTATUS* status) { Session().ChangeStatus(status); }
void IMPlusDLL::IM_ChangePosition(IM_USER_POSITION* position) { Session().ChangePosition(position); }
void IMPlusDLL::IM_ChangeUserInfo(IM_USERCHANGEDATA* data) { Session().ChangeUserInfo(data); }
void IMPlusDLL::IM_GetUserInfo(IMString user) { Session().GetUserInfo(View(user)); }
void IMPlusDLL::IM_Ask1V1Msg(IMString user) { Session().Ask1V1(View(user)); }
void IMPlusDLL::IM_Reply1V1Msg(IMString user, int agree) { Session().Reply1V1(View(user), agree); }
void IMPlusDLL::IM_Stop1V1Msg(IMString user) { Session().Stop1V1(View(user)); }
// The string is not used: the request carries the own id only.
void IMPlusDLL::IM_SendAsk_SendFileMsg(IMString) { Session().SendAskSendFile(); }
int IMPlusDLL::IM_SendDataToPROM(IMCOMMAND command, const void* data, unsigned int length) {
    return Session().SendDataToPROM(command, data, length);
}

bool IMPlusDLL::PROM_PlusInit(PROMID role, HWND own, HWND im) { return Session().Init(own, im, role); }
void IMPlusDLL::PROM_PlusUnInit() { Session().Uninit(); }
void IMPlusDLL::PROM_SetVexaIMWnd(HWND im) { Session().SetOtherWindow(im); }
void IMPlusDLL::PROM_SendMsgToIM(PROM_VexaIM_MSG notice) { Session().SendMsgToIM(notice); }
int IMPlusDLL::PROM_SendDataToIM(PROGCOMMAND command, const void* data, unsigned int length) {
    return Session().SendDataToIM(command, data, length);
}
void IMPlusDLL::PROM_DealIMCommand(unsigned int length) { Session().DealIMCommand(length); }

int IMPlusDLL::IsExsitOutProgram() const { return Session().IsExsitOutProgram(); }
int IMPlusDLL::IsExsitIMProgram() const { return Session().IsExsitIMProgram(); }
HWND IMPlusDLL::GetOutputHwnd() const { return static_cast<HWND>(Session().GetOutputHwnd()); }
int IMPlusDLL::IsInitPlus() const { return Session().IsInitPlus(); }
IMString IMPlusDLL::IMPlus_GetIMTitle() const {
    const std::string& title = vexa::plus::IMWindowTitle();
    return IMString(title.data(), title.size());
}
void IMPlusDLL::IM_DealProcCommand(unsigned int length) { Session().DealProcCommand(length); }

// Installation and launch of the IM program, for a host.
int IMPlusDLL::PROM_CheckIMExist(HWND im) { return vexa::plus::CheckIMExist(Session(), im, vexa::plus::IMWindowTitle()); }
int IMPlusDLL::PROM_CheckIMSetup(IMString& path) { return vexa::plus::CheckIMSetup(path); }
int IMPlusDLL::PROM_InstallVexaIM(HWND parent, IMString installer) {
    return vexa::plus::InstallVexaIM(parent, std::string(installer.c_str(), installer.length()));
}
int IMPlusDLL::PROM_RunVexaIMProgram(HWND host, IMString program) {
    return vexa::plus::RunVexaIMProgram(Session(), host, std::string(program.c_str(), program.length()));
}
