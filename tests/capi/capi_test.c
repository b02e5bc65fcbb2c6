/*
 * The flat C interface under Wine, written in plain C as its callers write
 * it: this program is the IM program; it starts a second copy of itself as
 * the host program, and the two talk through VexaIMPlus.dll using only the
 * functions of VexaIMPlusC.h. A small TCP listener on loopback stands in for
 * the IM server, to see the login request leave through the C interface.
 *
 * Exit code 0 when every check held; each failed check is printed.
 */
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "VexaIMPlusC.h"

#define HOST_ROLE 7
#define MSG_HOST_READY (WM_APP + 1) /* host -> IM: wParam = host window */
#define ANSWER_TOIM 4321            /* what the IM window answers to a packet */
#define TIMER_ID 1

static int failures = 0;
static const char* side = "im";

static void Check(int ok, const char* what, long got) {
    if (!ok) {
        printf("FAIL [%s] %s (got %ld)\n", side, what, got);
        ++failures;
    } else {
        printf("ok   [%s] %s\n", side, what);
    }
    fflush(stdout);
}

static void Fill(unsigned char* bytes, unsigned int n, unsigned int seed) {
    unsigned int i;
    for (i = 0; i < n; ++i) bytes[i] = (unsigned char)((i * 7 + seed) & 0xff);
}

static int Matches(const unsigned char* bytes, unsigned int n, unsigned int seed) {
    unsigned int i;
    for (i = 0; i < n; ++i)
        if (bytes[i] != (unsigned char)((i * 7 + seed) & 0xff)) return 0;
    return 1;
}

/* ---- what the windows saw */
static HWND hostWindow = NULL;   /* IM side: the host's window once it said so */
static int userDataSeen = 0;     /* IM side: kind 52 with the host's bytes */
static int notificationsSeen = 0;
static int imDataSeen = 0;       /* host side: kind 2 with the IM program's bytes */
static int timedOut = 0;
static int hostReadySeen = 0;

static LRESULT CALLBACK ImProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    switch (m) {
    case WM_IMPLUS_TOIM:
        if (wp == VEXAIM_MSG_PACKET) VexaIM_IM_DealProcCommand((unsigned int)lp);
        return ANSWER_TOIM;
    case WM_IMPLUS_NOTIFY:
        ++notificationsSeen;
        if (wp == IMN_HOST_USERDATA && Matches((const unsigned char*)lp, sizeof(IM_USERCHANGEDATA), 3))
            ++userDataSeen;
        return 1;
    case MSG_HOST_READY:
        hostWindow = (HWND)wp;
        hostReadySeen = 1;
        return 0;
    case WM_TIMER:
        timedOut = 1;
        return 0;
    }
    return DefWindowProcA(w, m, wp, lp);
}

static LRESULT CALLBACK HostProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    switch (m) {
    case WM_IMPLUS_TOPROM:
        if (wp == IMPLUS_TOPROM_WPARAM) VexaIM_PROM_DealIMCommand((unsigned int)lp);
        return 0;
    case WM_IMPLUS_NOTIFY:
        if (wp == IMN_IM_DATA && Matches((const unsigned char*)lp, 100, 8)) ++imDataSeen;
        return 1;
    case WM_TIMER:
        timedOut = 1;
        return 0;
    }
    return DefWindowProcA(w, m, wp, lp);
}

static HWND MakeWindow(const char* className, const char* caption, WNDPROC proc) {
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = className;
    RegisterClassA(&wc);
    return CreateWindowA(className, caption, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL, NULL, wc.hInstance, NULL);
}

/* Pumps messages until *flag is set, the process ends (when given) or the
   ten-second timer fires. */
static void PumpUntil(const int* flag, HANDLE process, HWND timerWindow) {
    timedOut = 0;
    SetTimer(timerWindow, TIMER_ID, 10000, NULL);
    while (!timedOut && !(flag && *flag)) {
        MSG msg;
        DWORD n = process ? 1 : 0;
        DWORD r = MsgWaitForMultipleObjects(n, &process, FALSE, 200, QS_ALLINPUT);
        if (process && r == WAIT_OBJECT_0) break;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    KillTimer(timerWindow, TIMER_ID);
}

/* ---- host program: second process, argv: host <IM window> */
static int HostMain(HWND imWindow) {
    unsigned char data[sizeof(IM_USERCHANGEDATA)];
    HWND own;
    side = "host";
    own = MakeWindow("VexaCApiHost", "CApiHost", HostProc);

    /* The IM window is found by its caption, the library's IM window title. */
    Check(VexaIM_PROM_CheckIMExist(NULL) == 1, "CheckIMExist finds the IM window by its title", 0);
    Check(VexaIM_GetOutputHwnd() == imWindow, "the found window becomes the other window", 0);
    Check(VexaIM_PROM_PlusInit(HOST_ROLE, own, imWindow) == 1, "PROM_PlusInit opens the IM program's blocks", 0);
    Check(VexaIM_IsInitPlus() == 1 && VexaIM_IsExsitIMProgram() == 1 && VexaIM_IsExsitOutProgram() == 1,
          "host queries: initialised, both windows exist", 0);

    /* Command 3: exactly a user data record becomes kind 52 on the IM side;
       the result is the IM window's own answer. */
    Fill(data, sizeof data, 3);
    {
        int r = VexaIM_PROM_SendDataToIM(VEXAIM_PROGCOMMAND_USER_DATA, data, sizeof data);
        Check(r == ANSWER_TOIM, "PROM_SendDataToIM returns the IM window's answer", r);
    }
    /* Refused without a payload or beyond the block. */
    Check(VexaIM_PROM_SendDataToIM(VEXAIM_PROGCOMMAND_USER_DATA, NULL, 10) == 0, "null payload refused", 0);
    Check(VexaIM_PROM_SendDataToIM(VEXAIM_PROGCOMMAND_USER_DATA, data, 0) == 0, "empty payload refused", 0);
    {
        static unsigned char big[8184];
        Check(VexaIM_PROM_SendDataToIM(VEXAIM_PROGCOMMAND_USER_DATA, big, sizeof big) == 0,
              "8184 bytes refused", 0);
    }

    PostMessageA(imWindow, MSG_HOST_READY, (WPARAM)own, 0);
    PumpUntil(&imDataSeen, NULL, own);
    Check(imDataSeen == 1, "IM_SendDataToPROM command 8 arrives as kind 2 with its bytes", imDataSeen);

    VexaIM_PROM_PlusUnInit();
    Check(VexaIM_IsInitPlus() == 0 && VexaIM_GetOutputHwnd() == NULL, "PROM_PlusUnInit clears the session", 0);
    DestroyWindow(own);
    return failures == 0 ? 0 : 1;
}

/* ---- checks of the C-only contracts, in the IM process */
static void TitleChecks(void) {
    char title[VEXAIM_TITLE_SIZE];
    char small[10];
    unsigned int n;
    memset(title, 'x', sizeof title);
    n = VexaIM_IMPlus_GetIMTitle(title, sizeof title);
    Check(n == 15 && strcmp(title, "VexaIM_V1.0Beta") == 0, "title through the C interface", (long)n);
    memset(small, 'x', sizeof small);
    n = VexaIM_IMPlus_GetIMTitle(small, sizeof small);
    Check(n == 15 && small[0] == '\0', "a short buffer gets the empty text and the length", (long)n);
    n = VexaIM_IMPlus_GetIMTitle(title, 16);
    Check(n == 15 && strcmp(title, "VexaIM_V1.0Beta") == 0, "a buffer of exactly length + 1 holds it", (long)n);
    Check(VexaIM_IMPlus_GetIMTitle(NULL, 0) == 15, "no buffer: the length alone", 0);
}

static void SetupChecks(const char* exePath) {
    char path[VEXAIM_PATH_SIZE];
    char small[8];
    HKEY key;
    int r;
    /* The tests of one prefix run one at a time; whatever another left in
       the key is removed first. */
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\VexaIMSoft");
    memset(path, 'x', sizeof path);
    r = VexaIM_PROM_CheckIMSetup(path, sizeof path);
    Check(r == 0 && path[0] == '\0', "CheckIMSetup without a registry value: 0 and the empty text", r);

    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\VexaIMSoft", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) !=
        ERROR_SUCCESS) {
        Check(0, "registry key for CheckIMSetup can be made", 0);
        return;
    }
    RegSetValueExA(key, "MainRun", 0, REG_SZ, (const BYTE*)exePath, (DWORD)strlen(exePath) + 1);
    memset(path, 'x', sizeof path);
    r = VexaIM_PROM_CheckIMSetup(path, sizeof path);
    Check(r == 1 && strcmp(path, exePath) == 0, "CheckIMSetup copies the registered, existing program", r);
    memset(small, 'x', sizeof small);
    r = VexaIM_PROM_CheckIMSetup(small, sizeof small);
    Check(r == 0 && small[0] == '\0', "a path longer than the buffer: 0 and the empty text, never a cut path", r);
    Check(VexaIM_PROM_CheckIMSetup(NULL, 0) == 0, "no buffer: 0", 0);
    RegDeleteValueA(key, "MainRun");
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\VexaIMSoft");
}

/* Requests without a connection are dropped, whatever the strings are. */
static void RequestsWithoutConnection(void) {
    IM_USER_CHANGESTATUS status;
    IM_USER_POSITION position;
    memset(&status, 0, sizeof status);
    memset(&position, 0, sizeof position);
    VexaIM_IM_GetUserInfo(NULL);
    VexaIM_IM_AskAddFLMsg(NULL, "\xc4\xe3\xba\xc3", 1);
    VexaIM_IM_ReplyAddFLMsg("10002", NULL, 1, 0);
    VexaIM_IM_QuityAddBL("", 0);
    VexaIM_IM_SendInviteMsg(NULL);
    VexaIM_IM_Ask1V1Msg(NULL);
    VexaIM_IM_Reply1V1Msg(NULL, 0);
    VexaIM_IM_Stop1V1Msg(NULL);
    VexaIM_IM_SendAsk_SendFileMsg(NULL);
    VexaIM_IM_ChangeStatus(&status);
    VexaIM_IM_ChangePosition(&position);
    VexaIM_IM_GetInitData(0);
    VexaIM_IM_KeepActive();
    VexaIM_IM_ExitSvr();
    VexaIM_IM_CloseClient();
    Check(1, "requests without a connection return quietly", 0);
}

/* Login through the C interface to a listener on loopback: the first packet
   is the login request, code 1, carrying the user id. */
static void LoginChecks(HWND own) {
    WSADATA wsa;
    SOCKET listener, peer = INVALID_SOCKET;
    struct sockaddr_in address;
    int size = sizeof address;
    IM_USER_LOGINDATA login;
    char received[256];
    int got = 0;
    DWORD start;
    u_long nonBlocking = 1;

    WSAStartup(MAKEWORD(2, 2), &wsa);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(listener, (struct sockaddr*)&address, sizeof address);
    listen(listener, 1);
    getsockname(listener, (struct sockaddr*)&address, &size);
    ioctlsocket(listener, FIONBIO, &nonBlocking);

    memset(&login, 0, sizeof login);
    strcpy(login.userId, "10001");
    strcpy(login.password, "alice123");
    Check(VexaIM_IM_SetIMSvrSecurity(VEXAIM_SECURITY_TLS_PINNED, "zz") == 0, "a fingerprint that does not parse is refused", 0);
    Check(VexaIM_IM_SetIMSvrSecurity(VEXAIM_SECURITY_PLAIN, NULL) == 1, "plain TCP is accepted again", 0);
    VexaIM_IM_SetIMSvrParam("127.0.0.1", ntohs(address.sin_port));
    Check(VexaIM_IM_LoginSvr(&login) == 1, "IM_LoginSvr starts the connection", 0);

    /* The connect notification comes through this thread's message loop. */
    start = GetTickCount();
    while (GetTickCount() - start < 10000 && got < 8 + 5 + 3 + 8) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        if (peer == INVALID_SOCKET) {
            peer = accept(listener, NULL, NULL);
            if (peer != INVALID_SOCKET) ioctlsocket(peer, FIONBIO, &nonBlocking);
        } else {
            int n = recv(peer, received + got, (int)sizeof received - 1 - got, 0);
            if (n > 0) got += n;
        }
        Sleep(10);
    }
    received[got] = '\0';
    Check(got >= 8 && memcmp(received + 4, "0001", 4) == 0, "the first packet is the login request", got);
    Check(strstr(received, "10001!|!") != NULL, "the login request carries the user id from the C record", got);

    VexaIM_IM_CloseClient();
    if (peer != INVALID_SOCKET) closesocket(peer);
    closesocket(listener);
    (void)own;
}

static int ImMain(const char* exePath) {
    HWND own;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    char commandLine[MAX_PATH + 64];
    unsigned char payload[100];
    DWORD hostExit = 99;

    TitleChecks();
    Check(VexaIM_IsInitPlus() == 0, "not initialised before IM_PlusInit", 0);
    SetupChecks(exePath);
    RequestsWithoutConnection();

    /* The IM window carries the title as its caption, as the IM program's
       does, so that the host finds it. */
    own = MakeWindow("VexaCApiIM", "VexaIM_V1.0Beta", ImProc);
    Check(VexaIM_IM_PlusInit(own, NULL, VEXAIM_ROLE_IM) == 1, "IM_PlusInit creates the blocks", 0);
    Check(VexaIM_IM_PlusInit(own, NULL, VEXAIM_ROLE_IM) == 0, "a second IM_PlusInit is refused", 0);
    Check(VexaIM_IsInitPlus() == 1 && VexaIM_IsExsitIMProgram() == 1 && VexaIM_IsExsitOutProgram() == 0,
          "IM queries before the host", 0);
    Check(VexaIM_IM_SendDataToPROM(VEXAIM_IMCOMMAND_DATA, "x", 1) == 0, "no host window: packet refused", 0);

    sprintf(commandLine, "\"%s\" host %ld", exePath, (long)(LONG_PTR)own);
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        Check(0, "the host process starts", (long)GetLastError());
        return 1;
    }
    PumpUntil(&userDataSeen, NULL, own);
    Check(userDataSeen == 1, "host command 3 arrives as kind 52 with its bytes", userDataSeen);
    PumpUntil(&hostReadySeen, NULL, own);
    Check(hostWindow != NULL, "the host says which window is its own", 0);
    VexaIM_IM_ResetOutPromWnd(hostWindow);
    Check(VexaIM_GetOutputHwnd() == hostWindow && VexaIM_IsExsitOutProgram() == 1, "IM_ResetOutPromWnd", 0);
    Fill(payload, sizeof payload, 8);
    Check(VexaIM_IM_SendDataToPROM(VEXAIM_IMCOMMAND_DATA, payload, sizeof payload) == 1, "IM_SendDataToPROM sends", 0);

    PumpUntil(NULL, pi.hProcess, own);
    if (WaitForSingleObject(pi.hProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 98);
    GetExitCodeProcess(pi.hProcess, &hostExit);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    Check(hostExit == 0, "the host process passed its checks", (long)hostExit);
    Check(notificationsSeen == 1, "the refused packets notified nothing", notificationsSeen);

    LoginChecks(own);

    VexaIM_PROM_PlusUnInit();
    Check(VexaIM_IsInitPlus() == 0, "uninitialised at the end", 0);
    DestroyWindow(own);
    printf("%s: %d failure(s)\n", failures ? "FAILED" : "PASSED", failures);
    return failures == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    char exePath[MAX_PATH];
    if (argc >= 3 && strcmp(argv[1], "host") == 0) return HostMain((HWND)(LONG_PTR)atol(argv[2]));
    GetModuleFileNameA(NULL, exePath, sizeof exePath);
    return ImMain(exePath);
}
