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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "server/log.h"
#include "server/server.h"
#include "server/store.h"

namespace {

using namespace vexa;
using Clock = std::chrono::steady_clock;

long long NowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::string Name(int i) { return "bench" + std::to_string(i); }

// The chat request the library would send, with the send time in its text.
std::string ChatRequest(int from, int to, long long sentAt) {
    std::string body = "0003" + Name(to) + "!|!SYSTEMDATE!|!" + Name(from) + "!|!1!|!<msg><id>1</id><fusr>" +
                       Name(from) + "</fusr><tusr>" + Name(to) +
                       "</tusr><imzt>Bold=0,Underline=0,Italic=0,TextColor=0,Size=9,FaceName=SimSun</imzt><cnt>t=" +
                       std::to_string(sentAt) + " hello from the benchmark</cnt></msg>";
    return *protocol::FrameRequest(body);
}

long long SentAt(const std::string& frame) {
    auto at = frame.find("<cnt>t=");
    return at == std::string::npos ? 0 : std::atoll(frame.c_str() + at + 7);
}

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

// A benchmark client: writes framed requests, cuts incoming frames (server
// frames carry one trailing byte, echoed client frames none).
class BenchClient : public std::enable_shared_from_this<BenchClient> {
public:
    BenchClient(asio::io_context& io, int index, int trailer) : socket_(io), index_(index), trailer_(trailer) {}
    std::function<void(BenchClient&, const std::string&)> onFrame;

    void Connect(std::uint16_t port, std::function<void()> done) {
        socket_.async_connect({asio::ip::make_address("127.0.0.1"), port},
                              [self = shared_from_this(), done](std::error_code ec) {
                                  if (ec) {
                                      std::fprintf(stderr, "connect: %s\n", ec.message().c_str());
                                      std::exit(1);
                                  }
                                  self->socket_.set_option(asio::ip::tcp::no_delay(true));
                                  self->Read();
                                  done();
                              });
    }
    void Write(std::string frame) {
        queue_.push_back(std::move(frame));
        if (!writing_) WriteNext();
    }
    int Index() const { return index_; }
    int inFlight = 0;
    int remaining = 0;

private:
    void WriteNext() {
        if (queue_.empty()) {
            writing_ = false;
            return;
        }
        writing_ = true;
        asio::async_write(socket_, asio::buffer(queue_.front()), [self = shared_from_this()](std::error_code ec, std::size_t) {
            if (ec) return;
            self->queue_.pop_front();
            self->WriteNext();
        });
    }
    void Read() {
        socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
            if (ec) return;
            self->input_.append(self->chunk_.data(), n);
            std::size_t at = 0;
            while (self->input_.size() - at >= 4) {
                std::size_t length = static_cast<std::size_t>(std::atoi(self->input_.substr(at, 4).c_str()));
                std::size_t total = 4 + length + static_cast<std::size_t>(self->trailer_);
                if (self->input_.size() - at < total) break;
                std::string frame = self->input_.substr(at, total);
                at += total;
                if (self->onFrame) self->onFrame(*self, frame);
            }
            self->input_.erase(0, at);
            self->Read();
        });
    }
    asio::ip::tcp::socket socket_;
    int index_;
    int trailer_;
    std::deque<std::string> queue_;
    bool writing_ = false;
    std::array<char, 16384> chunk_{};
    std::string input_;
};

struct Result {
    double perSecond = 0;
    double p50us = 0, p99us = 0;
    long long messages = 0;
};

Result Summarise(std::vector<long long>& latencies, Clock::duration elapsed) {
    Result r;
    r.messages = static_cast<long long>(latencies.size());
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        r.p50us = latencies[latencies.size() / 2] / 1000.0;
        r.p99us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)] / 1000.0;
    }
    r.perSecond = r.messages / std::chrono::duration<double>(elapsed).count();
    return r;
}

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

void RaiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes = {10, 100, 1000};
    int total = 20000;
    int window = 4;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--messages" && i + 1 < argc) total = std::max(100, std::atoi(argv[++i]));
        else if (arg == "--window" && i + 1 < argc) window = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--clients" && i + 1 < argc) {
            sizes.clear();
            std::string list = argv[++i];
            for (std::size_t at = 0; at < list.size();) {
                std::size_t comma = list.find(',', at);
                if (comma == std::string::npos) comma = list.size();
                int n = std::atoi(list.substr(at, comma - at).c_str());
                if (n >= 2) sizes.push_back(n);
                at = comma + 1;
            }
        } else {
            std::fprintf(stderr,
                         "usage: vexa_server_bench [--clients 10,100,1000] [--messages 20000] [--window 4]\n");
            return 2;
        }
    }
    if (sizes.empty()) return 2;
    RaiseFileLimit();
    server::SetLogLevel(server::LogLevel::Warn);
    if (sodium_init() < 0) return 1;
    int most = *std::max_element(sizes.begin(), sizes.end());

    char pattern[] = "/tmp/vexaim-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string dir = pattern;
    int status = 0;
    {
        auto opened = server::OpenSqliteStore(dir + "/bench.db");
        server::Store& store = *opened;
        // Logins are not what is measured: the benchmark's accounts share one
        // hash made with libsodium's cheapest limits.
        char hash[crypto_pwhash_STRBYTES];
        if (crypto_pwhash_str(hash, "pw", 2, crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN) != 0) return 1;
        for (int i = 0; i < most; ++i) store.CreateAccount(Name(i), hash, Name(i));

        server::ServerOptions options;
        options.port = 0;
        options.networkThreads = 1;
        options.maxConnections = static_cast<std::size_t>(most) + 16;
        server::Server server(store, options);
        asio::io_context echoIo(1);
        EchoServer echo(echoIo);
        std::thread serverThread([&] { server.Run(); });
        std::thread echoThread([&] {
            auto guard = asio::make_work_guard(echoIo);
            echoIo.run();
        });

        // Connect and log in every client once; smaller runs use the first n.
        asio::io_context io(1);
        std::vector<std::shared_ptr<BenchClient>> imClients, echoClients;
        int ready = 0, loggedIn = 0;
        for (int i = 0; i < most; ++i) {
            auto c = std::make_shared<BenchClient>(io, i, 1);
            c->onFrame = [&](BenchClient&, const std::string& frame) {
                if (frame.compare(4, 5, "00020") == 0 && frame.size() == 10) ++loggedIn;
            };
            c->Connect(server.Port(), [&, c, i] {
                c->Write(*protocol::FrameRequest("0001" + Name(i) + "!|!pw"));
                ++ready;
            });
            imClients.push_back(c);
            auto e = std::make_shared<BenchClient>(io, i, 0);
            e->Connect(echo.Port(), [&] { ++ready; });
            echoClients.push_back(e);
        }
        auto deadline = Clock::now() + std::chrono::seconds(120);
        while ((ready < 2 * most || loggedIn < most) && Clock::now() < deadline)
            io.run_one_for(std::chrono::milliseconds(100));
        if (loggedIn < most) {
            std::fprintf(stderr, "only %d of %d clients logged in\n", loggedIn, most);
            status = 1;
        } else {
            std::printf("Chat through the IM server vs a bare asio echo of the same frames (%d messages per run, "
                        "%d in flight per client, %u hardware threads)\n\n",
                        total, window, std::thread::hardware_concurrency());
            std::printf("%8s | %12s %10s %10s | %12s %10s %10s | %8s\n", "clients", "server msg/s", "p50 us",
                        "p99 us", "echo msg/s", "p50 us", "p99 us", "ratio");
            for (int n : sizes) {
                int perClient = std::max(1, total / n);
                RunRing(io, echoClients, n, window, std::max(1, perClient / 10), false);  // warm-up
                Result routed = RunRing(io, imClients, n, window, perClient, true);
                Result bare = RunRing(io, echoClients, n, window, perClient, false);
                std::printf("%8d | %12.0f %10.0f %10.0f | %12.0f %10.0f %10.0f | %7.2fx\n", n, routed.perSecond,
                            routed.p50us, routed.p99us, bare.perSecond, bare.p50us, bare.p99us,
                            routed.perSecond > 0 ? bare.perSecond / routed.perSecond : 0.0);
                std::fflush(stdout);
            }
        }
        server.Stop();
        echoIo.stop();
        serverThread.join();
        echoThread.join();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
