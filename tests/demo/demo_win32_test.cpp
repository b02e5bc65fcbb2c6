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

std::string UnixToWine(const std::string& path) {
    std::string out = "Z:" + path;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

// Only Z:, which every prefix maps to the Unix root, has a Unix twin.
std::string WineToUnix(const std::string& path) {
    std::string out = path.substr(2);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

std::string ServerBinary() {
    char buffer[1024];
    DWORD n = GetEnvironmentVariableA("VEXA_SERVER_BINARY", buffer, sizeof buffer);
    if (n > 0 && n < sizeof buffer) return std::string(buffer, n);
    return VEXA_SERVER_BINARY;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Runs a Unix shell command; Wine starts Unix programs but gives no handle
// to wait on, so the command leaves its traces in files.
bool RunUnix(const std::string& command) {
    std::string line = "Z:\\bin\\sh -c \"" + command + "\"";
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// The reference server on a free loopback port with a fresh database. It is
// bounded by timeout(1) as well, so it cannot outlive a test that dies.
class ReferenceServer {
public:
    explicit ReferenceServer(const std::string& folder) : folder_(folder) {}
    ~ReferenceServer() { Stop(); }

    bool Start(std::string& address) {
        std::string dir = WineToUnix(folder_);
        // Removed here and not by the shell, which runs on its own time: a
        // log left by an earlier run would name an old port.
        for (const char* name : {"\\server.pid", "\\server.log", "\\vexaim.db", "\\vexaim.db-wal", "\\vexaim.db-shm"})
            DeleteFileA((folder_ + name).c_str());
        RunUnix("echo $$ > '" + dir +
                "/server.pid'; exec timeout 200 '" + ServerBinary() + "' --address 127.0.0.1 --port 0 --database '" + dir +
                "/vexaim.db' --seed-demo 2> '" + dir + "/server.log'");
        started_ = true;
        std::regex listening("listening on (127\\.0\\.0\\.1:[0-9]+)");
        for (int i = 0; i < 200; ++i) {
            std::smatch m;
            std::string log = ReadAll(folder_ + "\\server.log");
            if (std::regex_search(log, m, listening)) {
                address = m[1];
                return true;
            }
            Sleep(50);
        }
        return false;
    }

    void Stop() {
        if (!started_) return;
        started_ = false;
        std::string dir = WineToUnix(folder_);
        RunUnix("kill $(cat '" + dir + "/server.pid') 2>/dev/null");
        Sleep(300);
    }

private:
    std::string folder_;
    bool started_ = false;
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
    if (!FileExists(UnixToWine(ServerBinary())))
        GTEST_SKIP() << "no reference server at " << ServerBinary() << " (build the native preset first)";

    std::string folder = vexa::testing::ExeDirectory() + "demo-scenario";
    CreateDirectoryA(folder.c_str(), nullptr);
    for (const char* name : {"\\host.log", "\\bob.log", "\\carol.log"}) DeleteFileA((folder + name).c_str());

    ReferenceServer server(folder);
    std::string address;
    ASSERT_TRUE(server.Start(address)) << ReadAll(folder + "\\server.log");

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

}  // namespace
