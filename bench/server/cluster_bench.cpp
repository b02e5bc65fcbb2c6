// Pairs of clients (2k and 2k+1) chat with each other through vexaim-server
// processes, in four setups one after the other in one run: one server on
// SQLite, one server on PostgreSQL, nodes with both partners of every pair on
// one node, and nodes with the partners on different nodes. Each setup runs a
// closed loop (every client keeps a few chats in flight to its partner, so
// the rate is what the setup can carry) and then a fixed total rate (so the
// latency is that of a setup below saturation).
//
// What it reports per setup: chats per second, p50/p99 latency from the
// moment a chat is written to the moment its reader has it whole; chats
// lost, duplicated or out of order (each chat carries its sender's sequence
// number); the CPU of every process from /proc (each server or node,
// PostgreSQL with all its backends, NATS, this client); and PostgreSQL
// transactions per chat (xact_commit + xact_rollback of the setup's database
// in pg_stat_database). From the per-chat CPU costs of the same-node and
// cross-node setups it projects the rate of larger clusters.
//
// PostgreSQL and NATS are started as the server tests start them: children
// that get a signal of their own when this process dies, stopped by their
// owners on every way out, their files removed.
#include "cluster_bench.h"

#include <dirent.h>
#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_client.h"
#include "protocol/frame.h"
#include "server/store/postgres/pg_store.h"
#include "server/store/sqlite/sqlite_store.h"
#include "tests/server/engines.h"

namespace vexa::bench {
namespace {

using server::testing::ChildProcess;
using server::testing::FreePort;
using server::testing::NatsUnderTest;
using server::testing::PostgresUnderTest;
using server::testing::WaitForListener;

// Thrown out of the client's loop when the run is interrupted, so that every
// owner below stops what it started on the way out.
struct Interrupted {};

struct Options {
    int clients = 200;
    int window = 4;
    int seconds = 8;
    int rate = 5000;
    int nodes = 2;
    // Every program's four setups this many times, the programs in turn:
    // on a shared machine the speed drifts over minutes, and a ratio of two
    // setups is read best from rounds run close together.
    int rounds = 1;
    bool durable = true;
    // The server programs measured, each with the label its rows carry: by
    // default the one built beside the benchmark, unlabelled. Several put
    // an older build beside a newer one in one run.
    std::vector<std::pair<std::string, std::string>> programs;
};

// Runs the client's loop for d (the loop always has the signal wait as work).
void RunFor(asio::io_context& io, Clock::duration d) {
    auto until = Clock::now() + d;
    while (Clock::now() < until) io.run_one_until(until);
}

// --- CPU from /proc ------------------------------------------------------------

struct ProcessTicks {
    pid_t parent = 0;
    long long own = 0;     // user + system
    long long reaped = 0;  // of its children that have ended and been waited for
};

std::optional<ProcessTicks> ReadTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    // The command name may hold blanks and parentheses; the fields follow the last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string state;
    long long v[14] = {};  // ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime cutime cstime
    fields >> state;
    for (long long& field : v)
        if (!(fields >> field)) return std::nullopt;
    return ProcessTicks{static_cast<pid_t>(v[0]), v[10] + v[11], v[12] + v[13]};
}

// CPU ticks of a process and every process below it (PostgreSQL's backends).
long long TreeTicks(pid_t root) {
    std::map<pid_t, std::vector<pid_t>> children;
    std::map<pid_t, long long> ticks;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (pid <= 0) continue;
            if (auto t = ReadTicks(pid)) {
                children[t->parent].push_back(pid);
                ticks[pid] = t->own + t->reaped;
            }
        }
        closedir(proc);
    }
    long long total = 0;
    std::vector<pid_t> todo = {root};
    while (!todo.empty()) {
        pid_t pid = todo.back();
        todo.pop_back();
        total += ticks[pid];
        for (pid_t child : children[pid]) todo.push_back(child);
    }
    return total;
}

// The processes one setup is made of, sampled together.
struct Role {
    std::string name;
    pid_t pid;  // 0: this process alone, without its children (the client)
};

std::vector<long long> SampleTicks(const std::vector<Role>& roles) {
    std::vector<long long> out;
    for (const Role& role : roles) {
        if (role.pid != 0) {
            out.push_back(TreeTicks(role.pid));
        } else {
            auto self = ReadTicks(getpid());
            out.push_back(self ? self->own : 0);
        }
    }
    return out;
}

struct Cpu {
    std::vector<double> percent;      // of one core, per role
    std::vector<double> microsPerChat;  // CPU time per chat, per role
};

Cpu CpuBetween(const std::vector<long long>& before, const std::vector<long long>& after, Clock::duration wall,
               long long chats) {
    Cpu cpu;
    double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
    double seconds = std::chrono::duration<double>(wall).count();
    for (std::size_t i = 0; i < before.size(); ++i) {
        double used = (after[i] - before[i]) / ticksPerSecond;
        cpu.percent.push_back(seconds > 0 ? 100.0 * used / seconds : 0);
        cpu.microsPerChat.push_back(chats > 0 ? 1e6 * used / static_cast<double>(chats) : 0);
    }
    return cpu;
}

// --- PostgreSQL's own count of transactions -------------------------------------

class TransactionCounter {
public:
    // Reads the counts of database from a session in another database, so
    // that the reading is not counted.
    TransactionCounter(std::uint16_t port, std::string database) : database_(std::move(database)) {
        std::string info = "host=127.0.0.1 port=" + std::to_string(port) + " user=vexa dbname=postgres";
        connection_ = PQconnectdb(info.c_str());
        if (PQstatus(connection_) != CONNECTION_OK)
            throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(connection_));
    }
    ~TransactionCounter() { PQfinish(connection_); }
    TransactionCounter(const TransactionCounter&) = delete;
    TransactionCounter& operator=(const TransactionCounter&) = delete;

    // A backend publishes its counts when it goes idle, but at most once a
    // second; what it did within a second of its last report waits for the
    // idle timer, up to 10 s. Callers let the setup rest past that first.
    long long Count() {
        const char* values[] = {database_.c_str()};
        PGresult* r = PQexecParams(connection_,
                                   "SELECT xact_commit + xact_rollback FROM pg_stat_database WHERE datname = $1", 1,
                                   nullptr, values, nullptr, nullptr, 0);
        long long count = -1;
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) count = std::atoll(PQgetvalue(r, 0, 0));
        PQclear(r);
        if (count < 0) throw std::runtime_error("pg_stat_database has no row for " + database_);
        return count;
    }

private:
    std::string database_;
    PGconn* connection_ = nullptr;
};

constexpr auto kStatsSettle = std::chrono::milliseconds(11000);

std::string DatabaseOf(const std::string& conninfo) {
    auto at = conninfo.find("dbname=");
    return at == std::string::npos ? std::string() : conninfo.substr(at + 7, conninfo.find(' ', at) - at - 7);
}

// --- The servers -----------------------------------------------------------------

// One vexaim-server process on a port of its own. Nothing a benchmark's server
// holds needs keeping, so it is killed at the end (and dies with this process).
class ServerProcess {
public:
    ServerProcess(const std::string& program, const std::string& store, const std::vector<std::string>& cluster,
                  int connections, const std::string& log)
        : port_(FreePort()) {
        std::string most = std::to_string(connections + 16);
        std::vector<std::string> argv = {program, "--port", std::to_string(port_), "--store", store,
                                         "--max-connections", most, "--max-connections-per-address", most,
                                         "--log-level", "warn"};
        argv.insert(argv.end(), cluster.begin(), cluster.end());
        if (!process_.Start(argv, log, SIGKILL) || !WaitForListener(port_, std::chrono::seconds(30)))
            throw std::runtime_error(program + " did not start; see " + log);
    }
    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return process_.Pid(); }

private:
    std::uint16_t port_;
    ChildProcess process_;
};

// The benchmark's accounts, in a database the program can open: the program
// built beside the benchmark shares its store code, so they are made here
// with the cheapest hash; another build (perhaps of an older schema) makes
// them itself, with its own hash, which only slows the logins.
void CreateAccounts(const std::string& program, const std::string& store, int first, int count,
                    const std::string& log) {
    std::error_code ec;
    if (std::filesystem::equivalent(program, VEXA_SERVER_PROGRAM, ec)) {
        std::string hash = CheapPasswordHash();
        if (hash.empty()) throw std::runtime_error("libsodium could not make a hash");
        std::unique_ptr<server::Store> opened;
        if (store.rfind("sqlite:", 0) == 0) opened = server::OpenSqliteStore(store.substr(7));
        else opened = server::OpenPgStore(store, 1);
        for (int i = first; i < first + count; ++i) opened->CreateAccount(Name(i), hash, Name(i));
        return;
    }
    std::vector<std::string> argv = {program, "--store", store, "--admin-only", "--log-level", "warn"};
    for (int i = first; i < first + count; ++i) argv.insert(argv.end(), {"--add-account", Name(i) + ":pw"});
    ChildProcess work;
    if (!work.Start(argv, log, SIGKILL) || work.Wait() != 0)
        throw std::runtime_error(program + " could not make the accounts; see " + log);
}

// --- The clients -----------------------------------------------------------------

struct Tally {
    long long sent = 0, received = 0, lost = 0, duplicated = 0, outOfOrder = 0;
};

// n clients in pairs, client i logged in as account first + i on ports[i].
class Pairs {
public:
    Pairs(asio::io_context& io, int first, const std::vector<std::uint16_t>& ports)
        : io_(io), first_(first), n_(static_cast<int>(ports.size())), nextSequence_(ports.size()), seen_(ports.size()), highest_(ports.size(), -1) {
        int ready = 0, loggedIn = 0;
        for (int i = 0; i < n_; ++i) {
            auto c = std::make_shared<BenchClient>(io, i, 1);
            c->onFrame = [&](BenchClient&, const std::string& frame) {
                if (frame.compare(4, 5, "00020") == 0 && frame.size() == 10) ++loggedIn;
            };
            c->Connect(ports[i], [&, c, i] {
                c->Write(*protocol::FrameRequest("0001" + Name(first_ + i) + "!|!pw"));
                ++ready;
            });
            clients_.push_back(c);
        }
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (loggedIn < n_ && Clock::now() < deadline) io.run_one_until(deadline);
        if (loggedIn < n_) {
            for (auto& c : clients_) c->Close();
            throw std::runtime_error(std::to_string(ready) + " of " + std::to_string(n_) + " clients connected, " +
                                     std::to_string(loggedIn) + " logged in");
        }
        for (auto& c : clients_)
            c->onFrame = [this](BenchClient& reader, const std::string& frame) { OnFrame(reader, frame); };
    }
    ~Pairs() {
        for (auto& c : clients_) c->Close();
    }
    Pairs(const Pairs&) = delete;
    Pairs& operator=(const Pairs&) = delete;

    // Every client keeps window chats in flight to its partner for the given
    // time; then what is in flight is let arrive. The rate counts what
    // arrived within the time; the latencies, every chat.
    Result ClosedLoop(int window, std::chrono::seconds duration) {
        latencies_.clear();
        refill_ = true;
        for (int i = 0; i < n_; ++i)
            for (int w = 0; w < window; ++w) Send(i);
        RunFor(io_, duration);
        long long inTime = static_cast<long long>(latencies_.size());
        refill_ = false;
        Drain();
        Result r = Summarise(latencies_, duration);
        r.perSecond = static_cast<double>(inTime) / std::chrono::duration<double>(duration).count();
        return r;
    }

    // Chats at a fixed total rate, from each client in turn to its partner,
    // whatever comes back; then what is in flight is let arrive.
    Result FixedRate(int rate, std::chrono::seconds duration) {
        latencies_.clear();
        refill_ = false;
        long long total = static_cast<long long>(rate) * duration.count();
        auto start = Clock::now();
        long long sent = 0;
        int next = 0;
        while (sent < total) {
            double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            long long due = std::min(total, static_cast<long long>(elapsed * rate));
            for (; sent < due; ++sent, next = (next + 1) % n_) Send(next);
            io_.run_for(std::chrono::microseconds(200));
        }
        Drain();
        return Summarise(latencies_, duration);
    }

    // What was sent and what came back, counted from the sequence numbers.
    Tally Count() const {
        Tally t = tally_;
        t.lost = t.sent - t.received + t.duplicated;
        return t;
    }

private:
    static int Partner(int i) { return i ^ 1; }

    void Send(int from) {
        ++inFlightTotal_;
        ++tally_.sent;
        clients_[from]->Write(
            ChatRequest(first_ + from, first_ + Partner(from), NowNanos(), nextSequence_[from]++));
    }

    void OnFrame(BenchClient& reader, const std::string& frame) {
        if (frame.compare(4, 4, "0003") != 0) return;  // presence and the like
        latencies_.push_back(NowNanos() - SentAt(frame));
        ++tally_.received;
        int sender = Partner(reader.Index());
        long long sequence = SequenceOf(frame);
        auto& seen = seen_[sender];
        if (sequence < 0 || sequence >= nextSequence_[sender]) {
            ++tally_.duplicated;  // not one of this run's: counted as a chat too many
            return;
        }
        if (seen.size() <= static_cast<std::size_t>(sequence)) seen.resize(static_cast<std::size_t>(sequence) + 1024);
        if (seen[sequence]) {
            ++tally_.duplicated;
            return;  // the original already took its place in flight
        }
        seen[sequence] = 1;
        if (sequence < highest_[sender]) ++tally_.outOfOrder;
        highest_[sender] = std::max(highest_[sender], sequence);
        --inFlightTotal_;
        if (refill_) Send(sender);
    }

    // Lets what is in flight arrive, for at most 30 s (a setup far past
    // saturation at the fixed rate); what does not is counted as lost.
    void Drain() {
        auto deadline = Clock::now() + std::chrono::seconds(30);
        while (inFlightTotal_ > 0 && Clock::now() < deadline) io_.run_one_until(deadline);
    }

    asio::io_context& io_;
    int first_;
    int n_;
    std::vector<std::shared_ptr<BenchClient>> clients_;
    long long inFlightTotal_ = 0;
    std::vector<long long> nextSequence_;
    std::vector<std::vector<char>> seen_;
    std::vector<long long> highest_;
    std::vector<long long> latencies_;
    Tally tally_;
    bool refill_ = false;
};

// --- One setup, measured ------------------------------------------------------------

struct Measured {
    std::string title;
    std::vector<std::string> roles;
    Result closed;
    Cpu closedCpu;
    double closedTransactionsPerChat = -1;  // negative: no PostgreSQL
    Result fixed;
    long long fixedSent = 0;
    Cpu fixedCpu;
    double fixedTransactionsPerChat = -1;
    Tally tally;
};

Measured Measure(asio::io_context& io, const Options& options, const std::string& title, int firstAccount,
                 const std::vector<std::uint16_t>& ports, const std::vector<Role>& roles,
                 TransactionCounter* transactions) {
    std::fprintf(stderr, "%s...\n", title.c_str());
    Measured m;
    m.title = title;
    for (const Role& role : roles) m.roles.push_back(role.name);
    Pairs pairs(io, firstAccount, ports);
    // The logins' presence settles, and their transactions are published.
    RunFor(io, transactions ? kStatsSettle : std::chrono::milliseconds(1500));

    long long count = transactions ? transactions->Count() : 0;
    long long sentBefore = pairs.Count().sent;
    auto ticks = SampleTicks(roles);
    auto start = Clock::now();
    m.closed = pairs.ClosedLoop(options.window, std::chrono::seconds(options.seconds));
    long long chats = pairs.Count().sent - sentBefore;
    m.closedCpu = CpuBetween(ticks, SampleTicks(roles), Clock::now() - start, chats);
    if (transactions) {
        RunFor(io, kStatsSettle);
        long long now = transactions->Count();
        m.closedTransactionsPerChat = chats > 0 ? static_cast<double>(now - count) / static_cast<double>(chats) : 0;
        count = now;
    }

    if (options.rate > 0) {
        sentBefore = pairs.Count().sent;
        ticks = SampleTicks(roles);
        start = Clock::now();
        m.fixed = pairs.FixedRate(options.rate, std::chrono::seconds(options.seconds));
        m.fixedSent = pairs.Count().sent - sentBefore;
        m.fixedCpu = CpuBetween(ticks, SampleTicks(roles), Clock::now() - start, m.fixedSent);
        if (transactions) {
            RunFor(io, kStatsSettle);
            m.fixedTransactionsPerChat =
                m.fixedSent > 0 ? static_cast<double>(transactions->Count() - count) / static_cast<double>(m.fixedSent)
                                : 0;
        }
    }
    m.tally = pairs.Count();
    return m;
}

// The four setups with one server program; PostgreSQL and NATS are shared,
// each setup has a database of its own.
void MeasureProgram(asio::io_context& io, const Options& options, const std::string& label,
                    const std::string& program, PostgresUnderTest& postgres, NatsUnderTest& nats,
                    const std::string& dir, std::vector<Measured>& rows) {
    const int n = options.clients;
    const std::string prefix = label.empty() ? std::string() : label + ": ";
    const std::string files = dir + "/" + std::to_string(rows.size()) + "-";
    const Role client{"client", 0};
    std::vector<std::uint16_t> ports(static_cast<std::size_t>(n));
    {
        std::string path = files + "bench.db";
        CreateAccounts(program, "sqlite:" + path, 0, n, files + "accounts.log");
        ServerProcess server(program, "sqlite:" + path, {}, n, files + "sqlite-server.log");
        std::fill(ports.begin(), ports.end(), server.Port());
        rows.push_back(Measure(io, options, prefix + "One server, SQLite", 0, ports, {{"server", server.Pid()}, client},
                               nullptr));
    }
    {
        std::string conninfo = postgres.NewDatabase();
        CreateAccounts(program, conninfo, 0, n, files + "accounts.log");
        TransactionCounter transactions(postgres.Port(), DatabaseOf(conninfo));
        ServerProcess server(program, conninfo, {}, n, files + "postgresql-server.log");
        std::fill(ports.begin(), ports.end(), server.Port());
        rows.push_back(Measure(io, options, prefix + "One server, PostgreSQL", 0, ports,
                               {{"server", server.Pid()}, {"PostgreSQL", postgres.Pid()}, client}, &transactions));
    }
    {
        // Two sets of accounts on one cluster database: one per placement,
        // so that nothing of the first run waits for the second.
        std::string conninfo = postgres.NewDatabase();
        CreateAccounts(program, conninfo, 0, 2 * n, files + "accounts.log");
        TransactionCounter transactions(postgres.Port(), DatabaseOf(conninfo));
        std::vector<std::unique_ptr<ServerProcess>> nodes;
        std::vector<Role> roles;
        for (int k = 0; k < options.nodes; ++k) {
            std::string name = "bench-node-" + std::to_string(k + 1);
            nodes.push_back(std::make_unique<ServerProcess>(
                program, conninfo, std::vector<std::string>{"--cluster", nats.Url(), "--node-name", name}, n,
                files + name + ".log"));
            roles.push_back({"node " + std::to_string(k + 1), nodes.back()->Pid()});
        }
        roles.push_back({"PostgreSQL", postgres.Pid()});
        roles.push_back({"NATS", nats.Pid()});
        roles.push_back(client);
        auto portOf = [&](int node) { return nodes[static_cast<std::size_t>(node % options.nodes)]->Port(); };
        for (int i = 0; i < n; ++i) ports[i] = portOf(i / 2);
        std::string title = prefix + std::to_string(options.nodes) + " nodes, pairs on the same node";
        rows.push_back(Measure(io, options, title, 0, ports, roles, &transactions));
        for (int i = 0; i < n; ++i) ports[i] = portOf(i / 2 + i % 2);
        title = prefix + std::to_string(options.nodes) + " nodes, partners on different nodes";
        rows.push_back(Measure(io, options, title, n, ports, roles, &transactions));
    }
}

// --- The report ---------------------------------------------------------------------

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Thousands(double value) {
    std::string digits = Fixed(value, 0);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

std::string Transactions(double perChat) { return perChat < 0 ? "—" : Fixed(perChat, 3); }

// "node 1 48 % (12.1 µs)" per role, the client last.
std::string CpuCell(const Measured& m, const Cpu& cpu) {
    std::string cell;
    for (std::size_t i = 0; i < m.roles.size(); ++i) {
        if (!cell.empty()) cell += ", ";
        cell += m.roles[i] + " " + Fixed(cpu.percent[i], 0) + " % (" + Fixed(cpu.microsPerChat[i], 1) + " µs)";
    }
    return cell;
}

double ServerMicros(const Measured& m, const Cpu& cpu) {
    double total = 0;
    for (std::size_t i = 0; i < m.roles.size(); ++i)
        if (m.roles[i] != "client") total += cpu.microsPerChat[i];
    return total;
}

// CPU µs per chat of the roles whose name starts with prefix.
double MicrosOf(const Measured& m, const std::string& prefix) {
    double total = 0;
    for (std::size_t i = 0; i < m.roles.size(); ++i)
        if (m.roles[i].rfind(prefix, 0) == 0) total += m.closedCpu.microsPerChat[i];
    return total;
}

void Project(const Options& options, const std::string& label, const Measured& same, const Measured& cross) {
    double cores = std::max(1u, std::thread::hardware_concurrency());
    std::printf("\n%sProjection from the closed loops' CPU per chat (N machines of %.0f cores run a node each; "
                "PostgreSQL and NATS one such machine each; a share 1 - 1/N of the chats crosses nodes):\n\n",
                label.empty() ? "" : (label + ": ").c_str(), cores);
    std::printf("| machines | nodes µs per chat | NATS µs | PostgreSQL µs | msg/s | bound by |\n|---|---|---|---|---|---|\n");
    std::vector<int> sizes = {4, 8, 16};
    if (std::find(sizes.begin(), sizes.end(), options.nodes) == sizes.end()) sizes.insert(sizes.begin(), options.nodes);
    for (int machines : sizes) {
        double crossing = 1.0 - 1.0 / machines;
        auto mix = [&](const std::string& part) {
            return (1 - crossing) * MicrosOf(same, part) + crossing * MicrosOf(cross, part);
        };
        struct Bound {
            const char* part;
            double rate;
        };
        double nodes = mix("node"), nats = mix("NATS"), postgres = mix("PostgreSQL");
        auto rateOf = [&](double micros, double machinesOfIt) {
            return micros > 0 ? machinesOfIt * cores * 1e6 / micros : 1e18;
        };
        Bound bounds[] = {{"nodes", rateOf(nodes, machines)}, {"NATS", rateOf(nats, 1)},
                          {"PostgreSQL", rateOf(postgres, 1)}};
        const Bound& least = *std::min_element(std::begin(bounds), std::end(bounds),
                                               [](const Bound& a, const Bound& b) { return a.rate < b.rate; });
        std::printf("| %d | %s | %s | %s | %s | %s |\n", machines, Fixed(nodes, 1).c_str(), Fixed(nats, 1).c_str(),
                    Fixed(postgres, 1).c_str(), Thousands(least.rate).c_str(), least.part);
    }
}

// The cluster's aims, each read from the tables above: setups holds the
// four rows of one program in the order they ran.
void Aims(const Options& options, const std::string& label, const Measured* setups) {
    const Measured& sqlite = setups[0];
    const Measured& postgres = setups[1];
    const Measured& same = setups[2];
    const Measured& cross = setups[3];
    double sameMicros = ServerMicros(same, same.closedCpu);
    std::printf("\n%sAgainst the aims:\n\n", label.empty() ? "" : (label + ": ").c_str());
    std::printf("- PostgreSQL transactions per chat (aim 0): one server %s, same node %s, different nodes %s\n",
                Transactions(postgres.closedTransactionsPerChat).c_str(),
                Transactions(same.closedTransactionsPerChat).c_str(), Transactions(cross.closedTransactionsPerChat).c_str());
    std::printf("- msg/s across nodes over one SQLite server's (aim at least 0.5): %s\n",
                Fixed(sqlite.closed.perSecond > 0 ? cross.closed.perSecond / sqlite.closed.perSecond : 0, 2).c_str());
    std::printf("- server CPU of a chat across nodes over one on the same node (aim at most 2.5): %s\n",
                Fixed(sameMicros > 0 ? ServerMicros(cross, cross.closedCpu) / sameMicros : 0, 2).c_str());
    if (options.rate > 0)
        std::printf("- p99 across nodes at %d msg/s (aim at most 10 ms): %s ms, %lld of %lld came back\n", options.rate,
                    Fixed(cross.fixed.p99us / 1000, 2).c_str(), cross.fixed.messages, cross.fixedSent);
}

void Report(const Options& options, const std::vector<Measured>& rows) {
    std::printf("\n%d clients in %d pairs on %u hardware threads; PostgreSQL with fsync %s; CPU in %% of one core "
                "and CPU time per chat; the client is this process (one thread).\n",
                options.clients, options.clients / 2, std::thread::hardware_concurrency(),
                options.durable ? "on" : "off");
    std::printf("\nClosed loop: %d chats in flight per client, %d s per setup.\n\n", options.window, options.seconds);
    std::printf("| Setup | msg/s | p50 / p99 ms | PostgreSQL transactions per chat | CPU | server CPU µs per chat |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Measured& m : rows)
        std::printf("| %s | %s | %s / %s | %s | %s | %s |\n", m.title.c_str(), Thousands(m.closed.perSecond).c_str(),
                    Fixed(m.closed.p50us / 1000, 1).c_str(), Fixed(m.closed.p99us / 1000, 1).c_str(),
                    Transactions(m.closedTransactionsPerChat).c_str(), CpuCell(m, m.closedCpu).c_str(),
                    Fixed(ServerMicros(m, m.closedCpu), 1).c_str());
    if (options.rate > 0) {
        std::printf("\nFixed rate: %d chats per second in total, %d s per setup.\n\n", options.rate, options.seconds);
        std::printf("| Setup | came back | p50 / p99 / p99.9 ms | PostgreSQL transactions per chat | CPU | server CPU "
                    "µs per chat |\n");
        std::printf("|---|---|---|---|---|---|\n");
        for (const Measured& m : rows)
            std::printf("| %s | %lld of %lld | %s / %s / %s | %s | %s | %s |\n", m.title.c_str(), m.fixed.messages,
                        m.fixedSent, Fixed(m.fixed.p50us / 1000, 2).c_str(), Fixed(m.fixed.p99us / 1000, 2).c_str(),
                        Fixed(m.fixed.p999us / 1000, 2).c_str(), Transactions(m.fixedTransactionsPerChat).c_str(),
                        CpuCell(m, m.fixedCpu).c_str(), Fixed(ServerMicros(m, m.fixedCpu), 1).c_str());
    }
    std::printf("\nEvery chat of the run, counted by its sender's sequence number (one not back 30 s after the "
                "load ended counts as lost):\n\n");
    std::printf("| Setup | sent | came back | lost | duplicated | out of order |\n|---|---|---|---|---|---|\n");
    for (const Measured& m : rows)
        std::printf("| %s | %lld | %lld | %lld | %lld | %lld |\n", m.title.c_str(), m.tally.sent, m.tally.received,
                    m.tally.lost, m.tally.duplicated, m.tally.outOfOrder);

    // The projection (the method is in the server's README): N machines of
    // this kind each run a node; PostgreSQL and NATS have one such machine
    // each; a share 1 - 1/N of the chats crosses nodes. Each part's CPU per
    // chat is mixed from the same-node and cross-node closed loops, and the
    // part that runs out of CPU first bounds the rate.
    // Groups of four rows, one per round and program, the programs in turn.
    const std::size_t programs = options.programs.size();
    if (options.rounds == 1) {
        for (std::size_t group = 0; group + 4 <= rows.size(); group += 4) {
            Project(options, options.programs[group / 4].first, rows[group + 2], rows[group + 3]);
            Aims(options, options.programs[group / 4].first, &rows[group]);
        }
    }
    for (std::size_t p = 0; options.rounds > 1 && p < programs; ++p) {
        const std::string& label = options.programs[p].first;
        std::printf("\n%sRound by round (closed loop; the ratios are of the same round):\n\n",
                    label.empty() ? "" : (label + ": ").c_str());
        std::printf("| round | SQLite msg/s | across nodes msg/s | across over SQLite | CPU across over same node |\n"
                    "|---|---|---|---|---|\n");
        std::vector<std::pair<double, std::size_t>> ratios;  // across over SQLite, first row of the round
        for (std::size_t at = 4 * p, round = 1; at + 4 <= rows.size(); at += 4 * programs, ++round) {
            const Measured& sqlite = rows[at];
            const Measured& cross = rows[at + 3];
            const double ratio = sqlite.closed.perSecond > 0 ? cross.closed.perSecond / sqlite.closed.perSecond : 0;
            const double same = ServerMicros(rows[at + 2], rows[at + 2].closedCpu);
            std::printf("| %zu | %s | %s | %s | %s |\n", round, Thousands(sqlite.closed.perSecond).c_str(),
                        Thousands(cross.closed.perSecond).c_str(), Fixed(ratio, 2).c_str(),
                        Fixed(same > 0 ? ServerMicros(cross, cross.closedCpu) / same : 0, 2).c_str());
            ratios.emplace_back(ratio, at);
        }
        std::sort(ratios.begin(), ratios.end());
        const std::size_t median = ratios[(ratios.size() - 1) / 2].second;
        std::printf("\n%sThe round with the median ratio (round %zu) gives the projection and the aims.\n",
                    label.empty() ? "" : (label + ": ").c_str(), (median - 4 * p) / (4 * programs) + 1);
        Project(options, label, rows[median + 2], rows[median + 3]);
        Aims(options, label, &rows[median]);
    }
    std::fflush(stdout);
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        auto number = [&](int low, int& out) {
            if (i + 1 >= argc) return false;
            out = std::max(low, std::atoi(argv[++i]));
            return true;
        };
        bool ok = true;
        if (arg == "--clients") ok = number(2, options.clients);
        else if (arg == "--window") ok = number(1, options.window);
        else if (arg == "--seconds") ok = number(1, options.seconds);
        else if (arg == "--rate") ok = number(0, options.rate);
        else if (arg == "--nodes") ok = number(2, options.nodes);
        else if (arg == "--rounds") ok = number(1, options.rounds);
        else if (arg == "--no-fsync") options.durable = false;
        else if (arg == "--server" && i + 1 < argc) {
            std::string value = argv[++i];
            auto equals = value.find('=');
            if (equals == std::string::npos) options.programs.emplace_back(std::string(), value);
            else options.programs.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        } else ok = false;
        if (!ok) return false;
    }
    options.clients += options.clients % 2;  // whole pairs
    if (options.programs.empty()) options.programs.emplace_back(std::string(), VEXA_SERVER_PROGRAM);
    return true;
}

}  // namespace

int RunClusterBench(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: vexa_server_bench --cluster [--clients 200] [--window 4] [--seconds 8] [--rate 5000]\n"
                     "                         [--nodes 2] [--rounds 1] [--no-fsync] [--server [LABEL=]PATH]...\n"
                     "--rate 0 leaves out the fixed-rate runs; --no-fsync runs PostgreSQL as the tests do;\n"
                     "--server measures that vexaim-server program (repeated: each, one after the other);\n"
                     "--rounds runs all of it that many times, reporting each round and the median one.\n");
        return 2;
    }
    asio::io_context io(1);
    asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
    signals.async_wait([](std::error_code ec, int) {
        if (!ec) throw Interrupted{};
    });
    std::string dir = std::string(VEXA_ENGINE_DIR) + "/bench-" + std::to_string(getpid());
    bool keepFiles = false;
    int status = 0;
    try {
        std::filesystem::create_directories(dir);
        std::fprintf(stderr, "starting PostgreSQL and NATS...\n");
        PostgresUnderTest postgres(options.durable);
        NatsUnderTest nats;
        std::vector<Measured> rows;
        for (int round = 1; round <= options.rounds; ++round)
            for (const auto& [label, program] : options.programs) {
                std::string title = label;
                if (options.rounds > 1) title += (label.empty() ? "round " : ", round ") + std::to_string(round);
                MeasureProgram(io, options, title, program, postgres, nats, dir, rows);
            }
        Report(options, rows);
    } catch (const Interrupted&) {
        std::fprintf(stderr, "interrupted; everything started was stopped\n");
        status = 130;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cluster benchmark: %s (its files are kept in %s)\n", e.what(), dir.c_str());
        keepFiles = true;
        status = 1;
    }
    if (!keepFiles) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    return status;
}

}  // namespace vexa::bench
