// vexaim.exe: a small IM program on the VexaIMPlus library.
//
//   vexaim.exe [options] [HOST_HWND]
//     HOST_HWND          the host window as a signed decimal number, as
//                        PROM_RunVexaIMProgram passes it
//     --script FILE      run the commands of a UTF-8 script file unattended
//     --log FILE         write every line of the window's log to FILE (GBK)
//     --name NAME        name for screenshots and the log's first line
//     --shots DIR        take part in the demo runner's screenshot handshake
//     --server ADDR:PORT default server for the "server" command
//     --guest            a second IM program on the same machine: the shared
//                        blocks belong to the first, so this one opens them
//                        (a non-zero role) and serves no host
//     --pos X,Y          where the window goes
//     --security MODE    how the connection to the server is protected:
//                        plain (the default), system (TLS checked against
//                        the system's trusted roots and the server's name)
//                        or pin:FINGERPRINT (TLS checked against the SHA-256
//                        fingerprint of the server's certificate)
// Every option also comes from the environment (VEXAIM_SCRIPT, VEXAIM_LOG,
// VEXAIM_NAME, VEXAIM_SHOTS, VEXAIM_SERVER, VEXAIM_GUEST, VEXAIM_POS,
// VEXAIM_SECURITY), which
// is how a host-launched IM program, whose command line is only the host
// window, gets them.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VexaIMPlus.h"
#include "tools/demo_script.h"
#include "tools/describe.h"
#include "tools/demo_window_win32.h"

using namespace vexa::demo;

namespace {

constexpr UINT kStepMessage = WM_APP + 1;
constexpr UINT kRunLineMessage = WM_APP + 2;
constexpr UINT_PTR kStepTimer = 1;
constexpr UINT_PTR kKeepAliveTimer = 2;
constexpr int kDefaultWaitMs = 20000;
// Roles other than 0 open the blocks instead of creating them.
constexpr PROMID kGuestRole = static_cast<PROMID>(77);

IMPlusDLL g_plus;
DemoLog g_log;
HWND g_window = nullptr;
HWND g_list = nullptr;
HWND g_friends = nullptr;
HWND g_input = nullptr;
HWND g_status = nullptr;
WNDPROC g_inputProc = nullptr;
std::string g_name = "im";
std::string g_shots;
std::string g_defaultServer = "127.0.0.1:7788";
std::string g_ownUser;
bool g_loggedIn = false;
bool g_unattended = false;
int g_exitCode = 0;

long long Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double Micros(long long ticks) {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    return ticks * 1e6 / static_cast<double>(frequency.QuadPart);
}

std::string Stats(std::vector<double> v) {
    if (v.empty()) return "n=0";
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5))]; };
    char text[200];
    std::snprintf(text, sizeof text, "n=%u median_us=%.1f p10_us=%.1f p90_us=%.1f min_us=%.1f",
                  static_cast<unsigned>(v.size()), at(0.5), at(0.1), at(0.9), v.front());
    return text;
}

// ---- the script runner -----------------------------------------------------

struct Runner {
    std::vector<ScriptLine> lines;
    std::size_t next = 0;
    bool active = false;
    bool inStep = false;

    // What the current command waits for.
    enum class Wait { None, Kind, Event, Sleep, BenchChat, BenchEcho } wait = Wait::None;
    int waitKind = 0;
    HANDLE waitEvent = nullptr;
    std::string waitName;
    DWORD deadline = 0;

    // Kinds that arrived and kinds a "wait" has taken, so a notification that
    // comes before its "wait" is not missed.
    std::map<int, int> received;
    std::map<int, int> taken;

    // Benchmarks.
    std::string benchPeer;
    int benchTotal = 0;
    int benchDone = 0;
    bool benchAwaiting = false;
    long long benchSentAt = 0;
    std::vector<double> roundTrips;
    std::vector<double> oneWay;

    std::map<std::string, HANDLE> events;
};
Runner g_run;

HANDLE NamedEvent(const std::string& name) {
    auto found = g_run.events.find(name);
    if (found != g_run.events.end()) return found->second;
    // Manual reset: a signal set before the other program waits stays set.
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, ("VexaDemo_" + name).c_str());
    g_run.events[name] = h;
    return h;
}

void Finish(int code) {
    if (code != 0 && g_exitCode == 0) g_exitCode = code;
    g_run.active = false;
    if (g_unattended) DestroyWindow(g_window);
}

void Fail(const std::string& why) {
    g_log.Line("!! script failed: " + why);
    Finish(1);
}

void SendChat(const std::string& peer, const ChatStyle& style, const std::string& text, int id) {
    static IM_CHAT_DATA chat;
    std::memset(&chat, 0, sizeof chat);
    chat.id = id;
    CopyField(chat.peer, sizeof chat.peer, peer);
    chat.msgType = 1;
    FillFormat(style, chat.format);
    CopyField(chat.content, sizeof chat.content, text);
    chat.contentLength = static_cast<int32_t>(std::strlen(chat.content));
    g_plus.IM_SendChatMsg(&chat);
}

void BenchTcp(int count) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        g_log.Line("!! benchtcp: no listener");
        if (listener != INVALID_SOCKET) closesocket(listener);
        return;
    }
    // A bare echo on the other end: what a server adds to a chat is measured
    // against this.
    std::thread echo([listener] {
        SOCKET peer = accept(listener, nullptr, nullptr);
        if (peer == INVALID_SOCKET) return;
        int one = 1;
        setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&one), sizeof one);
        char buffer[256];
        int n;
        while ((n = recv(peer, buffer, sizeof buffer, 0)) > 0) send(peer, buffer, n, 0);
        closesocket(peer);
    });
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    std::vector<double> trips;
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&one), sizeof one);
        // About the size of a short chat packet.
        char message[120];
        std::memset(message, 'x', sizeof message);
        for (int i = 0; i < count; ++i) {
            long long start = Now();
            if (send(client, message, sizeof message, 0) != sizeof message) break;
            int got = 0;
            char buffer[sizeof message];
            while (got < static_cast<int>(sizeof message)) {
                int n = recv(client, buffer + got, sizeof message - got, 0);
                if (n <= 0) break;
                got += n;
            }
            if (got != sizeof message) break;
            trips.push_back(Micros(Now() - start));
        }
    }
    closesocket(client);
    echo.join();
    closesocket(listener);
    g_log.Line("bench tcp_round_trip " + Stats(trips));
}

// ---- the commands: one function each, run through a table in the order of
// the command language's own (tools/demo_script.h). Each returns false when
// the command waits; the runner then steps again later.

using Words = std::vector<std::string>;

std::string Arg(const Words& w, std::size_t i) { return i < w.size() ? w[i] : std::string(); }

bool RunServer(const Words& w) {
    std::string address = Arg(w, 1), port = Arg(w, 2);
    if (w.size() == 1) {
        std::size_t colon = g_defaultServer.rfind(':');
        address = g_defaultServer.substr(0, colon);
        port = colon == std::string::npos ? "7788" : g_defaultServer.substr(colon + 1);
    }
    g_log.Line("> IM_SetIMSvrParam " + address + " " + port);
    g_plus.IM_SetIMSvrParam(IMString(address.c_str()), static_cast<unsigned>(std::atoi(port.c_str())));
    return true;
}

bool RunLogin(const Words& w) {
    IM_USER_LOGINDATA login = {};
    CopyField(login.userId, sizeof login.userId, w[1]);
    CopyField(login.password, sizeof login.password, w[2]);
    g_ownUser = login.userId;
    bool ok = g_plus.IM_LoginSvr(&login);
    g_log.Line("> IM_LoginSvr " + w[1] + " = " + (ok ? "1" : "0"));
    return true;
}

bool RunWait(const Words& w) {
    g_run.wait = Runner::Wait::Kind;
    g_run.waitKind = std::atoi(w[1].c_str());
    g_run.deadline = GetTickCount() + (w.size() > 2 ? std::atoi(w[2].c_str()) : kDefaultWaitMs);
    return false;
}

bool RunFriends(const Words& w) {
    int n = w.size() > 1 ? std::atoi(w[1].c_str()) : 0;
    g_log.Line("> IM_GetInitData " + std::to_string(n));
    g_plus.IM_GetInitData(n);
    return true;
}

bool RunChat(const Words& w) {
    ChatStyle style;
    std::string error;
    ParseStyle(w[2], style, error);
    static int chatId = 0;
    g_log.Line("> IM_SendChatMsg to=" + w[1] + " style=" + w[2] + " \"" + w[3] + "\"");
    SendChat(w[1], style, w[3], ++chatId);
    return true;
}

bool RunAsk(const Words& w) {
    g_log.Line("> IM_AskAddFLMsg " + w[1] + (w.size() > 2 ? " \"" + w[2] + "\"" : std::string()));
    g_plus.IM_AskAddFLMsg(IMString(w[1].c_str()), IMString(Arg(w, 2).c_str()), w.size() > 2 ? 1 : 0);
    return true;
}

bool RunReply(const Words& w) {
    bool agree = w[2] == "yes";
    g_log.Line("> IM_ReplyAddFLMsg " + w[1] + " " + w[2] + (w.size() > 3 ? " \"" + w[3] + "\"" : std::string()));
    g_plus.IM_ReplyAddFLMsg(IMString(w[1].c_str()), IMString(Arg(w, 3).c_str()), agree, 0);
    return true;
}

bool RunStatus(const Words& w) {
    IM_USER_CHANGESTATUS status = {};
    CopyField(status.user, sizeof status.user, g_ownUser);
    status.status = std::atoi(w[1].c_str());
    CopyField(status.note, sizeof status.note, Arg(w, 2));
    g_log.Line("> IM_ChangeStatus " + w[1] + " \"" + Arg(w, 2) + "\"");
    g_plus.IM_ChangeStatus(&status);
    return true;
}

bool RunPosition(const Words& w) {
    IM_USER_POSITION position = {};
    CopyField(position.user, sizeof position.user, g_ownUser);
    position.id = static_cast<uint8_t>(std::atoi(w[1].c_str()));
    CopyField(position.ms, sizeof position.ms, w[2]);
    position.pos0 = std::atoi(w[3].c_str());
    position.pos1 = std::atoi(w[4].c_str());
    position.pos2 = std::atoi(w[5].c_str());
    position.pos3 = std::atoi(w[6].c_str());
    g_log.Line("> IM_ChangePosition " + w[1] + " \"" + w[2] + "\"");
    g_plus.IM_ChangePosition(&position);
    return true;
}

bool RunFile(const Words& w) {
    static IM_CHAT_DATA chat;
    std::memset(&chat, 0, sizeof chat);
    chat.id = 900;
    CopyField(chat.peer, sizeof chat.peer, w[1]);
    chat.msgType = 1;
    FillFormat(ChatStyle(), chat.format);
    CopyField(chat.file.text1, sizeof chat.file.text1, w[2]);
    chat.file.value1 = std::atoi(w[3].c_str());
    CopyField(chat.file.text2, sizeof chat.file.text2, Arg(w, 4));
    CopyField(chat.file.text3, sizeof chat.file.text3, Arg(w, 5));
    chat.file.value2 = std::atoi(Arg(w, 6).c_str());
    chat.contentLength = 0;  // marks the file form
    g_log.Line("> IM_SendChatMsg file to=" + w[1] + " \"" + w[2] + "\" " + w[3] + " bytes");
    g_plus.IM_SendChatMsg(&chat);
    return true;
}

bool RunInvite(const Words& w) {
    g_log.Line("> IM_SendInviteMsg " + w[1]);
    g_plus.IM_SendInviteMsg(IMString(w[1].c_str()));
    return true;
}

bool RunAsk1V1(const Words& w) {
    g_log.Line("> IM_Ask1V1Msg " + w[1]);
    g_plus.IM_Ask1V1Msg(IMString(w[1].c_str()));
    return true;
}

bool RunReply1V1(const Words& w) {
    g_log.Line("> IM_Reply1V1Msg " + w[1] + " " + w[2]);
    g_plus.IM_Reply1V1Msg(IMString(w[1].c_str()), w[2] == "yes" ? 1 : 0);
    return true;
}

bool RunStop1V1(const Words& w) {
    g_log.Line("> IM_Stop1V1Msg " + w[1]);
    g_plus.IM_Stop1V1Msg(IMString(w[1].c_str()));
    return true;
}

bool RunBlacklist(const Words& w) {
    g_log.Line("> IM_QuityAddBL " + w[1]);
    g_plus.IM_QuityAddBL(IMString(w[1].c_str()), std::atoi(Arg(w, 2).c_str()));
    return true;
}

bool RunDelFriend(const Words& w) {
    g_log.Line("> IM_QuityDelFL " + w[1]);
    g_plus.IM_QuityDelFL(IMString(w[1].c_str()));
    return true;
}

bool RunProfile(const Words& w) {
    IM_USERCHANGEDATA data = {};
    CopyField(data.user, sizeof data.user, g_ownUser);
    CopyField(data.nickname, sizeof data.nickname, w[1]);
    CopyField(data.oldpass, sizeof data.oldpass, w[2]);
    CopyField(data.newpass, sizeof data.newpass, w[3]);
    CopyField(data.littleword, sizeof data.littleword, w[4]);
    CopyField(data.birthday, sizeof data.birthday, w[5]);
    data.afset = std::atoi(w[6].c_str());
    g_log.Line("> IM_ChangeUserInfo " + w[1]);
    g_plus.IM_ChangeUserInfo(&data);
    return true;
}

bool RunUserInfo(const Words& w) {
    g_log.Line("> IM_GetUserInfo " + w[1]);
    g_plus.IM_GetUserInfo(IMString(w[1].c_str()));
    return true;
}

bool RunSendAsk(const Words& w) {
    g_log.Line("> IM_SendAsk_SendFileMsg");
    g_plus.IM_SendAsk_SendFileMsg(IMString(""));
    return true;
}

bool RunToData(const Words& w) {
    int r = g_plus.IM_SendDataToPROM(IMCOMMAND_DATA, w[1].data(), static_cast<unsigned>(w[1].size()));
    g_log.Line("> IM_SendDataToPROM 8 \"" + w[1] + "\" = " + std::to_string(r));
    return true;
}

bool RunKeepAlive(const Words& w) {
    g_plus.IM_KeepActive();
    g_log.Note("> IM_KeepActive");
    return true;
}

bool RunSet(const Words& w) {
    SetEvent(NamedEvent(w[1]));
    g_log.Note("> set " + w[1]);
    return true;
}

bool RunAwait(const Words& w) {
    g_run.wait = Runner::Wait::Event;
    g_run.waitName = w[1];
    g_run.waitEvent = NamedEvent(w[1]);
    g_run.deadline = GetTickCount() + (w.size() > 2 ? std::atoi(w[2].c_str()) : kDefaultWaitMs);
    return false;
}

bool RunSleep(const Words& w) {
    g_run.wait = Runner::Wait::Sleep;
    g_run.deadline = GetTickCount() + std::atoi(w[1].c_str());
    return false;
}

bool RunSay(const Words& w) {
    g_log.Line("# " + w[1]);
    return true;
}

bool RunShot(const Words& w) {
    if (!g_shots.empty() && !RequestScreenshot(g_window, g_shots, g_name, 15000))
        g_log.Note("(no screenshot taken)");
    return true;
}

// Both benchmarks run through the wait of the runner.
bool StartBench(const Words& w, Runner::Wait kind) {
    g_run.benchPeer = w[1];
    g_run.benchTotal = std::atoi(w[2].c_str());
    g_run.benchDone = 0;
    g_run.benchAwaiting = false;
    g_run.wait = kind;
    g_run.roundTrips.clear();
    g_run.oneWay.clear();
    g_log.SetQuiet(true);
    return false;
}

bool RunBenchChat(const Words& w) { return StartBench(w, Runner::Wait::BenchChat); }

bool RunBenchEcho(const Words& w) { return StartBench(w, Runner::Wait::BenchEcho); }

bool RunBenchTcp(const Words& w) {
    BenchTcp(std::atoi(w[1].c_str()));
    return true;
}

bool RunHelp(const Words& w) {
    for (const CommandSyntax& entry : Commands()) g_log.Note(std::string("  ") + entry.usage);
    return true;
}

bool RunQuit(const Words& w) {
    g_log.Line("> IM_ExitSvr, IM_CloseClient");
    g_plus.IM_ExitSvr();
    g_plus.IM_CloseClient();
    Finish(0);
    if (!g_unattended) DestroyWindow(g_window);
    return true;
}

struct CommandRunner {
    Command command;
    bool (*run)(const Words& words);
};
constexpr CommandRunner kRunners[] = {
    {Command::Server, &RunServer},
    {Command::Login, &RunLogin},
    {Command::Wait, &RunWait},
    {Command::Friends, &RunFriends},
    {Command::Chat, &RunChat},
    {Command::Ask, &RunAsk},
    {Command::Reply, &RunReply},
    {Command::Status, &RunStatus},
    {Command::Position, &RunPosition},
    {Command::File, &RunFile},
    {Command::Invite, &RunInvite},
    {Command::Ask1V1, &RunAsk1V1},
    {Command::Reply1V1, &RunReply1V1},
    {Command::Stop1V1, &RunStop1V1},
    {Command::Blacklist, &RunBlacklist},
    {Command::DelFriend, &RunDelFriend},
    {Command::Profile, &RunProfile},
    {Command::UserInfo, &RunUserInfo},
    {Command::SendAsk, &RunSendAsk},
    {Command::ToData, &RunToData},
    {Command::KeepAlive, &RunKeepAlive},
    {Command::Set, &RunSet},
    {Command::Await, &RunAwait},
    {Command::Sleep, &RunSleep},
    {Command::Say, &RunSay},
    {Command::Shot, &RunShot},
    {Command::BenchChat, &RunBenchChat},
    {Command::BenchEcho, &RunBenchEcho},
    {Command::BenchTcp, &RunBenchTcp},
    {Command::Quit, &RunQuit},
    {Command::Help, &RunHelp},
};

// Every command has its runner, at its own place.
constexpr bool RunnersInCommandOrder() {
    for (int i = 0; i < kCommandCount; ++i)
        if (static_cast<int>(kRunners[i].command) != i) return false;
    return true;
}
static_assert(sizeof kRunners / sizeof kRunners[0] == kCommandCount && RunnersInCommandOrder(),
              "one runner per command, in the order of Command");

// Runs one command that CheckCommand accepted.
bool Execute(const Words& w) {
    const CommandSyntax* syntax = FindCommand(w[0]);
    return syntax == nullptr || kRunners[static_cast<int>(syntax->command)].run(w);
}

// Whether the current wait is over; fails the script on a time-out.
bool WaitDone() {
    switch (g_run.wait) {
        case Runner::Wait::None:
            return true;
        case Runner::Wait::Kind:
            if (g_run.received[g_run.waitKind] > g_run.taken[g_run.waitKind]) {
                ++g_run.taken[g_run.waitKind];
                return true;
            }
            break;
        case Runner::Wait::Event:
            if (WaitForSingleObject(g_run.waitEvent, 0) == WAIT_OBJECT_0) return true;
            break;
        case Runner::Wait::Sleep:
            return static_cast<LONG>(GetTickCount() - g_run.deadline) >= 0;
        case Runner::Wait::BenchChat:
        case Runner::Wait::BenchEcho:
            if (g_run.benchDone >= g_run.benchTotal) {
                g_log.SetQuiet(false);
                if (g_run.wait == Runner::Wait::BenchChat)
                    g_log.Line("bench chat_round_trip " + Stats(g_run.roundTrips));
                else
                    g_log.Line("bench chat_one_way " + Stats(g_run.oneWay));
                return true;
            }
            if (g_run.wait == Runner::Wait::BenchChat && !g_run.benchAwaiting) {
                char text[64];
                g_run.benchSentAt = Now();
                std::snprintf(text, sizeof text, "bench %d %lld", g_run.benchDone, g_run.benchSentAt);
                g_run.benchAwaiting = true;
                SendChat(g_run.benchPeer, ChatStyle(), text, g_run.benchDone);
            }
            // Benchmarks end when their count is reached, whatever the time.
            return false;
    }
    if (static_cast<LONG>(GetTickCount() - g_run.deadline) >= 0) {
        Fail(g_run.wait == Runner::Wait::Kind ? "timed out waiting for kind " + std::to_string(g_run.waitKind)
                                              : "timed out waiting for " + g_run.waitName);
    }
    return false;
}

void Step() {
    if (!g_run.active || g_run.inStep) return;
    g_run.inStep = true;
    while (g_run.active) {
        if (!WaitDone()) break;
        g_run.wait = Runner::Wait::None;
        if (g_run.next >= g_run.lines.size()) {
            // A typed command is a script of one line; only a script file is
            // expected to end with quit.
            if (g_unattended) g_log.Line("# script ended without quit");
            Finish(0);
            break;
        }
        const ScriptLine& line = g_run.lines[g_run.next++];
        if (!Execute(line.words)) continue;
    }
    g_run.inStep = false;
}

// ---- notifications ----------------------------------------------------------

void ShowFriends(const IM_FRIENDLIST_DATA& list) {
    for (int i = 0; list.users && i < list.count; ++i) {
        const IM_USER_INFO& u = list.users[i];
        char line[200];
        std::snprintf(line, sizeof line, "%.20s  %.40s  [%s]", u.name, u.nickname,
                      u.status == 0 ? "offline" : u.status == 1 ? "online" : "away");
        SendMessageA(g_friends, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    }
}

LRESULT OnNotify(WPARAM kind, LPARAM lParam) {
    int k = static_cast<int>(kind);
    // The benchmark reads the clock before anything else happens.
    if (k == IMN_CHAT_MESSAGE && (g_run.wait == Runner::Wait::BenchChat || g_run.wait == Runner::Wait::BenchEcho)) {
        long long now = Now();
        const IM_CHAT_DATA& chat = *reinterpret_cast<const IM_CHAT_DATA*>(lParam);
        long long stamp = 0;
        int index = 0;
        if (std::sscanf(chat.content, "bench %d %lld", &index, &stamp) == 2) {
            if (g_run.wait == Runner::Wait::BenchEcho) {
                g_run.oneWay.push_back(Micros(now - stamp));
                SendChat(g_run.benchPeer, ChatStyle(), chat.content, index);
                ++g_run.benchDone;
            } else if (g_run.benchAwaiting && index == g_run.benchDone) {
                g_run.roundTrips.push_back(Micros(now - g_run.benchSentAt));
                g_run.benchAwaiting = false;
                ++g_run.benchDone;
            }
            PostMessageA(g_window, kStepMessage, 0, 0);
            return 0;
        }
    }
    std::string line = DescribeNotification(k, reinterpret_cast<const void*>(lParam));
    g_log.Line("< " + line);
    LRESULT answer = 0;
    switch (k) {
        case IMN_LOGIN_RESULT: {
            const auto& r = *reinterpret_cast<const IM_LOGIN_RESULT*>(lParam);
            g_loggedIn = r.result == 1;
            SetWindowTextA(g_status, g_loggedIn ? ("logged in as " + g_ownUser).c_str() : "login failed");
            if (g_loggedIn) SendMessageA(g_friends, LB_RESETCONTENT, 0, 0);
            break;
        }
        case IMN_CHAT_MESSAGE: {
            // The record line above is for the transcript; this one is for the eye.
            const auto& chat = *reinterpret_cast<const IM_CHAT_DATA*>(lParam);
            g_log.Note("    " + std::string(chat.peer, strnlen(chat.peer, sizeof chat.peer)) + ": " +
                       std::string(chat.content, strnlen(chat.content, sizeof chat.content)));
            break;
        }
        case IMN_FRIEND_LIST:
            ShowFriends(*reinterpret_cast<const IM_FRIENDLIST_DATA*>(lParam));
            break;
        case IMN_SERVER_CLOSED:
            g_loggedIn = false;
            SetWindowTextA(g_status, "server closed the connection");
            break;
        case IMN_HOST_LOGIN: {
            const auto& login = *reinterpret_cast<const IM_USER_LOGINDATA*>(lParam);
            g_ownUser.assign(login.userId, strnlen(login.userId, sizeof login.userId));
            break;
        }
        case IMN_HOST_POSITION:
            // A positive answer lets the library pass the position on to the server.
            answer = 1;
            break;
        default:
            break;
    }
    ++g_run.received[k];
    PostMessageA(g_window, kStepMessage, 0, 0);
    return answer;
}

// ---- the window -------------------------------------------------------------

void Layout(int width, int height) {
    int friendsWidth = 170;
    MoveWindow(g_status, 4, 4, width - 8, 20, TRUE);
    MoveWindow(g_list, 4, 28, width - friendsWidth - 12, height - 60, TRUE);
    MoveWindow(g_friends, width - friendsWidth - 4, 28, friendsWidth, height - 60, TRUE);
    MoveWindow(g_input, 4, height - 28, width - 8, 24, TRUE);
}

void RunTypedLine() {
    char buffer[2048];
    GetWindowTextA(g_input, buffer, sizeof buffer);
    SetWindowTextA(g_input, "");
    std::vector<std::string> words;
    std::string error;
    if (!SplitWords(buffer, words, error) || words.empty()) return;
    if (!CheckCommand(words, error)) {
        g_log.Note("?? " + error);
        return;
    }
    if (g_run.active) {
        g_log.Note("?? a script is running");
        return;
    }
    // A typed command runs like a one-line script, waits included.
    g_run.lines.assign(1, ScriptLine{0, words});
    g_run.next = 0;
    g_run.active = true;
    Step();
}

LRESULT CALLBACK InputProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CHAR && wParam == '\r') {
        PostMessageA(g_window, kRunLineMessage, 0, 0);
        return 0;
    }
    return CallWindowProcA(g_inputProc, hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CREATE: {
            HINSTANCE instance = reinterpret_cast<CREATESTRUCTA*>(lParam)->hInstance;
            DWORD listStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT;
            g_status = CreateWindowExA(0, "STATIC", "not logged in", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, hwnd, nullptr, instance, nullptr);
            g_list = CreateWindowExA(0, "LISTBOX", "", listStyle, 0, 0, 0, 0, hwnd, nullptr, instance, nullptr);
            g_friends = CreateWindowExA(0, "LISTBOX", "", listStyle, 0, 0, 0, 0, hwnd, nullptr, instance, nullptr);
            g_input = CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL, 0, 0, 0, 0, hwnd, nullptr, instance, nullptr);
            SendMessageA(g_list, LB_SETHORIZONTALEXTENT, 6000, 0);
            for (HWND child : {g_status, g_list, g_friends, g_input})
                SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(LogFont()), TRUE);
            g_inputProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(g_input, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(InputProc)));
            return 0;
        }
        case WM_SIZE:
            Layout(LOWORD(lParam), HIWORD(lParam));
            return 0;
        case WM_SETFOCUS:
            SetFocus(g_input);
            return 0;
        case WM_TIMER:
            if (wParam == kStepTimer) Step();
            if (wParam == kKeepAliveTimer && g_loggedIn) g_plus.IM_KeepActive();
            return 0;
        case kStepMessage:
            Step();
            return 0;
        case kRunLineMessage:
            RunTypedLine();
            return 0;
        case WM_IMPLUS_NOTIFY:
            return OnNotify(wParam, lParam);
        case WM_IMPLUS_TOIM:
            if (wParam == IMPLUS_TOIM_PACKET) {
                g_plus.IM_DealProcCommand(static_cast<unsigned>(lParam));
                return 1;
            }
            g_log.Line("< host notice " + std::to_string(wParam) +
                       (wParam == PROM_VexaIM_MSG_HOST_UNLOADED ? " (host unloaded)" : ""));
            return 0;
        case WM_CLOSE:
            if (g_loggedIn) {
                g_plus.IM_ExitSvr();
                g_plus.IM_CloseClient();
            }
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

bool LoadScriptFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
    // A script of more than a megabyte is a mistake, not a conversation.
    return bytes.size() <= (1u << 20);
}

bool SharedBlocksExist() {
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, "#IMSENDMAP1#");
    if (!h) return false;
    CloseHandle(h);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    std::vector<std::string> args = Arguments();
    std::string script = Option(args, "--script", "VEXAIM_SCRIPT");
    std::string logPath = Option(args, "--log", "VEXAIM_LOG");
    g_name = Option(args, "--name", "VEXAIM_NAME", "im");
    g_shots = Option(args, "--shots", "VEXAIM_SHOTS");
    g_defaultServer = Option(args, "--server", "VEXAIM_SERVER", g_defaultServer);
    bool guest = Flag(args, "--guest") || Option(args, "--guest-env", "VEXAIM_GUEST") == "1";
    std::string pos = Option(args, "--pos", "VEXAIM_POS", "40,40");
    const std::string security = Option(args, "--security", "VEXAIM_SECURITY");
    // The host window is the last argument that is a plain number.
    HWND host = nullptr;
    for (const std::string& a : args) {
        long long value = 0;
        // A window handle is a 32-bit value between processes, signed or
        // not in its text; a 64-bit program widens it by its sign, as
        // LongToHandle does, so both texts name the same window.
        if (ParseInt(a, -2147483647LL - 1, 4294967295LL, value))
            host = reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(static_cast<uint32_t>(value))));
    }

    if (!logPath.empty() && !g_log.OpenFile(logPath)) return 3;
    g_log.Line("# IM program " + g_name + (guest ? " (second IM program on this machine)" : "") +
               (host ? ", host window given" : ", no host window"));

    if (!script.empty()) {
        std::string bytes, error;
        if (!LoadScriptFile(script, bytes) || !ParseScript(Utf8ToGbk(bytes), g_run.lines, error)) {
            g_log.Line("!! script " + script + ": " + (error.empty() ? "cannot be read" : error));
            return 1;
        }
        // Every event the script names is held from the start, so a signal
        // that another program sets and then exits is not lost before this
        // program comes to wait for it.
        for (const auto& line : g_run.lines)
            if (line.words[0] == "set" || line.words[0] == "await") NamedEvent(line.words[1]);
        g_run.active = true;
        g_unattended = true;
    }

    WSADATA wsa;
    // The library expects the IM program to have started the socket layer.
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 2;

    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "VexaIMDemoWindow";
    RegisterClassA(&wc);
    int x = 40, y = 40;
    std::sscanf(pos.c_str(), "%d,%d", &x, &y);
    // The window is made without its caption: the host finds the IM program
    // by the caption, and must not find it before the shared blocks exist.
    g_window = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPEDWINDOW, x, y, 680, 430, nullptr, nullptr, instance, nullptr);
    if (!g_window) return 2;
    g_log.AttachList(g_list);

    // Another IM program holds the blocks: a first IM program would only be
    // told "Error:101" in a box, so it stops here; a guest needs them.
    DWORD start = GetTickCount();
    while (guest && !SharedBlocksExist() && GetTickCount() - start < 15000) Sleep(50);
    if (SharedBlocksExist() != guest) {
        g_log.Line(guest ? "!! no first IM program runs on this machine" : "!! another IM program already runs here");
        DestroyWindow(g_window);
        WSACleanup();
        return 2;
    }
    bool initialised = guest ? g_plus.IM_PlusInit(g_window, nullptr, kGuestRole)
                             : g_plus.IM_PlusInit(g_window, host, PROMID_IM);
    g_log.Line(std::string("> IM_PlusInit = ") + (initialised ? "1" : "0"));
    if (!initialised) {
        DestroyWindow(g_window);
        WSACleanup();
        return 2;
    }
    // The server address is set before the host can find this window: a
    // host's login (command 1) would otherwise meet no address.
    {
        std::size_t colon = g_defaultServer.rfind(':');
        std::string address = g_defaultServer.substr(0, colon);
        std::string port = colon == std::string::npos ? "7788" : g_defaultServer.substr(colon + 1);
        g_log.Line("> IM_SetIMSvrParam " + address + " " + port);
        g_plus.IM_SetIMSvrParam(IMString(address.c_str()), static_cast<unsigned>(std::atoi(port.c_str())));
    }
    // Only when asked, so that the plain demo's log stays as it is.
    if (!security.empty()) {
        const bool pinned = security.compare(0, 4, "pin:") == 0;
        IMSECURITY mode = security == "system" ? IMSECURITY_TLS_SYSTEM : pinned ? IMSECURITY_TLS_PINNED : IMSECURITY_PLAIN;
        if (!pinned && security != "system" && security != "plain") {
            g_log.Line("!! --security: plain, system or pin:FINGERPRINT, not " + security);
            DestroyWindow(g_window);
            WSACleanup();
            return 2;
        }
        bool accepted = g_plus.IM_SetIMSvrSecurity(mode, IMString(pinned ? security.c_str() + 4 : ""));
        g_log.Line("> IM_SetIMSvrSecurity " + security + " = " + (accepted ? "1" : "0"));
    }
    std::string caption = g_plus.IMPlus_GetIMTitle().c_str();
    if (guest) caption += " (" + g_name + ")";
    SetWindowTextA(g_window, caption.c_str());
    ShowWindow(g_window, show == SW_HIDE ? SW_SHOWNORMAL : show);
    UpdateWindow(g_window);

    SetTimer(g_window, kStepTimer, 20, nullptr);
    SetTimer(g_window, kKeepAliveTimer, 30000, nullptr);
    PostMessageA(g_window, kStepMessage, 0, 0);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    g_plus.IM_CloseClient();
    for (auto& [name, handle] : g_run.events) CloseHandle(handle);
    WSACleanup();
    g_log.Line("# IM program " + g_name + " ended with " + std::to_string(g_exitCode));
    return g_exitCode;
}
