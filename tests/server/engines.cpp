#include "engines.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace vexa::server::testing {

namespace {

bool AsRoot() { return geteuid() == 0; }

// Folders under the build's engine folder, one per test process and engine.
std::string NewFolder(const std::string& kind) {
    static int counter = 0;
    std::string dir = std::string(VEXA_ENGINE_DIR) + "/" + kind + "-" + std::to_string(getpid()) + "-" +
                      std::to_string(++counter);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// The command run as the postgres user when we are root.
std::vector<std::string> AsPostgres(std::vector<std::string> argv, int deathSignal) {
    if (!AsRoot()) return argv;
    std::vector<std::string> wrapped = {"/usr/bin/setpriv", "--reuid=postgres", "--regid=postgres", "--init-groups",
                                        "--pdeathsig", deathSignal == SIGQUIT ? "QUIT" : "KILL", "--"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

void GiveToPostgres(const std::string& dir) {
    if (!AsRoot()) return;
    passwd* pw = getpwnam("postgres");
    if (!pw) throw std::runtime_error("no postgres user to run PostgreSQL as");
    if (chown(dir.c_str(), pw->pw_uid, pw->pw_gid) != 0) throw std::runtime_error("chown " + dir);
}

int RunAndWait(const std::vector<std::string>& argv, const std::string& log) {
    ChildProcess child;
    if (!child.Start(argv, log, SIGKILL)) return -1;
    return child.Wait();
}

}  // namespace

std::uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

bool WaitForListener(std::uint16_t port, std::chrono::milliseconds within) {
    auto deadline = std::chrono::steady_clock::now() + within;
    do {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& logPath, int parentDeathSignal) {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, parentDeathSignal);
        if (getppid() != parent) _exit(127);
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log >= 0) {
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
        }
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        // Nothing of the test's (sockets, pipes) is handed on.
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    pid_ = pid;
    return true;
}

int ChildProcess::Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ChildProcess::Stop(int sig) {
    if (pid_ <= 0) return false;
    ::kill(pid_, sig);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return true;
}

// --- PostgreSQL --------------------------------------------------------------

PostgresUnderTest::PostgresUnderTest(bool durable) : durable_(durable), dir_(NewFolder("pg")), port_(FreePort()) {
    std::string data = dir_ + "/data";
    std::filesystem::create_directories(data);
    GiveToPostgres(dir_);
    GiveToPostgres(data);
    int rc = RunAndWait(AsPostgres({std::string(VEXA_PG_BINDIR) + "/initdb", "-D", data, "-U", "vexa",
                                    "--auth=trust", "--no-sync", "-E", "UTF8", "--locale=C"},
                                   SIGKILL),
                        dir_ + "/initdb.log");
    if (rc != 0) throw std::runtime_error("initdb failed; see " + dir_ + "/initdb.log");
    Start();
}

PostgresUnderTest::~PostgresUnderTest() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void PostgresUnderTest::Start() {
    if (postgres_.Running()) return;
    std::string data = dir_ + "/data";
    std::vector<std::string> argv = {std::string(VEXA_PG_BINDIR) + "/postgres", "-D", data, "-p", std::to_string(port_),
                                     "-k", dir_, "-c", "listen_addresses=127.0.0.1", "-c", "max_connections=300"};
    if (!durable_)
        argv.insert(argv.end(), {"-c", "fsync=off", "-c", "synchronous_commit=off", "-c", "full_page_writes=off"});
    postgres_.Start(AsPostgres(argv, SIGQUIT), dir_ + "/postgres.log", SIGQUIT);
    WaitReady();
}

void PostgresUnderTest::Stop() {
    // A fast shutdown: sessions are ended, the data is kept.
    postgres_.Stop(SIGINT);
}

void PostgresUnderTest::WaitReady() {
    std::string info = "host=127.0.0.1 port=" + std::to_string(port_) + " user=vexa dbname=postgres connect_timeout=2";
    for (int i = 0; i < 300; ++i) {
        if (PQping(info.c_str()) == PQPING_OK) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("PostgreSQL did not start; see " + dir_ + "/postgres.log");
}

std::string PostgresUnderTest::NewDatabase() {
    std::string base = "host=127.0.0.1 port=" + std::to_string(port_) + " user=vexa connect_timeout=3";
    std::string name = "vexaim_" + std::to_string(++databases_);
    PGconn* conn = PQconnectdb((base + " dbname=postgres").c_str());
    PGresult* r = PQexec(conn, ("CREATE DATABASE " + name).c_str());
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    std::string why = PQerrorMessage(conn);
    PQclear(r);
    PQfinish(conn);
    if (!ok) throw std::runtime_error("CREATE DATABASE: " + why);
    return base + " dbname=" + name;
}

// --- NATS --------------------------------------------------------------------

NatsUnderTest::NatsUnderTest() : dir_(NewFolder("nats")), port_(FreePort()) { Start(); }

NatsUnderTest::~NatsUnderTest() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string NatsUnderTest::Url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

void NatsUnderTest::Start() {
    if (nats_.Running()) return;
    nats_.Start({VEXA_NATS_SERVER, "-a", "127.0.0.1", "-p", std::to_string(port_)}, dir_ + "/nats.log", SIGKILL);
    // Ready when it accepts connections.
    if (!WaitForListener(port_, std::chrono::seconds(5)))
        throw std::runtime_error("nats-server did not start; see " + dir_ + "/nats.log");
}

void NatsUnderTest::Stop() { nats_.Stop(SIGKILL); }

}  // namespace vexa::server::testing
