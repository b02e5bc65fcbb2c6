// The IM side's server connection through the DLL under Wine, against a real
// TCP peer on loopback: what goes on the wire, what the IM window is told.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "VexaIMPlus.h"
#include "loopback_peer.h"
#include "peer_protocol.h"
#include "protocol/system_texts.h"
#include "win32_test_support.h"

using namespace vexa::testing;

namespace {

const char kConnectFailed[] = "\xc1\xac\xbd\xd3\xb7\xfe\xce\xf1\xc6\xf7\xca\xa7\xb0\xdc";  // 连接服务器失败
const char kEnterAddress[] = "\xc7\xeb\xca\xe4\xc8\xeb\x69\x70\xba\xcd\xb6\xcb\xbf\xda\x21";  // 请输入ip和端口!

std::string Hwnd(HWND h) { return std::to_string(reinterpret_cast<LONG_PTR>(h)); }

// A client request: the body's length as four digits, then the body.
std::string Frame(const std::string& body) {
    char head[5];
    std::snprintf(head, sizeof head, "%04d", static_cast<int>(body.size()));
    return head + body;
}

// A server packet: length, code, payload and the trailing zero byte.
std::string ServerPacket(int code, const std::string& payload) {
    char head[9];
    std::snprintf(head, sizeof head, "%04d%04d", static_cast<int>(payload.size() + 4), code);
    return std::string(head) + payload + std::string(1, '\0');
}

struct Notice {
    WPARAM kind;
    LPARAM lParam;
    IM_LOGIN_RESULT login;  // kind 1 only
    std::string from;       // kind 18 only
};

class Connection : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<TestWindow>("ConnIM", [this](HWND, UINT msg, WPARAM w, LPARAM l, bool& handled) -> LRESULT {
            if (msg == WM_IMPLUS_TOIM && w == IMPLUS_TOIM_PACKET) {
                plus.IM_DealProcCommand(static_cast<unsigned>(l));
                handled = true;
                return answer;
            }
            if (msg != WM_IMPLUS_NOTIFY) return 0;
            handled = true;
            Notice n{w, l, {}, {}};
            if (w == IMN_LOGIN_RESULT) std::memcpy(&n.login, reinterpret_cast<const void*>(l), sizeof n.login);
            if (w == IMN_INVITE) n.from = reinterpret_cast<const IM_INVITE_DATA*>(l)->fromUser;
            notices.push_back(n);
            if (onNotify) return onNotify(w, l);
            return answer;
        });
        ASSERT_TRUE(plus.IM_PlusInit(window->Handle(), nullptr, static_cast<PROMID>(0)));
    }
    void TearDown() override {
        plus.IM_CloseClient();
        plus.PROM_PlusUnInit();
    }
    IM_USER_LOGINDATA Login(const char* id, const char* password) {
        IM_USER_LOGINDATA login{};
        std::strncpy(login.userId, id, sizeof login.userId - 1);
        std::strncpy(login.password, password, sizeof login.password - 1);
        return login;
    }
    // Logs in as 10001 and answers success; the peer has then seen the login
    // and the automatic request 44.
    void LogIn(const char* id = "10001") {
        plus.IM_SetIMSvrParam(Address().c_str(), Port());
        auto login = Login(id, "secret");
        const int before = server.Connections();
        ASSERT_TRUE(plus.IM_LoginSvr(&login));
        ASSERT_TRUE(server.WaitForConnections(before + 1));
        const std::string expected = Frame(std::string("0001") + id + "!|!secret");
        ASSERT_TRUE(server.WaitForBytes(expected.size()));
        ASSERT_EQ(server.Received(), expected);
        ASSERT_TRUE(server.Send(Answer(ServerPacket(2, "0"))));
        ASSERT_TRUE(PumpUntil([&] { return Count(IMN_LOGIN_RESULT) == 1; }));
        ASSERT_EQ(notices.back().login.result, 1);
        ASSERT_TRUE(server.WaitForBytes(expected.size() + Frame(std::string("0044") + id).size()));
        sent = server.Received().size();
    }
    // Where the IM side connects, and how the peer's answer goes out.
    virtual std::string Address() { return "127.0.0.1"; }
    virtual unsigned short Port() { return server.Port(); }
    virtual std::string Answer(const std::string& bytes) { return bytes; }
    // What the peer received since the last call.
    std::string NewBytes(std::size_t atLeast) {
        server.WaitForBytes(sent + atLeast, -1, 5000);
        PumpFor(50);
        std::string all = server.Received();
        std::string fresh = all.substr(sent);
        sent = all.size();
        return fresh;
    }
    int Count(WPARAM kind) {
        int n = 0;
        for (const auto& notice : notices) n += notice.kind == kind;
        return n;
    }

    WinsockScope winsock;
    IMPlusDLL plus;
    LoopbackPeer server;
    std::unique_ptr<TestWindow> window;
    std::vector<Notice> notices;
    std::function<LRESULT(WPARAM, LPARAM)> onNotify;
    LRESULT answer = 0;
    std::size_t sent = 0;
};

TEST_F(Connection, LoginThenSuccessAnswerThenRequest44) {
    LogIn();
    EXPECT_EQ(server.Received(), "0018000110001!|!secret0009004410001");
    ASSERT_EQ(Count(IMN_LOGIN_RESULT), 1);
    EXPECT_EQ(notices[0].login.result, 1);
}

TEST_F(Connection, FailureAnswerReportsTheServersReason) {
    plus.IM_SetIMSvrParam("127.0.0.1", server.Port());
    auto login = Login("10001", "wrong");
    ASSERT_TRUE(plus.IM_LoginSvr(&login));
    ASSERT_TRUE(server.WaitForBytes(21));
    server.Send(ServerPacket(2, "3bad password"));
    ASSERT_TRUE(PumpUntil([&] { return Count(IMN_LOGIN_RESULT) == 1; }));
    EXPECT_EQ(notices[0].login.result, 0);
    EXPECT_STREQ(notices[0].login.message, "bad password");
}

TEST_F(Connection, EveryRequestPutsItsExactBytesOnTheWire) {
    LogIn("u1");
    struct Row {
        std::function<void()> call;
        std::string bytes;
    };
    IM_CHAT_DATA chat{};
    chat.id = 7;
    std::strcpy(chat.peer, "u2");
    chat.msgType = 0;
    chat.format.dwEffects = 1;
    chat.format.yHeight = 240;
    chat.format.crTextColor = 255;
    std::strcpy(chat.format.szFaceName, "Arial");
    std::strcpy(chat.content, "hi");
    chat.contentLength = 2;
    IM_USER_CHANGESTATUS status{};
    std::strcpy(status.user, "u1");
    status.status = 2;
    std::strcpy(status.note, "away");
    IM_USER_POSITION position{};
    std::strcpy(position.user, "u1");
    position.id = 200;
    std::strcpy(position.ms, "m");
    position.pos0 = 1;
    position.pos1 = -2;
    position.pos2 = 3;
    position.pos3 = 4;
    IM_USERCHANGEDATA change{};
    std::strcpy(change.user, "u1");
    std::strcpy(change.nickname, "N");
    std::strcpy(change.oldpass, "o");
    std::strcpy(change.newpass, "n");
    std::strcpy(change.littleword, "w");
    std::strcpy(change.birthday, "20010101");
    change.afset = 9;
    const std::string chatBody =
        "0003u2!|!SYSTEMDATE!|!u1!|!0!|!<msg><id>7</id><fusr>u1</fusr><tusr>u2</tusr><imzt>Bold=1,Underline=0,Italic=0,"
        "TextColor=255,Size=12,FaceName=Arial</imzt><cnt>hi</cnt></msg>";
    const Row rows[] = {
        {[&] { plus.IM_GetInitData(5); }, Frame("00215")},
        {[&] { plus.IM_SendChatMsg(&chat); }, Frame(chatBody)},
        {[&] { plus.IM_AskAddFLMsg("u2", "hello", 0); }, Frame("0023u1!|!u2")},
        {[&] { plus.IM_AskAddFLMsg("u2", "hello", 1); }, Frame("0023u1!|!u2!|!hello")},
        {[&] { plus.IM_ReplyAddFLMsg("u2", "ok", true, 3); }, Frame("0024u1!|!u2!|!0!|!3!|!ok")},
        {[&] { plus.IM_ReplyAddFLMsg("u2", "ok", false, 3); }, Frame("0024u1!|!u2!|!1!|!ok")},
        {[&] { plus.IM_QuityAddBL("u2", 4); }, Frame("0025u1!|!u2!|!4")},
        {[&] { plus.IM_QuityDelFL("u2"); }, Frame("0029u1!|!u2")},
        {[&] { plus.IM_SendInviteMsg("u2"); }, Frame("0031u1!|!u2")},
        {[&] { plus.IM_ChangeStatus(&status); }, Frame("0032u1!|!2!|!away")},
        {[&] { plus.IM_ChangePosition(&position); },
         Frame("0033u1!|!<id>200</id><ms>m</ms><pos0>1</pos0><pos1>-2</pos1><pos2>3</pos2><pos3>4</pos3>")},
        {[&] { plus.IM_ChangeUserInfo(&change); },
         Frame("0034u1!|!<user><nickname>N</nickname><oldpass>o</oldpass><newpass>n</newpass><littleword>w</littleword>"
         "<brithday>20010101</brithday><afset>9</afset></user>")},
        {[&] { plus.IM_GetUserInfo("abc"); }, Frame("0036abc")},
        {[&] { plus.IM_Ask1V1Msg("u2"); }, Frame("0040u1!|!u2")},
        {[&] { plus.IM_Reply1V1Msg("u2", 1); }, Frame("0041u2!|!u1!|!0")},
        {[&] { plus.IM_Reply1V1Msg("u2", 0); }, Frame("0041u2!|!u1!|!1")},
        {[&] { plus.IM_Stop1V1Msg("u2"); }, Frame("0043u1!|!u2")},
        {[&] { plus.IM_SendAsk_SendFileMsg("whatever"); }, Frame("0044u1")},
        {[&] { plus.IM_KeepActive(); }, Frame("0007Keepalive")},
        {[&] { plus.IM_ExitSvr(); }, Frame("0099u1")},
    };
    for (const auto& row : rows) {
        row.call();
        EXPECT_EQ(NewBytes(row.bytes.size()), row.bytes);
    }
    // Preconditions: a status for another user and a chat without a peer send nothing.
    std::strcpy(status.user, "U1");
    plus.IM_ChangeStatus(&status);
    chat.peer[0] = 0;
    plus.IM_SendChatMsg(&chat);
    plus.IM_ChangeStatus(nullptr);
    plus.IM_KeepActive();
    EXPECT_EQ(NewBytes(17), "00130007Keepalive");
}

TEST_F(Connection, RequestsBeforeAnyLoginSendNothing) {
    plus.IM_KeepActive();
    plus.IM_ExitSvr();
    plus.IM_GetInitData(1);
    PumpFor(100);
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(Connection, MissingAddressOrPortShowsTheBoxAndKeepsTheSocket) {
    LogIn();
    MessageBoxWatcher watcher("VexaIM");
    plus.IM_SetIMSvrParam("", server.Port());
    auto login = Login("10001", "secret");
    EXPECT_FALSE(plus.IM_LoginSvr(&login));
    plus.IM_SetIMSvrParam("127.0.0.1", 0);
    EXPECT_FALSE(plus.IM_LoginSvr(&login));
    ASSERT_TRUE(watcher.WaitForBoxes(2));
    EXPECT_EQ(watcher.Texts()[0], kEnterAddress);
    EXPECT_EQ(watcher.Texts()[1], kEnterAddress);
    // The connection that was up is still up.
    plus.IM_KeepActive();
    EXPECT_EQ(NewBytes(17), "00130007Keepalive");
    EXPECT_FALSE(plus.IM_LoginSvr(nullptr));
}

TEST_F(Connection, RefusedAndUnresolvableGiveKind1WithTheConnectFailure) {
    // A port on which nothing listens.
    SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    unsigned short closedPort = ntohs(address.sin_port);
    ::closesocket(probe);

    auto login = Login("10001", "secret");
    plus.IM_SetIMSvrParam("127.0.0.1", closedPort);
    plus.IM_LoginSvr(&login);
    ASSERT_TRUE(PumpUntil([&] { return Count(IMN_LOGIN_RESULT) == 1; }));
    EXPECT_EQ(notices[0].login.result, 0);
    EXPECT_STREQ(notices[0].login.message, kConnectFailed);

    plus.IM_SetIMSvrParam("no-such-host.invalid", 7788);
    EXPECT_FALSE(plus.IM_LoginSvr(&login));
    ASSERT_EQ(Count(IMN_LOGIN_RESULT), 2);  // sent before IM_LoginSvr returned
    EXPECT_STREQ(notices[1].login.message, kConnectFailed);
}

TEST_F(Connection, ServerCloseIsPostedAsKind4AndLaterRequestsAreRefused) {
    LogIn();
    server.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return Count(IMN_SERVER_CLOSED) == 1; }));
    for (const auto& n : notices)
        if (n.kind == IMN_SERVER_CLOSED) {
            EXPECT_EQ(n.lParam, 1);
        }
    const std::string before = server.Received();
    plus.IM_KeepActive();
    plus.IM_GetInitData(1);
    PumpFor(100);
    EXPECT_EQ(server.Received(), before);
    // A new login makes a new connection.
    auto login = Login("10001", "secret");
    ASSERT_TRUE(plus.IM_LoginSvr(&login));
    ASSERT_TRUE(server.WaitForConnections(2));
    EXPECT_TRUE(server.WaitForBytes(22, 1));
}

TEST_F(Connection, SecondLoginTearsTheOldConnectionDownSilently) {
    LogIn();
    auto login = Login("10001", "secret");
    ASSERT_TRUE(plus.IM_LoginSvr(&login));
    ASSERT_TRUE(server.WaitForConnections(2));
    ASSERT_TRUE(server.WaitForBytes(22, 1));
    PumpFor(200);
    EXPECT_EQ(Count(IMN_SERVER_CLOSED), 0);
    // No exit request went to the old connection.
    EXPECT_EQ(server.Received(0), "0018000110001!|!secret0009004410001");
}

TEST_F(Connection, ClosingTheClientInsideANotificationIsSafe) {
    LogIn("u1");
    // Three packets in one arrival; the window closes the client on the first.
    onNotify = [&](WPARAM kind, LPARAM) -> LRESULT {
        if (kind == IMN_INVITE) plus.IM_CloseClient();
        return 0;
    };
    server.Send(ServerPacket(31, "u2!|!u1") + ServerPacket(31, "u3!|!u1") + ServerPacket(31, "u4!|!u1"));
    ASSERT_TRUE(PumpUntil([&] { return Count(IMN_INVITE) >= 1; }));
    PumpFor(300);
    EXPECT_EQ(Count(IMN_INVITE), 1);
    plus.IM_KeepActive();  // refused: there is no socket any more
    PumpFor(100);
    EXPECT_EQ(server.Received().size(), sent);
}

// The host's commands, sent by a real second process, reach the IM side.
TEST_F(Connection, HostCommandsLogInAndChangeThePosition) {
    ReportWindow report;
    ChildProcess host("vexa_test_peer.exe", Hwnd(report.Handle()) + " host 7 " + Hwnd(window->Handle()));
    std::string line = report.WaitForLine("host init=");
    ASSERT_EQ(line.substr(0, 12), "host init=1 ");
    HWND hostWindow = reinterpret_cast<HWND>(std::stoll(line.substr(line.find("hwnd=") + 5)));
    plus.IM_ResetOutPromWnd(hostWindow);
    auto hostSends = [&](int command, const void* bytes, DWORD size) {
        report.Clear();
        COPYDATASTRUCT data{static_cast<ULONG_PTR>(command), size, const_cast<void*>(bytes)};
        SendMessageA(hostWindow, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
        return report.WaitForLine("sent result=");
    };
    plus.IM_SetIMSvrParam("127.0.0.1", server.Port());

    // Commands 2 and 4 before any login: nothing for the IM window.
    IM_USER_POSITION position{};
    std::strcpy(position.user, "alice");
    position.pos0 = 11;
    char record[11] = "alice";
    hostSends(4, &position, sizeof position);
    hostSends(2, record, sizeof record);
    EXPECT_TRUE(notices.empty());

    auto login = Login("alice", "secret");
    hostSends(1, &login, 40);
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(server.Connections(), 0);
    hostSends(1, &login, 41);
    ASSERT_EQ(Count(IMN_HOST_LOGIN), 1);
    ASSERT_TRUE(server.WaitForBytes(22));
    EXPECT_EQ(server.Received(), "00180001alice!|!secret");
    server.Send(ServerPacket(2, "0"));
    ASSERT_TRUE(PumpUntil([&] { return Count(IMN_LOGIN_RESULT) == 1; }));
    server.WaitForBytes(22 + 13);
    sent = server.Received().size();

    hostSends(2, record, sizeof record);
    EXPECT_EQ(Count(IMN_HOST_RECORD), 1);

    // Positive in all its width: a 64-bit window's answer above 32 bits too.
    answer = sizeof(LRESULT) == 8 ? static_cast<LRESULT>(1) << (4 * sizeof(LRESULT)) : 1;
    hostSends(4, &position, sizeof position);
    EXPECT_EQ(Count(IMN_HOST_POSITION), 1);
    EXPECT_EQ(NewBytes(20).substr(4, 13), "0033alice!|!<");

    std::strcpy(position.user, "ALICE");
    hostSends(4, &position, sizeof position);
    EXPECT_EQ(Count(IMN_HOST_POSITION), 2);
    PumpFor(100);
    EXPECT_EQ(NewBytes(0), "");
    PostMessageA(hostWindow, WM_CLOSE, 0, 0);
    host.Wait();
}

// ---- the encrypted transport, against a TLS server of OpenSSL's that relays
// to the test's own peer

// The reasons of a refused encrypted connection, as the library defines them
// (their bytes are checked against their readable text natively).
using vexa::texts::kSecuritySettingInvalid;
using vexa::texts::kTlsHandshakeFailed;
using vexa::texts::kTlsUntrusted;
using vexa::texts::kTlsWrongFingerprint;
using vexa::texts::kTlsWrongName;

// The certificates made for the tests (tests/support/make-test-certs.sh).
std::string CertFile(const std::string& name) { return UnixToWine(VEXA_TLS_CERTS) + "\\" + name; }
std::string Fingerprint(const std::string& certificate) {
    std::string text = ReadAll(CertFile(certificate + ".sha256"));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}


// Commands of the TLS peer's framed mode (tests/support/tls_peer.cpp).
std::string PeerCommand(char command, const std::string& data) {
    const std::uint32_t n = static_cast<std::uint32_t>(data.size());
    std::string out(1, command);
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xFF);
    return out + data;
}
std::string Record(const std::string& data) { return PeerCommand('R', data); }

class SecureConnection : public Connection {
protected:
    // The test CA is trusted in this prefix only: its Root store, as a user
    // of the machine would install a company CA. Only these tests need it.
    static void SetUpTestSuite() { ASSERT_TRUE(TrustRootCertificate(CertFile("ca.der"))) << CertFile("ca.der"); }

    void SetUp() override {
        Connection::SetUp();
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    void TearDown() override {
        Connection::TearDown();
        // The setting is the process's session's: the next test starts plain.
        plus.IM_SetIMSvrSecurity(IMSECURITY_PLAIN, "");
        peer.Stop();
    }
    // The TLS server in front of the test's peer, with a certificate of the
    // test set; options: more options for it.
    void StartPeer(const std::string& certificate, const std::string& options = "--framed") {
        peer.Stop();
        const std::string portFile = folder + "\\peer.port";
        DeleteFileA(portFile.c_str());
        const std::string certs = VEXA_TLS_CERTS;
        ASSERT_TRUE(FileExists(UnixToWine(VEXA_TLS_PEER_BINARY)))
            << "no TLS peer at " << VEXA_TLS_PEER_BINARY << " (build the native preset first)";
        peer.Start(ShellQuote(VEXA_TLS_PEER_BINARY) + " --cert " + ShellQuote(certs + "/" + certificate + ".pem") +
                       " --key " + ShellQuote(certs + "/" + certificate + ".key") + " --port-file " +
                       ShellQuote(WineToUnix(portFile)) + " --backend " + std::to_string(server.Port()) + " " + options,
                   120);
        ASSERT_TRUE(PumpUntil([&] { return FileExists(portFile); })) << peer.Log();
        peerPort = static_cast<unsigned short>(std::atoi(ReadAll(portFile).c_str()));
        ASSERT_NE(peerPort, 0);
    }
    std::string Address() override { return "localhost"; }
    unsigned short Port() override { return peerPort; }
    std::string Answer(const std::string& bytes) override { return Record(bytes); }
    void Secure(IMSECURITY mode, const std::string& fingerprint) {
        ASSERT_TRUE(plus.IM_SetIMSvrSecurity(mode, fingerprint.c_str()));
    }
    // The inviters of every kind-18 notice so far.
    std::vector<std::string> Inviters() {
        std::vector<std::string> from;
        for (const auto& n : notices)
            if (n.kind == IMN_INVITE) from.push_back(n.from);
        return from;
    }
    std::string LastLoginMessage() {
        for (auto n = notices.rbegin(); n != notices.rend(); ++n)
            if (n->kind == IMN_LOGIN_RESULT) return n->login.message;
        return "(no kind 1)";
    }

    std::string folder = ExeDirectory() + "tls-peer";
    UnixProgram peer{folder, "tls-peer"};
    unsigned short peerPort = 0;
};

TEST_F(SecureConnection, LogsInAndTalksInBothCheckingModes) {
    struct Row {
        const char* name;
        IMSECURITY mode;
        const char* certificate;
        std::string fingerprint;
    };
    const Row rows[] = {
        {"system roots and host name", IMSECURITY_TLS_SYSTEM, "server", ""},
        {"pinned, a self-made certificate", IMSECURITY_TLS_PINNED, "selfmade", Fingerprint("selfmade")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        notices.clear();
        StartPeer(row.certificate);
        Secure(row.mode, row.fingerprint);
        // The peer sees the plaintext the plain tests see: the login, request 44.
        LogIn("u1");
        server.Send(Record(ServerPacket(31, "u2!|!u1")));
        ASSERT_TRUE(PumpUntil([&] { return Inviters().size() == 1; }));
        plus.IM_SendInviteMsg("u2");
        EXPECT_EQ(NewBytes(11), Frame("0031u1!|!u2"));
        plus.IM_CloseClient();
    }
}

TEST_F(SecureConnection, RecordsCutAnywhereGiveThePacketsOfPlainTcp) {
    std::vector<std::string> packets, want;
    for (int i = 2; i <= 6; ++i) {
        packets.push_back(ServerPacket(31, "u" + std::to_string(i) + "!|!u1"));
        want.push_back("u" + std::to_string(i));
    }
    std::string all;
    for (const auto& p : packets) all += p;
    std::string inFrames;  // a record boundary inside every frame
    for (std::size_t at = 0; at < all.size(); at += packets[0].size()) {
        inFrames += Record(all.substr(at, 5)) + Record(all.substr(at + 5, packets[0].size() - 5));
    }
    std::string bytewise;  // the first frame a byte per record
    for (char c : packets[0]) bytewise += Record(std::string(1, c));
    bytewise += Record(all.substr(packets[0].size()));
    struct Row {
        const char* name;
        std::string options;
        std::string commands;
        int times;  // how often the packets come
    };
    const Row rows[] = {
        {"every frame in one record", "--framed", Record(all), 1},
        {"a record boundary inside every frame", "--framed", inFrames, 1},
        {"the first frame a byte per record", "--framed", bytewise, 1},
        {"records cut into one-byte TCP segments", "--framed --tcp-chunk 1", inFrames + Record(all), 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        notices.clear();
        StartPeer("server", row.options);
        Secure(IMSECURITY_TLS_SYSTEM, "");
        LogIn("u1");
        server.Send(row.commands);
        std::vector<std::string> expected;
        for (int i = 0; i < row.times; ++i) expected.insert(expected.end(), want.begin(), want.end());
        ASSERT_TRUE(PumpUntil([&] { return Inviters().size() >= expected.size(); }, 20000));
        PumpFor(100);
        EXPECT_EQ(Inviters(), expected);
        plus.IM_CloseClient();
    }
}

TEST_F(SecureConnection, ACertificateThatFailsItsCheckIsRefusedWithItsReason) {
    struct Row {
        const char* name;
        IMSECURITY mode;
        std::string fingerprint;
        const char* served;
        const char* reason;
    };
    const Row rows[] = {
        {"no trusted root", IMSECURITY_TLS_SYSTEM, "", "selfmade", kTlsUntrusted},
        {"a chain the server leaves incomplete", IMSECURITY_TLS_SYSTEM, "", "partial", kTlsUntrusted},
        {"another host's name", IMSECURITY_TLS_SYSTEM, "", "wrongname", kTlsWrongName},
        {"another certificate than the pinned one", IMSECURITY_TLS_PINNED, Fingerprint("selfmade"), "server",
         kTlsWrongFingerprint},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        notices.clear();
        StartPeer(row.served);
        Secure(row.mode, row.fingerprint);
        plus.IM_SetIMSvrParam("localhost", peerPort);
        auto login = Login("10001", "secret");
        ASSERT_TRUE(plus.IM_LoginSvr(&login));
        ASSERT_TRUE(PumpUntil([&] { return Count(IMN_LOGIN_RESULT) == 1; }));
        EXPECT_EQ(notices.back().login.result, 0);
        EXPECT_EQ(LastLoginMessage(), row.reason);
        // Not a byte of the IM side went out: no password, no request. (The
        // TLS server may have finished its side and reached the test's peer.)
        const int connections = server.Connections();
        PumpFor(200);
        plus.IM_KeepActive();
        PumpFor(100);
        for (int i = 0; i < server.Connections(); ++i) EXPECT_EQ(server.Received(i), "") << "connection " << i;
        EXPECT_LE(server.Connections(), connections + 1);
        EXPECT_EQ(Count(IMN_SERVER_CLOSED), 0);
    }

    // A refused setting refuses the login too, and says so.
    notices.clear();
    EXPECT_FALSE(plus.IM_SetIMSvrSecurity(IMSECURITY_TLS_PINNED, "00:11"));
    auto login = Login("10001", "secret");
    EXPECT_FALSE(plus.IM_LoginSvr(&login));
    EXPECT_EQ(LastLoginMessage(), kSecuritySettingInvalid);
}

TEST_F(SecureConnection, PlainAndEncryptedEndsThatDoNotMatchFailCleanly) {
    auto login = Login("10001", "secret");
    struct Row {
        const char* name;
        std::function<void()> serverDoes;
    };
    // An encrypted client at a plain server: it answers as it would a login,
    // or hangs up on bytes it does not understand.
    const Row rows[] = {
        {"the plain server answers", [&] { server.Send(ServerPacket(2, "0")); }},
        {"the plain server hangs up", [&] { server.CloseConnection(); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        notices.clear();
        Secure(IMSECURITY_TLS_SYSTEM, "");
        plus.IM_SetIMSvrParam("localhost", server.Port());
        const int before = server.Connections();
        ASSERT_TRUE(plus.IM_LoginSvr(&login));
        ASSERT_TRUE(server.WaitForConnections(before + 1));
        ASSERT_TRUE(server.WaitForBytes(5));
        // What reached the plain server is a TLS hello, not the login.
        EXPECT_EQ(server.Received()[0], '\x16');
        row.serverDoes();
        ASSERT_TRUE(PumpUntil([&] { return Count(IMN_LOGIN_RESULT) == 1; }));
        EXPECT_EQ(notices.back().login.result, 0);
        EXPECT_EQ(LastLoginMessage(), kTlsHandshakeFailed);
        EXPECT_EQ(server.Received().find("secret"), std::string::npos);
        PumpFor(200);
        EXPECT_EQ(Count(IMN_SERVER_CLOSED), 0);
    }

    // A plain client at a TLS server: the server hangs up, which the IM
    // program hears as the close of a connection it has.
    notices.clear();
    StartPeer("server");
    ASSERT_TRUE(plus.IM_SetIMSvrSecurity(IMSECURITY_PLAIN, ""));
    plus.IM_SetIMSvrParam("localhost", peerPort);
    ASSERT_TRUE(plus.IM_LoginSvr(&login));
    ASSERT_TRUE(PumpUntil([&] { return Count(IMN_SERVER_CLOSED) == 1; }));
    PumpFor(300);
    EXPECT_EQ(Count(IMN_SERVER_CLOSED), 1);
    EXPECT_EQ(Count(IMN_LOGIN_RESULT), 0);
}

TEST_F(SecureConnection, EndOrBreakOfTheSessionIsOneKind4) {
    struct Row {
        const char* name;
        std::string commands;
    };
    const Row rows[] = {
        {"close_notify, TCP left open", "C"},
        {"close_notify, then the TCP close", "CQ"},
        {"TCP close without close_notify", "Q"},
        {"bytes that are no record", PeerCommand('G', "0005000800")},
        {"a record that does not decrypt", PeerCommand('G', std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'x'))},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        notices.clear();
        StartPeer("server");
        Secure(IMSECURITY_TLS_SYSTEM, "");
        LogIn("u1");
        server.Send(row.commands);
        ASSERT_TRUE(PumpUntil([&] { return Count(IMN_SERVER_CLOSED) == 1; }));
        PumpFor(300);
        EXPECT_EQ(Count(IMN_SERVER_CLOSED), 1);
        // Like after a TCP close: requests are refused from here on.
        plus.IM_KeepActive();
        PumpFor(100);
        EXPECT_EQ(server.Received().size(), sent);
        plus.IM_CloseClient();
    }
}

}  // namespace
