// The benchmark's side of a chat: the chat request the library would send
// (with its send time and a sequence number in the text), a client that
// writes framed requests and cuts what comes back, and the summary of the
// latencies. Shared by the in-process ring and the cluster runs.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio.hpp>
#include <asio/ssl.hpp>

namespace vexa::bench {

using Clock = std::chrono::steady_clock;

long long NowNanos();

std::string Name(int account);

// Logins are not what is measured: the benchmark's accounts share one hash
// made with libsodium's cheapest limits (empty when libsodium fails).
std::string CheapPasswordHash();

// The chat request the library would send from one benchmark account to
// another, carrying its send time and the sender's sequence number.
std::string ChatRequest(int from, int to, long long sentAt, long long sequence = 0);
long long SentAt(const std::string& frame);
long long SequenceOf(const std::string& frame);

// A benchmark client: writes framed requests, cuts incoming frames (server
// frames carry one trailing byte, echoed client frames none). A connection
// that fails throws out of the io_context's run.
class BenchClient : public std::enable_shared_from_this<BenchClient> {
public:
    // With tls, the client speaks TLS (checking nothing: the benchmark
    // measures the cost of the encryption, not trust).
    BenchClient(asio::io_context& io, int index, int trailer, asio::ssl::context* tls = nullptr);
    std::function<void(BenchClient&, const std::string&)> onFrame;

    void Connect(std::uint16_t port, std::function<void()> done);
    void Write(std::string frame);
    void Close();
    int Index() const { return index_; }
    int inFlight = 0;
    int remaining = 0;

private:
    void WriteNext();
    void Read();
    asio::ip::tcp::socket socket_;
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
    int index_;
    int trailer_;
    std::deque<std::string> queue_;
    bool writing_ = false;
    std::array<char, 16384> chunk_{};
    std::string input_;
};

struct Result {
    double perSecond = 0;
    double p50us = 0, p99us = 0, p999us = 0;
    long long messages = 0;
};

// Sorts latencies (nanoseconds) and reads the rate over elapsed.
Result Summarise(std::vector<long long>& latencies, Clock::duration elapsed);

}  // namespace vexa::bench
