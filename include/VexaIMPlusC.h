/*
 * VexaIMPlus — the flat C interface of the plug-in library.
 *
 * The exported C++ class IMPlusDLL can only be called by programs built with
 * the same C++ compiler. These functions offer the same operations to every
 * other caller (MSVC, Delphi, Visual Basic, C# through P/Invoke): one function
 * per method of the class, plain C types, the __stdcall convention, and
 * undecorated names in the DLL's export table (VexaIM_IM_PlusInit, never
 * _VexaIM_IM_PlusInit@12). They act on the same process-wide session as the
 * class, so a program may mix both.
 *
 * Strings are NUL-terminated GBK (code page 936); a null pointer is taken as
 * the empty string. Every length counts bytes. Results of type int are 0 for
 * failure or no. Window handles are Win32 HWND.
 *
 * The header compiles as C89 and as C++.
 */
#ifndef VEXAIMPLUSC_H
#define VEXAIMPLUSC_H

#include <windows.h>

#include "VexaIMPlusRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VEXAIMPLUS_BUILD)
#define VEXAIMC_API __declspec(dllexport)
#else
#define VEXAIMC_API __declspec(dllimport)
#endif
#define VEXAIMC_CALL __stdcall

/* Roles, commands and notices: the values of the enumerations in
   VexaIMPlusRecords.h, as numbers the preprocessor can use. */
#define VEXAIM_ROLE_IM 0
#define VEXAIM_IMCOMMAND_DATA 8
#define VEXAIM_PROGCOMMAND_LOGIN 1
#define VEXAIM_PROGCOMMAND_USER_RECORD 2
#define VEXAIM_PROGCOMMAND_USER_DATA 3
#define VEXAIM_PROGCOMMAND_POSITION 4
#define VEXAIM_MSG_HOST_UNLOADED 3
#define VEXAIM_MSG_PACKET 4
#define VEXAIM_SECURITY_PLAIN 0
#define VEXAIM_SECURITY_TLS_SYSTEM 1
#define VEXAIM_SECURITY_TLS_PINNED 2
IMPLUS_SAME(VEXAIM_ROLE_IM, PROMID_IM);
IMPLUS_SAME(VEXAIM_IMCOMMAND_DATA, IMCOMMAND_DATA);
IMPLUS_SAME(VEXAIM_PROGCOMMAND_LOGIN, PROGCOMMAND_LOGIN);
IMPLUS_SAME(VEXAIM_PROGCOMMAND_USER_RECORD, PROGCOMMAND_USER_RECORD);
IMPLUS_SAME(VEXAIM_PROGCOMMAND_USER_DATA, PROGCOMMAND_USER_DATA);
IMPLUS_SAME(VEXAIM_PROGCOMMAND_POSITION, PROGCOMMAND_POSITION);
IMPLUS_SAME(VEXAIM_MSG_HOST_UNLOADED, PROM_VexaIM_MSG_HOST_UNLOADED);
IMPLUS_SAME(VEXAIM_MSG_PACKET, PROM_VexaIM_MSG_PACKET);
IMPLUS_SAME(VEXAIM_SECURITY_PLAIN, IMSECURITY_PLAIN);
IMPLUS_SAME(VEXAIM_SECURITY_TLS_SYSTEM, IMSECURITY_TLS_SYSTEM);
IMPLUS_SAME(VEXAIM_SECURITY_TLS_PINNED, IMSECURITY_TLS_PINNED);

/* Bytes that always hold the installed program's path with its NUL
   (VexaIM_PROM_CheckIMSetup), and the IM window title with its NUL. */
#define VEXAIM_PATH_SIZE 80
#define VEXAIM_TITLE_SIZE 64

/* ---- IM program */
VEXAIMC_API int VEXAIMC_CALL VexaIM_IM_PlusInit(HWND ownWindow, HWND hostWindow, int role);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_ResetOutPromWnd(HWND hostWindow);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_SetIMSvrParam(const char* address, unsigned int port);
/* mode: a VEXAIM_SECURITY_ value; fingerprint: for the pinned mode, the
   server certificate's SHA-256 as 64 hexadecimal digits, pairs optionally
   separated by ':'. 0 when refused: every login then fails (kind 1) until a
   good setting is made; nothing falls back to plain TCP. */
VEXAIMC_API int VEXAIMC_CALL VexaIM_IM_SetIMSvrSecurity(int mode, const char* fingerprint);
VEXAIMC_API int VEXAIMC_CALL VexaIM_IM_LoginSvr(const IM_USER_LOGINDATA* login);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_KeepActive(void);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_ExitSvr(void);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_CloseClient(void);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_GetInitData(int n);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_SendChatMsg(const IM_CHAT_DATA* chat);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_AskAddFLMsg(const char* user, const char* text, int withText);
/* agree: non-zero for yes. */
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_ReplyAddFLMsg(const char* user, const char* text, int agree, int n);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_QuityAddBL(const char* user, int n);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_QuityDelFL(const char* user);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_SendInviteMsg(const char* user);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_ChangeStatus(const IM_USER_CHANGESTATUS* status);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_ChangePosition(const IM_USER_POSITION* position);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_ChangeUserInfo(const IM_USERCHANGEDATA* data);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_GetUserInfo(const char* user);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_Ask1V1Msg(const char* user);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_Reply1V1Msg(const char* user, int agree);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_Stop1V1Msg(const char* user);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_SendAsk_SendFileMsg(const char* unused);
/* 1 when the packet was written and announced, 0 when refused. */
VEXAIMC_API int VEXAIMC_CALL VexaIM_IM_SendDataToPROM(int command, const void* data, unsigned int length);
VEXAIMC_API void VEXAIMC_CALL VexaIM_IM_DealProcCommand(unsigned int length);

/* ---- host program */
VEXAIMC_API int VEXAIMC_CALL VexaIM_PROM_PlusInit(int role, HWND ownWindow, HWND imWindow);
VEXAIMC_API void VEXAIMC_CALL VexaIM_PROM_PlusUnInit(void);
VEXAIMC_API void VEXAIMC_CALL VexaIM_PROM_SetVexaIMWnd(HWND imWindow);
VEXAIMC_API void VEXAIMC_CALL VexaIM_PROM_SendMsgToIM(int notice);
/* The IM window's answer, 0 when refused. */
VEXAIMC_API int VEXAIMC_CALL VexaIM_PROM_SendDataToIM(int command, const void* data, unsigned int length);
VEXAIMC_API void VEXAIMC_CALL VexaIM_PROM_DealIMCommand(unsigned int length);
VEXAIMC_API int VEXAIMC_CALL VexaIM_PROM_CheckIMExist(HWND imWindow);
/* 1 when the registry names an existing IM program. When size is not 0, the
   buffer always receives a NUL-terminated text: the registered path when it
   could be read and fits, the empty text otherwise. A path that does not fit
   gives result 0, since the caller could not start it. VEXAIM_PATH_SIZE
   bytes always suffice. */
VEXAIMC_API int VEXAIMC_CALL VexaIM_PROM_CheckIMSetup(char* path, unsigned int size);
VEXAIMC_API int VEXAIMC_CALL VexaIM_PROM_InstallVexaIM(HWND parent, const char* installerPath);
VEXAIMC_API int VEXAIMC_CALL VexaIM_PROM_RunVexaIMProgram(HWND hostWindow, const char* programPath);

/* ---- both sides */
VEXAIMC_API int VEXAIMC_CALL VexaIM_IsExsitOutProgram(void);
VEXAIMC_API int VEXAIMC_CALL VexaIM_IsExsitIMProgram(void);
VEXAIMC_API HWND VEXAIMC_CALL VexaIM_GetOutputHwnd(void);
VEXAIMC_API int VEXAIMC_CALL VexaIM_IsInitPlus(void);
/* The length of the IM window title in bytes. When size is not 0 the buffer
   receives the title with its NUL if it fits, the empty text otherwise. */
VEXAIMC_API unsigned int VEXAIMC_CALL VexaIM_IMPlus_GetIMTitle(char* title, unsigned int size);

#ifdef __cplusplus
}
#endif

#endif /* VEXAIMPLUSC_H */
