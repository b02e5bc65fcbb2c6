// The window-message relay between two real processes under Wine. This test
// process is the host; the peer program is the IM program.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "VexaIMPlus.h"
#include "peer_protocol.h"
#include "win32_test_support.h"

using namespace vexa::testing;

namespace {

std::string Hwnd(HWND h) { return std::to_string(reinterpret_cast<LONG_PTR>(h)); }

std::vector<unsigned char> Pattern(unsigned length) {
    std::vector<unsigned char> bytes(length);
    for (unsigned i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>('A' + i % 26);
    return bytes;
}

class Relay : public ::testing::Test {
protected:
    void SetUp() override {
        host = std::make_unique<TestWindow>("RelayHost", [this](HWND, UINT msg, WPARAM wParam, LPARAM lParam,
                                                               bool& handled) -> LRESULT {
            if (msg == WM_IMPLUS_TOPROM) {
                announced.push_back(static_cast<long>(lParam));
                EXPECT_EQ(wParam, 59u);
                plus.PROM_DealIMCommand(static_cast<unsigned>(lParam));
                handled = true;
            } else if (msg == WM_IMPLUS_NOTIFY) {
                kinds.push_back(static_cast<int>(wParam));
                if (wParam == IMN_IM_DATA) {
                    // Read through the lParam while the notification lasts.
                    const unsigned char* p = reinterpret_cast<const unsigned char*>(lParam);
                    unsigned total;
                    std::memcpy(&total, p - 4, 4);
                    received.assign(p, p + (total - 8));
                }
                handled = true;
            }
            return 0;
        });
        im = std::make_unique<ChildProcess>("vexa_test_peer.exe",
                                            Hwnd(report.Handle()) + " im " + Hwnd(host->Handle()) + " 4242");
        std::string line = report.WaitForLine("im init=");
        ASSERT_EQ(line.substr(0, 10), "im init=1 ");
        imWindow = reinterpret_cast<HWND>(std::stoll(line.substr(line.find("hwnd=") + 5)));
        ASSERT_TRUE(plus.PROM_PlusInit(static_cast<PROMID>(0x12345), host->Handle(), imWindow));
    }
    void TearDown() override {
        plus.PROM_PlusUnInit();
        if (imWindow) PostMessageA(imWindow, WM_CLOSE, 0, 0);
        if (im) im->Wait();
    }
    // Asks the IM peer to send, and waits for its result line.
    std::string ImSends(WPARAM command, LPARAM length) {
        report.Clear();
        PostMessageA(imWindow, kPeerSendToHost, command, length);
        return report.WaitForLine("sent result=");
    }

    IMPlusDLL plus;
    ReportWindow report;
    std::unique_ptr<TestWindow> host;
    std::unique_ptr<ChildProcess> im;
    HWND imWindow = nullptr;
    std::vector<long> announced;
    std::vector<int> kinds;
    std::vector<unsigned char> received;
};

TEST_F(Relay, Command8ReachesTheHostWindowAsKind2) {
    EXPECT_EQ(ImSends(8, 100), "sent result=1");
    ASSERT_EQ(announced, std::vector<long>{108});
    ASSERT_EQ(kinds, std::vector<int>{IMN_IM_DATA});
    EXPECT_EQ(received, Pattern(100));
}

TEST_F(Relay, OtherCommandsAreAnnouncedButIgnored) {
    EXPECT_EQ(ImSends(9, 100), "sent result=1");
    EXPECT_EQ(announced, std::vector<long>{108});
    EXPECT_TRUE(kinds.empty());
}

TEST_F(Relay, EveryPayloadTheSenderTakesReachesTheHost) {
    struct Case {
        LPARAM length;
        const char* result;
    };
    const Case cases[] = {{2039, "sent result=1"}, {2040, "sent result=1"}, {8183, "sent result=1"},
                          {8184, "sent result=0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        announced.clear();
        kinds.clear();
        received.clear();
        EXPECT_EQ(ImSends(8, c.length), c.result);
        const bool sent = c.length <= 8183;
        EXPECT_EQ(announced, sent ? std::vector<long>{static_cast<long>(c.length) + 8} : std::vector<long>{});
        EXPECT_EQ(kinds, sent ? std::vector<int>{IMN_IM_DATA} : std::vector<int>{});
        EXPECT_TRUE(received == (sent ? Pattern(static_cast<unsigned>(c.length)) : std::vector<unsigned char>{}))
            << "payload differs";
    }
}

TEST_F(Relay, RefusedPayloadsLeaveTheBlockUntouched) {
    EXPECT_EQ(ImSends(8, 50), "sent result=1");
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, "#IMSENDMAP1#");
    ASSERT_NE(mapping, nullptr);
    auto* view = static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    std::vector<unsigned char> before(view, view + 8193);

    EXPECT_EQ(ImSends(8, 8184), "sent result=0");
    EXPECT_EQ(ImSends(8, 0), "sent result=0");
    EXPECT_EQ(ImSends(8, kPeerNullPayload), "sent result=0");
    EXPECT_EQ(std::vector<unsigned char>(view, view + 8193), before);
    EXPECT_EQ(announced.size(), 1u);

    // Without a host window nothing is sent either.
    PostMessageA(imWindow, kPeerResetOther, 0, 0);
    report.WaitForLine("other=0");
    EXPECT_EQ(ImSends(8, 10), "sent result=0");
    EXPECT_EQ(announced.size(), 1u);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

TEST_F(Relay, SendDataToIMReturnsTheIMWindowsAnswer) {
    auto bytes = Pattern(300);
    EXPECT_EQ(plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(77), bytes.data(), 300), 4242);
    // The IM peer saw the host's role (low 16 bits) and the command.
    EXPECT_EQ(report.WaitForLine("toim"), "toim lparam=308 role=9029 cmd=77 total=308 pattern=1 zerotail=1");

    PostMessageA(imWindow, kPeerSetAnswer, 0, -17);
    report.WaitForLine("answer=");
    report.Clear();
    // A short packet after a long one leaves zeros behind it.
    EXPECT_EQ(plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(78), bytes.data(), 5), -17);
    EXPECT_EQ(report.WaitForLine("toim"), "toim lparam=13 role=9029 cmd=78 total=13 pattern=1 zerotail=1");
}

TEST_F(Relay, SendDataToIMRefusals) {
    auto bytes = Pattern(8184);
    EXPECT_EQ(plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(1), bytes.data(), 8184), 0);
    EXPECT_EQ(plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(1), nullptr, 10), 0);
    EXPECT_EQ(plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(1), bytes.data(), 0), 0);
    EXPECT_EQ(plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(1), bytes.data(), 8183), 4242);
    plus.PROM_SetVexaIMWnd(nullptr);
    EXPECT_EQ(plus.PROM_SendDataToIM(static_cast<PROGCOMMAND>(1), bytes.data(), 10), 0);
}

TEST_F(Relay, SendMsgToIMPostsWithoutWaiting) {
    // The notice is queued on the IM side; it does not even need the IM
    // program to be listening while the call returns.
    report.Clear();
    plus.PROM_SendMsgToIM(static_cast<PROM_VexaIM_MSG>(5));
    EXPECT_EQ(report.WaitForLine("notice="), "notice=5 lparam=0");
}

TEST(RelayInProcess, SendMsgToIMIsPostedAndNeedsAnIMWindow) {
    IMPlusDLL plus;
    std::vector<std::pair<WPARAM, LPARAM>> notices;
    TestWindow im("PostTarget", [&](HWND, UINT msg, WPARAM w, LPARAM l, bool& handled) -> LRESULT {
        if (msg == WM_IMPLUS_TOIM) {
            notices.emplace_back(w, l);
            handled = true;
        }
        return 0;
    });
    plus.PROM_SetVexaIMWnd(im.Handle());
    plus.PROM_SendMsgToIM(static_cast<PROM_VexaIM_MSG>(6));
    // Posted, not sent: the window has not seen it until messages are pumped.
    EXPECT_TRUE(notices.empty());
    PumpUntil([&] { return !notices.empty(); }, 2000);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].first, 6u);
    EXPECT_EQ(notices[0].second, 0);

    plus.PROM_SetVexaIMWnd(nullptr);
    plus.PROM_SendMsgToIM(static_cast<PROM_VexaIM_MSG>(6));
    PumpFor(100);
    EXPECT_EQ(notices.size(), 1u);
}

}  // namespace
