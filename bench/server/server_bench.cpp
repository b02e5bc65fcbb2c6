// Load benchmark: N clients chat in a ring through the reference server
// (client i writes to client i+1), each with a few messages in flight, and
// the same messages through a bare asio echo server in the same run as the
// ceiling. Reports messages per second and the p50/p99 latency from the
// moment a message is written to the moment its reader has it whole.
#include <sodium.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio/ssl.hpp>

#include "bench_client.h"
#include "cluster_bench.h"
#include "protocol/frame.h"
#include "server/base/log.h"
#include "server/program/server.h"
#include "server/store/sqlite/sqlite_store.h"
#include "server/store/store.h"

namespace {

using namespace vexa;
using namespace vexa::bench;

// One bare echo connection: every byte read is written back.
class EchoSession : public std::enable_shared_from_this<EchoSession> {
public:
    explicit EchoSession(asio::ip::tcp::socket s) : socket_(std::move(s)) {
        socket_.set_option(asio::ip::tcp::no_delay(true));
    }
    void Start() { Read(); }

private:
    void Read() {
        socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
            if (ec) return;
            asio::async_write(self->socket_, asio::buffer(self->buffer_, n),
                              [self](std::error_code ec2, std::size_t) {
                                  if (!ec2) self->Read();
                              });
        });
    }
    asio::ip::tcp::socket socket_;
    std::array<char, 16384> buffer_{};
};

class EchoServer {
public:
    explicit EchoServer(asio::io_context& io) : acceptor_(io, {asio::ip::make_address("127.0.0.1"), 0}) { Accept(); }
    std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }

private:
    void Accept() {
        acceptor_.async_accept([this](std::error_code ec, asio::ip::tcp::socket s) {
            if (!ec) std::make_shared<EchoSession>(std::move(s))->Start();
            if (acceptor_.is_open()) Accept();
        });
    }
    asio::ip::tcp::acceptor acceptor_;
};

// Runs one ring of n clients with window messages in flight each and
// perClient messages per client. routed: through the IM server (the reader is
// the next client); otherwise each client's messages come back to itself.
Result RunRing(asio::io_context& io, std::vector<std::shared_ptr<BenchClient>>& clients, int n, int window,
               int perClient, bool routed) {
    std::vector<long long> latencies;
    latencies.reserve(static_cast<std::size_t>(n) * perClient);
    int finished = 0;
    auto sendOne = [&](BenchClient& c) {
        int to = routed ? (c.Index() + 1) % n : c.Index();
        --c.remaining;
        ++c.inFlight;
        c.Write(ChatRequest(c.Index(), to, NowNanos()));
    };
    for (int i = 0; i < n; ++i) {
        clients[i]->remaining = perClient;
        clients[i]->inFlight = 0;
        clients[i]->onFrame = [&, n](BenchClient& reader, const std::string& frame) {
            if (frame.compare(4, 4, "0003") != 0) return;  // presence and the like
            latencies.push_back(NowNanos() - SentAt(frame));
            BenchClient& sender = routed ? *clients[(reader.Index() + n - 1) % n] : reader;
            --sender.inFlight;
            if (sender.remaining > 0)
                sendOne(sender);
            else if (sender.inFlight == 0)
                ++finished;
        };
    }
    auto start = Clock::now();
    for (int i = 0; i < n; ++i)
        for (int w = 0; w < window && clients[i]->remaining > 0; ++w) sendOne(*clients[i]);
    while (finished < n) io.run_one();
    auto elapsed = Clock::now() - start;
    for (int i = 0; i < n; ++i) clients[i]->onFrame = nullptr;
    return Summarise(latencies, elapsed);
}

// Open loop: messages are sent at a fixed total rate whatever comes back, so
// the latency is that of a server below saturation, not of a queue.
Result RunOpenLoop(asio::io_context& io, std::vector<std::shared_ptr<BenchClient>>& clients, int n, int rate,
                   std::chrono::milliseconds duration, bool routed) {
    std::vector<long long> latencies;
    long long total = static_cast<long long>(rate) * duration.count() / 1000;
    latencies.reserve(static_cast<std::size_t>(total));
    long long received = 0;
    for (int i = 0; i < n; ++i)
        clients[i]->onFrame = [&](BenchClient&, const std::string& frame) {
            if (frame.compare(4, 4, "0003") != 0) return;
            latencies.push_back(NowNanos() - SentAt(frame));
            ++received;
        };
    auto start = Clock::now();
    long long sent = 0;
    int next = 0;
    while (sent < total) {
        // Everything due by now goes out, then the loop serves replies until the next tick.
        long long due = std::min(total, static_cast<long long>(std::chrono::duration<double>(Clock::now() - start).count() * rate));
        for (; sent < due; ++sent, next = (next + 1) % n)
            clients[next]->Write(ChatRequest(next, routed ? (next + 1) % n : next, NowNanos()));
        io.run_for(std::chrono::microseconds(200));
    }
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (received < total && Clock::now() < deadline) io.run_one_for(std::chrono::milliseconds(10));
    auto elapsed = Clock::now() - start;
    for (int i = 0; i < n; ++i) clients[i]->onFrame = nullptr;
    if (received < total) std::fprintf(stderr, "open loop: %lld of %lld messages came back\n", received, total);
    return Summarise(latencies, elapsed);
}

void RaiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// A server or an echo with its threads, and the benchmark's clients of it.
struct Target {
    std::unique_ptr<server::Server> server;
    std::thread serverThread;
    asio::io_context echoIo;
    std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> echoWork;
    std::unique_ptr<EchoServer> echo;
    std::vector<std::thread> echoThreads;
    std::vector<std::shared_ptr<BenchClient>> clients;

    ~Target() {
        if (server) {
            server->Stop();
            serverThread.join();
        }
        if (echo) {
            echoWork.reset();
            echoIo.stop();
            for (auto& t : echoThreads) t.join();
        }
    }
};

// Connects count clients (logged in, for the server) on io; false on failure.
bool Connect(asio::io_context& io, Target& target, std::uint16_t port, int count, bool logIn,
             asio::ssl::context* tls = nullptr) {
    int ready = 0, loggedIn = 0;
    for (int i = 0; i < count; ++i) {
        auto c = std::make_shared<BenchClient>(io, i, logIn ? 1 : 0, tls);
        c->onFrame = [&](BenchClient&, const std::string& frame) {
            if (frame.compare(4, 5, "00020") == 0 && frame.size() == 10) ++loggedIn;
        };
        c->Connect(port, [&, c, i, logIn] {
            if (logIn) c->Write(*protocol::FrameRequest("0001" + Name(i) + "!|!pw"));
            ++ready;
        });
        target.clients.push_back(c);
    }
    auto deadline = Clock::now() + std::chrono::seconds(120);
    while ((ready < count || (logIn && loggedIn < count)) && Clock::now() < deadline)
        io.run_one_for(std::chrono::milliseconds(100));
    for (auto& c : target.clients) c->onFrame = nullptr;
    if (ready < count || (logIn && loggedIn < count)) {
        std::fprintf(stderr, "only %d of %d clients connected, %d logged in\n", ready, count, loggedIn);
        return false;
    }
    return true;
}

void PrintRow(const char* what, unsigned threads, int n, const Result& routed, const Result& bare) {
    std::printf("%-9s %7u %7d | %12.0f %9.0f %9.0f | %12.0f %9.0f %9.0f | %6.2f\n", what, threads, n,
                routed.perSecond, routed.p50us, routed.p99us, bare.perSecond, bare.p50us, bare.p99us,
                bare.perSecond > 0 ? routed.perSecond / bare.perSecond : 0.0);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes = {10, 100, 1000};
    std::vector<unsigned> threadCounts = {1, std::max(1u, std::thread::hardware_concurrency())};
    int total = 20000;
    int window = 4;
    int rate = 10000;
    int openClients = 1000;
    int openSeconds = 5;
    bool tls = true;
    auto list = [](const std::string& text) {
        std::vector<int> out;
        for (std::size_t at = 0; at < text.size();) {
            std::size_t comma = text.find(',', at);
            if (comma == std::string::npos) comma = text.size();
            out.push_back(std::atoi(text.substr(at, comma - at).c_str()));
            at = comma + 1;
        }
        return out;
    };
    if (argc > 1 && std::string(argv[1]) == "--cluster") return RunClusterBench(argc - 2, argv + 2);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--messages" && i + 1 < argc) total = std::max(100, std::atoi(argv[++i]));
        else if (arg == "--window" && i + 1 < argc) window = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--rate" && i + 1 < argc) rate = std::max(0, std::atoi(argv[++i]));
        else if (arg == "--open-clients" && i + 1 < argc) openClients = std::max(2, std::atoi(argv[++i]));
        else if (arg == "--open-seconds" && i + 1 < argc) openSeconds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--no-tls") tls = false;
        else if (arg == "--clients" && i + 1 < argc) {
            sizes.clear();
            for (int n : list(argv[++i]))
                if (n >= 2) sizes.push_back(n);
        } else if (arg == "--threads" && i + 1 < argc) {
            threadCounts.clear();
            for (int t : list(argv[++i]))
                if (t >= 1) threadCounts.push_back(static_cast<unsigned>(t));
        } else {
            std::fprintf(stderr,
                         "usage: vexa_server_bench [--clients 10,100,1000] [--threads 1,N] [--messages 20000]\n"
                         "                         [--window 4] [--rate 10000] [--open-clients 1000] [--open-seconds 5]\n"
                         "                         [--no-tls]\n"
                         "       vexa_server_bench --cluster [--help for its options]\n"
                         "--rate 0 leaves out the open-loop run.\n");
            return 2;
        }
    }
    if (sizes.empty() || threadCounts.empty()) return 2;
    RaiseFileLimit();
    server::SetLogLevel(server::LogLevel::Warn);
    if (sodium_init() < 0) return 1;
    int most = std::max(*std::max_element(sizes.begin(), sizes.end()), rate > 0 ? openClients : 0);

    char pattern[] = "/tmp/vexaim-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string dir = pattern;
    int status = 0;
    {
        auto store = server::OpenSqliteStore(dir + "/bench.db");
        std::string hash = CheapPasswordHash();
        if (hash.empty()) return 1;
        for (int i = 0; i < most; ++i) store->CreateAccount(Name(i), hash, Name(i));

        std::printf("Chat through the IM server beside a bare asio echo of the same frames, at the same thread count,\n"
                    "in one run (%u hardware threads; the clients run on one thread of their own).\n\n",
                    std::thread::hardware_concurrency());
        std::printf("Closed loop: a ring of N clients, %d messages in flight each, %d messages per row.\n", window,
                    total);
        std::printf("%-9s %7s %7s | %12s %9s %9s | %12s %9s %9s | %6s\n", "", "threads", "clients", "server msg/s",
                    "p50 us", "p99 us", "echo msg/s", "p50 us", "p99 us", "ratio");
        std::vector<std::string> openRows;
        std::map<std::pair<unsigned, int>, Result> plainAt;
        for (unsigned threads : threadCounts) {
            asio::io_context io(1);
            Target server, echo;
            server::ServerOptions options;
            options.port = 0;
            options.networkThreads = threads;
            options.maxConnections = static_cast<std::size_t>(most) + 16;
            options.maxConnectionsPerAddress = options.maxConnections;  // every client comes from 127.0.0.1
            server.server = std::make_unique<server::Server>(*store, options);
            server.serverThread = std::thread([&] { server.server->Run(); });
            echo.echoWork = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
                asio::make_work_guard(echo.echoIo));
            echo.echo = std::make_unique<EchoServer>(echo.echoIo);
            for (unsigned t = 0; t < threads; ++t) echo.echoThreads.emplace_back([&] { echo.echoIo.run(); });
            if (!Connect(io, server, server.server->Port(), most, true) || !Connect(io, echo, echo.echo->Port(), most, false)) {
                status = 1;
                break;
            }
            for (int n : sizes) {
                int perClient = std::max(1, total / n);
                RunRing(io, echo.clients, n, window, std::max(1, perClient / 10), false);  // warm-up
                Result routed = RunRing(io, server.clients, n, window, perClient, true);
                Result bare = RunRing(io, echo.clients, n, window, perClient, false);
                PrintRow("", threads, n, routed, bare);
                plainAt[{threads, n}] = routed;
            }
            if (rate > 0) {
                auto duration = std::chrono::milliseconds(openSeconds * 1000);
                Result routed = RunOpenLoop(io, server.clients, openClients, rate, duration, true);
                Result bare = RunOpenLoop(io, echo.clients, openClients, rate, duration, false);
                char row[256];
                std::snprintf(row, sizeof row, "%7u %7d %8d | %9.0f %9.0f %9.0f | %9.0f %9.0f %9.0f\n", threads,
                              openClients, rate, routed.p50us, routed.p99us, routed.p999us, bare.p50us, bare.p99us,
                              bare.p999us);
                openRows.push_back(row);
            }
        }
        if (tls && status == 0) {
            // The same rings through the server's TLS listener, beside the plain rows above.
            std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
            std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1"
                               " -subj /CN=localhost -keyout '" + key + "' -out '" + cert + "' 2>/dev/null";
            if (std::system(make.c_str()) != 0) {
                std::fprintf(stderr, "openssl could not make a certificate\n");
                return 1;
            }
            asio::ssl::context clientTls(asio::ssl::context::tls_client);
            std::printf("\nThe same through the TLS listener (TLS 1.2 or 1.3 as OpenSSL chooses), beside plain:\n");
            std::printf("%-9s %7s %7s | %12s %9s %9s | %12s | %6s\n", "", "threads", "clients", "TLS msg/s", "p50 us",
                        "p99 us", "plain msg/s", "ratio");
            unsigned threads = threadCounts.back();
            asio::io_context io(1);
            Target server;
            server::ServerOptions options;
            options.port = 0;
            options.networkThreads = threads;
            options.maxConnections = static_cast<std::size_t>(most) + 16;
            options.maxConnectionsPerAddress = options.maxConnections;  // every client comes from 127.0.0.1
            options.tls.port = 0;
            options.tls.only = true;
            options.tls.certFile = cert;
            options.tls.keyFile = key;
            server.server = std::make_unique<server::Server>(*store, options);
            server.serverThread = std::thread([&] { server.server->Run(); });
            if (!Connect(io, server, server.server->TlsPort(), most, true, &clientTls)) return 1;
            for (int n : sizes) {
                int perClient = std::max(1, total / n);
                Result secure = RunRing(io, server.clients, n, window, perClient, true);
                Result plain = plainAt[{threads, n}];
                std::printf("%-9s %7u %7d | %12.0f %9.0f %9.0f | %12.0f | %6.2f\n", "", threads, n, secure.perSecond,
                            secure.p50us, secure.p99us, plain.perSecond,
                            plain.perSecond > 0 ? secure.perSecond / plain.perSecond : 0.0);
                std::fflush(stdout);
            }
        }
        if (!openRows.empty()) {
            std::printf("\nOpen loop: %d messages per second in total, spread over the clients, for %d s.\n", rate,
                        openSeconds);
            std::printf("%7s %7s %8s | %9s %9s %9s | %9s %9s %9s\n", "threads", "clients", "msg/s", "server p50",
                        "p99 us", "p99.9 us", "echo p50", "p99 us", "p99.9 us");
            for (const std::string& row : openRows) std::fputs(row.c_str(), stdout);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
