// The plug-in spine under Wine: real windows, real named mappings, a real
// second process, and message boxes closed by a watcher as a user would.
#include <gtest/gtest.h>

#include <string>

#include "VexaIMPlus.h"
#include "peer_protocol.h"
#include "win32_test_support.h"

using namespace vexa::testing;

namespace {

std::string Hwnd(HWND h) { return std::to_string(reinterpret_cast<LONG_PTR>(h)); }

// "启动失败,错误号:(Error:201)！" in GBK.
std::string StartFailed(const char* code) {
    return std::string("\xc6\xf4\xb6\xaf\xca\xa7\xb0\xdc\x2c\xb4\xed\xce\xf3\xba\xc5\x3a\x28") + code + "\x29\xa3\xa1";
}

class Spine : public ::testing::Test {
protected:
    void TearDown() override { plus.PROM_PlusUnInit(); }
    IMPlusDLL plus;
    ReportWindow report;
};

TEST_F(Spine, IMCreatesTheBlocksAndAHostOpensThem) {
    TestWindow imWindow("SpineIM");
    ASSERT_TRUE(plus.IM_PlusInit(imWindow.Handle(), nullptr, static_cast<PROMID>(0)));
    EXPECT_EQ(plus.IsInitPlus(), 1);
    // Role 0: the IM window is the own one, the host window (none yet) the other.
    EXPECT_EQ(plus.IsExsitIMProgram(), 1);
    EXPECT_EQ(plus.IsExsitOutProgram(), 0);

    ChildProcess host("vexa_test_peer.exe", Hwnd(report.Handle()) + " host 7 " + Hwnd(imWindow.Handle()));
    std::string line = report.WaitForLine("host init=");
    ASSERT_EQ(line.substr(0, 16), "host init=1 hwnd");
    HWND hostWindow = reinterpret_cast<HWND>(std::stoll(line.substr(line.find("hwnd=") + 5)));

    plus.IM_ResetOutPromWnd(hostWindow);
    EXPECT_EQ(plus.IsExsitOutProgram(), 1);
    EXPECT_EQ(plus.GetOutputHwnd(), hostWindow);

    // A host answers the queries the other way round.
    PostMessageA(hostWindow, kPeerQuery, 0, 0);
    EXPECT_EQ(report.WaitForLine("query"), "query im=1 out=1 other=" + Hwnd(imWindow.Handle()) + " init=1");
    PostMessageA(hostWindow, WM_CLOSE, 0, 0);
    EXPECT_EQ(host.Wait(), 0);
}

TEST_F(Spine, HostBeforeAnyIMProgramFailsWithError201ThenSucceeds) {
    TestWindow hostWindow("SpineHost");
    {
        MessageBoxWatcher watcher("VexaIM");
        EXPECT_FALSE(plus.PROM_PlusInit(static_cast<PROMID>(7), hostWindow.Handle(), nullptr));
        ASSERT_TRUE(watcher.WaitForBoxes(1));
        PumpFor(200);
        ASSERT_EQ(watcher.Texts().size(), 1u);
        EXPECT_EQ(watcher.Texts()[0], StartFailed("Error:201"));
    }
    EXPECT_EQ(plus.IsInitPlus(), 0);

    ChildProcess im("vexa_test_peer.exe", Hwnd(report.Handle()) + " im " + Hwnd(hostWindow.Handle()));
    std::string line = report.WaitForLine("im init=");
    ASSERT_EQ(line.substr(0, 10), "im init=1 ");
    HWND imWindow = reinterpret_cast<HWND>(std::stoll(line.substr(line.find("hwnd=") + 5)));

    MessageBoxWatcher quiet("VexaIM");
    EXPECT_TRUE(plus.PROM_PlusInit(static_cast<PROMID>(7), hostWindow.Handle(), imWindow));
    EXPECT_EQ(plus.IsInitPlus(), 1);
    EXPECT_EQ(plus.GetOutputHwnd(), imWindow);
    EXPECT_EQ(plus.IsExsitIMProgram(), 1);
    EXPECT_EQ(plus.IsExsitOutProgram(), 1);
    PumpFor(100);
    EXPECT_TRUE(quiet.Texts().empty());
    PostMessageA(imWindow, WM_CLOSE, 0, 0);
    EXPECT_EQ(im.Wait(), 0);
}

TEST_F(Spine, ASecondIMProgramGetsError101) {
    TestWindow imWindow("SpineIM");
    ASSERT_TRUE(plus.IM_PlusInit(imWindow.Handle(), nullptr, static_cast<PROMID>(0)));
    MessageBoxWatcher watcher("VexaIM");
    ChildProcess second("vexa_test_peer.exe", Hwnd(report.Handle()) + " im 0");
    EXPECT_EQ(report.WaitForLine("im init=").substr(0, 10), "im init=0 ");
    EXPECT_EQ(second.Wait(), 1);
    ASSERT_EQ(watcher.Texts().size(), 1u);
    EXPECT_EQ(watcher.Texts()[0], StartFailed("Error:101"));
}

TEST_F(Spine, InitTwiceKeepsTheFirstCallsWindows) {
    TestWindow first("First"), second("Second");
    MessageBoxWatcher watcher("VexaIM");
    plus.PROM_SetVexaIMWnd(second.Handle());  // overwritten by Init
    ASSERT_TRUE(plus.IM_PlusInit(first.Handle(), first.Handle(), static_cast<PROMID>(0)));
    EXPECT_EQ(plus.GetOutputHwnd(), first.Handle());
    EXPECT_FALSE(plus.IM_PlusInit(second.Handle(), second.Handle(), static_cast<PROMID>(0)));
    EXPECT_EQ(plus.GetOutputHwnd(), first.Handle());
    EXPECT_EQ(plus.IsInitPlus(), 1);
    PumpFor(100);
    EXPECT_TRUE(watcher.Texts().empty());

    plus.PROM_PlusUnInit();
    EXPECT_EQ(plus.GetOutputHwnd(), nullptr);
    EXPECT_EQ(plus.IsInitPlus(), 0);
    EXPECT_EQ(plus.IsExsitIMProgram(), 0);
    // After Uninit the names are free again for a new IM program.
    EXPECT_TRUE(plus.IM_PlusInit(first.Handle(), nullptr, static_cast<PROMID>(0)));
}

TEST_F(Spine, SetOtherWindowIsTheSameOnBothSides) {
    TestWindow a("A"), b("B");
    plus.IM_ResetOutPromWnd(a.Handle());
    EXPECT_EQ(plus.GetOutputHwnd(), a.Handle());
    plus.PROM_SetVexaIMWnd(b.Handle());
    EXPECT_EQ(plus.GetOutputHwnd(), b.Handle());
}

TEST_F(Spine, TwoObjectsShareOneSession) {
    TestWindow w("Shared");
    IMPlusDLL other;
    ASSERT_TRUE(plus.IM_PlusInit(w.Handle(), nullptr, static_cast<PROMID>(0)));
    EXPECT_EQ(other.IsInitPlus(), 1);
    other.PROM_PlusUnInit();
    EXPECT_EQ(plus.IsInitPlus(), 0);
}

TEST_F(Spine, TitleIsSetByTheFirstObjectAndLeftAloneByMore) {
    EXPECT_STREQ(plus.IMPlus_GetIMTitle().c_str(), "VexaIM_V1.0Beta");
    ChildProcess peer("vexa_test_peer.exe", Hwnd(report.Handle()) + " title");
    EXPECT_EQ(report.WaitForLine("title="), "title=VexaIM_V1.0Beta again=VexaIM_V1.0Beta");
    EXPECT_EQ(peer.Wait(), 0);
}

}  // namespace
