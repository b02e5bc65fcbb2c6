// The C interface and the C++ class in one program: both act on the one
// session of the library, whichever of them a caller uses for a step.
#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "VexaIMPlus.h"
#include "VexaIMPlusC.h"
#include "win32_test_support.h"

using namespace vexa::testing;

namespace {

// The C functions keep the __stdcall convention their callers declare.
static_assert(std::is_same_v<decltype(&VexaIM_IM_PlusInit), int(__stdcall*)(HWND, HWND, int)>);
static_assert(std::is_same_v<decltype(&VexaIM_PROM_CheckIMSetup), int(__stdcall*)(char*, unsigned int)>);

class Mixed : public ::testing::Test {
protected:
    void TearDown() override { VexaIM_PROM_PlusUnInit(); }
};

TEST_F(Mixed, InitThroughOneInterfaceIsSeenThroughTheOther) {
    TestWindow im("MixedIM"), other("MixedOther");
    IMPlusDLL plus;
    ASSERT_EQ(VexaIM_IM_PlusInit(im.Handle(), nullptr, VEXAIM_ROLE_IM), 1);
    EXPECT_EQ(plus.IsInitPlus(), 1);
    EXPECT_EQ(plus.IsExsitIMProgram(), 1);

    plus.IM_ResetOutPromWnd(other.Handle());
    EXPECT_EQ(VexaIM_GetOutputHwnd(), other.Handle());
    VexaIM_PROM_SetVexaIMWnd(im.Handle());
    EXPECT_EQ(plus.GetOutputHwnd(), im.Handle());

    plus.PROM_PlusUnInit();
    EXPECT_EQ(VexaIM_IsInitPlus(), 0);
    EXPECT_EQ(VexaIM_GetOutputHwnd(), nullptr);
}

TEST_F(Mixed, TitleIsTheSameThroughBoth) {
    char title[VEXAIM_TITLE_SIZE] = {};
    unsigned int n = VexaIM_IMPlus_GetIMTitle(title, sizeof title);
    IMPlusDLL plus;
    EXPECT_EQ(n, plus.IMPlus_GetIMTitle().length());
    EXPECT_STREQ(title, plus.IMPlus_GetIMTitle().c_str());
}

TEST_F(Mixed, PacketsWrittenThroughCAreReadThroughTheClass) {
    // One process plays both roles against its own window: the IM program's
    // block is written by the host side and read back by the IM side.
    struct Seen {
        long kind = 0;
        unsigned char first = 0;
    };
    static Seen seen;
    TestWindow im("MixedPacketIM", [](HWND, UINT m, WPARAM wp, LPARAM lp, bool& handled) -> LRESULT {
        if (m == WM_IMPLUS_TOIM && wp == IMPLUS_TOIM_PACKET) {
            handled = true;
            IMPlusDLL().IM_DealProcCommand(static_cast<unsigned>(lp));
            return 77;
        }
        if (m == WM_IMPLUS_NOTIFY) {
            handled = true;
            seen.kind = static_cast<long>(wp);
            seen.first = *reinterpret_cast<const unsigned char*>(lp);
            return 1;
        }
        return 0;
    });
    ASSERT_EQ(VexaIM_IM_PlusInit(im.Handle(), im.Handle(), VEXAIM_ROLE_IM), 1);
    IM_USERCHANGEDATA data;
    std::memset(&data, 0, sizeof data);
    data.user[0] = 'u';
    EXPECT_EQ(VexaIM_PROM_SendDataToIM(VEXAIM_PROGCOMMAND_USER_DATA, &data, sizeof data), 77);
    EXPECT_EQ(seen.kind, IMN_HOST_USERDATA);
    EXPECT_EQ(seen.first, 'u');
    // A wrong size is not a user data record: no notification.
    seen = Seen{};
    EXPECT_EQ(VexaIM_PROM_SendDataToIM(VEXAIM_PROGCOMMAND_USER_DATA, &data, sizeof data - 1), 77);
    EXPECT_EQ(seen.kind, 0);
}

}  // namespace
