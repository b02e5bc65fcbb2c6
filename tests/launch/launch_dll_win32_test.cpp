// The four host methods through the exported class under Wine: the IM window
// found by its caption, the installed program found in the real registry, the
// IM program started through the real shell, and a host program that loads
// and unloads the DLL and so tells the IM window that it is going away.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "VexaIMPlus.h"
#include "win32_test_support.h"

using namespace vexa::testing;

namespace {

constexpr char kIMTitle[] = "VexaIM_V1.0Beta";
constexpr char kIMSoftKey[] = "Software\\VexaIMSoft";

std::string Hwnd(HWND h) { return std::to_string(reinterpret_cast<LONG_PTR>(h)); }

// The text after "key=" up to the next blank; "cmdline=" takes the rest.
std::string Field(const std::string& line, const std::string& key) {
    std::size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    if (key == "cmdline") return line.substr(at);
    return line.substr(at, line.find(' ', at) - at);
}

// A stand-in IM program that reported its start; closed (or, failing that,
// ended) when the object goes away, so none outlives the test.
class LaunchedIM {
public:
    explicit LaunchedIM(const std::string& line)
        : pid_(std::strtoul(Field(line, "pid").c_str(), nullptr, 10)),
          window_(reinterpret_cast<HWND>(std::atoll(Field(line, "hwnd").c_str()))),
          process_(pid_ ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, pid_)
                        : nullptr) {}
    ~LaunchedIM() {
        if (!process_) return;
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            PostMessageA(window_, WM_CLOSE, 0, 0);
            if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) TerminateProcess(process_, 99);
        }
        CloseHandle(process_);
    }
    bool Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    // Asks it to close as a user would; its exit code, or -1.
    long Close() {
        if (!process_) return -1;
        PostMessageA(window_, WM_CLOSE, 0, 0);
        if (!PumpUntil([&] { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; })) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return static_cast<long>(code);
    }

private:
    DWORD pid_;
    HWND window_;
    HANDLE process_;
};

class HostLaunch : public ::testing::Test {
protected:
    void TearDown() override {
        plus.PROM_PlusUnInit();
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kIMSoftKey);
    }
    IMPlusDLL plus;
    ReportWindow report;
};

// ---- finding the IM window

TEST_F(HostLaunch, AGivenWindowIsOnlyTestedAndNothingIsStored) {
    TestWindow im(kIMTitle);
    TestWindow earlier("Earlier");
    HWND destroyed;
    {
        TestWindow gone("Gone");
        destroyed = gone.Handle();
    }
    plus.PROM_SetVexaIMWnd(earlier.Handle());
    // The IM window exists, but the window asked about does not.
    EXPECT_EQ(plus.PROM_CheckIMExist(destroyed), 0);
    EXPECT_EQ(plus.GetOutputHwnd(), earlier.Handle());

    TestWindow alive("Alive");
    EXPECT_EQ(plus.PROM_CheckIMExist(alive.Handle()), 1);
    EXPECT_EQ(plus.GetOutputHwnd(), earlier.Handle());
}

TEST_F(HostLaunch, WithNoWindowTheIMWindowIsFoundByItsExactTitle) {
    TestWindow earlier("Earlier");
    plus.PROM_SetVexaIMWnd(earlier.Handle());
    EXPECT_EQ(plus.PROM_CheckIMExist(nullptr), 0);
    {
        TestWindow longer("VexaIM_V1.0Beta2"), shorter("VexaIM_V1.0");
        EXPECT_EQ(plus.PROM_CheckIMExist(nullptr), 0);
        EXPECT_EQ(plus.GetOutputHwnd(), earlier.Handle());
    }
    TestWindow im(kIMTitle);
    EXPECT_EQ(plus.PROM_CheckIMExist(nullptr), 1);
    EXPECT_EQ(plus.GetOutputHwnd(), im.Handle());
}

// ---- the installed program, through the counted string

TEST_F(HostLaunch, SetupFillsTheCountedStringOnlyWhenTheValueWasRead) {
    IMString path("untouched");
    EXPECT_EQ(plus.PROM_CheckIMSetup(path), 0);
    EXPECT_STREQ(path.c_str(), "untouched");

    const std::string program = ExeDirectory() + "vexa_launch_im.exe";
    ASSERT_LT(program.size(), 80u) << "the build folder's path is too long for this test";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kIMSoftKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "MainRun", 0, REG_SZ, reinterpret_cast<const BYTE*>(program.c_str()),
                   static_cast<DWORD>(program.size() + 1));
    EXPECT_EQ(plus.PROM_CheckIMSetup(path), 1);
    EXPECT_EQ(std::string(path.c_str(), path.length()), program);

    const std::string tooLong(80, 'x');
    RegSetValueExA(key, "MainRun", 0, REG_SZ, reinterpret_cast<const BYTE*>(tooLong.c_str()), 81);
    EXPECT_EQ(plus.PROM_CheckIMSetup(path), 0);
    EXPECT_EQ(std::string(path.c_str(), path.length()), program);
    RegCloseKey(key);
}

// ---- starting the IM program

TEST_F(HostLaunch, TheProgramGetsTheHostWindowAndKeepsRunning) {
    // The IM program may be of the other word size: it gets the window as
    // the 32-bit number that both sides share.
    const std::string program = PeerDirectory() + "vexa_launch_im.exe";
    SetEnvironmentVariableA("VEXA_LAUNCH_BIN", PeerDirectory().substr(0, PeerDirectory().size() - 1).c_str());
    // The shell substitutes environment variables in the path (the record's
    // mask asks it to), as an expandable registry value needs.
    const std::string paths[] = {program, "%VEXA_LAUNCH_BIN%\\vexa_launch_im.exe"};
    for (const std::string& path : paths) {
        report.Clear();
        EXPECT_EQ(plus.PROM_RunVexaIMProgram(report.Handle(), path.c_str()), 1) << path;
        std::string line = report.WaitForLine("im ");
        ASSERT_FALSE(line.empty()) << path << ": the IM program did not start";
        LaunchedIM im(line);
        // The call has returned and the program it started is still running.
        EXPECT_TRUE(im.Running()) << path;
        const std::string parameter = std::to_string(static_cast<int>(reinterpret_cast<LONG_PTR>(report.Handle())));
        EXPECT_EQ(Field(line, "argc"), "2") << line;
        EXPECT_EQ(Field(line, "param"), parameter) << line;
        const std::string cmdline = Field(line, "cmdline");
        ASSERT_GE(cmdline.size(), parameter.size() + 1) << line;
        EXPECT_EQ(cmdline.substr(cmdline.size() - parameter.size() - 1), " " + parameter) << line;
        EXPECT_EQ(im.Close(), 0) << path;
    }
}

// ---- the host's unload

struct UnloadCase {
    const char* name;
    std::string arguments;  // after the report window
    std::size_t notices;    // WM_IMPLUS_TOIM (3, 0) the IM window gets
    bool programStarts;
};

TEST_F(HostLaunch, AHostThatLaunchedTheIMProgramSaysGoodbyeOnceAtUnload) {
    // The host comes from PeerDirectory(), so across word sizes it starts an
    // IM program of the other size than its own.
    const std::string program = ExeDirectory() + "vexa_launch_im.exe";
    const UnloadCase cases[] = {
        {"started nothing", "stay", 0, false},
        {"started the IM program", "run \"" + program + "\"", 1, true},
        {"tried with no path", "run-empty", 1, false},
    };
    for (const UnloadCase& c : cases) {
        report.Clear();
        struct Notice {
            WPARAM wParam;
            LPARAM lParam;
            bool afterRun;
        };
        std::vector<Notice> notices;
        std::size_t others = 0;
        TestWindow im(kIMTitle, [&](HWND, UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) -> LRESULT {
            if (msg != WM_IMPLUS_TOIM) return 0;
            handled = true;
            if (wParam == 3)
                notices.push_back({wParam, lParam, report.HasLine("host ran=")});
            else
                ++others;
            return 0;
        });

        ChildProcess host("vexa_launch_host.exe", Hwnd(report.Handle()) + " " + c.arguments);
        ASSERT_TRUE(host.Started()) << c.name;
        EXPECT_EQ(report.WaitForLine("host found="), "host found=1 other=" + Hwnd(im.Handle())) << c.name;
        EXPECT_EQ(report.WaitForLine("host freed="), "host freed=1 loaded=0") << c.name;
        EXPECT_EQ(host.Wait(), 0) << c.name;
        // Any late or second notice would have arrived by now.
        PumpFor(300);

        ASSERT_EQ(notices.size(), c.notices) << c.name;
        for (const Notice& n : notices) {
            EXPECT_EQ(n.lParam, 0) << c.name;
            EXPECT_TRUE(n.afterRun) << c.name << ": the notice came before the program was started";
        }
        EXPECT_EQ(others, 0u) << c.name;
        if (c.notices) {
            EXPECT_TRUE(report.HasLine("host ran=1")) << c.name;
        }

        std::string started = report.WaitForLine("im ", c.programStarts ? 10000 : 0);
        EXPECT_EQ(!started.empty(), c.programStarts) << c.name;
        if (!started.empty()) {
            LaunchedIM launched(started);
            EXPECT_EQ(Field(started, "param"), Hwnd(report.Handle())) << c.name;
            EXPECT_EQ(launched.Close(), 0) << c.name;
        }
    }
}

}  // namespace
