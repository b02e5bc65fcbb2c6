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
                               "--idle-timeout", "--max-mail", "--hash-threads", "--log-level", "--help"})
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

}  // namespace
}  // namespace vexa::server::testing
