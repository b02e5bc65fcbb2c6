// The demo scenario end to end under Wine: the reference server (a Linux
// program from the native build), the host program starting bob's IM
// program, and carol's IM program beside it. Every line each window logged
// is checked, in order, against what the conversation must produce.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "win32_test_support.h"

namespace {

using vexa::testing::FileExists;
using vexa::testing::ReadAll;
using vexa::testing::ShellQuote;
using vexa::testing::UnixProgram;
using vexa::testing::UnixToWine;
using vexa::testing::WineToUnix;

std::string ServerBinary() {
    char buffer[1024];
    DWORD n = GetEnvironmentVariableA("VEXA_SERVER_BINARY", buffer, sizeof buffer);
    if (n > 0 && n < sizeof buffer) return std::string(buffer, n);
    return VEXA_SERVER_BINARY;
}

// The reference server on a free loopback port with a fresh database.
// extra: further options, already quoted for the shell.
class ReferenceServer {
public:
    explicit ReferenceServer(const std::string& folder) : folder_(folder), program_(folder, "server") {}

    bool Start(std::string& address) {
        StartWith("");
        address = program_.WaitForLog("listening on (127\\.0\\.0\\.1:[0-9]+)");
        return !address.empty();
    }
    // Serves TLS only, with the certificate and key given; the TLS port, or
    // "" when the server did not say it listens.
    std::string StartTlsOnly(const std::string& certificate, const std::string& key) {
        StartWith("--tls-only --tls-port 0 --tls-cert " + ShellQuote(certificate) + " --tls-key " + ShellQuote(key));
        return program_.WaitForLog("listening \\(TLS\\) on 127\\.0\\.0\\.1:([0-9]+)");
    }
    std::string Log() const { return program_.Log(); }
    void Stop() { program_.Stop(); }

private:
    void StartWith(const std::string& extra) {
        for (const char* name : {"\\vexaim.db", "\\vexaim.db-wal", "\\vexaim.db-shm"})
            DeleteFileA((folder_ + name).c_str());
        program_.Start(ShellQuote(ServerBinary()) + " --address 127.0.0.1 --port 0 --database " +
                       ShellQuote(WineToUnix(folder_) + "/vexaim.db") + " --seed-demo " + extra);
    }

    std::string folder_;
    UnixProgram program_;
};

std::string GbkToUtf8(const std::string& gbk) {
    if (gbk.empty()) return gbk;
    int wide = MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), &w[0], wide);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], bytes, nullptr, nullptr);
    return out;
}

// The log as UTF-8 lines, with what differs from run to run (the server's
// clock in chat records, the server's port) put in a fixed form.
std::vector<std::string> LogLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(GbkToUtf8(ReadAll(path)));
    std::string line;
    std::regex time("time=\"[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2}\"");
    std::regex port("IM_SetIMSvrParam 127\\.0\\.0\\.1 [0-9]+");
    while (std::getline(in, line)) {
        line = std::regex_replace(line, time, "time=\"<server time>\"");
        lines.push_back(std::regex_replace(line, port, "IM_SetIMSvrParam 127.0.0.1 <port>"));
    }
    return lines;
}

void ExpectLines(const std::string& who, const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
    for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
        std::string a = i < actual.size() ? actual[i] : "(missing)";
        std::string e = i < expected.size() ? expected[i] : "(nothing more)";
        EXPECT_EQ(a, e) << who << " line " << i + 1;
    }
}

#include "demo_expected.inc"

TEST(DemoScenario, EveryWindowReceivesTheWholeConversation) {
    // Without the server the scenario cannot run, and that is a failure.
    ASSERT_TRUE(FileExists(UnixToWine(ServerBinary())))
        << "no reference server at " << ServerBinary() << " (build the native preset first)";

    std::string folder = vexa::testing::ExeDirectory() + "demo-scenario";
    CreateDirectoryA(folder.c_str(), nullptr);
    for (const char* name : {"\\host.log", "\\bob.log", "\\carol.log"}) DeleteFileA((folder + name).c_str());

    ReferenceServer server(folder);
    std::string address;
    ASSERT_TRUE(server.Start(address)) << server.Log();

    std::string scenario = UnixToWine(VEXA_SCENARIO_DIR);
    // What bob's IM program needs reaches it through the environment, since
    // the host starts it with nothing but the host window on its command line.
    SetEnvironmentVariableA("VEXAIM_SCRIPT", (scenario + "\\first.txt").c_str());
    SetEnvironmentVariableA("VEXAIM_LOG", (folder + "\\bob.log").c_str());
    SetEnvironmentVariableA("VEXAIM_NAME", "bob");
    SetEnvironmentVariableA("VEXAIM_SERVER", address.c_str());
    std::string exe = vexa::testing::ExeDirectory();
    vexa::testing::ChildProcess host(
        "vexahost.exe", "--im \"" + exe + "vexaim.exe\" --user 10002 --password bob123 --position \"7,Room 7A,120,80,640,480\" --log \"" +
                            folder + "\\host.log\"");
    ASSERT_TRUE(host.Started());
    vexa::testing::ChildProcess carol("vexaim.exe", "--guest --name carol --script \"" + scenario + "\\second.txt\" --log \"" +
                                                         folder + "\\carol.log\" --server " + address);
    ASSERT_TRUE(carol.Started());

    EXPECT_EQ(carol.Wait(120000), 0);
    EXPECT_EQ(host.Wait(30000), 0);
    server.Stop();

    ExpectLines("host", LogLines(folder + "\\host.log"), kHostLines);
    ExpectLines("bob", LogLines(folder + "\\bob.log"), kBobLines);
    ExpectLines("carol", LogLines(folder + "\\carol.log"), kCarolLines);
}

// Each expected text appears in a line of its own, in this order; lines in
// between are allowed (keep-alives, the friend list's users, and so on).
void ExpectInOrder(const std::string& who, const std::vector<std::string>& lines,
                   const std::vector<std::string>& expected) {
    std::size_t at = 0;
    for (const std::string& text : expected) {
        std::size_t found = at;
        while (found < lines.size() && lines[found].find(text) == std::string::npos) ++found;
        if (found == lines.size()) {
            std::string all;
            for (const auto& line : lines) all += line + "\n";
            ADD_FAILURE() << who << ": no line with \"" << text << "\" after line " << at << " in\n" << all;
            return;
        }
        at = found + 1;
    }
}

// The requests and notices the demo conversation leaves out: invitation,
// one-to-one request, answer and stop, position, profile query and change,
// status, blacklist and friend deletion, and the list of friends online.
TEST(DemoScenario, EveryOtherRequestReachesTheOtherWindow) {
    // Without the server the scenario cannot run, and that is a failure.
    ASSERT_TRUE(FileExists(UnixToWine(ServerBinary())))
        << "no reference server at " << ServerBinary() << " (build the native preset first)";
    std::string folder = vexa::testing::ExeDirectory() + "demo-features";
    CreateDirectoryA(folder.c_str(), nullptr);
    for (const char* name : {"\\alice.log", "\\carol.log"}) DeleteFileA((folder + name).c_str());
    ReferenceServer server(folder);
    std::string address;
    ASSERT_TRUE(server.Start(address)) << server.Log();

    std::string scripts = UnixToWine(VEXA_FEATURES_DIR);
    // alice is the IM program that makes the shared blocks; carol opens them
    // as a guest, so alice starts first and logs in once carol is ready.
    vexa::testing::ChildProcess alice("vexaim.exe", "--name alice --script \"" + scripts + "\\alice.txt\" --log \"" +
                                                         folder + "\\alice.log\" --server " + address);
    ASSERT_TRUE(alice.Started());
    // carol may open the blocks only once alice has made them.
    ASSERT_TRUE(vexa::testing::PumpUntil([] {
        HANDLE block = OpenFileMappingA(FILE_MAP_READ, FALSE, "#IMREVMAP1#");
        if (block) CloseHandle(block);
        return block != nullptr;
    }));
    vexa::testing::ChildProcess carol("vexaim.exe", "--guest --name carol --script \"" + scripts + "\\carol.txt\" --log \"" +
                                                         folder + "\\carol.log\" --server " + address);
    ASSERT_TRUE(carol.Started());
    EXPECT_EQ(alice.Wait(120000), 0);
    EXPECT_EQ(carol.Wait(30000), 0);
    server.Stop();

    auto aliceLines = LogLines(folder + "\\alice.log");
    auto carolLines = LogLines(folder + "\\carol.log");
    ExpectInOrder("alice", aliceLines,
                  {"< IMN_LOGIN_RESULT result=1", "< IMN_SENDASK_LIST count=1 [ text=\"10003\" value=1]", "< IMN_FRIEND_LIST",
                   "< IMN_1V1_REPLY user=\"10001\" peer=\"10003\" agreed=1",
                   "< IMN_USERINFO_RESULT result=1 message=\"\" id=10003 name=\"10003\"",
                   "< IMN_CHANGEINFO_RESULT result=1 message=\"\" nickname=\"小爱\"",
                   "< IMN_USER_STATUS user=\"10003\" status=3 note=\"outside\"",
                   "< IMN_ADDBL_RESULT result=1 value=5 peer=\"10002\"",
                   "< IMN_DELFL_RESULT result=1 value=0 peer=\"10003\""});
    ExpectInOrder("carol", carolLines,
                  {"< IMN_LOGIN_RESULT result=1", "< IMN_INVITE fromUser=\"10001\" toUser=\"10003\"",
                   "< IMN_1V1_ASK firstUser=\"10001\" secondUser=\"10003\" userInfo.name=\"10001\"",
                   "> IM_Reply1V1Msg 10001 yes", "< IMN_1V1_STOP firstUser=\"10003\" secondUser=\"10001\"",
                   "< IMN_USER_POSITION user=\"10001\" pos.id=9 ms=\"Hall B\" pos0=1 pos1=-2 pos2=3 pos3=4"});
}

// Two IM programs talk through the reference server over TLS only, in both
// checking modes: the system's roots (the test CA, trusted in this prefix)
// with the host name, and a pinned fingerprint with an address.
TEST(DemoScenario, TwoIMProgramsTalkOverTlsInBothCheckingModes) {
    ASSERT_TRUE(FileExists(UnixToWine(ServerBinary())))
        << "no reference server at " << ServerBinary() << " (build the native preset first)";
    const std::string certs = VEXA_TLS_CERTS;
    ASSERT_TRUE(vexa::testing::TrustRootCertificate(UnixToWine(certs + "/ca.der")));
    std::string pin = ReadAll(UnixToWine(certs + "/server.sha256"));
    while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
    struct Row {
        const char* name;
        std::string host;
        std::string security;
    };
    const Row rows[] = {
        {"system", "localhost", "system"},
        {"pinned", "127.0.0.1", "pin:" + pin},
    };
    std::string folder = vexa::testing::ExeDirectory() + "demo-tls";
    CreateDirectoryA(folder.c_str(), nullptr);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string tag = std::string("tls-") + row.name;
        for (const char* name : {"\\alice.log", "\\carol.log"}) DeleteFileA((folder + name).c_str());
        ReferenceServer server(folder);
        const std::string port = server.StartTlsOnly(certs + "/server.pem", certs + "/server.key");
        ASSERT_FALSE(port.empty()) << server.Log();
        const std::string address = row.host + ":" + port;

        std::ofstream(folder + "\\alice.txt")
            << "await " << tag << "-carol\nlogin 10001 alice123\nwait 1\nchat 10003 - \"" << u8"你好，走加密通道"
            << "\"\nwait 5\nset " << tag << "-alice\nquit\n";
        std::ofstream(folder + "\\carol.txt") << "login 10003 carol123\nwait 1\nset " << tag
                                              << "-carol\nwait 5\nchat 10001 - \"ok\"\nawait " << tag
                                              << "-alice\nquit\n";
        vexa::testing::ChildProcess alice("vexaim.exe", "--name alice --script \"" + folder + "\\alice.txt\" --log \"" +
                                                             folder + "\\alice.log\" --server " + address +
                                                             " --security " + row.security);
        ASSERT_TRUE(alice.Started());
        ASSERT_TRUE(vexa::testing::PumpUntil([] {
            HANDLE block = OpenFileMappingA(FILE_MAP_READ, FALSE, "#IMREVMAP1#");
            if (block) CloseHandle(block);
            return block != nullptr;
        }));
        vexa::testing::ChildProcess carol("vexaim.exe", "--guest --name carol --script \"" + folder + "\\carol.txt\" --log \"" +
                                                             folder + "\\carol.log\" --server " + address +
                                                             " --security " + row.security);
        ASSERT_TRUE(carol.Started());
        EXPECT_EQ(alice.Wait(60000), 0);
        EXPECT_EQ(carol.Wait(30000), 0);
        server.Stop();

        ExpectInOrder("alice", LogLines(folder + "\\alice.log"),
                      {"> IM_SetIMSvrSecurity " + row.security + " = 1", "< IMN_LOGIN_RESULT result=1",
                       "content=\"ok\""});
        ExpectInOrder("carol", LogLines(folder + "\\carol.log"),
                      {"> IM_SetIMSvrSecurity " + row.security + " = 1", "< IMN_LOGIN_RESULT result=1",
                       u8"content=\"你好，走加密通道\""});
    }
}

}  // namespace
