// VexaIMPlus: the plug-in library shared by an IM program and its host
// programs. One exported class, IMPlusDLL; every object of it acts on the one
// process-wide session of the library.
//
// Strings are GBK (code page 936) and every length counts bytes. The records
// that cross the boundary, the roles, commands and notices are declared in
// VexaIMPlusRecords.h.
#ifndef VEXAIMPLUS_H
#define VEXAIMPLUS_H

#include <windows.h>

#include <cstring>

#include "VexaIMPlusRecords.h"

#if defined(VEXAIMPLUS_BUILD)
#define VEXAIMPLUS_API __declspec(dllexport)
#else
#define VEXAIMPLUS_API __declspec(dllimport)
#endif

// A counted GBK string. Its bytes always live on the process heap and every
// operation is inline, so either side of the DLL boundary may make, copy and
// free one.
class IMString {
public:
    IMString() noexcept : data_(nullptr), length_(0) {}
    IMString(const char* text) : data_(nullptr), length_(0) { assign(text, text ? std::strlen(text) : 0); }
    IMString(const char* bytes, size_t length) : data_(nullptr), length_(0) { assign(bytes, length); }
    IMString(const IMString& other) : data_(nullptr), length_(0) { assign(other.data_, other.length_); }
    IMString(IMString&& other) noexcept : data_(other.data_), length_(other.length_) {
        other.data_ = nullptr;
        other.length_ = 0;
    }
    IMString& operator=(const IMString& other) {
        if (this != &other) assign(other.data_, other.length_);
        return *this;
    }
    IMString& operator=(IMString&& other) noexcept {
        if (this != &other) {
            release();
            data_ = other.data_;
            length_ = other.length_;
            other.data_ = nullptr;
            other.length_ = 0;
        }
        return *this;
    }
    ~IMString() { release(); }

    // The bytes, always followed by a NUL; "" when empty.
    const char* c_str() const { return data_ ? data_ : ""; }
    size_t length() const { return length_; }
    bool empty() const { return length_ == 0; }

    void assign(const char* bytes, size_t length) {
        char* copy = nullptr;
        if (bytes && length > 0) {
            copy = static_cast<char*>(::HeapAlloc(::GetProcessHeap(), 0, length + 1));
            if (!copy) length = 0;
            else {
                std::memcpy(copy, bytes, length);
                copy[length] = '\0';
            }
        } else {
            length = 0;
        }
        release();
        data_ = copy;
        length_ = length;
    }

private:
    void release() {
        if (data_) ::HeapFree(::GetProcessHeap(), 0, data_);
        data_ = nullptr;
        length_ = 0;
    }
    char* data_;
    size_t length_;
};

class VEXAIMPLUS_API IMPlusDLL {
public:
    // Sets the library-wide IM window title to "VexaIM_V1.0Beta".
    IMPlusDLL();
    // Copies nothing and leaves the title alone.
    IMPlusDLL(const IMPlusDLL&);
    IMPlusDLL& operator=(const IMPlusDLL&);
    virtual ~IMPlusDLL();

    // ---- IM program
    bool IM_PlusInit(HWND ownWindow, HWND hostWindow, PROMID role);
    void IM_ResetOutPromWnd(HWND hostWindow);
    void IM_SetIMSvrParam(IMString address, unsigned int port);
    // How the next connect is protected: plain TCP (the default), or TLS
    // checked against the system's trusted roots and the host name given to
    // IM_SetIMSvrParam, or TLS checked against the SHA-256 fingerprint of
    // the server's certificate (64 hexadecimal digits, pairs optionally
    // separated by ':'; ignored in the other modes). False for an unknown
    // mode or a fingerprint that does not parse; every login then fails with
    // kind 1 until a good setting is made, and none falls back to plain.
    bool IM_SetIMSvrSecurity(IMSECURITY mode, IMString fingerprint);
    bool IM_LoginSvr(IM_USER_LOGINDATA* login);
    void IM_KeepActive();
    void IM_ExitSvr();
    void IM_CloseClient();
    void IM_GetInitData(int n);
    void IM_SendChatMsg(IM_CHAT_DATA* chat);
    void IM_AskAddFLMsg(IMString user, IMString text, int withText);
    void IM_ReplyAddFLMsg(IMString user, IMString text, bool agree, int n);
    void IM_QuityAddBL(IMString user, int n);
    void IM_QuityDelFL(IMString user);
    void IM_SendInviteMsg(IMString user);
    void IM_ChangeStatus(IM_USER_CHANGESTATUS* status);
    void IM_ChangePosition(IM_USER_POSITION* position);
    void IM_ChangeUserInfo(IM_USERCHANGEDATA* data);
    void IM_GetUserInfo(IMString user);
    void IM_Ask1V1Msg(IMString user);
    void IM_Reply1V1Msg(IMString user, int agree);
    void IM_Stop1V1Msg(IMString user);
    void IM_SendAsk_SendFileMsg(IMString unused);
    int IM_SendDataToPROM(IMCOMMAND command, const void* data, unsigned int length);
    void IM_DealProcCommand(unsigned int length);

    // ---- host program
    bool PROM_PlusInit(PROMID role, HWND ownWindow, HWND imWindow);
    void PROM_PlusUnInit();
    void PROM_SetVexaIMWnd(HWND imWindow);
    void PROM_SendMsgToIM(PROM_VexaIM_MSG notice);
    int PROM_SendDataToIM(PROGCOMMAND command, const void* data, unsigned int length);
    void PROM_DealIMCommand(unsigned int length);
    int PROM_CheckIMExist(HWND imWindow);
    int PROM_CheckIMSetup(IMString& path);
    int PROM_InstallVexaIM(HWND parent, IMString installerPath);
    int PROM_RunVexaIMProgram(HWND hostWindow, IMString programPath);

    // ---- both sides
    int IsExsitOutProgram() const;
    int IsExsitIMProgram() const;
    HWND GetOutputHwnd() const;
    int IsInitPlus() const;
    IMString IMPlus_GetIMTitle() const;
};

#endif  // VEXAIMPLUS_H
