#include "bench_client.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "protocol/frame.h"

namespace vexa::bench {

long long NowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::string Name(int account) { return "bench" + std::to_string(account); }

std::string CheapPasswordHash() {
    char hash[crypto_pwhash_STRBYTES];
    if (sodium_init() < 0 ||
        crypto_pwhash_str(hash, "pw", 2, crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN) != 0)
        return {};
    return hash;
}

std::string ChatRequest(int from, int to, long long sentAt, long long sequence) {
    std::string body = "0003" + Name(to) + "!|!SYSTEMDATE!|!" + Name(from) + "!|!1!|!<msg><id>1</id><fusr>" +
                       Name(from) + "</fusr><tusr>" + Name(to) +
                       "</tusr><imzt>Bold=0,Underline=0,Italic=0,TextColor=0,Size=9,FaceName=SimSun</imzt><cnt>t=" +
                       std::to_string(sentAt) + " s=" + std::to_string(sequence) +
                       " hello from the benchmark</cnt></msg>";
    return *protocol::FrameRequest(body);
}

namespace {
long long NumberAfter(const std::string& frame, const char* marker) {
    auto at = frame.find(marker, frame.find("<cnt>"));
    return at == std::string::npos ? -1 : std::atoll(frame.c_str() + at + std::char_traits<char>::length(marker));
}
}  // namespace

long long SentAt(const std::string& frame) { return std::max(0LL, NumberAfter(frame, "<cnt>t=")); }
long long SequenceOf(const std::string& frame) { return NumberAfter(frame, " s="); }

BenchClient::BenchClient(asio::io_context& io, int index, int trailer, asio::ssl::context* tls)
    : socket_(io), index_(index), trailer_(trailer) {
    if (tls) tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *tls);
}

void BenchClient::Connect(std::uint16_t port, std::function<void()> done) {
    socket_.async_connect({asio::ip::make_address("127.0.0.1"), port},
                          [self = shared_from_this(), done](std::error_code ec) {
                              if (ec) throw std::runtime_error("connect: " + ec.message());
                              self->socket_.set_option(asio::ip::tcp::no_delay(true));
                              if (!self->tls_) {
                                  self->Read();
                                  return done();
                              }
                              self->tls_->async_handshake(asio::ssl::stream_base::client,
                                                          [self, done](std::error_code hec) {
                                                              if (hec)
                                                                  throw std::runtime_error("handshake: " +
                                                                                           hec.message());
                                                              self->Read();
                                                              done();
                                                          });
                          });
}

void BenchClient::Write(std::string frame) {
    queue_.push_back(std::move(frame));
    if (!writing_) WriteNext();
}

void BenchClient::Close() {
    onFrame = nullptr;
    std::error_code ec;
    socket_.close(ec);
}

void BenchClient::WriteNext() {
    if (queue_.empty()) {
        writing_ = false;
        return;
    }
    writing_ = true;
    auto done = [self = shared_from_this()](std::error_code ec, std::size_t) {
        if (ec) return;
        self->queue_.pop_front();
        self->WriteNext();
    };
    if (tls_)
        asio::async_write(*tls_, asio::buffer(queue_.front()), std::move(done));
    else
        asio::async_write(socket_, asio::buffer(queue_.front()), std::move(done));
}

void BenchClient::Read() {
    auto onRead = [self = shared_from_this()](std::error_code ec, std::size_t n) {
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
    };
    if (tls_)
        tls_->async_read_some(asio::buffer(chunk_), std::move(onRead));
    else
        socket_.async_read_some(asio::buffer(chunk_), std::move(onRead));
}

Result Summarise(std::vector<long long>& latencies, Clock::duration elapsed) {
    Result r;
    r.messages = static_cast<long long>(latencies.size());
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](std::size_t perMille) {
        return latencies[std::min(latencies.size() - 1, latencies.size() * perMille / 1000)] / 1000.0;
    };
    if (!latencies.empty()) {
        r.p50us = at(500);
        r.p99us = at(990);
        r.p999us = at(999);
    }
    r.perSecond = r.messages / std::chrono::duration<double>(elapsed).count();
    return r;
}

}  // namespace vexa::bench
