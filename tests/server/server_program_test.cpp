// The vexaim-server program itself: --help, demo accounts from the command
// line, serving at once, and a clean stop on SIGTERM and SIGINT that keeps
// what was still waiting for an offline user.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "protocol/requests.h"
#include "server_test_support.h"

namespace vexa::server::testing {
namespace {

// A child process with its standard error captured.
struct Program {
    pid_t pid = -1;
    int errFd = -1;
    std::string err;

    explicit Program(std::vector<std::string> args) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], STDERR_FILENO);
            dup2(pipeFds[1], STDOUT_FILENO);
            close(pipeFds[0]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        errFd = pipeFds[0];
    }
    ~Program() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (errFd >= 0) close(errFd);
    }
    // Reads output until pattern matches or time runs out.
    std::smatch WaitFor(const std::regex& pattern, int millis = 5000) {
        std::smatch match;
        for (int waited = 0; waited < millis; waited += 50) {
            if (std::regex_search(err, match, pattern)) return match;
            pollfd p{errFd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buffer[4096];
                ssize_t n = read(errFd, buffer, sizeof buffer);
                if (n > 0) err.append(buffer, static_cast<std::size_t>(n));
            }
        }
        std::regex_search(err, match, pattern);
        return match;
    }
    int Wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

const std::string kProgram = VEXAIM_SERVER_PATH;

TEST(ServerProgram, HelpListsEveryOption) {
    Program help({kProgram, "--help"});
    EXPECT_EQ(help.Wait(), 0);
    help.WaitFor(std::regex("--help"), 500);
    for (const char* option : {"--address", "--port", "--database", "--seed-demo", "--add-account", "--add-friends",
                               "--admin-only", "--max-connections", "--max-backlog", "--login-timeout",
                               "--idle-timeout", "--max-mail", "--hash-threads", "--log-level", "--threads", "--linger",
                               "--throttle-account", "--throttle-address", "--throttle-delay", "--throttle-forget",
                               "--throttle-lockout", "--store", "--cluster", "--node-name", "--store-threads",
                               "--tls-port", "--tls-cert", "--tls-key", "--tls-only", "--help"})
        EXPECT_NE(help.err.find(option), std::string::npos) << option;
    Program wrong({kProgram, "--port", "70000"});
    EXPECT_EQ(wrong.Wait(), 2);
}

TEST(ServerProgram, ServesAtOnceAndStopsCleanlyKeepingMail) {
    TempDir dir;
    const std::string db = dir.Path() + "/data/vexaim.db";
    for (int signal : {SIGTERM, SIGINT}) {
        Program server({kProgram, "--port", "0", "--database", db, "--seed-demo", "--add-account", "dave:pw",
                        "--add-friends", "dave:10001"});
        auto match = server.WaitFor(std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)"));
        ASSERT_FALSE(match.empty()) << server.err;
        auto port = static_cast<std::uint16_t>(std::stoi(match[1]));
        {
            Client alice(port);
            ASSERT_EQ(alice.Login("10001", "alice123"), "0");
            Client dave(port);
            ASSERT_EQ(dave.Login("dave", "pw"), "0");
            IM_CHAT_DATA chat{};
            std::strcpy(chat.peer, "10003");
            std::strcpy(chat.content, "kept over a restart");
            chat.contentLength = static_cast<int32_t>(std::strlen(chat.content));
            alice.SendFramed(protocol::BuildChatRequest("10001", &chat));
            alice.Sync();
            kill(server.pid, signal);
            EXPECT_TRUE(alice.WaitClosed());
        }
        EXPECT_EQ(server.Wait(), 0) << server.err;
        server.WaitFor(std::regex("stopped"), 1000);
        EXPECT_NE(server.err.find("stopped"), std::string::npos) << server.err;
    }
    // Both chats waited in the database for carol.
    Program server({kProgram, "--port", "0", "--database", db});
    auto match = server.WaitFor(std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)"));
    ASSERT_FALSE(match.empty()) << server.err;
    Client carol(static_cast<std::uint16_t>(std::stoi(match[1])));
    ASSERT_EQ(carol.Login("10003", "carol123"), "0");
    int chats = 0;
    for (auto& p : carol.Sync()) chats += p.code == 3 && p.payload.find("kept over a restart") != std::string::npos;
    EXPECT_EQ(chats, 2);
}

std::uint16_t ListeningPort(Program& server) {
    auto match = server.WaitFor(std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)"));
    return match.empty() ? 0 : static_cast<std::uint16_t>(std::stoi(match[1]));
}

// SIGTERM while thousands of chats are on their way to a client that does
// not read, and that says something after the stop began: every chat
// reaches it, on the old connection or after the restart, whether the client
// reads on at once or only once the server has gone.
TEST(ServerProgram, SigtermLosesNoChatInFlight) {
    for (bool readsAfterExit : {false, true}) {
        SCOPED_TRACE(readsAfterExit ? "reads after the exit" : "reads at once");
        TempDir dir;
        const std::string db = dir.Path() + "/vexaim.db";
        Program server({kProgram, "--port", "0", "--database", db, "--seed-demo", "--max-backlog", "16777216",
                        "--max-mail", "100000", "--linger", "2"});
        std::uint16_t port = ListeningPort(server);
        ASSERT_NE(port, 0) << server.err;
        Client writer(port);
        Client reader(port, 64 * 1024);
        ASSERT_EQ(reader.Login("10003", "carol123"), "0");
        ASSERT_EQ(writer.Login("10001", "alice123"), "0");
        reader.Sync();
        const int sent = 3000;
        for (int i = 0; i < sent; ++i) writer.SendFramed(Chat("10001", "10003", std::string(900, 'x'), i));
        writer.Sync();
        auto stopAt = std::chrono::steady_clock::now();
        kill(server.pid, SIGTERM);
        reader.SendRaw(protocol::BuildKeepAliveRequest());
        std::vector<int> ids;
        if (!readsAfterExit) ReadChats(reader, ids);
        EXPECT_EQ(server.Wait(), 0) << server.err;
        EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(6)) << "the linger time bounds the stop";
        if (readsAfterExit) ReadChats(reader, ids);
        std::size_t onOld = ids.size();
        reader.Close();

        Program again({kProgram, "--port", "0", "--database", db});
        port = ListeningPort(again);
        ASSERT_NE(port, 0) << again.err;
        Client back(port);
        ASSERT_EQ(back.Login("10003", "carol123"), "0");
        while (auto p = back.Read()) {
            if (p->code == 3) ids.push_back(ChatId(*p));
            if (!ids.empty() && ids.back() == sent - 1) break;
        }
        for (const Packet& p : back.Sync())
            if (p.code == 3) ids.push_back(ChatId(p));
        Arrivals a = CheckArrivals(ids, sent);
        EXPECT_TRUE(a.complete) << a.problem;
        EXPECT_TRUE(a.inOrder) << a.problem;
        if (readsAfterExit) {
            EXPECT_LT(onOld, static_cast<std::size_t>(sent)) << "the restart must have had a part";
        }
        std::printf("[ close ] %-26s %5d chats: %5zu on the old connection, %5zu after the restart, %d duplicates\n",
                    readsAfterExit ? "SIGTERM, reads after exit" : "SIGTERM", sent, onOld, ids.size() - onOld,
                    a.duplicates);
    }
}

}  // namespace
}  // namespace vexa::server::testing
