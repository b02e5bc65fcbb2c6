// The flat C interface: each function forwards to the same method of one
// IMPlusDLL object, so the C callers and the C++ callers share the session,
// the IM window title and every rule of the class.
#include "VexaIMPlusC.h"

#include <cstring>
#include <string>

#include "VexaIMPlus.h"
#include "plus/launch_win32.h"

namespace {

// Made at the first call, as a C++ caller makes its object before its first
// call; its constructor sets the IM window title. The class holds no data, so
// one object serves every thread.
IMPlusDLL& Plus() {
    static IMPlusDLL plus;
    return plus;
}

IMString Text(const char* text) { return IMString(text); }

// Copies `text` with its NUL into a caller's buffer of `size` bytes when it
// fits; otherwise the buffer receives the empty text. A text cut short could
// end inside a double-byte character or name another file, so it is never
// handed out. False when the text did not fit.
bool CopyOut(const std::string& text, char* buffer, unsigned int size) {
    if (!buffer || size == 0) return false;
    if (text.size() + 1 > size) {
        buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

extern "C" {

int VEXAIMC_CALL VexaIM_IM_PlusInit(HWND own, HWND host, int role) {
    return Plus().IM_PlusInit(own, host, static_cast<PROMID>(role)) ? 1 : 0;
}
void VEXAIMC_CALL VexaIM_IM_ResetOutPromWnd(HWND host) { Plus().IM_ResetOutPromWnd(host); }
void VEXAIMC_CALL VexaIM_IM_SetIMSvrParam(const char* address, unsigned int port) {
    Plus().IM_SetIMSvrParam(Text(address), port);
}
int VEXAIMC_CALL VexaIM_IM_SetIMSvrSecurity(int mode, const char* fingerprint) {
    return Plus().IM_SetIMSvrSecurity(static_cast<IMSECURITY>(mode), Text(fingerprint)) ? 1 : 0;
}
int VEXAIMC_CALL VexaIM_IM_LoginSvr(const IM_USER_LOGINDATA* login) {
    return Plus().IM_LoginSvr(const_cast<IM_USER_LOGINDATA*>(login)) ? 1 : 0;
}
void VEXAIMC_CALL VexaIM_IM_KeepActive(void) { Plus().IM_KeepActive(); }
void VEXAIMC_CALL VexaIM_IM_ExitSvr(void) { Plus().IM_ExitSvr(); }
void VEXAIMC_CALL VexaIM_IM_CloseClient(void) { Plus().IM_CloseClient(); }
void VEXAIMC_CALL VexaIM_IM_GetInitData(int n) { Plus().IM_GetInitData(n); }
void VEXAIMC_CALL VexaIM_IM_SendChatMsg(const IM_CHAT_DATA* chat) {
    Plus().IM_SendChatMsg(const_cast<IM_CHAT_DATA*>(chat));
}
void VEXAIMC_CALL VexaIM_IM_AskAddFLMsg(const char* user, const char* text, int withText) {
    Plus().IM_AskAddFLMsg(Text(user), Text(text), withText);
}
void VEXAIMC_CALL VexaIM_IM_ReplyAddFLMsg(const char* user, const char* text, int agree, int n) {
    Plus().IM_ReplyAddFLMsg(Text(user), Text(text), agree != 0, n);
}
void VEXAIMC_CALL VexaIM_IM_QuityAddBL(const char* user, int n) { Plus().IM_QuityAddBL(Text(user), n); }
void VEXAIMC_CALL VexaIM_IM_QuityDelFL(const char* user) { Plus().IM_QuityDelFL(Text(user)); }
void VEXAIMC_CALL VexaIM_IM_SendInviteMsg(const char* user) { Plus().IM_SendInviteMsg(Text(user)); }
void VEXAIMC_CALL VexaIM_IM_ChangeStatus(const IM_USER_CHANGESTATUS* status) {
    Plus().IM_ChangeStatus(const_cast<IM_USER_CHANGESTATUS*>(status));
}
void VEXAIMC_CALL VexaIM_IM_ChangePosition(const IM_USER_POSITION* position) {
    Plus().IM_ChangePosition(const_cast<IM_USER_POSITION*>(position));
}
void VEXAIMC_CALL VexaIM_IM_ChangeUserInfo(const IM_USERCHANGEDATA* data) {
    Plus().IM_ChangeUserInfo(const_cast<IM_USERCHANGEDATA*>(data));
}
void VEXAIMC_CALL VexaIM_IM_GetUserInfo(const char* user) { Plus().IM_GetUserInfo(Text(user)); }
void VEXAIMC_CALL VexaIM_IM_Ask1V1Msg(const char* user) { Plus().IM_Ask1V1Msg(Text(user)); }
void VEXAIMC_CALL VexaIM_IM_Reply1V1Msg(const char* user, int agree) { Plus().IM_Reply1V1Msg(Text(user), agree); }
void VEXAIMC_CALL VexaIM_IM_Stop1V1Msg(const char* user) { Plus().IM_Stop1V1Msg(Text(user)); }
void VEXAIMC_CALL VexaIM_IM_SendAsk_SendFileMsg(const char* unused) { Plus().IM_SendAsk_SendFileMsg(Text(unused)); }
int VEXAIMC_CALL VexaIM_IM_SendDataToPROM(int command, const void* data, unsigned int length) {
    return Plus().IM_SendDataToPROM(static_cast<IMCOMMAND>(command), data, length);
}
void VEXAIMC_CALL VexaIM_IM_DealProcCommand(unsigned int length) { Plus().IM_DealProcCommand(length); }

int VEXAIMC_CALL VexaIM_PROM_PlusInit(int role, HWND own, HWND im) {
    return Plus().PROM_PlusInit(static_cast<PROMID>(role), own, im) ? 1 : 0;
}
void VEXAIMC_CALL VexaIM_PROM_PlusUnInit(void) { Plus().PROM_PlusUnInit(); }
void VEXAIMC_CALL VexaIM_PROM_SetVexaIMWnd(HWND im) { Plus().PROM_SetVexaIMWnd(im); }
void VEXAIMC_CALL VexaIM_PROM_SendMsgToIM(int notice) { Plus().PROM_SendMsgToIM(static_cast<PROM_VexaIM_MSG>(notice)); }
int VEXAIMC_CALL VexaIM_PROM_SendDataToIM(int command, const void* data, unsigned int length) {
    return Plus().PROM_SendDataToIM(static_cast<PROGCOMMAND>(command), data, length);
}
void VEXAIMC_CALL VexaIM_PROM_DealIMCommand(unsigned int length) { Plus().PROM_DealIMCommand(length); }
int VEXAIMC_CALL VexaIM_PROM_CheckIMExist(HWND im) { return Plus().PROM_CheckIMExist(im); }
int VEXAIMC_CALL VexaIM_PROM_CheckIMSetup(char* path, unsigned int size) {
    Plus();
    std::string found;
    int result = vexa::plus::CheckIMSetup(found);
    bool copied = CopyOut(found, path, size);
    return copied ? result : 0;
}
int VEXAIMC_CALL VexaIM_PROM_InstallVexaIM(HWND parent, const char* installerPath) {
    return Plus().PROM_InstallVexaIM(parent, Text(installerPath));
}
int VEXAIMC_CALL VexaIM_PROM_RunVexaIMProgram(HWND host, const char* programPath) {
    return Plus().PROM_RunVexaIMProgram(host, Text(programPath));
}

int VEXAIMC_CALL VexaIM_IsExsitOutProgram(void) { return Plus().IsExsitOutProgram(); }
int VEXAIMC_CALL VexaIM_IsExsitIMProgram(void) { return Plus().IsExsitIMProgram(); }
HWND VEXAIMC_CALL VexaIM_GetOutputHwnd(void) { return Plus().GetOutputHwnd(); }
int VEXAIMC_CALL VexaIM_IsInitPlus(void) { return Plus().IsInitPlus(); }
unsigned int VEXAIMC_CALL VexaIM_IMPlus_GetIMTitle(char* title, unsigned int size) {
    IMString text = Plus().IMPlus_GetIMTitle();
    CopyOut(std::string(text.c_str(), text.length()), title, size);
    return static_cast<unsigned int>(text.length());
}

}  // extern "C"
