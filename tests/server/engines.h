// Real PostgreSQL and NATS servers for the tests, each on a free loopback
// port with its files under the build folder. They are stopped when their
// owner goes out of scope, and get a signal of their own should the test
// process die first, so nothing outlives the run. As root (CI), PostgreSQL
// runs as the postgres user, since it refuses to run as root.
#pragma once

#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::server::testing {

// A child process that gets sig when the test process dies.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(SIGKILL); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // argv[0] is the program's path; output goes to logPath.
    bool Start(const std::vector<std::string>& argv, const std::string& logPath, int parentDeathSignal);
    // Sends sig and waits for the end; true when it had been running.
    bool Stop(int sig);
    // Waits for the end; the exit status, or -1 when it did not exit.
    int Wait();
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

class PostgresUnderTest {
public:
    // initdb into a fresh folder and start. The tests trade durability for
    // speed; durable keeps PostgreSQL's own settings (fsync and synchronous
    // commits on), as a benchmark that stands for a real server needs.
    explicit PostgresUnderTest(bool durable = false);
    ~PostgresUnderTest();
    // A connection string for a new, empty database.
    std::string NewDatabase();
    void Stop();   // fast shutdown; the data stays
    void Start();  // on the same port and data
    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return postgres_.Pid(); }

private:
    void WaitReady();
    bool durable_;
    std::string dir_;
    std::uint16_t port_ = 0;
    int databases_ = 0;
    ChildProcess postgres_;
};

class NatsUnderTest {
public:
    NatsUnderTest();
    ~NatsUnderTest();
    std::string Url() const;
    void Stop();
    void Start();  // on the same port
    pid_t Pid() const { return nats_.Pid(); }

private:
    std::string dir_;
    std::uint16_t port_ = 0;
    ChildProcess nats_;
};

// A free loopback TCP port (bound and released at once).
std::uint16_t FreePort();

// Waits until something accepts on the loopback port; false after within.
bool WaitForListener(std::uint16_t port, std::chrono::milliseconds within);

}  // namespace vexa::server::testing
