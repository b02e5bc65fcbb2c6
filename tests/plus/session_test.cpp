// The session's logic natively, against a recording double of the system:
// initialisation and its failure codes, the relay's checks, the host commands.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "ipc/shared_packet.h"
#include "plus/session.h"
#include "protocol/system_texts.h"
#include "protocol/text.h"

#include <functional>

using namespace vexa;
using vexa::plus::Window;

namespace {

// Named blocks shared by all sessions of one test, like the system's objects.
struct BlockRegistry {
    std::map<std::string, std::shared_ptr<std::vector<unsigned char>>> blocks;
    std::vector<std::string> refusedCreates;  // names whose create the "system" refuses
};

class MemoryBlock final : public ipc::SharedBlock {
public:
    explicit MemoryBlock(BlockRegistry& registry) : registry_(registry) {}
    bool Create() override {
        Release();
        for (const auto& name : registry_.refusedCreates)
            if (name == Name()) return false;
        if (registry_.blocks.count(Name())) return false;
        memory_ = std::make_shared<std::vector<unsigned char>>(ipc::kBlockSize, 0);
        registry_.blocks[Name()] = memory_;
        return true;
    }
    bool Open() override {
        auto it = registry_.blocks.find(Name());
        if (it == registry_.blocks.end()) return false;
        memory_ = it->second;
        return true;
    }
    unsigned char* View() override { return memory_ ? memory_->data() : nullptr; }
    void Release() override {
        if (memory_ && memory_.use_count() == 2) registry_.blocks.erase(Name());
        memory_.reset();
    }

private:
    BlockRegistry& registry_;
    std::shared_ptr<std::vector<unsigned char>> memory_;
};

struct Call {
    std::string what;
    Window window;
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

class RecordingPlatform final : public plus::SessionPlatform {
public:
    explicit RecordingPlatform(BlockRegistry& registry) : registry_(registry) {}
    std::unique_ptr<ipc::SharedBlock> MakeBlock() override { return std::make_unique<MemoryBlock>(registry_); }
    std::intptr_t SendWindowMessage(Window w, unsigned m, std::uintptr_t wp, std::intptr_t lp) override {
        calls.push_back({"send", w, m, wp, lp});
        if (onSend) return onSend(calls.back());
        return answer;
    }
    bool PostWindowMessage(Window w, unsigned m, std::uintptr_t wp, std::intptr_t lp) override {
        calls.push_back({"post", w, m, wp, lp});
        return true;
    }
    bool IsWindowAlive(Window w) override { return w != nullptr && w != dead; }
    void ShowMessageBox(Window owner, const std::string& text, const std::string& caption, unsigned style) override {
        boxes.push_back({owner, text, caption, style});
    }
    void DebugOutput(const std::string& line) override { debug.push_back(line); }
    std::unique_ptr<net::Transport> MakeTransport() override { return nullptr; }
    std::string LocalTimeText() override { return "20261207 10:11:12"; }

    struct Box {
        Window owner;
        std::string text, caption;
        unsigned style;
    };
    std::vector<Call> calls;
    std::vector<Box> boxes;
    std::vector<std::string> debug;
    long answer = 0;
    Window dead = nullptr;
    std::function<long(const Call&)> onSend;

private:
    BlockRegistry& registry_;
};

// A session whose connection part is recorded instead of connecting.
class TestSession : public plus::PlusSession {
public:
    using PlusSession::PlusSession;
    bool Login(const IM_USER_LOGINDATA* login) override {
        logins.push_back(*login);
        std::memcpy(&loginData, login, sizeof loginData);
        return true;
    }
    void ChangePosition(const IM_USER_POSITION* position) override { positions.push_back(*position); }
    std::string_view OwnId() const override { return text::CString(loginData.userId, sizeof loginData.userId); }
    IM_USER_LOGINDATA loginData{};
    std::vector<IM_USER_LOGINDATA> logins;
    std::vector<IM_USER_POSITION> positions;
};

Window W(std::uintptr_t v) { return reinterpret_cast<Window>(v); }

class SessionTest : public ::testing::Test {
protected:
    BlockRegistry registry;
    RecordingPlatform imPlatform{registry}, hostPlatform{registry};
    TestSession im{imPlatform}, host{hostPlatform};
};

TEST_F(SessionTest, InitFailuresRaiseTheirCodesInABox) {
    struct Case {
        bool asHost;
        const char* refuse;  // a name the system refuses to create
        bool createFirst;    // whether an IM session made the blocks before
        const char* code;
    };
    const Case cases[] = {
        {true, nullptr, false, "Error:201"},
        {false, ipc::kSendBlockName, false, "Error:101"},
        {false, ipc::kRevBlockName, false, "Error:102"},
    };
    for (const auto& c : cases) {
        BlockRegistry reg;
        if (c.refuse) reg.refusedCreates.push_back(c.refuse);
        RecordingPlatform platform(reg);
        TestSession session(platform);
        EXPECT_FALSE(session.Init(W(1), W(2), c.asHost ? 7 : 0)) << c.code;
        ASSERT_EQ(platform.boxes.size(), 1u) << c.code;
        EXPECT_EQ(platform.boxes[0].text, texts::StartFailedText(c.code));
        EXPECT_EQ(platform.boxes[0].caption, "VexaIM");
        EXPECT_EQ(platform.boxes[0].owner, W(1));
        EXPECT_EQ(platform.boxes[0].style, 0x40u);
        EXPECT_EQ(session.IsInitPlus(), 0);
        // The windows and role stay as passed.
        EXPECT_EQ(session.GetOutputHwnd(), W(2));
    }
}

TEST_F(SessionTest, HostOpeningOnlyTheFirstBlockGetsError202) {
    ASSERT_TRUE(im.Init(W(1), W(2), 0));
    registry.blocks.erase(ipc::kRevBlockName);
    EXPECT_FALSE(host.Init(W(2), W(1), 7));
    ASSERT_EQ(hostPlatform.boxes.size(), 1u);
    EXPECT_EQ(hostPlatform.boxes[0].text, texts::StartFailedText("Error:202"));
}

TEST_F(SessionTest, QueriesFollowTheRole) {
    EXPECT_EQ(im.IsExsitIMProgram(), 0);  // nothing set: both handles none
    EXPECT_EQ(im.IsExsitOutProgram(), 0);
    ASSERT_TRUE(im.Init(W(1), W(2), 0));
    ASSERT_TRUE(host.Init(W(2), W(1), 7));
    imPlatform.dead = W(2);   // the host window is gone
    hostPlatform.dead = W(2);
    EXPECT_EQ(im.IsExsitIMProgram(), 1);
    EXPECT_EQ(im.IsExsitOutProgram(), 0);
    EXPECT_EQ(host.IsExsitIMProgram(), 1);
    EXPECT_EQ(host.IsExsitOutProgram(), 0);
    EXPECT_EQ(host.GetOutputHwnd(), W(1));
    host.Uninit();
    EXPECT_EQ(host.GetOutputHwnd(), nullptr);
    EXPECT_EQ(host.IsInitPlus(), 0);
}

TEST_F(SessionTest, InitTwiceChangesNothing) {
    ASSERT_TRUE(im.Init(W(1), W(2), 0));
    EXPECT_FALSE(im.Init(W(5), W(6), 3));
    EXPECT_TRUE(imPlatform.boxes.empty());
    EXPECT_EQ(im.GetOutputHwnd(), W(2));
    EXPECT_EQ(im.Role(), 0);
}

TEST_F(SessionTest, DestructionOfALaunchingHostPostsNotice3BeforeReleasing) {
    ASSERT_TRUE(im.Init(W(1), W(2), 0));
    {
        TestSession launcher(hostPlatform);
        ASSERT_TRUE(launcher.Init(W(2), W(1), 7));
        launcher.SetHostLaunchedIM();
        hostPlatform.calls.clear();
    }
    ASSERT_EQ(hostPlatform.calls.size(), 1u);
    EXPECT_EQ(hostPlatform.calls[0].what, "post");
    EXPECT_EQ(hostPlatform.calls[0].window, W(1));
    EXPECT_EQ(hostPlatform.calls[0].message, unsigned(WM_IMPLUS_TOIM));
    EXPECT_EQ(hostPlatform.calls[0].wParam, 3u);
    EXPECT_EQ(hostPlatform.calls[0].lParam, 0);
}

TEST_F(SessionTest, NotificationsToTheOwnWindow) {
    EXPECT_EQ(im.NotifyOwn(5, 0), 0);  // no window: nothing sent
    EXPECT_FALSE(im.PostServerClosed());
    EXPECT_TRUE(imPlatform.calls.empty());
    ASSERT_TRUE(im.Init(W(1), W(2), 0));

    imPlatform.onSend = [](const Call& c) -> long {
        const auto* record = reinterpret_cast<const IM_LOGIN_RESULT*>(c.lParam);
        // "连接服务器失败" lands at offset 28; everything else is zero.
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(record);
        EXPECT_EQ(record->result, 0);
        EXPECT_STREQ(record->message, texts::kConnectFailed);
        for (int i = 4; i < 28; ++i) EXPECT_EQ(bytes[i], 0);
        for (std::size_t i = 28 + std::strlen(texts::kConnectFailed); i < 284; ++i) EXPECT_EQ(bytes[i], 0);
        return 0;
    };
    im.ReportLoginResult(0, texts::kConnectFailed);
    ASSERT_EQ(imPlatform.calls.size(), 1u);
    EXPECT_EQ(imPlatform.calls[0].wParam, 1u);

    imPlatform.onSend = [](const Call& c) -> long {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(c.lParam);
        EXPECT_EQ(bytes[0], 1);
        for (int i = 1; i < 284; ++i) EXPECT_EQ(bytes[i], 0) << i;
        return 0;
    };
    im.ReportLoginResult(1, "ignored on success");
    imPlatform.onSend = nullptr;

    EXPECT_TRUE(im.PostServerClosed());
    im.ReportServerSignal();
    ASSERT_EQ(imPlatform.calls.size(), 4u);
    EXPECT_EQ(imPlatform.calls[2].what, "post");
    EXPECT_EQ(imPlatform.calls[2].wParam, 4u);
    EXPECT_EQ(imPlatform.calls[2].lParam, 1);
    EXPECT_EQ(imPlatform.calls[3].what, "post");
    EXPECT_EQ(imPlatform.calls[3].wParam, 23u);
    EXPECT_EQ(imPlatform.calls[3].lParam, 0);
}

// ---- host commands, read on the IM side

class HostCommands : public SessionTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(im.Init(W(1), W(2), 0));
        ASSERT_TRUE(host.Init(W(2), W(1), 7));
        // The host's send goes straight into the IM side's reader.
        hostPlatform.onSend = [this](const Call& c) -> long {
            im.DealProcCommand(static_cast<std::uint32_t>(c.lParam));
            return 0;
        };
    }
    void Send(int command, const void* data, std::uint32_t length) { host.SendDataToIM(command, data, length); }
    std::vector<std::uintptr_t> Kinds() {
        std::vector<std::uintptr_t> kinds;
        for (const auto& c : imPlatform.calls)
            if (c.message == WM_IMPLUS_NOTIFY) kinds.push_back(c.wParam);
        return kinds;
    }
    void LogIn(const char* id) {
        IM_USER_LOGINDATA login{};
        std::strcpy(login.userId, id);
        std::strcpy(login.password, "pw");
        im.Login(&login);
        im.logins.clear();
    }
};

TEST_F(HostCommands, LoginNeedsExactly41Bytes) {
    IM_USER_LOGINDATA login{};
    std::strcpy(login.userId, "10001");
    std::strcpy(login.password, "secret");
    unsigned char bytes[42] = {};
    std::memcpy(bytes, &login, 41);
    Send(1, bytes, 40);
    Send(1, bytes, 42);
    EXPECT_TRUE(Kinds().empty());
    EXPECT_TRUE(im.logins.empty());
    Send(1, bytes, 41);
    EXPECT_EQ(Kinds(), std::vector<std::uintptr_t>{51});
    ASSERT_EQ(im.logins.size(), 1u);
    EXPECT_STREQ(im.logins[0].userId, "10001");
    EXPECT_STREQ(im.logins[0].password, "secret");
}

TEST_F(HostCommands, RecordForTheOwnUserOnly) {
    const char payload[11] = "u1";
    Send(2, payload, 11);  // before any login: nothing
    EXPECT_TRUE(Kinds().empty());
    LogIn("u1");
    imPlatform.onSend = [](const Call& c) -> long {
        const unsigned char* record = reinterpret_cast<const unsigned char*>(c.lParam);
        EXPECT_STREQ(reinterpret_cast<const char*>(record), "u1");
        for (int i = 11; i < IM_HOST_RECORD_SIZE; ++i) EXPECT_EQ(record[i], 0) << i;
        return 0;
    };
    Send(2, payload, 11);
    EXPECT_EQ(Kinds(), std::vector<std::uintptr_t>{54});
    // Case matters here, and a record longer than 1448 bytes is dropped.
    Send(2, "U1", 3);
    std::vector<char> longer(1449, 0);
    std::strcpy(longer.data(), "u1");
    Send(2, longer.data(), 1449);
    EXPECT_EQ(Kinds(), std::vector<std::uintptr_t>{54});
    Send(2, longer.data(), 1448);
    EXPECT_EQ(Kinds(), (std::vector<std::uintptr_t>{54, 54}));
}

TEST_F(HostCommands, UserDataNeedsExactly248Bytes) {
    std::vector<char> data(249, 'x');
    Send(3, data.data(), 247);
    Send(3, data.data(), 249);
    EXPECT_TRUE(Kinds().empty());
    Send(3, data.data(), 248);
    EXPECT_EQ(Kinds(), std::vector<std::uintptr_t>{52});
}

TEST_F(HostCommands, PositionIgnoresCaseForTheNoticeAndAsksTheWindow) {
    IM_USER_POSITION position{};
    std::strcpy(position.user, "Alice");
    position.pos0 = 5;
    Send(4, &position, sizeof position);  // before any login
    EXPECT_TRUE(Kinds().empty());
    LogIn("alice");

    imPlatform.answer = 0;
    Send(4, &position, sizeof position);
    EXPECT_EQ(Kinds(), std::vector<std::uintptr_t>{53});
    EXPECT_TRUE(im.positions.empty());

    imPlatform.answer = -3;
    Send(4, &position, sizeof position);
    EXPECT_TRUE(im.positions.empty());

    imPlatform.answer = 1;
    Send(4, &position, sizeof position);
    ASSERT_EQ(im.positions.size(), 1u);
    EXPECT_EQ(im.positions[0].pos0, 5);

    std::strcpy(position.user, "bob");
    Send(4, &position, sizeof position);
    Send(4, &position, sizeof position - 1);
    EXPECT_EQ(Kinds().size(), 3u);
}

TEST_F(HostCommands, BadLengthsAndUnknownCommandsAreIgnored) {
    LogIn("u1");
    unsigned char* view = im.RevBlock().View();
    const char payload[] = "u1";
    host.SendDataToIM(2, payload, 3);
    const std::size_t before = imPlatform.calls.size();
    im.DealProcCommand(12);    // announced length differs from the header
    im.DealProcCommand(7);     // below the header size
    im.DealProcCommand(2048);  // at the reader's limit
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(imPlatform.calls.size(), before);
    Send(9, payload, 3);
    EXPECT_EQ(imPlatform.calls.size(), before);
}

TEST_F(HostCommands, HostSideReaderPassesCommand8OfEveryLengthTheSenderTakes) {
    std::vector<Call> seen;
    hostPlatform.onSend = [&](const Call& c) -> long {
        seen.push_back(c);
        return 0;
    };
    imPlatform.onSend = [&](const Call& c) -> long {
        host.DealIMCommand(static_cast<std::uint32_t>(c.lParam));
        return 0;
    };
    struct Case {
        std::int32_t command;
        std::uint32_t length;
        bool delivered;
    };
    const Case cases[] = {{8, 6, true}, {7, 6, false}, {8, 2039, true}, {8, 2040, true}, {8, 8183, true}};
    std::vector<char> payload(ipc::kMaxPayload);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        for (std::uint32_t i = 0; i < c.length; ++i) payload[i] = static_cast<char>('a' + i % 26);
        seen.clear();
        EXPECT_EQ(im.SendDataToPROM(c.command, payload.data(), c.length), 1);
        ASSERT_EQ(seen.size(), c.delivered ? 1u : 0u);
        if (!c.delivered) continue;
        EXPECT_EQ(seen[0].wParam, 2u);
        EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(seen[0].lParam), payload.data(), c.length), 0);
    }
    // Past the packet area, or not the length in the header: nothing.
    seen.clear();
    host.DealIMCommand(ipc::kPacketArea);
    host.DealIMCommand(8190);
    EXPECT_TRUE(seen.empty());
    // The IM side writes no role.
    const auto* header = reinterpret_cast<const ipc::SharedPacketHeader*>(im.SendBlock().View());
    EXPECT_EQ(header->senderRole, 0);
    EXPECT_EQ(header->totalLength, 8191u);
}

}  // namespace
